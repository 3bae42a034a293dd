// Command line of daq_bench.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ktbench {

struct Options {
    int repetitions = 5;
    double window_s = 2.0;
    double warmup_s = 0.5;
    std::vector<uint16_t> payloads{64, 512, 2028};
    // Folder holding another build's libktdaq.so.1: the loop runs a second time per
    // repetition with that library.
    std::string other_lib;
};

extern const char kUsage[];

// Fills `options` from the arguments after the program name; false, with the reason in
// `error`, for a wrong command line.
bool parse_options(int argc, const char *const *argv, Options *options, std::string *error);

}  // namespace ktbench
