// The reply builder when memory runs out: the allocator fails from a chosen call on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "internal.h"
#include "kt_cmd.h"
#include "reply_check.h"

namespace {

int calls_left = 0;  // allocations that still succeed

void *failing_alloc(size_t size) {
    if (calls_left <= 0) {
        return nullptr;
    }
    --calls_left;
    return std::malloc(size);
}

class NoMemory : public ::testing::Test {
  protected:
    void SetUp() override { ktcmd::reply_alloc = failing_alloc; }
    void TearDown() override { ktcmd::reply_alloc = std::malloc; }

    kt_cmd decoded(std::string line) {
        kt_cmd cmd = kt_cmd_decode(line.data());
        cmd.recv_time = kt_timestamp{5, 1700000000};
        return cmd;
    }
};

TEST_F(NoMemory, NoReplyBuffer) {
    kt_cmd cmd = decoded("[7]x()");
    calls_left = 0;
    EXPECT_EQ(kt_cmd_call_result(&cmd, "Done1", 5), -1);
    EXPECT_EQ(cmd.reply, nullptr);
    EXPECT_EQ(cmd.reply_size, 0);
    EXPECT_EQ(cmd.reply_len, 0);
    EXPECT_EQ(kt_cmd_destroy_result(&cmd), -1);
}

TEST_F(NoMemory, SuccessWithoutWorkingCopyBuildsNothing) {
    kt_cmd cmd = decoded("[7]x()");
    calls_left = 1;
    EXPECT_EQ(kt_cmd_call_result(&cmd, "Done1", 5), 0);
    EXPECT_EQ(cmd.reply_len, KT_REPLY_LEN_NOMEM);
    EXPECT_EQ(cmd.code, 0);
    ASSERT_NE(cmd.reply, nullptr);  // the buffer is still the record's to release
    EXPECT_EQ(kt_cmd_destroy_result(&cmd), 0);
}

// Without a working copy the error reply cannot carry the text: it reports -2 instead.
TEST_F(NoMemory, ErrorWithoutWorkingCopyReportsMinus2) {
    for (const char *text : {"Error-9 busy", "Error-6", "Error-62", "Error-13,x"}) {
        kt_cmd cmd = decoded("[7]x()");
        calls_left = 1;
        ASSERT_EQ(kt_cmd_call_result(&cmd, text, static_cast<int>(std::strlen(text))), 0);
        EXPECT_EQ(cmd.code, -2) << text;
        EXPECT_EQ(ktcmd_test::normalised_reply(cmd),
                  "[7]ACK(ERR_-2: tcp command server port buffer is lacked;ERROR;…)\r\n")
            << text;
        EXPECT_EQ(kt_cmd_destroy_result(&cmd), 0);
    }
    kt_cmd cmd = decoded("[7]x(");
    calls_left = 1;
    ASSERT_EQ(kt_cmd_call_result(&cmd, "", 0), 0);
    EXPECT_EQ(ktcmd_test::normalised_reply(cmd),
              "[7]ACK(ERR_-2: tcp command server port buffer is lacked;ERROR;…)\r\n");
    EXPECT_EQ(kt_cmd_destroy_result(&cmd), 0);
}

TEST_F(NoMemory, EnoughMemoryBuildsNormally) {
    kt_cmd cmd = decoded("[7]x()");
    calls_left = 2;
    ASSERT_EQ(kt_cmd_call_result(&cmd, "Error-9 busy", 12), 0);
    EXPECT_EQ(ktcmd_test::normalised_reply(cmd), "[7]ACK(ERR_-9: busy;ERROR;…)\r\n");
    EXPECT_EQ(kt_cmd_destroy_result(&cmd), 0);
}

}  // namespace
