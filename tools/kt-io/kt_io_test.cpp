// Runs the kt-io program as an engineer would: against a mapped file, a pseudo-terminal
// and an adapter path, checking its output, exit status and effect.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kt_util.h"

extern char **environ;

namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// The tool running as a child process, its output collected through pipes.
class Tool {
  public:
    explicit Tool(const std::vector<std::string> &args) {
        std::vector<std::string> argv;
        const std::string emulator = KT_IO_EMULATOR;
        if (!emulator.empty()) {
            argv.push_back(emulator);
        }
        argv.push_back(KT_IO_PROGRAM);
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char *> cargv;
        for (auto &a : argv) {
            cargv.push_back(a.data());
        }
        cargv.push_back(nullptr);

        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        posix_spawn_file_actions_addclose(&fa, err[0]);
        if (posix_spawnp(&pid_, cargv[0], &fa, nullptr, cargv.data(), environ) != 0) {
            ADD_FAILURE() << "cannot start " << cargv[0];
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Tool() { finish(); }

    // Waits for the tool to end and returns what it printed.
    Result finish() {
        if (pid_ > 0) {
            pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
            std::string *sinks[2] = {&result_.out, &result_.err};
            int open_pipes = 2;
            while (open_pipes > 0 && poll(fds, 2, 20000) > 0) {
                for (int i = 0; i < 2; ++i) {
                    if (fds[i].revents == 0) {
                        continue;
                    }
                    char buf[4096];
                    const ssize_t n = read(fds[i].fd, buf, sizeof buf);
                    if (n > 0) {
                        sinks[i]->append(buf, static_cast<size_t>(n));
                    } else {
                        fds[i].fd = -1;
                        --open_pipes;
                    }
                }
            }
            int status = 0;
            waitpid(pid_, &status, 0);
            result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            close(out_);
            close(err_);
            pid_ = -1;
        }
        return result_;
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    Result result_;
};

Result run(const std::vector<std::string> &args) {
    return Tool(args).finish();
}

// A temporary register file of 256 bytes holding 0x00, 0x01, ... 0xff.
class RegisterFile : public testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kt_io_regs_XXXXXX";
        fd_ = mkstemp(tmpl);
        ASSERT_GE(fd_, 0);
        path_ = tmpl;
        unsigned char bytes[256];
        for (int i = 0; i < 256; ++i) {
            bytes[i] = static_cast<unsigned char>(i);
        }
        ASSERT_EQ(write(fd_, bytes, sizeof bytes), 256);
    }
    void TearDown() override {
        close(fd_);
        unlink(path_.c_str());
    }
    std::vector<unsigned char> bytes(off_t at, size_t n) const {
        std::vector<unsigned char> v(n);
        EXPECT_EQ(pread(fd_, v.data(), n, at), static_cast<ssize_t>(n));
        return v;
    }
    int fd_ = -1;
    std::string path_;
};

}  // namespace

