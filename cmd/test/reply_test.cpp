// Acknowledgement replies: layouts, optional pieces, error forms and the error table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kt_cmd.h"
#include "reply_check.h"

namespace {

using ktcmd_test::normalise;
using ktcmd_test::reply_text;

constexpr kt_timestamp kRecv{120, 1700000000};

struct Built {
    int rc;
    std::string reply;  // normalised
    kt_cmd cmd;         // after the reply was released
};

// Decodes `line`, lets `adjust` change the record, builds the reply for `result` (passed
// in a buffer of exactly its length) and releases it again.
Built build(const std::string &line, const std::string &result,
            const std::function<void(kt_cmd &)> &adjust = {}) {
    std::string l = line;
    kt_cmd cmd = kt_cmd_decode(l.data());
    cmd.recv_time = kRecv;
    if (adjust) {
        adjust(cmd);
    }
    // Exactly the text's bytes on the heap, so that reading past them is caught.
    const std::unique_ptr<char[]> text(new char[std::max<size_t>(result.size(), 1)]);
    std::memcpy(text.get(), result.data(), result.size());
    Built b{kt_cmd_call_result(&cmd, text.get(), static_cast<int>(result.size())), {}, {}};
    if (b.rc == 0 && cmd.reply_len != 0) {
        b.reply = normalise(reply_text(cmd), &kRecv);
    }
    if (cmd.reply != nullptr) {
        EXPECT_EQ(kt_cmd_destroy_result(&cmd), 0);
    }
    b.cmd = cmd;
    return b;
}

std::string reply(const std::string &result, const std::function<void(kt_cmd &)> &adjust = {}) {
    const Built b = build("[7]read temp(1, 2)", result, adjust);
    EXPECT_EQ(b.rc, 0);
    return b.reply;
}

auto with_flags(uint32_t flags) {
    return [flags](kt_cmd &c) { c.flags = flags; };
}

TEST(Reply, WorkedSuccessExample) {
    EXPECT_EQ(reply("Done25.3"), "[7]ACK(25.3;DONE;…)\r\n");
    EXPECT_EQ(reply("Done25.3", with_flags(27)), "[7]ACK(25.3;DONE;…)#crc\r\n");
    EXPECT_EQ(reply("Done25.3", with_flags(23)), "[7]read temp_ACK(25.3;DONE;…)\r\n");
}

TEST(Reply, WorkedErrorExample) {
    const Built b = build("[12345678901234567]ping()", "");
    EXPECT_EQ(b.rc, 0);
    EXPECT_EQ(b.reply,
              "[(null)]ACK(ERR_-3: id=-1: message need ID number, ID format is error; or ID too "
              "long;ERROR;…)\r\n");
    EXPECT_EQ(b.cmd.code, -3);
    EXPECT_EQ(b.cmd.done_state, 0);
}

TEST(Reply, ElapsedTimeIsMeasuredFromArrival) {
    std::string line = "[3]t()";
    kt_cmd cmd = kt_cmd_decode(line.data());
    ASSERT_EQ(kt_cmd_call_result(&cmd, "", 0), 0);
    const std::string r = reply_text(cmd);
    unsigned long long rs, rm, ns, nm, el;
    ASSERT_EQ(
        std::sscanf(r.c_str(), "[3]ACK(DONE;%llu,%llu,%llu,%llu,%llu)", &rs, &rm, &ns, &nm, &el), 5)
        << r;
    EXPECT_EQ(rs, cmd.recv_time.sec);
    EXPECT_EQ(rm, cmd.recv_time.msec);
    EXPECT_LT(el, 1000u);
    EXPECT_EQ(normalise(r, &cmd.recv_time), "[3]ACK(DONE;…)\r\n");
    EXPECT_EQ(kt_cmd_destroy_result(&cmd), 0);
}

// Each result text and the reply it makes with the default flags.
void expect_replies(std::initializer_list<std::pair<const char *, const char *>> cases) {
    for (const auto &[text, want] : cases) {
        EXPECT_EQ(reply(text), want) << text;
    }
}

TEST(Reply, SuccessForms) {
    expect_replies({{"Done", "[7]ACK(DONE;…)\r\n"},
                    {"", "[7]ACK(DONE;…)\r\n"},
                    {"25.3", "[7]ACK(25.3;DONE;…)\r\n"},
                    {"abc(", "[7]ACK(abc(DONE;…)\r\n"},
                    {"DoneDone", "[7]ACK(Done;DONE;…)\r\n"},
                    {"done 1", "[7]ACK(done 1;DONE;…)\r\n"},
                    {"Erro", "[7]ACK(Erro;DONE;…)\r\n"}});
    // The text ends at its first NUL.
    EXPECT_EQ(reply(std::string("ab\0cd", 5)), "[7]ACK(ab;DONE;…)\r\n");
    EXPECT_EQ(reply("x", [](kt_cmd &c) { c.done_state = 2; }), "[7]ACK(x;…)\r\n");
    EXPECT_EQ(reply("x", [](kt_cmd &c) { c.done_state = 1; }), "[7]ACK(x;ERROR;…)\r\n");
    EXPECT_EQ(reply("1", with_flags(0)), "ACK(1)\r\n");
    EXPECT_EQ(reply("1", with_flags(KT_REPLY_STATE)), "ACK(1;DONE)\r\n");
    EXPECT_EQ(reply("", with_flags(KT_REPLY_STATE | KT_REPLY_NAME)), "read temp_ACK(DONE)\r\n");
    EXPECT_EQ(reply("1", with_flags(KT_REPLY_CHECKSUM)), "ACK(1)#crc\r\n");
    EXPECT_EQ(reply("1", with_flags(31)), "[7]read temp_ACK(1;DONE;…)#crc\r\n");
}

TEST(Reply, HelpLayout) {
    EXPECT_EQ(build("[7]help()", "cmd1 cmd2").reply, "[7]ACK(DONEcmd1 cmd2;…)\r\n");
    EXPECT_EQ(build("[7]()", "Donecmd1").reply, "[7]ACK(DONEcmd1;…)\r\n");
    EXPECT_EQ(build("[7]h()", "a").reply, "[7]ACK(DONEa;…)\r\n");
    EXPECT_EQ(build("[7]hel()", "a").reply, "[7]ACK(DONEa;…)\r\n");
    EXPECT_EQ(build("[7]helpme()", "a").reply, "[7]ACK(a;DONE;…)\r\n");
    EXPECT_EQ(build("[7]Help()", "a").reply, "[7]ACK(a;DONE;…)\r\n");
    EXPECT_EQ(build("[7]help x()", "a").reply, "[7]ACK(a;DONE;…)\r\n");
    EXPECT_EQ(build("[7]help()", "a", with_flags(KT_REPLY_NAME)).reply, "help_ACK(a)\r\n");
}

TEST(Reply, ErrorForms) {
    expect_replies({{"Error-6", "[7]ACK(ERR_-6: unsupport command;ERROR;…)\r\n"},
                    {"Error-9 busy", "[7]ACK(ERR_-9: busy;ERROR;…)\r\n"},
                    {"Error -5 bad", "[7]ACK(ERR_-5: -5 bad;ERROR;…)\r\n"},
                    {"Error-7", "[7]ACK(ERR_-7: param length error;ERROR;…)\r\n"},
                    {"Error-224", "[7]ACK(ERR_-224: message execute failed;ERROR;…)\r\n"},
                    {"Error-190", "[7]ACK(ERR_-190: not have this command;ERROR;…)\r\n"},
                    {"Error+12", "[7]ACK(ERR_12: param length error;ERROR;…)\r\n"},
                    {"Error-62", "[7]ACK(CONFIRMconfirm some request;…)\r\n"},
                    {"Error-62 please confirm", "[7]ACK(ERR_-62: please confirm;…)\r\n"},
                    {"Error-1 a b", "[7]ACK(ERR_-1: a b;ERROR;…)\r\n"},
                    {"Error-1 ", "[7]ACK(ERR_-1: ;ERROR;…)\r\n"}});
    EXPECT_EQ(reply("Error-10", with_flags(0)), "ACK(ERR_-10: test time out)\r\n");
    EXPECT_EQ(reply("Error-10", with_flags(KT_REPLY_NAME | KT_REPLY_CHECKSUM)),
              "read temp_ACK(ERR_-10: test time out)#crc\r\n");
    // Numbers beyond 32 bits are read as the device reads them: saturated.
    EXPECT_EQ(reply("Error-99999999999"),
              "[7]ACK(ERR_-2147483648: param length error;ERROR;…)\r\n");
    // The application's done_state is left at 0 after an error reply.
    const Built b = build("[7]x()", "Error-6", [](kt_cmd &c) { c.done_state = 5; });
    EXPECT_EQ(b.reply, "[7]ACK(ERR_-6: unsupport command;ERROR;…)\r\n");
    EXPECT_EQ(b.cmd.done_state, 0);
    EXPECT_EQ(b.cmd.code, -6);
}

TEST(Reply, PassThroughCode) {
    EXPECT_EQ(reply("Error-13,busy"), "[7]ACK(ERR_-13,busy;ERROR;…)\r\n");
    EXPECT_EQ(reply("Error-13"), "[7]ACK(ERR_-13;ERROR;…)\r\n");
    // With a space the text after it is carried like any other error text, once.
    EXPECT_EQ(reply("Error-13 sensor 2 busy"), "[7]ACK(ERR_-13: sensor 2 busy;ERROR;…)\r\n");
    // Set by the application before the reply: no text to pass through.
    EXPECT_EQ(reply("ignored", [](kt_cmd &c) { c.code = -13; }), "[7]ACK(ERR_;ERROR;…)\r\n");
}

TEST(Reply, NoReplyForSuccessCodesInErrorText) {
    for (const char *text : {"Error", "Error0", "Error-64", "Error 0 x", "Errorabc"}) {
        const Built b = build("[7]x()", text);
        EXPECT_EQ(b.rc, 0) << text;
        EXPECT_EQ(b.cmd.reply_len, 0) << text;
        EXPECT_EQ(b.reply, "") << text;
    }
    EXPECT_EQ(build("[7]x()", "Error-64").cmd.code, -64);
}

TEST(Reply, DecoderFaultsIgnoreTheResultText) {
    EXPECT_EQ(build("[7]x(", "Done1").reply, "[7]ACK(ERR_-5: message format is error;ERROR;…)\r\n");
    EXPECT_EQ(build("[7]x\xff()", "Done1").reply,
              "[7]ACK(ERR_-14: command only support asiic;ERROR;…)\r\n");
    EXPECT_EQ(build(std::string("[7]") + std::string(65, 'n') + "()", "").reply,
              "[7]ACK(ERR_-4: message command is too long;ERROR;…)\r\n");
    EXPECT_EQ(build("no id()", "").reply,
              "[(null)]ACK(ERR_-5: message format is error;ERROR;…)\r\n");
    // -3 set by the application also hides the ID.
    EXPECT_EQ(reply("", [](kt_cmd &c) { c.code = -3; }),
              "[(null)]ACK(ERR_-3: id=-1: message need ID number, ID format is error; or ID too "
              "long;ERROR;…)\r\n");
    EXPECT_EQ(reply("", [](kt_cmd &c) { c.code = -62; }),
              "[7]ACK(CONFIRMconfirm some request;…)\r\n");
    EXPECT_EQ(reply("Done", [](kt_cmd &c) { c.code = -64; }), "[7]ACK(DONE;…)\r\n");
    EXPECT_EQ(reply("", [](kt_cmd &c) { c.code = 5; }),
              "[7]ACK(ERR_5: param length error;ERROR;…)\r\n");
}

TEST(Reply, FullFieldsArePrintedWhole) {
    const std::string id(16, 'I'), name(64, 'N');
    EXPECT_EQ(build("[" + id + "]" + name + "()", "ok", with_flags(31)).reply,
              "[" + id + "]" + name + "_ACK(ok;DONE;…)#crc\r\n");
    EXPECT_EQ(build("[" + id + "]" + name + "()", "Error-6", with_flags(31)).reply,
              "[" + id + "]" + name + "_ACK(ERR_-6: unsupport command;ERROR;…)#crc\r\n");
}

TEST(Reply, LengthLimits) {
    kt_cmd cmd = kt_cmd_decode(nullptr);
    cmd.code = 0;
    EXPECT_EQ(kt_cmd_call_result(&cmd, "x", -1), -1);
    std::vector<char> big(KT_RESULT_MAX + 1, 'x');
    EXPECT_EQ(kt_cmd_call_result(&cmd, big.data(), KT_RESULT_MAX + 1), -1);
    EXPECT_EQ(cmd.reply, nullptr);

    // The longest text still gets a complete reply with every piece.
    const std::string longest(KT_RESULT_MAX, 'y');
    Built b = build(std::string("[") + std::string(16, 'i') + "]" + std::string(64, 'n') + "()",
                    longest, with_flags(31));
    EXPECT_EQ(b.rc, 0);
    EXPECT_EQ(b.reply, std::string("[") + std::string(16, 'i') + "]" + std::string(64, 'n') +
                           "_ACK(" + longest + ";DONE;…)#crc\r\n");
    b = build("[1]x()", std::string("Error-13") + std::string(KT_RESULT_MAX - 8, 'z'),
              with_flags(31));
    EXPECT_EQ(b.reply, std::string("[1]x_ACK(ERR_-13") + std::string(KT_RESULT_MAX - 8, 'z') +
                           ";ERROR;…)#crc\r\n");
    // -13 with a space at the longest: the text after the space is carried once.
    b = build("[1]x()", std::string("Error-13 ") + std::string(KT_RESULT_MAX - 9, 'w'),
              with_flags(31));
    EXPECT_EQ(b.reply, std::string("[1]x_ACK(ERR_-13: ") + std::string(KT_RESULT_MAX - 9, 'w') +
                           ";ERROR;…)#crc\r\n");
    b = build("[1]x()", std::string("Error-2147483647 ") + std::string(KT_RESULT_MAX - 17, 'z'),
              with_flags(31));
    EXPECT_EQ(b.reply, std::string("[1]x_ACK(ERR_-2147483647: ") +
                           std::string(KT_RESULT_MAX - 17, 'z') + ";ERROR;…)#crc\r\n");
}

TEST(Reply, NullArgumentsAndRelease) {
    kt_cmd cmd = kt_cmd_decode(nullptr);
    EXPECT_EQ(kt_cmd_call_result(nullptr, "", 0), -1);
    EXPECT_EQ(kt_cmd_call_result(&cmd, nullptr, 0), -1);
    EXPECT_EQ(cmd.reply, nullptr);
    EXPECT_EQ(kt_cmd_destroy_result(nullptr), -1);
    EXPECT_EQ(kt_cmd_destroy_result(&cmd), -1);

    std::string line = "[7]x()";
    cmd = kt_cmd_decode(line.data());
    ASSERT_EQ(kt_cmd_call_result(&cmd, "ok", 2), 0);
    EXPECT_EQ(cmd.reply_size, 2 + 256);
    const uint16_t len = cmd.reply_len;
    EXPECT_EQ(kt_cmd_destroy_result(&cmd), 0);
    EXPECT_EQ(cmd.reply, nullptr);
    EXPECT_EQ(cmd.reply_size, 0);
    EXPECT_EQ(cmd.reply_len, len);
    EXPECT_EQ(kt_cmd_destroy_result(&cmd), -1);
}

TEST(ErrorTable, RowsInOrder) {
    const int32_t codes[KT_CMD_ERROR_COUNT] = {-64, -1,  -2,  -3,   -4, -5,   -6,  -9,
                                               -10, -14, -62, -224, 0,  -190, -193};
    for (int i = 0; i < KT_CMD_ERROR_COUNT; ++i) {
        EXPECT_EQ(cmd_error_table[i].code, codes[i]) << "row " << i;
        ASSERT_NE(cmd_error_table[i].message, nullptr);
    }
    EXPECT_STREQ(cmd_error_table[0].message, "no error");
    EXPECT_STREQ(cmd_error_table[2].message, "tcp command server port buffer is lacked");
    EXPECT_STREQ(cmd_error_table[7].message, "this command need long time,task is running");
    EXPECT_STREQ(cmd_error_table[12].message, "");
}

}  // namespace
