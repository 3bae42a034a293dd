// kt-io i2c: bus scan, register dump, get and set, and raw transfers with one slave.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "help.h"
#include "i2c_tables.h"
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

// A bus number stands for its adapter device.
std::string bus_path(const std::string &bus) {
    const bool number = !bus.empty() && bus.find_first_not_of("0123456789") == std::string::npos;
    return number ? "/dev/i2c-" + bus : bus;
}

// The adapter, closed on scope exit.
class Adapter {
  public:
    explicit Adapter(const std::string &path) : fd_(kt_i2c_open(path.c_str())) {}
    ~Adapter() {
        if (fd_ >= 0) {
            kt_i2c_close(fd_);
        }
    }
    Adapter(const Adapter &) = delete;
    Adapter &operator=(const Adapter &) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

// Errors with which an adapter reports that no device acknowledged its address.
bool no_device(int err) {
    return err == ENXIO || err == EREMOTEIO || err == EIO || err == ETIMEDOUT || err == EAGAIN;
}

int scan(int fd, const std::string &bus, bool write_probe) {
    if (write_probe) {
        std::fputs(
            "kt-io: warning: probing with empty writes; some devices take one as a command "
            "(a write-protect latch, say) and may change state\n",
            stderr);
    }
    Probe found[128];
    std::uint8_t byte = 0;
    for (int a = 0; a < 128; ++a) {
        // 0x00-0x07 and 0x78-0x7f are reserved: general call, CBUS, 10-bit addressing.
        if (a < 0x08 || a > 0x77) {
            found[a] = Probe::kSkipped;
            continue;
        }
        const unsigned addr = static_cast<unsigned>(a);
        const int rc =
            write_probe ? kt_i2c_write(fd, addr, &byte, 0) : kt_i2c_read(fd, addr, &byte, 1);
        if (rc >= 0) {
            found[a] = Probe::kPresent;
        } else if (no_device(errno)) {
            found[a] = Probe::kAbsent;
        } else {
            char where[16];
            std::snprintf(where, sizeof where, "0x%02x", a);
            return failure(std::string("probing ") + where + " on " + bus +
                           " failed: " + std::strerror(errno) + " (is it an I2C adapter?)");
        }
    }
    std::fputs(scan_table(found).c_str(), stdout);
    return kOk;
}

// The register address as the device expects it: one byte, or two with the high first.
std::vector<std::uint8_t> register_bytes(std::uint32_t reg, bool reg16) {
    if (reg16) {
        return {static_cast<std::uint8_t>(reg >> 8), static_cast<std::uint8_t>(reg)};
    }
    return {static_cast<std::uint8_t>(reg)};
}

std::string slave_on(unsigned addr, const std::string &bus) {
    char where[32];
    std::snprintf(where, sizeof where, "slave 0x%02x on ", addr);
    return where + bus;
}

}  // namespace

