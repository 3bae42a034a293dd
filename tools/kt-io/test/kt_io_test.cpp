// Runs kt-io as an engineer would, against a register file, a pseudo-terminal and an
// adapter path, and checks its output, exit status and effect.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "process.h"
#include "temp_dir.h"
#include "wait.h"

using Strings = std::vector<std::string>;
using kttest::Result;
using namespace std::chrono_literals;

// Runs the tool (under the emulator in cross builds) to its end.
static Result run(const Strings &args) {
    return kttest::run(kttest::program(KT_IO_PROGRAM, args), 30s);
}

// Checks the exit status and that standard error contains `text`.
static void expect_failure(const Strings &args, int status, const std::string &text) {
    const Result r = run(args);
    EXPECT_EQ(r.status, status) << args[0] << " " << args[1] << " " << r.err;
    EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
}

TEST(KtIo, RegisterReadWriteAndDumpOnAMappedFile) {
    const kttest::TempDir dir("kt_io_test");
    const std::string p = dir.file("regs");
    const int fd = open(p.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    unsigned char bytes[256];
    for (int i = 0; i < 256; ++i) {
        bytes[i] = static_cast<unsigned char>(i);
    }
    ASSERT_EQ(write(fd, bytes, 256), 256);
    EXPECT_EQ(run({"reg", "read", p, "0x10"}).out, "0x00000010: 0x13121110\n");
    EXPECT_EQ(run({"reg", "read", p, "0x12", "-w", "16"}).out, "0x00000012: 0x1312\n");
    EXPECT_EQ(run({"reg", "read", "--width", "8", p, "255"}).out, "0x000000ff: 0xff\n");
    EXPECT_EQ(run({"reg", "dump", p, "0xf8", "2"}).out,
              "000000f8: fbfaf9f8 fffefdfc                    |........|\n");

    EXPECT_EQ(run({"reg", "write", p, "0x20", "0xdeadbeef"}).out, "0x00000020 <- 0xdeadbeef\n");
    EXPECT_EQ(run({"reg", "write", p, "0x32", "0xa55a", "-w", "16"}).status, 0);
    EXPECT_EQ(run({"reg", "write", p, "0x41", "7", "-w", "8"}).status, 0);
    unsigned char got[0x43];
    ASSERT_EQ(pread(fd, got, sizeof got, 0), static_cast<ssize_t>(sizeof got));
    EXPECT_EQ(std::vector<unsigned char>(got + 0x1f, got + 0x25),
              (std::vector<unsigned char>{0x1f, 0xef, 0xbe, 0xad, 0xde, 0x24}));
    EXPECT_EQ(std::vector<unsigned char>(got + 0x31, got + 0x34),
              (std::vector<unsigned char>{0x31, 0x5a, 0xa5}));
    EXPECT_EQ(std::vector<unsigned char>(got + 0x40, got + 0x43),
              (std::vector<unsigned char>{0x40, 0x07, 0x42}));

    for (const Strings &bad : {Strings{"reg", "read", p, "0x11"},
                               {"reg", "peek", p, "0"},
                               {"reg", "read", p, "0x10", "-w", "12"},
                               {"reg", "read", p, "ten"},
                               {"reg", "write", p, "0x10", "0x100", "-w", "8"},
                               {"reg", "write", p, "0x10"},
                               {"reg", "dump", p, "0x10", "0"},
                               {"reg", "read", p, "0", "-v"},
                               {"spi"},
                               {}}) {
        EXPECT_EQ(run(bad).status, 2) << (bad.size() > 1 ? bad[1] : "");
    }
    expect_failure({"reg", "dump", p, "0xf8", "3"}, 1, "holds 256 bytes");
    expect_failure({"reg", "read", "/nonexistent/uio9", "0"}, 1, "cannot open /nonexistent/uio9");
    expect_failure({"reg", "read", "/dev/null", "0"}, 1, "cannot map 4 bytes of /dev/null");
    close(fd);
}

TEST(KtIo, UartConfiguresSendsAndReceivesOnAPseudoTerminal) {
    int master, slave;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    fcntl(master, F_SETFL, O_NONBLOCK);
    kttest::Process tool(kttest::program(
        KT_IO_PROGRAM, {"uart", name, "--speed", "9600", "--parity", "E", "--stopbits", "2",
                        "--send", "hello", "--recv", "3", "--timeout", "20000"}));
    std::string seen;
    kttest::wait_until(
        [&] {
            char buf[16];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) {
                seen.append(buf, static_cast<size_t>(n));
            }
            return seen.size() >= 5;
        },
        20s);
    EXPECT_EQ(seen, "hello");
    ASSERT_EQ(write(master, "a\rc", 3), 3);
    EXPECT_EQ(tool.wait(30s), 0) << tool.errors();
    EXPECT_EQ(tool.output(), "a\rc");
    EXPECT_NE(tool.errors().find("9600 8E2, flow none"), std::string::npos) << tool.errors();
    termios t{};
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t{B9600});
    EXPECT_EQ(t.c_cflag & CSTOPB, tcflag_t{CSTOPB});

    expect_failure({"uart", name, "--recv", "2", "--timeout", "50"}, 1, "received 0 of 2 bytes");
    expect_failure({"uart", name, "--speed", "250000"}, 2, "unsupported speed");
    expect_failure({"uart", name, "--parity", "X"}, 2, "parity must be");
    expect_failure({"uart", name, "--send-hex", "0g"}, 2, "bad hex bytes");
    expect_failure({"uart", name, "--flow"}, 2, "needs a value");
    expect_failure({"uart", "/dev/null"}, 1, "not a terminal");
    close(slave);
    close(master);
}

TEST(KtIo, I2cRefusesBadArgumentsAndReportsFailedTransfers) {
    for (const Strings &bad : {Strings{"i2c", "/dev/null", "0x80", "read", "1"},
                               {"i2c", "/dev/null", "0x50", "read"},
                               {"i2c", "/dev/null", "0x50", "write", "0x100"},
                               {"i2c", "/dev/null", "0x50", "rdwr", "2"},
                               {"i2c", "/dev/null", "0", "rdwr", "2", "0"}}) {
        EXPECT_EQ(run(bad).status, 2) << bad[2] << " " << bad[3];
    }
    expect_failure({"i2c", "/nonexistent/i2c-9", "0x50", "read", "2"}, 1, "cannot open");
    // /dev/null is no adapter: the transfer request itself fails.
    expect_failure({"i2c", "/dev/null", "0x50", "rdwr", "2", "0x00"}, 1,
                   "rdwr with slave 0x50 on /dev/null failed");
}
