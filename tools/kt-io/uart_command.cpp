// kt-io uart: configure a serial port, then send and/or receive.
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "escapes.h"
#include "help.h"
#include "kt_uart.h"
#include "uart_term.h"

namespace ktio {
namespace {

struct Settings {
    int speed = 115200;
    int flow = 0;
    int databits = 8;
    int stopbits = 1;
    int parity = 'N';
};

const char *const kFlowNames[] = {"none", "rtscts", "xonxoff"};

// Whether libktuart knows the rate: its setter changes a record only for rates it knows.
bool supported_speed(std::uint64_t speed) {
    if (speed == 0 || speed > 0x7fffffff) {
        return false;
    }
    termios t{};
    cfsetispeed(&t, B0);
    cfsetospeed(&t, B0);
    kt_uart_set_speed(&t, static_cast<int>(speed));
    return cfgetospeed(&t) != B0;
}

// Reads the settings from the options; returns kOk or a usage error.
int read_settings(const Args &args, Settings &s) {
    if (auto v = args.option("--speed")) {
        const auto n = parse_number(*v);
        if (!n || !supported_speed(*n)) {
            return usage_error("unsupported speed '" + *v + "'");
        }
        s.speed = static_cast<int>(*n);
    }
    if (auto v = args.option("--parity")) {
        if (v->size() != 1 || std::strchr("NEOSneos", (*v)[0]) == nullptr) {
            return usage_error("parity must be N, E, O or S, not '" + *v + "'");
        }
        s.parity = (*v)[0] & ~0x20;  // upper case
    }
    if (auto v = args.option("--databits")) {
        const auto n = parse_number(*v);
        if (!n || *n < 5 || *n > 8) {
            return usage_error("data bits must be 5 to 8, not '" + *v + "'");
        }
        s.databits = static_cast<int>(*n);
    }
    if (auto v = args.option("--stopbits")) {
        const auto n = parse_number(*v);
        if (!n || (*n != 1 && *n != 2)) {
            return usage_error("stop bits must be 1 or 2, not '" + *v + "'");
        }
        s.stopbits = static_cast<int>(*n);
    }
    if (auto v = args.option("--flow")) {
        s.flow = -1;
        for (int i = 0; i < 3; ++i) {
            if (*v == kFlowNames[i] || *v == std::to_string(i)) {
                s.flow = i;
            }
        }
        if (s.flow < 0) {
            return usage_error("flow control must be none, rtscts or xonxoff, not '" + *v + "'");
        }
    }
    return kOk;
}

bool parse_hex_bytes(const std::string &text, std::vector<std::uint8_t> &out) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == ',') {
            continue;
        }
        if (std::strchr("0123456789abcdefABCDEF", c) == nullptr || c == '\0') {
            return false;
        }
        digits += c;
    }
    if (digits.size() % 2 != 0) {
        return false;
    }
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return true;
}

const char *init_error(int rc) {
    switch (rc) {
        case -1:
            return "cannot read the port settings (not a terminal?)";
        case -2:
            return "speed refused";
        case -3:
            return "flow control refused";
        case -4:
            return "data bits refused";
        case -5:
            return "parity refused";
        case -6:
            return "stop bits refused";
        default:
            return "cannot apply the port settings";
    }
}

// Collects up to `want` bytes, polling without blocking until the time-out.
std::vector<std::uint8_t> receive(int fd, std::size_t want, int timeout_ms) {
    std::vector<std::uint8_t> got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::uint8_t buf[4096];
    while (got.size() < want) {
        const std::size_t room = std::min(sizeof buf, want - got.size());
        const int n = kt_uart_recv(fd, buf, static_cast<int>(room));
        if (n > 0) {
            got.insert(got.end(), buf, buf + n);
            continue;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        usleep(2000);
    }
    return got;
}

}  // namespace

