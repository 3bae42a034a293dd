#include "kt_filters.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

struct Buffer {
    alignas(8) uint8_t bytes[KT_SLOT_SIZE] = {};
    kt_frame *frame() { return reinterpret_cast<kt_frame *>(bytes); }
    void set_payload(const std::vector<uint8_t> &payload, uint32_t trailer) {
        frame()->payload_len = static_cast<uint16_t>(payload.size());
        std::memcpy(bytes + 16, payload.data(), payload.size());
        std::memcpy(bytes + 16 + payload.size(), &trailer, 4);
    }
};

kt_channel channel_with(const char *param, int conn_fd = -1) {
    kt_channel ch{};
    ch.param = const_cast<char *>(param);
    ch.conn_fd = conn_fd;
    return ch;
}

TEST(DataloggerFilter, KeepsTheWordsOfTheWantedChannelInOrder) {
    Buffer b;
    b.bytes[0] = 2;
    b.bytes[1] = 3;
    b.bytes[5] = 0xaa;  // uninterpreted header bytes stay
    b.set_payload({0x02, 1, 2, 3, 0x13, 4, 5, 6, 0x22, 7, 8, 9}, 0xdeadbeef);
    std::memset(b.bytes + 32, 0x77, sizeof b.bytes - 32);  // junk behind the frame
    kt_channel ch = channel_with("2");
    ASSERT_EQ(kt_R507_datalogger_filter(&ch, b.frame()), 0);
    EXPECT_EQ(b.frame()->payload_len, 8);
    EXPECT_EQ(b.bytes[0], 2);
    EXPECT_EQ(b.bytes[5], 0xaa);
    const uint8_t kept[] = {0x02, 1, 2, 3, 0x22, 7, 8, 9};
    EXPECT_EQ(std::memcmp(b.bytes + 16, kept, 8), 0);
    uint32_t trailer = 0;
    std::memcpy(&trailer, b.bytes + 24, 4);
    EXPECT_EQ(trailer, 0xdeadbeefu);
    for (size_t i = 28; i < sizeof b.bytes; ++i) {
        ASSERT_EQ(b.bytes[i], 0) << "byte " << i;
    }
}

TEST(DataloggerFilter, ParamIsReadAsStrtolDoes) {
    const std::vector<uint8_t> payload = {0x00, 1, 1, 1, 0x17, 2, 2, 2, 0x07, 3, 3, 3};
    struct Case {
        const char *param;
        uint16_t kept;
    } cases[] = {{"16", 0}, {"x7", 4}, {" 7abc", 8}, {"-1", 0}, {"0", 4}};
    for (const Case &c : cases) {
        Buffer b;
        b.set_payload(payload, 1);
        kt_channel ch = channel_with(c.param);
        EXPECT_EQ(kt_R507_datalogger_filter(&ch, b.frame()), 0);
        EXPECT_EQ(b.frame()->payload_len, c.kept) << "param \"" << c.param << "\"";
    }
}

TEST(DataloggerFilter, LastWordMayReachIntoTheTrailer) {
    Buffer b;
    b.set_payload({0x03, 9, 9, 9, 0x03, 8}, 0x04030201);  // 6 bytes: second word ends in trailer
    kt_channel ch = channel_with("3");
    ASSERT_EQ(kt_R507_datalogger_filter(&ch, b.frame()), 0);
    EXPECT_EQ(b.frame()->payload_len, 8);
    const uint8_t second[] = {0x03, 8, 0x01, 0x02};
    EXPECT_EQ(std::memcmp(b.bytes + 20, second, 4), 0);
}

TEST(DataloggerFilter, RefusesWhatItCannotHandleSafely) {
    Buffer b;
    b.frame()->payload_len = 2029;  // would run past the buffer
    b.bytes[100] = 0x55;
    kt_channel ch = channel_with("1");
    EXPECT_EQ(kt_R507_datalogger_filter(&ch, b.frame()), -1);
    EXPECT_EQ(b.frame()->payload_len, 2029);
    EXPECT_EQ(b.bytes[100], 0x55);
    EXPECT_EQ(kt_R507_datalogger_filter(nullptr, b.frame()), -1);
    EXPECT_EQ(kt_R507_datalogger_filter(&ch, nullptr), -1);

    // Without a parameter nothing can match: no word is kept.
    Buffer p;
    p.set_payload({0x00, 0, 0, 0}, 7);
    kt_channel none = channel_with(nullptr);
    EXPECT_EQ(kt_R507_datalogger_filter(&none, p.frame()), -1);
    EXPECT_EQ(p.frame()->payload_len, 0);
}

class OutputFilterTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0); }
    void TearDown() override {
        close(fds_[0]);
        close(fds_[1]);
    }
    std::vector<uint8_t> received() {
        std::vector<uint8_t> out(4096);
        const ssize_t n = recv(fds_[1], out.data(), out.size(), MSG_DONTWAIT);
        out.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return out;
    }
    int fds_[2] = {-1, -1};
};

TEST_F(OutputFilterTest, SendsExactlyTheFrameBytes) {
    Buffer b;
    b.bytes[0] = 9;
    b.set_payload({1, 2, 3, 4, 5}, 0x11223344);
    b.bytes[25] = 0xee;  // behind the trailer: not part of the frame
    kt_channel ch = channel_with("", fds_[0]);
    ASSERT_EQ(kt_output_filter(&ch, b.frame()), 0);
    const std::vector<uint8_t> got = received();
    ASSERT_EQ(got.size(), 25u);
    EXPECT_EQ(std::memcmp(got.data(), b.bytes, 25), 0);
    EXPECT_EQ(ch.conn_fd, fds_[0]);
}

TEST_F(OutputFilterTest, EmptyAndOversizedFramesAreNotSent) {
    Buffer b;
    kt_channel ch = channel_with("", fds_[0]);
    EXPECT_EQ(kt_output_filter(&ch, b.frame()), 0);
    b.frame()->payload_len = 2029;
    EXPECT_EQ(kt_output_filter(&ch, b.frame()), -1);
    EXPECT_TRUE(received().empty());
    EXPECT_EQ(ch.conn_fd, fds_[0]);  // still connected

    CaptureStdout();
    EXPECT_EQ(kt_output_filter(nullptr, b.frame()), -1);
    EXPECT_EQ(kt_output_filter(&ch, nullptr), -1);
    EXPECT_EQ(GetCapturedStdout(),
              "output_filter parameters invalid!\noutput_filter parameters invalid!\n");
}

TEST_F(OutputFilterTest, ClientThatWentAwayIsDisconnectedWithoutSigpipe) {
    close(fds_[1]);
    fds_[1] = -1;
    Buffer b;
    b.set_payload({1, 2, 3, 4}, 0);
    kt_channel ch = channel_with("", fds_[0]);
    testing::internal::CaptureStderr();
    // Default SIGPIPE disposition: a plain send here would end the test program.
    EXPECT_EQ(kt_output_filter(&ch, b.frame()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("send: ", 0), 0u);
    EXPECT_EQ(ch.conn_fd, -1);
    // The socket is shut down, not closed: its number stays taken until its owner closes it.
    EXPECT_EQ(fcntl(fds_[0], F_GETFD), 0);

    // A chain that runs on after the client went: no send on -1, no line.
    testing::internal::CaptureStderr();
    EXPECT_EQ(kt_output_filter(&ch, b.frame()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(ch.conn_fd, -1);
}

}  // namespace
