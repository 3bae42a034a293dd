// Command line of daq_bench.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ktbench {

// What counts the system calls of a publisher over the window of a counting run.
enum class SyscallTool { kAuto, kPerf, kStrace, kOff };

struct Options {
    int repetitions = 5;
    double window_s = 2.0;
    double warmup_s = 0.5;
    std::vector<uint16_t> payloads{64, 512, 2028};
    // Queue depths of the loop without acknowledgements; 1 is the loop without options.
    std::vector<uint32_t> depths{1, 16, 64, 256};
    // Acknowledgement windows of the loop with an acknowledging subscriber; a window W > 1
    // runs with a queue depth of W and the subscriber acknowledging `ack_every` frames per
    // request, the window 1 with one request per frame.
    std::vector<uint32_t> windows{1, 64};
    uint32_t ack_every = 16;
    SyscallTool syscalls = SyscallTool::kAuto;
    // Frames the engine writes in the two runs under valgrind that give instructions per
    // frame; both 0 for none.
    uint64_t instruction_frames[2] = {20000, 40000};
    // Which passes run: the table of timed and counting runs, the runs under valgrind.
    bool table = true;
    bool instructions = true;
    // Folder holding another build's libktdaq.so.1: the loop runs a second time per
    // repetition with that library.
    std::string other_lib;
};

extern const char kUsage[];

// Fills `options` from the arguments after the program name; false, with the reason in
// `error`, for a wrong command line.
bool parse_options(int argc, const char *const *argv, Options *options, std::string *error);

}  // namespace ktbench