int i2c_command(int argc, char **argv) {
    Args args;
    if (!split_args(argc, argv, {"--count"}, args)) {
        return kUsage;
    }
    if (args.flag("--help") || args.flag("-h")) {
        return print_help("i2c");
    }
    for (const auto &f : args.flags) {
        if (f != "--write-probe" && f != "--reg16") {
            return usage_error("unknown option '" + f + "'");
        }
    }
    auto w = args.words;
    if (w.size() < 2) {
        return usage_error("i2c takes BUS scan|dump|get|set|write|read|rdwr ...");
    }
    // The older order names the slave before the operation.
    if (w.size() >= 3 && parse_number(w[1])) {
        std::swap(w[1], w[2]);
    }
    const std::string op = w[1];
    const bool reg16 = args.flag("--reg16");
    if (op != "scan" && args.flag("--write-probe")) {
        return usage_error("--write-probe belongs to scan");
    }
    if (reg16 && op != "dump" && op != "get" && op != "set") {
        return usage_error("--reg16 belongs to dump, get and set");
    }
    if (args.option("--count") && op != "get") {
        return usage_error("--count belongs to get");
    }
    const std::string bus = bus_path(w[0]);
    if (op == "scan") {
        if (w.size() != 2) {
            return usage_error("i2c scan takes no more words");
        }
        const Adapter adapter(bus);
        if (adapter.fd() < 0) {
            return failure("cannot open " + bus + ": " + std::strerror(errno));
        }
        return scan(adapter.fd(), bus, args.flag("--write-probe"));
    }

    if (w.size() < 3) {
        return usage_error("i2c " + op + " needs the slave ADDR");
    }
    const auto addr = parse_number(w[2]);
    if (!addr || *addr > 0x7f) {
        return usage_error("slave address must be 0x00 to 0x7f, not '" + w[2] + "'");
    }
    const auto slave = static_cast<unsigned>(*addr);
    std::vector<std::uint8_t> wbytes;
    std::uint64_t count = 0;
    std::uint32_t first_reg = 0;
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
    } else if (op == "dump" || op == "get" || op == "set") {
        const std::size_t least = op == "dump" ? 3 : op == "get" ? 4 : 5;
        const std::size_t most = op == "dump" ? 4 : op == "get" ? 4 : 8192;
        if (w.size() < least || w.size() > most) {
            return usage_error("i2c " + op + " takes " +
                               (op == "dump"  ? "ADDR [START]"
                                : op == "get" ? "ADDR REG"
                                              : "ADDR REG BYTE..."));
        }
        if (w.size() > 3) {
            const auto r = parse_number(w[3]);
            if (!r || *r > (reg16 ? 0xffffu : 0xffu)) {
                return usage_error("register must be 0 to " +
                                   std::string(reg16 ? "0xffff" : "0xff") + ", not '" + w[3] + "'");
            }
            first_reg = static_cast<std::uint32_t>(*r);
        }
        wbytes = register_bytes(first_reg, reg16);
        count = op == "dump" ? 256 : op == "get" ? 1 : 0;
        if (auto c = args.option("--count")) {
            const auto n = parse_number(*c);
            if (!n || *n == 0 || *n > 8192) {
                return usage_error("count must be 1 to 8192, not '" + *c + "'");
            }
            count = *n;
        }
        if (op == "set" && !parse_bytes(w, 4, wbytes)) {
            return kUsage;
        }
    } else {
        return usage_error("unknown i2c operation '" + op + "'");
    }
    if (wbytes.size() > 8192) {
        return usage_error("at most 8192 bytes per message");
    }
    const bool combined = op == "rdwr" || op == "dump" || op == "get";
    if (combined && slave == 0) {
        return usage_error(op + " cannot address slave 0x00");
    }

    const Adapter adapter(bus);
    if (adapter.fd() < 0) {
        return failure("cannot open " + bus + ": " + std::strerror(errno));
    }
    std::vector<std::uint8_t> rbytes(count);
    int rc;
    if (op == "write" || op == "set") {
        rc = kt_i2c_write(adapter.fd(), slave, wbytes.data(), static_cast<int>(wbytes.size()));
    } else if (op == "read") {
        rc = kt_i2c_read(adapter.fd(), slave, rbytes.data(), static_cast<int>(count));
    } else {
        rc = kt_i2c_rdwr(adapter.fd(), slave, wbytes.data(), static_cast<int>(wbytes.size()),
                         rbytes.data(), static_cast<int>(count));
    }
    if (rc < 0) {
        return failure(op + " with " + slave_on(slave, bus) + " failed: " + std::strerror(errno));
    }
    if (op == "write") {
        std::fprintf(stderr, "wrote %zu byte%s to %s\n", wbytes.size(),
                     wbytes.size() == 1 ? "" : "s", slave_on(slave, bus).c_str());
    } else if (op == "set") {
        const std::size_t n = wbytes.size() - (reg16 ? 2 : 1);
        std::fprintf(stderr, "wrote %zu byte%s from register 0x%0*x of %s\n", n, n == 1 ? "" : "s",
                     reg16 ? 4 : 2, first_reg, slave_on(slave, bus).c_str());
    } else if (op == "dump") {
        std::fputs(register_table(first_reg, rbytes.data(), rbytes.size(), reg16).c_str(), stdout);
    } else {
        std::printf("%s\n", hex_bytes(rbytes.data(), rbytes.size()).c_str());
    }
    return kOk;
}

}  // namespace ktio