TEST(KtIo, UsageAndUnknownCommands) {
    Result r = run({});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("kt-io reg read"), std::string::npos);
    r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("kt-io i2c BUS ADDR rdwr"), std::string::npos);
    r = run({"spi"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown command 'spi'"), std::string::npos);
    r = run({"reg", "peek", "/dev/null", "0"});
    EXPECT_EQ(r.status, 2);
}

TEST_F(RegisterFile, ReadsEachWidth) {
    Result r = run({"reg", "read", path_, "0x10"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x00000010: 0x13121110\n");
    r = run({"reg", "read", path_, "0x12", "-w", "16"});
    EXPECT_EQ(r.out, "0x00000012: 0x1312\n");
    r = run({"reg", "read", "--width", "8", path_, "255"});
    EXPECT_EQ(r.out, "0x000000ff: 0xff\n");
}

TEST_F(RegisterFile, WritesOnlyTheAddressedRegister) {
    Result r = run({"reg", "write", path_, "0x20", "0xdeadbeef"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x00000020 <- 0xdeadbeef\n");
    EXPECT_EQ(bytes(0x1f, 6), (std::vector<unsigned char>{0x1f, 0xef, 0xbe, 0xad, 0xde, 0x24}));
    r = run({"reg", "write", path_, "0x32", "0xa55a", "-w", "16"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(bytes(0x30, 4), (std::vector<unsigned char>{0x30, 0x31, 0x5a, 0xa5}));
    r = run({"reg", "write", path_, "0x41", "7", "-w", "8"});
    EXPECT_EQ(bytes(0x40, 3), (std::vector<unsigned char>{0x40, 0x07, 0x42}));
}

TEST_F(RegisterFile, DumpsConsecutiveRegisters) {
    Result r = run({"reg", "dump", path_, "0xf8", "2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x000000f8: 0xfbfaf9f8\n0x000000fc: 0xfffefdfc\n");
    r = run({"reg", "dump", path_, "0", "3", "-w", "8"});
    EXPECT_EQ(r.out, "0x00000000: 0x00\n0x00000001: 0x01\n0x00000002: 0x02\n");
}

TEST_F(RegisterFile, RefusesBadRequestsWithoutTouchingTheFile) {
    const std::vector<std::vector<std::string>> usage = {
        {"reg", "read", path_, "0x11"},
        {"reg", "read", path_, "0x12", "-w", "32"},
        {"reg", "read", path_, "0x10", "-w", "12"},
        {"reg", "read", path_, "ten"},
        {"reg", "write", path_, "0x10", "0x100", "-w", "8"},
        {"reg", "write", path_, "0x10", "0x1ffffffff"},
        {"reg", "write", path_, "0x10"},
        {"reg", "dump", path_, "0x10", "0"},
        {"reg", "read", path_, "0x10", "-v"},
    };
    for (const auto &args : usage) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 2) << args[1] << " " << args[3];
        EXPECT_FALSE(r.err.empty());
    }
    Result r = run({"reg", "dump", path_, "0xf8", "3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("holds 256 bytes"), std::string::npos) << r.err;
    r = run({"reg", "read", "/nonexistent/uio9", "0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot open /nonexistent/uio9"), std::string::npos) << r.err;
    r = run({"reg", "read", "/dev/null", "0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot map"), std::string::npos) << r.err;
    EXPECT_EQ(bytes(0x10, 1)[0], 0x10);
}

TEST(KtIoUart, ConfiguresSendsAndReceives) {
    int master = -1, slave = -1;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    fcntl(master, F_SETFL, O_NONBLOCK);
    Tool tool({"uart", name, "--speed", "9600", "--parity", "E", "--stopbits", "2", "--send",
               "hello", "--recv", "3", "--timeout", "20000"});
    std::string seen;
    for (int i = 0; i < 2000 && seen.size() < 5; ++i) {
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
    EXPECT_EQ(t.c_iflag & INPCK, tcflag_t{INPCK});
    close(slave);
    close(master);
}

TEST(KtIoUart, ReportsTimeOutsAndBadSettings) {
    int master = -1, slave = -1;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    Result r = run({"uart", name, "--recv", "2", "--timeout", "50", "--hex"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("received 0 of 2 bytes"), std::string::npos) << r.err;
    EXPECT_EQ(run({"uart", name, "--speed", "250000"}).status, 2);
    EXPECT_EQ(run({"uart", name, "--parity", "X"}).status, 2);
    EXPECT_EQ(run({"uart", name, "--send-hex", "0g"}).status, 2);
    EXPECT_EQ(run({"uart", name, "--flow"}).status, 2);
    r = run({"uart", "/dev/null"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not a terminal"), std::string::npos) << r.err;
    close(slave);
    close(master);
}

TEST(KtIoI2c, RefusesBadArgumentsAndReportsFailedTransfers) {
    EXPECT_EQ(run({"i2c", "/dev/null", "0x80", "read", "1"}).status, 2);
    EXPECT_EQ(run({"i2c", "/dev/null", "0x50", "read"}).status, 2);
    EXPECT_EQ(run({"i2c", "/dev/null", "0x50", "write", "0x100"}).status, 2);
    EXPECT_EQ(run({"i2c", "/dev/null", "0x50", "rdwr", "2"}).status, 2);
    EXPECT_EQ(run({"i2c", "/dev/null", "0", "rdwr", "2", "0"}).status, 2);
    Result r = run({"i2c", "/nonexistent/i2c-9", "0x50", "read", "2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot open /nonexistent/i2c-9"), std::string::npos) << r.err;
    // /dev/null is no adapter: the transfer request itself fails.
    r = run({"i2c", "/dev/null", "0x50", "rdwr", "2", "0x00"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("rdwr with slave 0x50 on /dev/null failed"), std::string::npos) << r.err;
}