int uart_command(int argc, char **argv) {
    Args args;
    if (!split_args(argc, argv,
                    {"--speed", "--parity", "--databits", "--stopbits", "--flow", "--send",
                     "--send-hex", "--recv", "--timeout"},
                    args)) {
        return kUsage;
    }
    if (args.flag("--help") || args.flag("-h")) {
        return print_help("uart");
    }
    for (const auto &f : args.flags) {
        if (f != "--hex" && f != "--term" && f != "--echo") {
            return usage_error("unknown option '" + f + "'");
        }
    }
    const bool term = args.flag("--term");
    if (term && args.option("--recv")) {
        return usage_error("--term and --recv exclude each other");
    }
    if (!term && args.flag("--echo")) {
        return usage_error("--echo belongs to --term");
    }
    if (args.words.size() != 1) {
        return usage_error("uart takes one DEVICE");
    }
    Settings s;
    if (const int rc = read_settings(args, s); rc != kOk) {
        return rc;
    }
    std::vector<std::uint8_t> out;
    const auto text = args.option("--send");
    const auto hex = args.option("--send-hex");
    if (text && hex) {
        return usage_error("give --send or --send-hex, not both");
    }
    if (text) {
        std::string bytes, error;
        if (!unescape(*text, bytes, error)) {
            return usage_error("--send: " + error);
        }
        out.assign(bytes.begin(), bytes.end());
    }
    if (hex && !parse_hex_bytes(*hex, out)) {
        return usage_error("bad hex bytes '" + *hex + "'");
    }
    std::uint64_t recv_count = 0;
    if (auto v = args.option("--recv")) {
        const auto n = parse_number(*v);
        if (!n || *n == 0 || *n > (1u << 24)) {
            return usage_error("receive count must be 1 to 16777216, not '" + *v + "'");
        }
        recv_count = *n;
    }
    std::uint64_t timeout = 1000;
    if (auto v = args.option("--timeout")) {
        const auto n = parse_number(*v);
        if (!n || *n > 3600000) {
            return usage_error("time-out must be 0 to 3600000 ms, not '" + *v + "'");
        }
        timeout = *n;
    }

    const std::string &device = args.words[0];
    const int fd = kt_uart_open(0, device.c_str());
    if (fd < 0) {
        return failure("cannot open " + device + ": " + std::strerror(errno));
    }
    int status = kOk;
    const int rc = kt_uart_init(fd, s.speed, s.flow, s.databits, s.stopbits, s.parity);
    if (rc != 0) {
        status = failure(device + ": " + init_error(rc));
    } else {
        std::fprintf(stderr, "%s: %d %d%c%d, flow %s\n", device.c_str(), s.speed, s.databits,
                     s.parity, s.stopbits, kFlowNames[s.flow]);
    }
    if (status == kOk && !out.empty()) {
        if (kt_uart_send(fd, out.data(), static_cast<int>(out.size())) < 0) {
            status = failure("sending " + std::to_string(out.size()) + " bytes failed");
        } else {
            std::fprintf(stderr, "sent %zu byte%s\n", out.size(), out.size() == 1 ? "" : "s");
        }
    }
    if (status == kOk && term) {
        std::fprintf(stderr, "kt-io: terminal on %s; Ctrl-] quits\n", device.c_str());
        status = run_terminal(fd, TermOptions{args.flag("--echo"), args.flag("--hex")});
    }
    if (status == kOk && recv_count > 0) {
        const auto got = receive(fd, recv_count, static_cast<int>(timeout));
        if (args.flag("--hex")) {
            std::printf("%s\n", hex_bytes(got.data(), got.size()).c_str());
        } else if (!got.empty()) {
            std::fwrite(got.data(), 1, got.size(), stdout);
        }
        std::fflush(stdout);
        std::fprintf(stderr, "received %zu of %llu bytes\n", got.size(),
                     static_cast<unsigned long long>(recv_count));
        if (got.size() < recv_count) {
            status = kFailed;
        }
    }
    kt_uart_close(fd);
    return status;
}

}  // namespace ktio
