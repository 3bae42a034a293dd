// Help texts of kt-io and of each of its commands.
#ifndef KT_IO_HELP_H
#define KT_IO_HELP_H

#include <string>

namespace ktio {

// The whole help: every command with its options, examples and the exit status.
std::string full_help();

// Prints the help of `command` ("reg", "uart" or "i2c") to standard output; returns kOk.
int print_help(const std::string &command);

}  // namespace ktio

#endif  // KT_IO_HELP_H
