// Framing of the command connection over real loopback TCP sockets.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "kt_cmd.h"
#include "test_socket.h"
#include "wait.h"

using namespace std::chrono_literals;

namespace {

using ktcmd_test::make_tcp_pair;
using ktcmd_test::TcpPair;
using ktcmd_test::write_all;

void expect_invariants(const kt_netword &nw) {
    EXPECT_EQ(nw.capacity, KT_NETWORD_SIZE);
    EXPECT_GE(nw.consumed, 0);
    EXPECT_LE(nw.consumed, nw.fill);
    EXPECT_LE(nw.fill, KT_NETWORD_SIZE);
}

// One connection, receiving side driven in the documented calling order.
class Connection {
  public:
    Connection() : pair_(make_tcp_pair(false)) { kt_netword_init(&nw_); }

    // Sends `bytes` from the peer and receives until all of them have arrived, cutting
    // lines after every receive. Returns the lines cut.
    std::vector<std::string> feed(const std::string &bytes) {
        EXPECT_TRUE(write_all(pair_.peer.get(), bytes));
        std::vector<std::string> lines;
        size_t arrived = 0;
        while (arrived < bytes.size()) {
            const int32_t before = nw_.fill >= KT_NETWORD_SIZE ? 0 : nw_.fill;
            EXPECT_EQ(kt_recv(pair_.local.get(), &nw_), 0);
            arrived += static_cast<size_t>(nw_.fill - before);
            drain(lines);
        }
        return lines;
    }

    void drain(std::vector<std::string> &lines) {
        while (kt_get_complete_cmd(&nw_) == 0) {
            expect_invariants(nw_);
            EXPECT_EQ(nw_.data[nw_.consumed - 2], '\0');
            EXPECT_EQ(nw_.data[nw_.consumed - 1], '\n');
            lines.emplace_back(nw_.data, static_cast<size_t>(nw_.consumed - 2));
        }
        expect_invariants(nw_);
        EXPECT_EQ(nw_.consumed, 0);
    }

    kt_netword nw_;
    TcpPair pair_;
};

using Lines = std::vector<std::string>;

TEST(Framing, TwoLinesInOneReceive) {
    Connection c;
    ASSERT_TRUE(write_all(c.pair_.peer.get(), "[1]a()\r\n[2]b()\r\n"));
    ASSERT_EQ(kt_recv(c.pair_.local.get(), &c.nw_), 0);
    ASSERT_EQ(c.nw_.fill, 16);
    ASSERT_EQ(kt_get_complete_cmd(&c.nw_), 0);
    EXPECT_STREQ(c.nw_.data, "[1]a()");
    EXPECT_EQ(c.nw_.consumed, 8);
    ASSERT_EQ(kt_get_complete_cmd(&c.nw_), 0);
    EXPECT_STREQ(c.nw_.data, "[2]b()");
    EXPECT_EQ(c.nw_.consumed, 8);
    EXPECT_EQ(kt_get_complete_cmd(&c.nw_), -1);
    EXPECT_EQ(c.nw_.fill, 0);
    EXPECT_EQ(c.nw_.consumed, 0);
}

// A stream with empty lines, a blank line and a lone CR inside a line, split in two at
// every byte boundary, and sent one byte at a time: the same lines come out each time.
TEST(Framing, SplitAtEveryByteBoundary) {
    const std::string stream =
        "[1]a(x)\r\n\r\n[22]bb( 1 , 2 )\r\n   \r\n\r\n\r\n[3]c\rd()\r\n[4]e()\r\n";
    const Lines want = {"[1]a(x)", "[22]bb( 1 , 2 )", "   ", "[3]c\rd()", "[4]e()"};
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        Connection c;
        Lines got = c.feed(stream.substr(0, cut));
        const Lines rest = c.feed(stream.substr(cut));
        got.insert(got.end(), rest.begin(), rest.end());
        EXPECT_EQ(got, want) << "split at byte " << cut;
        EXPECT_EQ(c.nw_.fill, 0);
    }
    Connection c;
    Lines got;
    for (const char byte : stream) {
        const Lines some = c.feed(std::string(1, byte));
        got.insert(got.end(), some.begin(), some.end());
    }
    EXPECT_EQ(got, want);
}

