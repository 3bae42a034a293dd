// Command-line handling every tool shares: --help, --version and checked whole numbers.
#pragma once

#include <getopt.h>

#include <cstdint>
#include <cstdio>
#include <optional>

namespace kttool {

// Exit status of a wrong command line.
constexpr int kUsageStatus = 2;

// getopt_long's value for --version, outside the range of short options.
constexpr int kVersionValue = 0x100;

// The last entries of a tool's getopt_long table.
constexpr option kHelpOption{"help", no_argument, nullptr, 'h'};
constexpr option kVersionOption{"version", no_argument, nullptr, kVersionValue};
constexpr option kEndOption{nullptr, 0, nullptr, 0};

struct Tool {
    const char *name;
    void (*usage)(FILE *out);
};

// Prints "<name> <project version>" on standard output.
void print_version(const char *name);

// Prints the usage on standard error and returns kUsageStatus.
int usage_error(const Tool &tool);

// The exit status for a getopt_long result that is none of the tool's own options:
// 0 after --help (usage on standard output) or --version, else a usage error.
int finish_option(const Tool &tool, int opt);

// A whole unsigned number and nothing else: no sign, no blanks, no overflow. Base 10, or
// 0 for decimal, 0x hexadecimal and 0 octal.
std::optional<uint64_t> parse_unsigned(const char *text, int base = 10);

// The same, within [low, high].
std::optional<uint64_t> parse_in_range(const char *text, uint64_t low, uint64_t high,
                                       int base = 10);

// parse_in_range in decimal for the value of --`option`; on a bad value prints
// "<tool>: bad --<option> <text>: give a whole number from <low> to <high>".
std::optional<uint64_t> option_number(const char *tool, const char *option, const char *text,
                                      uint64_t low, uint64_t high);

}  // namespace kttool
