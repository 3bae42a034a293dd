// The readiness notification on its own: sent once the notifying process itself listens
// on its ports, never before, and replaced by a status line when they do not come.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "helper.h"
#include "notify_socket.h"
#include "ports.h"
#include "process.h"
#include "service_notify.h"
#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;
using ktdaqd_test::NotifySocket;

constexpr uint16_t kPort = 22990;

// A TCP socket on 127.0.0.1:`port`, bound and, if `listen_too`, listening; -1 on failure.
int tcp_socket(uint16_t port, bool listen_too) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        (listen_too && listen(fd, 1) != 0)) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    return fd;
}

}  // namespace

// Asks for the notification for the port argv[0] within argv[1] ms, prints "asked", then
// listens on the port once a byte arrives on descriptor 3 and prints "listening".
KT_TEST_HELPER(listen_when_told) {
    const auto port = static_cast<uint16_t>(atoi(argv[0]));
    ktdaqd::notify_ready_when_listening({port}, "serving on the test port",
                                        std::chrono::milliseconds(atoi(argv[1])));
    printf("asked\n");
    fflush(stdout);
    char go = 0;
    if (read(3, &go, 1) != 1) {
        pause();  // never told: never listens
    }
    const int fd = tcp_socket(port, true);
    printf(fd >= 0 ? "listening\n" : "cannot listen\n");
    fflush(stdout);
    pause();
    return 0;
}

class ServiceNotifyTest : public ::testing::Test {
  protected:
    kttest::TempDir dir_{"kt_daqd_notify"};
    NotifySocket manager_{dir_.file("notify")};
};

TEST_F(ServiceNotifyTest, ReadyOnlyOnceThePortListens) {
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    kttest::ProcessOptions options;
    options.env = {manager_.env()};
    options.fds = {{go[0], 3}};
    kttest::Process notifier(kttest::helper("listen_when_told", {std::to_string(kPort), "20000"}),
                             options);
    close(go[0]);
    ASSERT_TRUE(notifier.wait_output("asked\n", 10s)) << notifier.errors();
    // Proves that nothing is sent while the port does not listen: a fixed wait.
    EXPECT_EQ(manager_.receive(500ms), std::nullopt);

    ASSERT_EQ(write(go[1], "x", 1), 1);
    const auto message = manager_.receive(10s);
    ASSERT_TRUE(message.has_value()) << notifier.output() << notifier.errors();
    EXPECT_TRUE(kttest::listening(kPort));
    EXPECT_EQ(*message, "READY=1\nSTATUS=serving on the test port");
    EXPECT_NE(notifier.output().find("listening\n"), std::string::npos);
    // Exactly one message: a fixed wait for a second one that must not come.
    EXPECT_EQ(manager_.receive(300ms), std::nullopt);
    close(go[1]);
}

// Another process listening on the port does not make the notifier ready; when its own
// socket never comes, it reports that after its time bound, without READY=1.
TEST_F(ServiceNotifyTest, ListenerOfAnotherProcessDoesNotCountAndTheWaitEnds) {
    const int other = tcp_socket(kPort, true);
    ASSERT_GE(other, 0);
    ASSERT_TRUE(kttest::listening(kPort));
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    kttest::ProcessOptions options;
    options.env = {manager_.env()};
    options.fds = {{go[0], 3}};
    kttest::Process notifier(kttest::helper("listen_when_told", {std::to_string(kPort), "500"}),
                             options);
    close(go[0]);
    const auto message = manager_.receive(10s);
    ASSERT_TRUE(message.has_value()) << notifier.errors();
    EXPECT_EQ(*message, "STATUS=not listening after 0.5 s on port(s) 22990");
    EXPECT_TRUE(notifier.wait_errors("kt-daqd: not listening after 0.5 s on port(s) 22990\n", 10s))
        << notifier.errors();
    close(go[1]);
    close(other);
}

TEST(ServiceNotify, ProcessListensOnlyWithAListeningSocketOfItsOwn) {
    EXPECT_FALSE(ktdaqd::process_listens(kPort));
    const int bound = tcp_socket(kPort, false);
    ASSERT_GE(bound, 0);
    EXPECT_FALSE(ktdaqd::process_listens(kPort));  // bound, not listening
    ASSERT_EQ(listen(bound, 1), 0);
    EXPECT_TRUE(ktdaqd::process_listens(kPort));
    EXPECT_FALSE(ktdaqd::process_listens(kPort + 1));
    close(bound);
    EXPECT_FALSE(ktdaqd::process_listens(kPort));
}

// Without a notification socket nothing is started: the port never listens, and still no
// report comes after the time bound.
TEST(ServiceNotify, NothingWithoutNotifySocket) {
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    kttest::ProcessOptions options;
    options.env = {"NOTIFY_SOCKET="};
    options.fds = {{go[0], 3}};
    kttest::Process notifier(kttest::helper("listen_when_told", {std::to_string(kPort), "100"}),
                             options);
    close(go[0]);
    ASSERT_TRUE(notifier.wait_output("asked\n", 10s)) << notifier.errors();
    // Proves that no report comes: a fixed wait ten times the bound.
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(notifier.errors(), "");
    close(go[1]);
}
