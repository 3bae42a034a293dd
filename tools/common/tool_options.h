// Command-line handling every tool shares: --help, --version and checked whole numbers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <optional>

namespace kttool {

// Exit status of a wrong command line.
constexpr int kUsageStatus = 2;

struct Tool {
    const char *name;
    void (*usage)(FILE *out);
};

// One long option of a tool: --name, with a value or without; `key` is what the tool's
// handler receives for it (and its short form, when the tool gives one).
struct Option {
    const char *name;
    int key;
    bool has_value;
};
constexpr Option valued(const char *name, int key) {
    return {name, key, true};
}
constexpr Option flag(const char *name, int key) {
    return {name, key, false};
}

// Prints "<name> <project version>" on standard output.
void print_version(const char *name);

// Prints the usage on standard error and returns kUsageStatus.
int usage_error(const Tool &tool);

// Reads the options of `argv` with getopt_long: the tool's `options` (short forms in
// `short_options`, "h" for none), --help and --version. `take` handles each of the
// tool's own (its key and value) and returns false on a bad value, having said why.
// --help (usage on standard output) and --version end the reading with status 0, an
// unknown option and a missing value with a usage error. Returns the exit status when the
// tool is to end there, else nothing; optind is then the first operand.
std::optional<int> parse_options(const Tool &tool, int argc, char **argv, const char *short_options,
                                 std::initializer_list<Option> options,
                                 const std::function<bool(int key, const char *value)> &take);

// A whole unsigned number and nothing else: no sign, no blanks, no overflow. Base 10, or
// 0 for decimal, 0x hexadecimal and 0 octal.
std::optional<uint64_t> parse_unsigned(const char *text, int base = 10);

// The same, within [low, high].
std::optional<uint64_t> parse_in_range(const char *text, uint64_t low, uint64_t high,
                                       int base = 10);

// Module and channel of "all", the source of every frame.
constexpr int kAllSources = 255;

// A frame source "M:C" (module 0..255, channel 0..15, each up to three decimal digits),
// or "all", which gives kAllSources for both.
bool parse_source(const char *text, int *module_id, int *channel_id);

// parse_in_range in decimal for the value of --`option`, into `out`; on a bad value prints
// "<tool>: bad --<option> <text>: give a whole number from <low> to <high>" and returns
// false.
bool option_number(const char *tool, const char *option, const char *text, uint64_t low,
                   uint64_t high, uint64_t *out);

}  // namespace kttool
