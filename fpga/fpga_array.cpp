// Array transfers through one port register (FIFO-like ports).
#include "kt_fpga.h"

#include <cstdint>
#include <cstdio>

#include "fpga_access.h"

using namespace ktfpga;

namespace {

enum class direction { read, write };

// Checks that an element of `w` bytes at `reg` lies within one 32-bit word; prints the
// refusal line of the transfer direction for offsets 1 to 3.
bool element_fits(std::uintptr_t reg, int w, direction dir) {
    const std::uintptr_t boundary = (reg & ~std::uintptr_t{3}) + 4;
    if (reg + static_cast<std::uintptr_t>(w) <= boundary) {
        return true;
    }
    const unsigned room_bits = 8 * static_cast<unsigned>(boundary - reg);
    const int offset = static_cast<int>(reg % 4);
    if (room_bits == 16 || room_bits == 24) {
        std::printf(dir == direction::read
                        ? "logic error, when the addr offset is %d, the bitwide should be 8 or 16"
                        : "logic error, when the addr offset is %d, the bitwide should be 8 bit "
                          "or 16 bit",
                    offset);
    } else if (room_bits == 8) {
        std::printf(dir == direction::read
                        ? "logic error, when the addr offset is %d, the bitwide should be 8"
                        : "logic error, when the addr offset is %d, the bitwide should be 8 bit",
                    offset);
    }
    return false;
}

// Element size in bytes for a valid width, or 0 when the width must be refused.
int element_size(int bitwide) {
    return bitwide >= 8 ? bitwide / 8 : 0;
}

}  // namespace

int kt_fpga_read_array(const volatile void *reg, void *buf, int len, int bitwide) noexcept {
    const int w = element_size(bitwide);
    if (w == 0) {
        return -1;
    }
    if (!element_fits(reinterpret_cast<std::uintptr_t>(reg), w, direction::read)) {
        return -1;
    }
    const int n = len / w;
    if (n > 0 && (reg == nullptr || buf == nullptr)) {
        return -1;
    }
    auto *r = static_cast<const volatile unsigned char *>(reg);
    auto *out = static_cast<unsigned char *>(buf);
    for (int i = 0; i < n; ++i, out += w) {
        switch (w) {
            case 1:
                out[0] = load8(r);
                break;
            case 2:
                put_le(out, load16(r), 2);
                break;
            case 4:
                put_le(out, load32(r), 4);
                break;
            default:
                // Three bytes: no single access of that width exists.
                for (int b = 0; b < w; ++b) {
                    out[b] = load8(r + b);
                }
                break;
        }
    }
    return len;
}

int kt_fpga_write_array(volatile void *reg, const void *buf, int len, int bitwide) noexcept {
    const int w = element_size(bitwide);
    if (w == 0) {
        return -1;
    }
    if (!element_fits(reinterpret_cast<std::uintptr_t>(reg), w, direction::write)) {
        return -1;
    }
    const int n = len / w;
    if (n > 0 && (reg == nullptr || buf == nullptr)) {
        return -1;
    }
    auto *r = static_cast<volatile unsigned char *>(reg);
    auto *in = static_cast<const unsigned char *>(buf);
    for (int i = 0; i < n; ++i, in += w) {
        switch (w) {
            case 1:
                store8(r, in[0]);
                break;
            case 2:
                store16(r, static_cast<std::uint16_t>(get_le(in, 2)));
                break;
            case 4:
                store32(r, get_le(in, 4));
                break;
            default:
                for (int b = 0; b < w; ++b) {
                    store8(r + b, in[b]);
                }
                break;
        }
    }
    return len;
}