TEST(Framing, CrAndLfInDifferentReceives) {
    Connection c;
    EXPECT_TRUE(c.feed("[5]slow(").empty());
    EXPECT_TRUE(c.feed("1)\r").empty());
    EXPECT_EQ(kt_get_complete_cmd(&c.nw_), -1);
    EXPECT_EQ(c.nw_.consumed, 0);
    EXPECT_EQ(c.feed("\n"), Lines{"[5]slow(1)"});
}

TEST(Framing, EmptyLinesAloneGiveNothing) {
    Connection c;
    EXPECT_TRUE(c.feed("\r\n\r\n").empty());
    EXPECT_EQ(c.nw_.fill, 0);
}

TEST(Framing, LoneCrAfterSkippedPairIsNoLine) {
    Connection c;
    EXPECT_TRUE(c.feed("\r\n").empty());
    // The LF of the skipped pair still lies behind the new CR, but it is stale.
    EXPECT_TRUE(c.feed("\r").empty());
    EXPECT_EQ(c.nw_.fill, 1);
    EXPECT_EQ(kt_get_complete_cmd(&c.nw_), -1);
    // The lone CR starts the next line.
    EXPECT_EQ(c.feed("[1]x()\r\n"), Lines{"\r[1]x()"});
}

TEST(Framing, LongestLineFitsAndLongerIsDiscarded) {
    Connection c;
    const std::string longest(KT_NETWORD_SIZE - 2, 'a');
    EXPECT_EQ(c.feed(longest + "\r\n"), Lines{longest});
    EXPECT_EQ(c.nw_.fill, 0);

    // 2048 bytes without CR LF: nothing comes out, the next receive discards them, and
    // what follows is a line of its own.
    const std::string overflow(KT_NETWORD_SIZE, 'b');
    EXPECT_TRUE(c.feed(overflow).empty());
    EXPECT_EQ(c.nw_.fill, KT_NETWORD_SIZE);
    EXPECT_EQ(c.feed("tail)\r\n[9]ok()\r\n"), (Lines{"tail)", "[9]ok()"}));
    EXPECT_EQ(c.nw_.fill, 0);
}

TEST(Framing, FullBufferWithPendingLineKeepsConsumedWithinFill) {
    Connection c;
    const std::string stream = "[1]a()\r\n" + std::string(KT_NETWORD_SIZE - 8, 'z');
    ASSERT_TRUE(write_all(c.pair_.peer.get(), stream));
    while (c.nw_.fill < KT_NETWORD_SIZE) {
        ASSERT_EQ(kt_recv(c.pair_.local.get(), &c.nw_), 0);
    }
    ASSERT_EQ(kt_get_complete_cmd(&c.nw_), 0);
    ASSERT_EQ(c.nw_.consumed, 8);
    // Receiving again before the line is dropped: the full buffer is discarded, and the
    // pending line with it.
    ASSERT_TRUE(write_all(c.pair_.peer.get(), "[2]b()\r\n"));
    ASSERT_EQ(kt_recv(c.pair_.local.get(), &c.nw_), 0);
    expect_invariants(c.nw_);
    EXPECT_EQ(c.nw_.consumed, 0);
    ASSERT_EQ(kt_get_complete_cmd(&c.nw_), 0);
    EXPECT_STREQ(c.nw_.data, "[2]b()");
}

// The discard of a full buffer is part of a successful receive only: a peer that closes
// instead leaves all 2048 bytes in place.
TEST(Framing, ClosedPeerLeavesFullBufferAlone) {
    Connection c;
    EXPECT_TRUE(c.feed(std::string(KT_NETWORD_SIZE, 'q')).empty());
    c.pair_.peer.reset();
    EXPECT_EQ(kt_recv(c.pair_.local.get(), &c.nw_), -1);
    EXPECT_EQ(c.nw_.fill, KT_NETWORD_SIZE);
    EXPECT_EQ(c.nw_.data[KT_NETWORD_SIZE - 1], 'q');
}

