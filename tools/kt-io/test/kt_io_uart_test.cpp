// kt-io uart against pseudo-terminals: escapes in the text it sends, the high rates, and
// the interactive terminal with its keyboard on a second pseudo-terminal or a pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "process.h"
#include "wait.h"

using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

// A pseudo-terminal pair whose descriptors stay out of the tool's process.
struct Pty {
    Pty() {
        char path[128] = {};
        EXPECT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
        name = path;
        for (int fd : {master, slave}) {
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        fcntl(master, F_SETFL, O_NONBLOCK);
    }
    ~Pty() {
        close(slave);
        close(master);
    }
    void type(const std::string &text) const {
        EXPECT_EQ(write(master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // Collects what the master side reads until it holds `want` bytes.
    std::string read_bytes(std::size_t want) const {
        std::string seen;
        kttest::wait_until(
            [&] {
                char buf[256];
                const ssize_t n = read(master, buf, sizeof buf);
                if (n > 0) {
                    seen.append(buf, static_cast<std::size_t>(n));
                }
                return seen.size() >= want;
            },
            20s);
        return seen;
    }
    termios attributes() const {
        termios t{};
        EXPECT_EQ(tcgetattr(slave, &t), 0);
        return t;
    }
    speed_t speed() const {
        const termios t = attributes();
        return cfgetospeed(&t);
    }
    bool canonical() const { return attributes().c_lflag & ICANON; }
    int master = -1, slave = -1;
    std::string name;
};

kttest::Result run(const Strings &args) {
    return kttest::run(kttest::program(KT_IO_PROGRAM, args), 30s);
}

}  // namespace

TEST(KtIoUart, SendTextWithEscapesAtRatesAboveTheTables) {
    Pty port;
    const auto one = run({"uart", port.name, "--speed", "4000000", "--send", "\\n"});
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_NE(one.err.find("4000000 8N1"), std::string::npos) << one.err;
    EXPECT_NE(one.err.find("sent 1 byte\n"), std::string::npos) << one.err;
    EXPECT_EQ(port.read_bytes(1), "\n");

    // The port's speed is checked at 460800: the user-mode emulator of the cross build
    // carries speed codes to the kernel only up to that rate.
    const auto r =
        run({"uart", port.name, "--speed", "460800", "--send", "ID?\\r\\n\\x00\\x7F\\t\\\\"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(port.read_bytes(9), std::string("ID?\r\n\0\x7f\t\\", 9));
    EXPECT_NE(r.err.find("sent 9 bytes\n"), std::string::npos) << r.err;
    EXPECT_EQ(port.speed(), speed_t{B460800});

    for (const std::string bad : {"\\q", "end\\", "\\x4", "\\xg0", "\\X41"}) {
        const auto r2 = run({"uart", port.name, "--send", bad});
        EXPECT_EQ(r2.status, 2) << bad;
        EXPECT_NE(r2.err.find("--send: "), std::string::npos) << r2.err;
    }
    // Unknown rates are refused before the port is touched.
    for (const std::string bad : {"250000", "4000001", "0", "2147483648"}) {
        EXPECT_EQ(run({"uart", port.name, "--speed", bad}).status, 2) << bad;
    }
    EXPECT_EQ(port.speed(), speed_t{B460800});
}

TEST(KtIoUart, TerminalPassesRawKeysAndPortBytesAndRestoresTheKeyboard) {
    Pty port, keyboard;
    ASSERT_TRUE(keyboard.canonical());
    kttest::ProcessOptions options;
    options.fds = {{keyboard.slave, STDIN_FILENO}};
    kttest::Process tool(kttest::program(KT_IO_PROGRAM, {"uart", port.name, "--term"}), options);
    // Keys are typed only once the keyboard is raw: a cooked one would hold them back.
    ASSERT_TRUE(kttest::wait_until([&] { return !keyboard.canonical(); }, 20s)) << tool.errors();
    keyboard.type("AT\r");
    EXPECT_EQ(port.read_bytes(3), "AT\r") << "CR must reach the port unchanged";
    port.type("OK\r\n");
    EXPECT_TRUE(tool.wait_output("OK\r\n", 20s)) << tool.output();
    // The exit key ends the terminal; what was typed before it still goes out.
    keyboard.type("x\x1dy");
    EXPECT_EQ(tool.wait(20s), 0) << tool.errors();
    EXPECT_EQ(port.read_bytes(1), "x");
    char rest[8];
    EXPECT_EQ(read(port.master, rest, sizeof rest), -1) << "nothing after the exit key";
    EXPECT_TRUE(keyboard.canonical()) << "keyboard settings restored";
    EXPECT_NE(tool.errors().find("Ctrl-] quits"), std::string::npos) << tool.errors();

    // SIGTERM ends it just as cleanly.
    kttest::Process again(kttest::program(KT_IO_PROGRAM, {"uart", port.name, "--term"}), options);
    ASSERT_TRUE(kttest::wait_until([&] { return !keyboard.canonical(); }, 20s));
    EXPECT_EQ(again.stop(SIGTERM, 20s), 0) << again.errors();
    EXPECT_TRUE(keyboard.canonical());
}

TEST(KtIoUart, TerminalShowsHexAndEchoesKeysFromAPipeUntilItEnds) {
    Pty port;
    int keys[2];
    ASSERT_EQ(pipe2(keys, O_CLOEXEC), 0);
    kttest::ProcessOptions options;
    options.fds = {{keys[0], STDIN_FILENO}};
    kttest::Process tool(
        kttest::program(KT_IO_PROGRAM, {"uart", port.name, "--term", "--hex", "--echo"}), options);
    close(keys[0]);
    ASSERT_TRUE(tool.wait_errors("quits", 20s)) << tool.errors();
    std::string line(17, '\0');
    for (int i = 0; i < 17; ++i) {
        line[i] = static_cast<char>(0xf0 + i);
    }
    port.type(line);
    const std::string hex16 = "f0 f1 f2 f3 f4 f5 f6 f7 f8 f9 fa fb fc fd fe ff\r\n00 ";
    EXPECT_TRUE(tool.wait_output(hex16, 20s)) << tool.output();
    ASSERT_EQ(write(keys[1], "hi", 2), 2);
    EXPECT_EQ(port.read_bytes(2), "hi");
    EXPECT_TRUE(tool.wait_output(hex16 + "hi", 20s)) << tool.output();
    close(keys[1]);
    EXPECT_EQ(tool.wait(20s), 0) << tool.errors();
    EXPECT_NE(tool.errors().find("terminal closed"), std::string::npos);

    for (const Strings &bad : {Strings{"uart", port.name, "--term", "--recv", "2"},
                               Strings{"uart", port.name, "--echo"}}) {
        EXPECT_EQ(run(bad).status, 2) << bad.back();
    }
}
