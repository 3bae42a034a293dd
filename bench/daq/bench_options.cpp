#include "bench_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kt_daq.h"
#include "kt_records.h"

namespace ktbench {

const char kUsage[] =
    "usage: daq_bench [--reps N] [--window SECONDS] [--warmup SECONDS]\n"
    "                 [--payloads N,N,...] [--depths N,N,...] [--windows N,N,...]\n"
    "                 [--ack-every K] [--syscalls auto|perf|strace|off]\n"
    "                 [--instructions N1,N2] [--passes table,instructions]\n"
    "                 [--other-lib DIR]\n"
    "  --reps N          repetitions of each run, alternating loop and baseline (5)\n"
    "  --window SECONDS  measured window of each run (2)\n"
    "  --warmup SECONDS  time before each window (0.5)\n"
    "  --payloads LIST   payload bytes of the frames, each 1..2028 (64,512,2028)\n"
    "  --depths LIST     queue depths of the loop without acknowledgements, each 1..1024\n"
    "                    (1,16,64,256)\n"
    "  --windows LIST    acknowledgement windows, each 1..1024 (1,64); a window W > 1 runs\n"
    "                    with queue depth W\n"
    "  --ack-every K     frames per acknowledgement with a window above 1, 1..1024 and at\n"
    "                    most each window (16)\n"
    "  --syscalls TOOL   counts system calls in a run of their own per repetition: perf,\n"
    "                    strace, off, or auto (perf where its tracepoints work, else strace)\n"
    "  --instructions N1,N2  frames of the two runs under valgrind whose difference gives\n"
    "                    instructions per frame (20000,40000); 0,0 for none\n"
    "  --passes LIST     which passes run: table (timed and counting runs), instructions\n"
    "                    (the runs under valgrind); both\n"
    "  --other-lib DIR   also run the loop with the libktdaq.so.1 found in DIR\n";

namespace {

bool parse_number(const char *text, double min, double max, double *value) {
    char *end = nullptr;
    errno = 0;
    const double v = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v >= min && v <= max)) {
        return false;
    }
    *value = v;
    return true;
}

// A list "N,N,..." of integers, each within [min, max].
template <class T>
bool parse_list(const char *text, long long min, long long max, std::vector<T> *values) {
    values->clear();
    const char *p = text;
    for (;;) {
        char *end = nullptr;
        errno = 0;
        const long long v = strtoll(p, &end, 10);
        if (errno != 0 || end == p || v < min || v > max) {
            return false;
        }
        values->push_back(static_cast<T>(v));
        if (*end == '\0') {
            return true;
        }
        if (*end != ',') {
            return false;
        }
        p = end + 1;
    }
}

bool parse_tool(const char *text, SyscallTool *tool) {
    static const struct {
        const char *name;
        SyscallTool tool;
    } kTools[] = {{"auto", SyscallTool::kAuto},
                  {"perf", SyscallTool::kPerf},
                  {"strace", SyscallTool::kStrace},
                  {"off", SyscallTool::kOff}};
    for (const auto &t : kTools) {
        if (strcmp(text, t.name) == 0) {
            *tool = t.tool;
            return true;
        }
    }
    return false;
}

// Two frame counts, both 0 or 0 < N1 < N2.
bool parse_frame_pair(const char *text, uint64_t pair[2]) {
    std::vector<uint64_t> values;
    if (!parse_list(text, 0, 100000000, &values) || values.size() != 2 ||
        !((values[0] == 0 && values[1] == 0) || (values[0] > 0 && values[0] < values[1]))) {
        return false;
    }
    pair[0] = values[0];
    pair[1] = values[1];
    return true;
}

// "table", "instructions" or both, comma-separated.
bool parse_passes(const char *text, bool *table, bool *instructions) {
    const std::string passes = std::string(",") + text + ",";
    *table = passes.find(",table,") != std::string::npos;
    *instructions = passes.find(",instructions,") != std::string::npos;
    size_t names = 0;
    for (char c : passes) {
        names += c == ',' ? 1 : 0;
    }
    return names - 1 == static_cast<size_t>(*table) + static_cast<size_t>(*instructions) &&
           names > 1;
}

}  // namespace

bool parse_options(int argc, const char *const *argv, Options *options, std::string *error) {
    for (int i = 0; i < argc; ++i) {
        const char *arg = argv[i];
        if (i + 1 >= argc) {
            *error = std::string("missing or unknown option: ") + arg;
            return false;
        }
        const char *value = argv[++i];
        double number = 0;
        if (strcmp(arg, "--reps") == 0 && parse_number(value, 1, 1000, &number) &&
            number == static_cast<int>(number)) {
            options->repetitions = static_cast<int>(number);
        } else if (strcmp(arg, "--window") == 0 && parse_number(value, 0.01, 3600, &number)) {
            options->window_s = number;
        } else if (strcmp(arg, "--warmup") == 0 && parse_number(value, 0, 3600, &number)) {
            options->warmup_s = number;
        } else if (strcmp(arg, "--payloads") == 0 &&
                   parse_list(value, 1, KT_FRAME_MAX_PAYLOAD, &options->payloads)) {
        } else if (strcmp(arg, "--depths") == 0 &&
                   parse_list(value, 1, KT_DAQ_QUEUE_DEPTH_MAX, &options->depths)) {
        } else if (strcmp(arg, "--windows") == 0 &&
                   parse_list(value, 1, KT_DAQ_ACK_WINDOW_MAX, &options->windows)) {
        } else if (strcmp(arg, "--ack-every") == 0 &&
                   parse_number(value, 1, KT_DAQ_ACK_WINDOW_MAX, &number) &&
                   number == static_cast<int>(number)) {
            options->ack_every = static_cast<uint32_t>(number);
        } else if (strcmp(arg, "--syscalls") == 0 && parse_tool(value, &options->syscalls)) {
        } else if (strcmp(arg, "--instructions") == 0 &&
                   parse_frame_pair(value, options->instruction_frames)) {
        } else if (strcmp(arg, "--passes") == 0 &&
                   parse_passes(value, &options->table, &options->instructions)) {
        } else if (strcmp(arg, "--other-lib") == 0 && value[0] != '\0') {
            options->other_lib = value;
        } else {
            *error = std::string("bad option or value: ") + arg + " " + value;
            return false;
        }
    }
    // A window above 1 must hold at least one whole acknowledgement.
    for (uint32_t window : options->windows) {
        if (window > 1 && options->ack_every > window) {
            *error = "--ack-every " + std::to_string(options->ack_every) + " exceeds the window " +
                     std::to_string(window);
            return false;
        }
    }
    return true;
}

}  // namespace ktbench
