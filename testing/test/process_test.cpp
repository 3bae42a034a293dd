// The process starter on helper roles of this program: what they print, how they end,
// and what they get handed; the waiting, folder and port helpers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "helper.h"
#include "ports.h"
#include "process.h"
#include "temp_dir.h"
#include "wait.h"

using namespace std::chrono_literals;

KT_TEST_HELPER(echo) {
    for (int i = 0; i < argc; ++i) {
        printf("%s\n", argv[i]);
    }
    fprintf(stderr, "to stderr\n");
    return argc;
}

// Prints a line, then waits for a line on descriptor 3 and answers it on descriptor 4.
KT_TEST_HELPER(serve) {
    printf("ready\n");
    char line[32] = {};
    const ssize_t n = read(3, line, sizeof line - 1);
    const std::string answer = "got " + std::string(line, n > 0 ? static_cast<size_t>(n) : 0);
    return write(4, answer.data(), answer.size()) > 0 ? 0 : 1;
}

// Prints its descriptor limit and an environment variable.
KT_TEST_HELPER(limits) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const char *v = getenv("KT_TEST_VALUE");
    printf("%lu %lu %s\n", static_cast<unsigned long>(limit.rlim_cur),
           static_cast<unsigned long>(limit.rlim_max), v != nullptr ? v : "-");
    return 0;
}

KT_TEST_HELPER(sleeper) {
    printf("sleeping\n");
    pause();
    return 0;
}

TEST(ProcessTest, HelperRoleGetsItsArgumentsAndItsOutputAndStatusComeBack) {
    const kttest::Result r = kttest::run(kttest::helper("echo", {"a b", "", "c"}));
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "a b\n\nc\n");
    EXPECT_EQ(r.err, "to stderr\n");
    EXPECT_EQ(kttest::run(kttest::helper("no_such_role")).status, 127);
    EXPECT_EQ(kttest::run({"/nonexistent/program"}).status, 127);
}

TEST(ProcessTest, HandsOverDescriptorsLimitsAndEnvironment) {
    int to_child[2], from_child[2];
    ASSERT_EQ(pipe2(to_child, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(from_child, O_CLOEXEC), 0);
    kttest::ProcessOptions handed;
    handed.fds = {{to_child[0], 3}, {from_child[1], 4}};
    kttest::Process p(kttest::helper("serve"), handed);
    close(to_child[0]);
    close(from_child[1]);
    ASSERT_TRUE(p.wait_output("ready\n", 10s));
    ASSERT_EQ(write(to_child[1], "ping", 4), 4);
    char answer[16] = {};
    EXPECT_GT(read(from_child[0], answer, sizeof answer - 1), 0);
    EXPECT_STREQ(answer, "got ping");
    EXPECT_EQ(p.wait(10s), 0);
    close(to_child[1]);
    close(from_child[0]);

    kttest::ProcessOptions limited;
    limited.env = {"KT_TEST_VALUE=x=y"};
    limited.fd_limit = 77;
    const kttest::Result r = kttest::run(kttest::helper("limits"), 30s, limited);
    EXPECT_EQ(r.out, "77 77 x=y\n");
}

TEST(ProcessTest, WaitEndsAtItsTimeOutAndStopReportsTheSignal) {
    kttest::Process p(kttest::helper("sleeper"));
    ASSERT_TRUE(p.wait_output("sleeping\n", 10s));
    EXPECT_EQ(p.wait(50ms), -1);
    EXPECT_TRUE(p.running());
    EXPECT_EQ(p.stop(SIGTERM, 10s), 128 + SIGTERM);
    EXPECT_FALSE(p.running());
}

TEST(WaitUntilTest, ReturnsAsSoonAsTheConditionHoldsAndFalseAfterTheTimeOut) {
    int calls = 0;
    EXPECT_TRUE(kttest::wait_until([&] { return ++calls == 3; }, 10s));
    EXPECT_EQ(calls, 3);
    EXPECT_FALSE(kttest::wait_until([] { return false; }, 5ms));
}

TEST(TempDirTest, IsRemovedWithItsContents) {
    std::string path;
    {
        kttest::TempDir dir("kt-temp-test");
        path = dir.path();
        FILE *f = fopen(dir.file("x").c_str(), "w");
        ASSERT_NE(f, nullptr);
        fclose(f);
        ASSERT_EQ(access(dir.file("x").c_str(), F_OK), 0);
    }
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST(PortsTest, EndpointPortsAndTheStatesOfRealSockets) {
    EXPECT_EQ(kttest::endpoint_port("tcp://127.0.0.1:22720"), 22720);
    EXPECT_EQ(kttest::endpoint_port("inproc://x"), 0);
    EXPECT_EQ(kttest::endpoint_port("tcp://127.0.0.1:70000"), 0);

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len), 0);
    const uint16_t port = ntohs(addr.sin_port);
    EXPECT_FALSE(kttest::listening(port));
    ASSERT_EQ(listen(listener, 1), 0);
    EXPECT_TRUE(kttest::listening(port));
    EXPECT_EQ(kttest::connections_to(port), 0);
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    EXPECT_EQ(kttest::connections_to(port), 1);
    close(client);
    close(listener);
    EXPECT_FALSE(kttest::listening(port));
}
