// kt-io i2c: write, read and combined transfers with one slave.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "kt_i2c.h"

namespace ktio {
namespace {

bool parse_bytes(const std::vector<std::string> &words, std::size_t from,
                 std::vector<std::uint8_t> &out) {
    for (std::size_t i = from; i < words.size(); ++i) {
        const auto v = parse_number(words[i]);
        if (!v || *v > 0xff) {
            usage_error("bad byte '" + words[i] + "'");
            return false;
        }
        out.push_back(static_cast<std::uint8_t>(*v));
    }
    return true;
}

}  // namespace

int i2c_command(int argc, char **argv) {
    Args args;
    if (!split_args(argc, argv, {}, args)) {
        return kUsage;
    }
    if (!args.flags.empty()) {
        return usage_error("unknown option '" + args.flags.front() + "'");
    }
    const auto &w = args.words;
    if (w.size() < 3) {
        return usage_error("i2c takes BUS ADDR write|read|rdwr ...");
    }
    const auto addr = parse_number(w[1]);
    if (!addr || *addr > 0x7f) {
        return usage_error("slave address must be 0x00 to 0x7f, not '" + w[1] + "'");
    }
    const std::string &op = w[2];
    std::vector<std::uint8_t> wbytes;
    std::uint64_t count = 0;
    if (op == "write") {
        if (w.size() < 4) {
            return usage_error("i2c write needs at least one BYTE");
        }
        if (!parse_bytes(w, 3, wbytes)) {
            return kUsage;
        }
    } else if (op == "read" || op == "rdwr") {
        if (w.size() < 4 || (op == "read" && w.size() != 4) || (op == "rdwr" && w.size() < 5)) {
            return usage_error(op == "read" ? "i2c read takes COUNT"
                                            : "i2c rdwr takes COUNT BYTE...");
        }
        const auto n = parse_number(w[3]);
        if (!n || *n == 0 || *n > 8192) {
            return usage_error("count must be 1 to 8192, not '" + w[3] + "'");
        }
        count = *n;
        if (!parse_bytes(w, 4, wbytes)) {
            return kUsage;
        }
    } else {
        return usage_error("unknown i2c operation '" + op + "'");
    }
    if (wbytes.size() > 8192) {
        return usage_error("at most 8192 bytes per message");
    }
    if (op == "rdwr" && *addr == 0) {
        return usage_error("rdwr cannot address slave 0x00");
    }

    const std::string &bus = w[0];
    const int fd = kt_i2c_open(bus.c_str());
    if (fd < 0) {
        return failure("cannot open " + bus + ": " + std::strerror(errno));
    }
    const auto slave = static_cast<unsigned>(*addr);
    std::vector<std::uint8_t> rbytes(count);
    int rc;
    if (op == "write") {
        rc = kt_i2c_write(fd, slave, wbytes.data(), static_cast<int>(wbytes.size()));
    } else if (op == "read") {
        rc = kt_i2c_read(fd, slave, rbytes.data(), static_cast<int>(count));
    } else {
        rc = kt_i2c_rdwr(fd, slave, wbytes.data(), static_cast<int>(wbytes.size()), rbytes.data(),
                         static_cast<int>(count));
    }
    const int err = errno;
    kt_i2c_close(fd);
    char where[32];
    std::snprintf(where, sizeof where, "slave 0x%02x on ", static_cast<unsigned>(*addr));
    if (rc < 0) {
        return failure(op + " with " + where + bus + " failed: " + std::strerror(err));
    }
    if (op == "write") {
        std::fprintf(stderr, "wrote %zu bytes to %s%s\n", wbytes.size(), where, bus.c_str());
    } else {
        std::printf("%s\n", hex_bytes(rbytes.data(), rbytes.size()).c_str());
    }
    return kOk;
}

}  // namespace ktio