TEST(Framing, ReceiveOutcomes) {
    TcpPair pair = make_tcp_pair(true);
    kt_netword nw;
    kt_netword_init(&nw);
    EXPECT_EQ(kt_recv(pair.local.get(), nullptr), -1);
    EXPECT_EQ(kt_get_complete_cmd(nullptr), -1);
    kt_netword_init(nullptr);  // ignored

    // Nothing available on a non-blocking socket: success, nothing changes.
    EXPECT_EQ(kt_recv(pair.local.get(), &nw), 0);
    EXPECT_EQ(nw.fill, 0);

    ASSERT_TRUE(write_all(pair.peer.get(), "[1]a("));
    while (nw.fill < 5) {
        ASSERT_EQ(kt_recv(pair.local.get(), &nw), 0);
    }
    // Peer closed: -1, the buffered part stays as it was.
    pair.peer.reset();
    int rc = 0;
    EXPECT_TRUE(
        kttest::wait_until([&] { return (rc = kt_recv(pair.local.get(), &nw)) != 0; }, 10s));
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(nw.fill, 5);
    EXPECT_EQ(std::string(nw.data, 5), "[1]a(");

    // A receive error: -1, errno from recv, nothing changed.
    errno = 0;
    EXPECT_EQ(kt_recv(-1, &nw), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(nw.fill, 5);
}

TEST(LineSearch, FindsFirstCrLfAndAddsToCounter) {
    int32_t counter = 5;
    EXPECT_EQ(kt_cmd_is_complete("ab\r\ncd\r\n", 8, &counter), 1);
    EXPECT_EQ(counter, 9);
    EXPECT_EQ(kt_cmd_is_complete("\r\n", 2, &counter), 1);
    EXPECT_EQ(counter, 11);

    counter = 7;
    EXPECT_EQ(kt_cmd_is_complete("\r", 1, &counter), 0);
    EXPECT_EQ(kt_cmd_is_complete("abc\r", 4, &counter), 0);
    EXPECT_EQ(kt_cmd_is_complete("\n\r", 2, &counter), 0);
    EXPECT_EQ(kt_cmd_is_complete("a\r\r\n", 3, &counter), 0);  // the LF lies outside
    EXPECT_EQ(kt_cmd_is_complete("\r\n", 0, &counter), 0);
    EXPECT_EQ(kt_cmd_is_complete("\r\n", -4, &counter), 0);
    EXPECT_EQ(kt_cmd_is_complete(nullptr, 2, &counter), 0);
    EXPECT_EQ(kt_cmd_is_complete("\r\n", 2, nullptr), 0);
    EXPECT_EQ(counter, 7);
}

TEST(Send, SendsOrRefuses) {
    TcpPair pair = make_tcp_pair(true);
    EXPECT_EQ(kt_send(pair.peer.get(), nullptr, 4), -1);
    EXPECT_EQ(kt_send(pair.peer.get(), "abcd", -1), -1);
    char buf[16];
    EXPECT_EQ(recv(pair.local.get(), buf, sizeof buf, MSG_DONTWAIT), -1);  // nothing sent
    EXPECT_EQ(errno, EAGAIN);

    EXPECT_EQ(kt_send(pair.peer.get(), "ACK()\r\n", 7), 7);
    EXPECT_EQ(ktcmd_test::read_exactly(pair.local.get(), 7), "ACK()\r\n");
    EXPECT_EQ(kt_send(pair.peer.get(), "", 0), 0);

    // A peer that has gone away gives -1, and the process lives on.
    pair.local.reset();
    int rc = 0;
    EXPECT_TRUE(
        kttest::wait_until([&] { return (rc = kt_send(pair.peer.get(), "x\r\n", 3)) < 0; }, 10s));
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;
}

}  // namespace
