// Command-line helpers shared by the kt-io commands: argument lists, numbers, output.
#ifndef KT_IO_CLI_H
#define KT_IO_CLI_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ktio {

// Exit codes: 0 done, 1 the device or transfer failed, 2 the command line is wrong.
constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// Positional words and --name value options of one command, in the order given.
struct Args {
    std::vector<std::string> words;
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> flags;  // options without a value

    // The value of the last --name (or its short form), if given.
    std::optional<std::string> option(const std::string &name, const std::string &alias = {}) const;
    bool flag(const std::string &name) const;
};

// Splits `argv` into words and options. `valued` lists the options that take a value;
// any other word that starts with "-" and is no number is a flag. Returns false and
// prints a message for an option whose value is missing.
bool split_args(int argc, char **argv, const std::vector<std::string> &valued, Args &out);

// Parses a whole unsigned number: decimal, 0x hexadecimal or 0 octal.
std::optional<std::uint64_t> parse_number(const std::string &text);

// Reports a command-line error on standard error and returns kUsage.
int usage_error(const std::string &message);

// Reports a failure on standard error and returns kFailed.
int failure(const std::string &message);

// Bytes as "0x12 0x34 ...".
std::string hex_bytes(const std::uint8_t *data, std::size_t n);

}  // namespace ktio

#endif  // KT_IO_CLI_H
