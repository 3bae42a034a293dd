#include "bench_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kt_records.h"

namespace ktbench {

const char kUsage[] =
    "usage: daq_bench [--reps N] [--window SECONDS] [--warmup SECONDS]\n"
    "                 [--payloads N,N,...] [--other-lib DIR]\n"
    "  --reps N          repetitions of each run, alternating loop and baseline (5)\n"
    "  --window SECONDS  measured window of each run (2)\n"
    "  --warmup SECONDS  time before each window (0.5)\n"
    "  --payloads LIST   payload bytes of the frames, each 1..2028 (64,512,2028)\n"
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

bool parse_payloads(const char *text, std::vector<uint16_t> *payloads) {
    payloads->clear();
    const char *p = text;
    for (;;) {
        char *end = nullptr;
        errno = 0;
        const long v = strtol(p, &end, 10);
        if (errno != 0 || end == p || v < 1 || v > static_cast<long>(KT_FRAME_MAX_PAYLOAD)) {
            return false;
        }
        payloads->push_back(static_cast<uint16_t>(v));
        if (*end == '\0') {
            return true;
        }
        if (*end != ',') {
            return false;
        }
        p = end + 1;
    }
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
        } else if (strcmp(arg, "--payloads") == 0 && parse_payloads(value, &options->payloads)) {
        } else if (strcmp(arg, "--other-lib") == 0 && value[0] != '\0') {
            options->other_lib = value;
        } else {
            *error = std::string("bad option or value: ") + arg + " " + value;
            return false;
        }
    }
    return true;
}

}  // namespace ktbench
