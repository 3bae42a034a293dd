// Checks and normalises built replies for the tests: the time stamp piece becomes ";…" and
// the checksum piece "#crc", once their contents have been verified.
#pragma once

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "kt_cmd.h"

namespace ktcmd_test {

// The reply of `cmd` as text, with the structural checks every reply must pass.
inline std::string reply_text(const kt_cmd &cmd) {
    if (cmd.reply == nullptr) {
        ADD_FAILURE() << "no reply buffer";
        return {};
    }
    EXPECT_LT(cmd.reply_len, cmd.reply_size);
    EXPECT_EQ(std::strlen(cmd.reply), cmd.reply_len);
    return std::string(cmd.reply, cmd.reply_len);
}

// Verifies and replaces the time stamp piece (just before the last ")") and the checksum
// piece (after it). `recv`, when given, is the arrival time the piece must show.
inline std::string normalise(std::string reply, const kt_timestamp *recv = nullptr) {
    if (reply.size() < 3 || reply.compare(reply.size() - 2, 2, "\r\n") != 0) {
        ADD_FAILURE() << "reply does not end with CR LF: " << reply;
        return reply;
    }
    const size_t close = reply.rfind(')');
    if (close == std::string::npos) {
        ADD_FAILURE() << "reply without ')': " << reply;
        return reply;
    }
    if (reply[close + 1] == '#') {
        const std::string hex = reply.substr(close + 2, reply.size() - 2 - (close + 2));
        char want[16];
        std::snprintf(want, sizeof want, "%" PRIx32,
                      kt_crc(reply.data(), static_cast<uint16_t>(close + 1)));
        EXPECT_EQ(hex, want) << "checksum of " << reply;
        reply.replace(close + 2, hex.size(), "crc");
    }
    const size_t semi = reply.rfind(';', close);
    unsigned long long f[5];
    int used = 0;
    if (semi != std::string::npos &&
        std::sscanf(reply.c_str() + semi, ";%llu,%llu,%llu,%llu,%llu)%n", &f[0], &f[1], &f[2],
                    &f[3], &f[4], &used) == 5 &&
        semi + static_cast<size_t>(used) == close + 1) {
        if (recv != nullptr) {
            EXPECT_EQ(f[0], recv->sec);
            EXPECT_EQ(f[1], recv->msec);
        }
        EXPECT_LT(f[3], 1000u);
        const uint32_t elapsed =
            static_cast<uint32_t>(f[2] - f[0]) * 1000u + static_cast<uint32_t>(f[3] - f[1]);
        EXPECT_EQ(f[4], elapsed) << reply;
        reply.replace(semi, close - semi, ";…");
    }
    return reply;
}

// The reply of `cmd`, checked and normalised against its own arrival time.
inline std::string normalised_reply(const kt_cmd &cmd) {
    return normalise(reply_text(cmd), &cmd.recv_time);
}

}  // namespace ktcmd_test
