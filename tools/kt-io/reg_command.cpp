// kt-io reg: register peek, poke, bit changes and dumps on a mapped register window.
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "help.h"
#include "hex_dump.h"
#include "kt_fpga.h"
#include "reg_window.h"

namespace ktio {
namespace {

struct Operation {
    const char *name;
    std::size_t words;  // after the operation: DEVICE OFFSET and its own
    const char *form;
};

constexpr Operation kOperations[] = {
    {"read", 2, "DEVICE OFFSET"},        {"write", 3, "DEVICE OFFSET VALUE"},
    {"set", 3, "DEVICE OFFSET MASK"},    {"clear", 3, "DEVICE OFFSET MASK"},
    {"toggle", 3, "DEVICE OFFSET MASK"}, {"dump", 2, "DEVICE OFFSET [COUNT]"},
};

// One register of `bytes` bytes: one access of that width through the library.
std::uint32_t read_reg(const unsigned char *at, int bytes) {
    unsigned char b[4] = {};
    kt_fpga_read(at, b, bytes);
    std::uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) {
        v |= std::uint32_t{b[i]} << (8 * i);
    }
    return v;
}

void write_reg(unsigned char *at, std::uint32_t value, int bytes) {
    unsigned char b[4];
    for (int i = 0; i < bytes; ++i) {
        b[i] = static_cast<unsigned char>(value >> (8 * i));
    }
    kt_fpga_write(at, b, bytes);
}

// The register value after a bit operation with `mask`.
std::uint32_t apply(const std::string &op, std::uint32_t value, std::uint32_t mask) {
    if (op == "set") {
        return value | mask;
    }
    if (op == "clear") {
        return value & ~mask;
    }
    return value ^ mask;
}

std::optional<std::uint64_t> count_of(const std::string &text) {
    const auto c = parse_number(text);
    if (!c || *c == 0 || *c > 0x100000) {
        return std::nullopt;
    }
    return c;
}

}  // namespace

int reg_command(int argc, char **argv) {
    Args args;
    if (!split_args(argc, argv, {"-w", "--width", "--count", "--map", "--phys"}, args)) {
        return kUsage;
    }
    if (args.flag("--help") || args.flag("-h")) {
        return print_help("reg");
    }
    if (!args.flags.empty()) {
        return usage_error("unknown option '" + args.flags.front() + "'");
    }
    std::vector<std::string> w = args.words;
    if (w.empty()) {
        return usage_error("reg needs read, write, set, clear, toggle or dump");
    }
    const std::string op = w[0];
    const Operation *chosen = nullptr;
    for (const Operation &o : kOperations) {
        if (op == o.name) {
            chosen = &o;
        }
    }
    if (chosen == nullptr) {
        return usage_error("unknown reg operation '" + op + "'");
    }
    const auto phys_text = args.option("--phys");
    const auto map_text = args.option("--map");
    if (phys_text && map_text) {
        return usage_error("give --map or --phys, not both");
    }
    // With --phys the device may be left out (a number follows the operation): the
    // physical address space itself.
    if (phys_text && w.size() > 1 && parse_number(w[1])) {
        w.insert(w.begin() + 1, "/dev/mem");
    }
    const std::size_t have = w.size() - 1;
    if (have != chosen->words && !(op == "dump" && have == chosen->words + 1)) {
        return usage_error(std::string("reg ") + op + " takes " + chosen->form);
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

    std::uint64_t base = 0;  // file offset of the window
    if (map_text) {
        const auto n = parse_number(*map_text);
        if (!n || *n > 255) {
            return usage_error("map must be 0 to 255, not '" + *map_text + "'");
        }
        base = *n * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    }
    if (phys_text) {
        const auto a = parse_number(*phys_text);
        if (!a || *a > 0xffffffffffull) {
            return usage_error("bad physical address '" + *phys_text + "'");
        }
        base = *a;
    }

    const auto offset = parse_number(w[2]);
    if (!offset || *offset > 0x7fffffffu) {
        return usage_error("bad offset '" + w[2] + "'");
    }
    if ((base + *offset) % bytes != 0) {
        return usage_error("offset " + w[2] + " is not aligned to a " + std::to_string(bits) +
                           "-bit access");
    }
    std::uint64_t count = op == "dump" ? 256 / bytes : 1;
    if (op == "dump" && w.size() == 4) {
        const auto c = count_of(w[3]);
        if (!c) {
            return usage_error("count must be 1 to 1048576, not '" + w[3] + "'");
        }
        count = *c;
    }
    if (auto v = args.option("--count")) {
        const auto c = count_of(*v);
        if (!c) {
            return usage_error("count must be 1 to 1048576, not '" + *v + "'");
        }
        count = *c;
    }
    std::uint32_t value = 0;
    if (op != "read" && op != "dump") {
        const auto v = parse_number(w[3]);
        if (!v || (bits < 32 && *v >> bits) || *v > 0xffffffffu) {
            return usage_error(std::string(op == "write" ? "value" : "mask") + " '" + w[3] +
                               "' does not fit " + std::to_string(bits) + " bits");
        }
        value = static_cast<std::uint32_t>(*v);
    }
    const std::uint64_t end = *offset + count * bytes;
    if (end > 0xffffffffu) {
        return usage_error("the window would exceed 4 GiB");
    }

    RegWindow window;
    std::string error;
    if (!window.open(w[1], base, end, phys_text.has_value(), error)) {
        return failure(error);
    }
    // Addresses are shown as offsets in the window, or as physical addresses.
    const std::uint64_t shown = phys_text ? base : 0;
    const auto off = *offset;
    if (op == "dump") {
        std::vector<unsigned char> data(count * bytes);
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint32_t v = read_reg(window.at(off + i * bytes), bytes);
            for (int b = 0; b < bytes; ++b) {
                data[i * bytes + b] = static_cast<unsigned char>(v >> (8 * b));
            }
        }
        std::fputs(hex_dump(shown + off, data.data(), data.size(), bytes).c_str(), stdout);
        return kOk;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t at = off + i * bytes;
        const auto address = static_cast<unsigned long long>(shown + at);
        if (op == "read") {
            std::printf("0x%08llx: 0x%0*x\n", address, 2 * bytes, read_reg(window.at(at), bytes));
        } else if (op == "write") {
            write_reg(window.at(at), value, bytes);
            std::printf("0x%08llx <- 0x%0*x\n", address, 2 * bytes, value);
        } else {
            const std::uint32_t before = read_reg(window.at(at), bytes);
            const std::uint32_t after = apply(op, before, value);
            write_reg(window.at(at), after, bytes);
            std::printf("0x%08llx: 0x%0*x -> 0x%0*x\n", address, 2 * bytes, before, 2 * bytes,
                        after);
        }
    }
    return kOk;
}

}  // namespace ktio
