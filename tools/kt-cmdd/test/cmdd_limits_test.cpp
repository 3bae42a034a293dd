// The command server against clients that hold on to it: idle connections, more clients
// than it serves at once, and a process out of descriptors.
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "cmdd_testing.h"
#include "process.h"
#include "server.h"
#include "test_socket.h"
#include "wait.h"

namespace {

using ktcmd_test::connect_loopback;
using ktcmd_test::Fd;
using ktcmd_test::write_all;
using ktcmdd_test::Lines;
using ktcmdd_test::read_lines;
using namespace std::chrono_literals;

// Sends ping with the ID `id` and tells whether its reply came back.
bool pings(const Fd &fd, const std::string &id) {
    return write_all(fd.get(), "[" + id + "]ping()\r\n") &&
           read_lines(fd.get(), 1) == Lines{"[" + id + "]ACK(pong;DONE;…)\r\n"};
}

// Waits until the server has closed `fd`: true when the connection ended without data.
bool closed_by_server(const Fd &fd) {
    bool eof = false;
    return read_lines(fd.get(), 0, &eof).empty() && eof;
}

using LimitedServer = ktcmdd_test::ServerTest;

TEST_F(LimitedServer, IdleConnectionIsClosedWhileAnActiveOneStays) {
    constexpr auto kIdle = 1000ms;
    start_server(kIdle);
    const Fd idle = connect_loopback(server_.port());
    const Fd active = connect_loopback(server_.port());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(pings(idle, "idle"));
    // The active client sends a command every 100 ms until the idle one is closed.
    pollfd idle_poll{idle.get(), POLLIN, 0};
    for (int n = 0; poll(&idle_poll, 1, 100) == 0; ++n) {
        ASSERT_TRUE(pings(active, std::to_string(n)));
        ASSERT_LT(n, 300) << "the idle connection was not closed in 30 s";
    }
    EXPECT_TRUE(closed_by_server(idle));
    EXPECT_GE(std::chrono::steady_clock::now() - start, kIdle) << "closed before its time-out";
    EXPECT_TRUE(pings(active, "last"));
}

TEST_F(LimitedServer, ClientsBeyondTheCapAreClosedUntilOneLeaves) {
    start_server(ktcmdd::Server::kDefaultIdleTimeout, 2);
    const Fd first = connect_loopback(server_.port());
    const Fd second = connect_loopback(server_.port());
    ASSERT_TRUE(pings(first, "1"));
    ASSERT_TRUE(pings(second, "2"));
    const Fd refused = connect_loopback(server_.port());
    EXPECT_TRUE(closed_by_server(refused));

    // The first client stops sending; the server closes its side and frees the slot.
    shutdown(first.get(), SHUT_WR);
    ASSERT_TRUE(closed_by_server(first));
    const Fd third = connect_loopback(server_.port());
    EXPECT_TRUE(pings(third, "3"));
    EXPECT_TRUE(pings(second, "2b"));
}

// CPU time (user and system) that process `pid` has used, in clock ticks.
long cpu_ticks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The fields after the command name in parentheses, from the state on; utime and
    // stime are the 12th and 13th of them.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) {
        fields >> skip;
    }
    long utime = 0, stime = 0;
    fields >> utime >> stime;
    return utime + stime;
}

int open_descriptors(pid_t pid) {
    DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    int count = 0;
    while (dir != nullptr && readdir(dir) != nullptr) {
        ++count;
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    return count - 2;  // "." and ".."
}

// With every descriptor in use and clients still waiting in the backlog, the server
// neither spins on the listener nor stops serving the connections it has.
TEST(CommandServerProgram, BacksOffWhileOutOfDescriptors) {
    constexpr unsigned long kMaxFds = 32;
    kttest::ProcessOptions options;
    options.fd_limit = kMaxFds;
    kttest::Process program(kttest::program(KT_CMDD_PATH, {"-p", "0", "-q"}), options);
    const unsigned port = ktcmdd_test::listening_port(program);
    ASSERT_NE(port, 0u) << program.output() << program.errors();

    std::vector<Fd> clients;
    for (unsigned long i = 0; i < kMaxFds + 8; ++i) {
        clients.push_back(connect_loopback(static_cast<uint16_t>(port)));
    }
    const std::string report = "kt-cmdd: cannot accept connections (Too many open files)";
    ASSERT_TRUE(kttest::wait_until(
        [&] { return open_descriptors(program.pid()) >= static_cast<int>(kMaxFds); }, 20s))
        << "the server did not take connections up to its limit";
    ASSERT_TRUE(program.wait_errors(report, 10s)) << program.errors();
    // Out of descriptors with clients in the backlog now. A server that retries at once
    // burns about 100 ticks a second; one that backs off next to none. Spinning shows only
    // over time, so the CPU time is measured over a fixed window.
    const long before = cpu_ticks(program.pid());
    std::this_thread::sleep_for(2s);
    EXPECT_LT(cpu_ticks(program.pid()) - before, 20);
    EXPECT_TRUE(pings(clients.front(), "1"));

    clients.clear();
    const Fd late = connect_loopback(static_cast<uint16_t>(port));
    EXPECT_TRUE(pings(late, "2"));

    EXPECT_EQ(program.stop(SIGTERM, 10s), 0);
    const std::string errors = program.errors();
    const size_t at = errors.find(report);
    EXPECT_NE(at, std::string::npos) << errors;
    EXPECT_EQ(errors.find(report, at + 1), std::string::npos) << "reported more than once";
}

TEST(CommandServerProgram, HelpAndBadOptions) {
    const auto exit_code = [](const std::vector<std::string> &args, std::string &out) {
        const kttest::Result r = kttest::run(kttest::program(KT_CMDD_PATH, args), 10s);
        out = r.out;
        return r.status;
    };
    std::string out;
    for (const char *help : {"--help", "-h"}) {
        EXPECT_EQ(exit_code({help}, out), 0) << help;
        EXPECT_NE(out.find("--idle-timeout SECONDS"), std::string::npos) << out;
        EXPECT_NE(out.find("--max-connections COUNT"), std::string::npos) << out;
    }
    for (const char *bad : {"--max-connections=0", "--idle-timeout=-1", "-t1x", "--nosuch"}) {
        EXPECT_EQ(exit_code({bad}, out), 2) << bad;
        EXPECT_EQ(out, "") << bad;
    }
}

}  // namespace
