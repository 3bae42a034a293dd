// kt-io reg: register peek, poke and dump on a mapped register window.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"
#include "commands.h"
#include "kt_fpga.h"

namespace ktio {
namespace {

// A register window mapped from offset 0 of the device, unmapped on scope exit.
class Window {
  public:
    Window(const std::string &device, std::uint32_t size) : size_(size) {
        rc_ = kt_fpga_open(device.c_str(), size, &base_);
        err_ = errno;
    }
    ~Window() {
        if (rc_ == 0) {
            kt_fpga_close(base_, size_);
        }
    }
    Window(const Window &) = delete;
    Window &operator=(const Window &) = delete;

    int result() const { return rc_; }
    int error() const { return err_; }
    unsigned char *at(std::uint32_t offset) const {
        return static_cast<unsigned char *>(base_) + offset;
    }

  private:
    void *base_ = nullptr;
    std::uint32_t size_;
    int rc_;
    int err_;
};

std::uint32_t little_endian(const unsigned char *b, int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
        v |= std::uint32_t{b[i]} << (8 * i);
    }
    return v;
}

// One register of `bytes` bytes: one access of that width through the library.
std::uint32_t read_reg(const Window &w, std::uint32_t offset, int bytes) {
    unsigned char b[4] = {};
    kt_fpga_read(w.at(offset), b, bytes);
    return little_endian(b, bytes);
}

void print_value(std::uint32_t offset, std::uint32_t value, int bytes) {
    std::printf("0x%08x: 0x%0*x\n", offset, 2 * bytes, value);
}

}  // namespace

int reg_command(int argc, char **argv) {
    Args args;
    if (!split_args(argc, argv, {"-w", "--width"}, args)) {
        return kUsage;
    }
    if (!args.flags.empty()) {
        return usage_error("unknown option '" + args.flags.front() + "'");
    }
    const auto &w = args.words;
    if (w.empty()) {
        return usage_error("reg needs read, write or dump");
    }
    const std::string &op = w[0];
    const std::size_t want = op == "read" ? 3 : (op == "write" || op == "dump") ? 4 : 0;
    if (want == 0) {
        return usage_error("unknown reg operation '" + op + "'");
    }
    if (w.size() != want) {
        return usage_error("reg " + op + " takes " +
                           (op == "read"    ? "DEVICE OFFSET"
                            : op == "write" ? "DEVICE OFFSET VALUE"
                                            : "DEVICE OFFSET COUNT"));
    }

    int bits = 32;
    if (auto width = args.option("--width", "-w")) {
        const auto v = parse_number(*width);
        if (!v || (*v != 8 && *v != 16 && *v != 32)) {
            return usage_error("width must be 8, 16 or 32, not '" + *width + "'");
        }
        bits = static_cast<int>(*v);
    }
    const int bytes = bits / 8;

    const auto offset = parse_number(w[2]);
    if (!offset || *offset > 0x7fffffffu) {
        return usage_error("bad offset '" + w[2] + "'");
    }
    if (*offset % bytes != 0) {
        return usage_error("offset " + w[2] + " is not aligned to a " + std::to_string(bits) +
                           "-bit access");
    }
    std::uint64_t count = 1;
    std::uint64_t value = 0;
    if (op == "dump") {
        const auto c = parse_number(w[3]);
        if (!c || *c == 0 || *c > 0x100000) {
            return usage_error("count must be 1 to 1048576, not '" + w[3] + "'");
        }
        count = *c;
    } else if (op == "write") {
        const auto v = parse_number(w[3]);
        if (!v || (bits < 32 && *v >> bits) || *v > 0xffffffffu) {
            return usage_error("value '" + w[3] + "' does not fit " + std::to_string(bits) +
                               " bits");
        }
        value = *v;
    }
    const std::uint64_t end = *offset + count * bytes;
    if (end > 0xffffffffu) {
        return usage_error("the window would exceed 4 GiB");
    }

    const std::string &device = w[1];
    // A plain file shorter than the window would fault on access past its end.
    struct stat st {};
    if (stat(device.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<std::uint64_t>(st.st_size) < end) {
        return failure(device + " holds " + std::to_string(st.st_size) + " bytes, less than the " +
                       std::to_string(end) + " needed");
    }
    Window window(device, static_cast<std::uint32_t>(end));
    if (window.result() == -1) {
        return failure("cannot open " + device + ": " + std::strerror(window.error()));
    }
    if (window.result() != 0) {
        return failure("cannot map " + std::to_string(end) + " bytes of " + device + ": " +
                       std::strerror(window.error()));
    }

    const auto off = static_cast<std::uint32_t>(*offset);
    if (op == "write") {
        unsigned char b[4];
        for (int i = 0; i < bytes; ++i) {
            b[i] = static_cast<unsigned char>(value >> (8 * i));
        }
        kt_fpga_write(window.at(off), b, bytes);
        std::printf("0x%08x <- 0x%0*x\n", off, 2 * bytes, static_cast<unsigned>(value));
        return kOk;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        const auto at = static_cast<std::uint32_t>(off + i * bytes);
        print_value(at, read_reg(window, at, bytes), bytes);
    }
    return kOk;
}

}  // namespace ktio
