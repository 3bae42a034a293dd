// Decoding of command lines into command records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kt_cmd.h"

namespace {

std::string field(const char *f, size_t size) {
    return std::string(f, strnlen(f, size));
}
std::string id_of(const kt_cmd &c) {
    return field(c.id, sizeof c.id);
}
std::string name_of(const kt_cmd &c) {
    return field(c.command, sizeof c.command);
}
std::string args_of(const kt_cmd &c) {
    return field(c.args, sizeof c.args);
}

uint64_t ms_of(const kt_timestamp &t) {
    return uint64_t{t.sec} * 1000 + t.msec;
}

// Decodes a copy of `line` and checks what every outcome shares.
kt_cmd decode(const std::string &line) {
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    kt_timestamp before{}, after{};
    get_time_tamp(&before);
    const kt_cmd cmd = kt_cmd_decode(buf.data());
    get_time_tamp(&after);
    EXPECT_EQ(cmd.flags, 19u);
    EXPECT_EQ(cmd.reply, nullptr);
    EXPECT_EQ(cmd.reply_size, 0);
    EXPECT_EQ(cmd.reply_len, 0);
    EXPECT_EQ(cmd.done_state, 0);
    EXPECT_GE(ms_of(cmd.recv_time), ms_of(before));
    EXPECT_LE(ms_of(cmd.recv_time), ms_of(after));
    return cmd;
}

struct Row {
    const char *line;
    const char *id;
    const char *command;
    const char *args;
    int32_t code;
};

class DecoderTable : public ::testing::TestWithParam<Row> {};

TEST_P(DecoderTable, Decodes) {
    const Row &row = GetParam();
    const kt_cmd cmd = decode(row.line);
    EXPECT_EQ(id_of(cmd), row.id);
    EXPECT_EQ(name_of(cmd), row.command);
    EXPECT_EQ(args_of(cmd), row.args);
    EXPECT_EQ(cmd.code, row.code);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DecoderTable,
    ::testing::Values(
        Row{"[7]read temp(1, 2)", "7", "read temp", "1,2", 0},
        Row{"[7]  read   temp  ( 1 , , 2 )", "7", "read temp", "1,2", 0},
        Row{"[7]set(,a,,b,)", "7", "set", "a,b", 0}, Row{"[7]status()", "7", "status", "", 0},
        Row{"[7](1)", "7", "", "1", 0}, Row{"[]ping()", "", "ping", "", 0},
        Row{"[1234567890123456]ping()", "1234567890123456", "ping", "", 0},
        Row{"[7]ping()trailing text", "7", "ping", "", 0},
        Row{"read temp(1)", "(null)", "", "", -5}, Row{"[7][8]ping()", "(null)", "", "", -5},
        Row{"[7]set(a[0])", "(null)", "", "", -5},
        Row{"[12345678901234567]ping()", "(null)", "", "", -3},
        Row{"[7 ping()", "(null)", "", "", -3}, Row{"[7]ping", "7", "", "", -5},
        Row{"[7]ping(1", "7", "ping", "", -5},
        // More shapes: blanks, tabs, CRs, brackets inside the arguments.
        Row{"   [x] a\tb  c (p)", "x", "a\tb c", "p", 0}, Row{"[7]a\rb(1)", "7", "a\rb", "1", 0},
        Row{"[7]a \r\nb(1)", "7", "a", "", -5}, Row{"[7]f(a(b),c)", "7", "f", "a(b", 0},
        Row{"[7]f( a b ,  c  )", "7", "f", "a b,c", 0}, Row{"[7]f(\t, x)", "7", "f", "\t,x", 0},
        Row{"[7]]x(1)", "7", "]x", "1", 0}, Row{"", "(null)", "", "", -5},
        Row{"     ", "(null)", "", "", -5}, Row{"\t[7]x()", "(null)", "", "", -5},
        Row{"[7]x)", "7", "", "", -5}, Row{"[7]x()[", "(null)", "", "", -5},
        Row{"[12345678901234567890123456789]x()", "(null)", "", "", -3}));

TEST(Decoder, IdBounds) {
    const kt_cmd full = decode("[ABCDEFGHIJKLMNOP]x()");
    EXPECT_EQ(full.code, 0);
    EXPECT_EQ(std::memcmp(full.id, "ABCDEFGHIJKLMNOP", 16), 0);  // no room for a NUL
    EXPECT_EQ(name_of(full), "x");
    EXPECT_EQ(decode("[ABCDEFGHIJKLMNOPQ]x()").code, -3);
    EXPECT_EQ(decode(std::string("[") + std::string(3000, '9') + "]x()").code, -3);
}

TEST(Decoder, EightBitCharactersAnywhereGiveMinus14) {
    for (size_t pos = 0; pos < 16; ++pos) {
        std::string id(16, 'i');
        id[pos] = static_cast<char>(0x80 + pos);
        const kt_cmd cmd = decode("[" + id + "]x()");
        EXPECT_EQ(cmd.code, -14) << "ID position " << pos;
        EXPECT_EQ(std::memcmp(cmd.id, id.data(), 16), 0);  // kept as received
    }
    const std::string name = "ab cd";
    for (size_t pos = 0; pos <= name.size(); ++pos) {
        std::string bad = name;
        bad.insert(pos, 1, '\xff');
        EXPECT_EQ(decode("[1]" + bad + "(1)").code, -14) << "name position " << pos;
    }
    EXPECT_EQ(decode("[1]x(a,\xe9)").code, -14);
    EXPECT_EQ(decode("[1]x(a, b\x80 )").code, -14);
    const kt_cmd partly = decode("[1]x(a,b,c\xc3\xa9,d)");
    EXPECT_EQ(partly.code, -14);
    EXPECT_EQ(args_of(partly), "a,b");  // the pieces before the bad one
    // 8-bit characters after the ")" are ignored.
    EXPECT_EQ(decode("[1]x(a)\xff").code, 0);
}

TEST(Decoder, NameLength) {
    // 64 characters: words and single spaces, filling the field without a NUL.
    const std::string name = std::string(30, 'a') + " " + std::string(33, 'b');
    const kt_cmd full =
        decode(std::string("[1]  ") + std::string(30, 'a') + "   " + std::string(33, 'b') + " (z)");
    EXPECT_EQ(full.code, 0);
    EXPECT_EQ(std::string(full.command, 64), name);
    EXPECT_EQ(args_of(full), "z");

    const kt_cmd over =
        decode(std::string("[1]") + std::string(30, 'a') + " " + std::string(34, 'b') + "()");
    EXPECT_EQ(over.code, -4);
    EXPECT_EQ(name_of(over), std::string(30, 'a') + " ");  // the space written before the word
    EXPECT_EQ(decode(std::string("[1]") + std::string(65, 'a') + "()").code, -4);
    EXPECT_EQ(name_of(decode(std::string("[1]") + std::string(65, 'a') + "()")), "");

    // A full name followed by one more word: -4, and nothing is written past the name.
    const kt_cmd beyond = decode(std::string("[1]") + std::string(64, 'c') + " d(e)");
    EXPECT_EQ(beyond.code, -4);
    EXPECT_EQ(std::string(beyond.command, 64), std::string(64, 'c'));
    EXPECT_EQ(beyond.args[0], '\0');
}

TEST(Decoder, ArgumentLength) {
    // 1024 characters, commas included.
    const std::string a(500, 'a'), b(523, 'b');
    const kt_cmd full = decode("[1]x( " + a + " ,, " + b + " )");
    EXPECT_EQ(full.code, 0);
    EXPECT_EQ(std::string(full.args, 1024), a + "," + b);

    const kt_cmd over = decode("[1]x(" + a + "," + b + "c)");
    EXPECT_EQ(over.code, -4);
    EXPECT_EQ(args_of(over), a);
    EXPECT_EQ(decode(std::string("[1]x(") + std::string(1025, 'q') + ")").code, -4);
    // Length is judged before the characters.
    EXPECT_EQ(decode("[1]x(" + a + "," + b + "\xff)").code, -4);
}

TEST(Decoder, FaultOrder) {
    EXPECT_EQ(decode("[\xff]\xff ping(\xff").code, -14);  // ID first
    EXPECT_EQ(decode("[1]\xff ping").code, -5);           // no "(" before 8-bit name
    EXPECT_EQ(decode(std::string("[1]\xff") + std::string(70, 'n') + "(").code,
              -14);  // 8-bit before length
    EXPECT_EQ(decode(std::string("[1]") + std::string(70, 'n') + "(").code,
              -4);                            // length before no ")"
    EXPECT_EQ(decode("[1]a(\xff").code, -5);  // no ")" before 8-bit argument
}

TEST(Decoder, WritesOnlyTheClosingParenthesis) {
    char line[] = "[7]f(a, b)rest";
    const kt_cmd cmd = kt_cmd_decode(line);
    EXPECT_EQ(cmd.code, 0);
    EXPECT_EQ(std::memcmp(line, "[7]f(a, b)rest", 9), 0);
    EXPECT_EQ(line[9], '\0');
    EXPECT_STREQ(line + 10, "rest");
}

TEST(Decoder, NullLine) {
    const kt_cmd cmd = kt_cmd_decode(nullptr);
    EXPECT_EQ(cmd.code, -5);
    EXPECT_EQ(cmd.flags, 19u);
    EXPECT_STREQ(cmd.id, "(null)");
    EXPECT_EQ(cmd.command[0], '\0');
    EXPECT_EQ(cmd.args[0], '\0');
    EXPECT_EQ(cmd.reply, nullptr);
}

// The decoder keeps no state between calls, so threads can decode side by side.
TEST(Decoder, ThreadsDecodeIndependently) {
    std::vector<std::thread> threads;
    std::vector<int> faults(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &faults] {
            const std::string want =
                std::string("p") + std::to_string(t) + ",q" + std::to_string(t);
            for (int i = 0; i < 20000; ++i) {
                const std::string n = std::to_string(t);
                std::string line = "[";
                line += n + "]run( p" + n + " ,, q" + n + " )";
                const kt_cmd cmd = kt_cmd_decode(line.data());
                if (cmd.code != 0 || args_of(cmd) != want) {
                    ++faults[t];
                }
            }
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    EXPECT_EQ(faults, std::vector<int>(4, 0));
}

}  // namespace
