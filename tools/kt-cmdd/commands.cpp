// Built-in commands: each shows one form of the reply and chooses its reply pieces.
#include "commands.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace ktcmdd {

namespace {

std::string_view field(const char *text, size_t size) {
    return std::string_view(text, strnlen(text, size));
}

std::vector<std::string> split_args(const kt_cmd &cmd) {
    std::vector<std::string> out;
    const std::string_view args = field(cmd.args, sizeof cmd.args);
    size_t start = 0;
    while (start < args.size()) {
        const size_t comma = std::min(args.find(',', start), args.size());
        out.emplace_back(args.substr(start, comma - start));
        start = comma + 1;
    }
    return out;
}

bool parse_long(const std::string &text, long &value) {
    char *end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && end != text.c_str() && *end == '\0';
}

// 64 bits on every target (long has 32 on the device).
bool parse_int64(const std::string &text, int64_t &value) {
    char *end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    value = parsed;
    return errno == 0 && end != text.c_str() && *end == '\0';
}

using Handler = Outcome (*)(kt_cmd &);

struct Command {
    const char *name;
    Handler run;
};

Outcome help(kt_cmd &);

// ping: the plain success reply with the default pieces.
Outcome ping(kt_cmd &) {
    return {"Donepong"};
}

// echo(a, b): the arguments as decoded, with the command name in the reply.
Outcome echo(kt_cmd &cmd) {
    cmd.flags |= KT_REPLY_NAME;
    return {std::string(field(cmd.args, sizeof cmd.args))};
}

// time: the server's clock, with a checksum over the reply.
Outcome time_cmd(kt_cmd &cmd) {
    cmd.flags |= KT_REPLY_CHECKSUM;
    kt_timestamp now{};
    get_time_tamp(&now);
    char ms[8];
    std::snprintf(ms, sizeof ms, "%03u", static_cast<unsigned>(now.msec));
    return {"Done" + std::to_string(now.sec) + "." + ms};
}

// sum(1, 2, ...): every reply piece; a bad number, or a running total beyond 64 bits, is
// an error with a text of its own.
Outcome sum(kt_cmd &cmd) {
    cmd.flags = KT_REPLY_TIME | KT_REPLY_ID | KT_REPLY_NAME | KT_REPLY_CHECKSUM | KT_REPLY_STATE;
    int64_t total = 0;
    for (const std::string &arg : split_args(cmd)) {
        int64_t value = 0;
        if (!parse_int64(arg, value)) {
            return {"Error-224 not a number: " + arg};
        }
        if (__builtin_add_overflow(total, value, &total)) {
            return {"Error-224 sum out of range"};
        }
    }
    return {"Done" + std::to_string(total)};
}

// fail(code): the error code's own message from the table (-224 when none is given).
Outcome fail(kt_cmd &cmd) {
    const std::vector<std::string> args = split_args(cmd);
    long code = -224;
    if (!args.empty() && !parse_long(args[0], code)) {
        return {"Error-193"};
    }
    return {"Error" + std::to_string(code)};
}

// busy: an error code with the command's own text.
Outcome busy(kt_cmd &) {
    return {"Error-9 acquisition still running"};
}

// reset(yes): asks the client to confirm first.
Outcome reset(kt_cmd &cmd) {
    if (field(cmd.args, sizeof cmd.args) != "yes") {
        return {"Error-62"};
    }
    return {"Donereset done"};
}

// check: a pass-through error whose whole text comes from the command; that form holds
// no space (with a space the text after it is carried instead).
Outcome check(kt_cmd &) {
    return {"Error-13,selftest:stage2"};
}

// version: the bare reply, no optional pieces at all.
Outcome version(kt_cmd &cmd) {
    cmd.flags = 0;
    return {"kt-cmdd 1.0"};
}

// quit: replies, then the server closes the connection.
Outcome quit(kt_cmd &) {
    return {"Donebye", true};
}

constexpr Command kCommands[] = {
    {"help", help},   {"ping", ping},       {"echo", echo}, {"time", time_cmd},
    {"sum", sum},     {"fail", fail},       {"busy", busy}, {"reset", reset},
    {"check", check}, {"version", version}, {"quit", quit},
};

// help: the list of commands, in the help layout.
Outcome help(kt_cmd &) {
    return {
        "Donehelp ping echo(text,...) time sum(n,...) fail(code) busy reset(yes) check "
        "version quit"};
}

}  // namespace

Outcome run_command(kt_cmd &cmd) {
    const std::string_view name = field(cmd.command, sizeof cmd.command);
    for (const Command &c : kCommands) {
        if (name == c.name) {
            return c.run(cmd);
        }
    }
    return {"Error-190"};
}

}  // namespace ktcmdd
