// A register window mapped from a device file: from its start, from a UIO map, or at a
// physical address through /dev/mem.
#ifndef KT_IO_REG_WINDOW_H
#define KT_IO_REG_WINDOW_H

#include <cstdint>
#include <string>

namespace ktio {

class RegWindow {
  public:
    RegWindow() = default;
    ~RegWindow();
    RegWindow(const RegWindow &) = delete;
    RegWindow &operator=(const RegWindow &) = delete;

    // Maps `length` bytes of `device` from byte `offset` of the file. Offset 0 maps with
    // kt_fpga_open; any other offset maps from the page that holds it. `physical` only
    // words the refusal to open for the physical address space. Returns false with a
    // message in `error`.
    bool open(const std::string &device, std::uint64_t offset, std::uint64_t length, bool physical,
              std::string &error);

    // The address of byte `at` of the window (counted from `offset`).
    unsigned char *at(std::uint64_t at) const { return start_ + at; }

  private:
    void *base_ = nullptr;  // what was mapped: from the page that holds `offset`
    std::uint64_t mapped_ = 0;
    unsigned char *start_ = nullptr;
};

}  // namespace ktio

#endif  // KT_IO_REG_WINDOW_H
