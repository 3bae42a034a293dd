// Runs kt-io as an engineer would, against a register file, a pseudo-terminal and an
// adapter path, and checks its output, exit status and effect.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kt_util.h"

using Strings = std::vector<std::string>;

struct Result {
    int status = -1;
    std::string out, err;
};

// The tool as a child process (under the emulator in cross builds), output piped back.
class Tool {
  public:
    explicit Tool(Strings args) {
        args.insert(args.begin(), KT_IO_PROGRAM);
        if (*KT_IO_EMULATOR) {
            args.insert(args.begin(), KT_IO_EMULATOR);
        }
        std::vector<char *> argv;
        for (auto &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        int out[2], err[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC) | pipe2(err, O_CLOEXEC), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        EXPECT_EQ(posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        close(err[1]);
        fds_[0] = {out[0], POLLIN, 0};
        fds_[1] = {err[0], POLLIN, 0};
    }
    ~Tool() { finish(); }

    Result finish() {
        std::string *sinks[2] = {&result_.out, &result_.err};
        while ((fds_[0].fd >= 0 || fds_[1].fd >= 0) && poll(fds_, 2, 30000) > 0) {
            for (int i = 0; i < 2; ++i) {
                char buf[4096];
                const ssize_t n = fds_[i].revents ? read(fds_[i].fd, buf, sizeof buf) : -1;
                if (n > 0) {
                    sinks[i]->append(buf, static_cast<size_t>(n));
                } else if (fds_[i].revents) {
                    close(fds_[i].fd);
                    fds_[i].fd = -1;
                }
            }
        }
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_) {
            result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        }
        pid_ = -1;
        return result_;
    }

  private:
    pid_t pid_ = -1;
    pollfd fds_[2];
    Result result_;
};

static Result run(const Strings &args) {
    return Tool(args).finish();
}

// Checks the exit status and that standard error contains `text`.
static void expect_failure(const Strings &args, int status, const std::string &text) {
    const Result r = run(args);
    EXPECT_EQ(r.status, status) << args[0] << " " << args[1] << " " << r.err;
    EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
}

TEST(KtIo, RegisterReadWriteAndDumpOnAMappedFile) {
    char path[] = "/tmp/kt_io_regs_XXXXXX";
    const int fd = mkstemp(path);
    unsigned char bytes[256];
    for (int i = 0; i < 256; ++i) {
        bytes[i] = static_cast<unsigned char>(i);
    }
    ASSERT_EQ(write(fd, bytes, 256), 256);
    const std::string p = path;
    EXPECT_EQ(run({"reg", "read", p, "0x10"}).out, "0x00000010: 0x13121110\n");
    EXPECT_EQ(run({"reg", "read", p, "0x12", "-w", "16"}).out, "0x00000012: 0x1312\n");
    EXPECT_EQ(run({"reg", "read", "--width", "8", p, "255"}).out, "0x000000ff: 0xff\n");
    EXPECT_EQ(run({"reg", "dump", p, "0xf8", "2"}).out,
              "0x000000f8: 0xfbfaf9f8\n0x000000fc: 0xfffefdfc\n");

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
    unlink(path);
}

TEST(KtIo, UartConfiguresSendsAndReceivesOnAPseudoTerminal) {
    int master, slave;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    fcntl(master, F_SETFL, O_NONBLOCK);
    Tool tool({"uart", name, "--speed", "9600", "--parity", "E", "--stopbits", "2", "--send",
               "hello", "--recv", "3", "--timeout", "20000"});
    std::string seen;
    for (int i = 0; i < 4000 && seen.size() < 5; ++i) {
        char buf[16];
        const ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) {
            seen.append(buf, static_cast<size_t>(n));
        } else {
            kt_sleep_ms(5);
        }
    }
    EXPECT_EQ(seen, "hello");
    ASSERT_EQ(write(master, "a\rc", 3), 3);
    const Result r = tool.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "a\rc");
    EXPECT_NE(r.err.find("9600 8E2, flow none"), std::string::npos) << r.err;
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
