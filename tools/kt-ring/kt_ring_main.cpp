// kt-ring: takes frames from a stream device through the ring reader, checks each against
// the simulated engine's frame pattern and shows the live rate.
#include <getopt.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>

#include "frame_pattern.h"
#include "kt_axis.h"
#include "kt_util.h"
#include "rate_line.h"
#include "tool_options.h"
#include "tool_stop.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Tally {
    unsigned long long frames = 0, bytes = 0, bad = 0, stale = 0, missed = 0;
    unsigned long long next_seq = 0;
    bool started = false;

    void take(const uint8_t *slot) {
        const ktsim::FrameCheck check = ktsim::check_frame(slot, KT_AXIS_SLOT_SIZE);
        ++frames;
        if (!check.ok) {
            ++bad;
            return;
        }
        bytes += check.fields.payload_len + 20u;
        if (started && check.fields.seq < next_seq) {
            ++stale;  // a slot taken twice, or one the engine had not written again
            return;
        }
        if (started && check.fields.seq > next_seq) {
            missed += check.fields.seq - next_seq;
        }
        started = true;
        next_seq = check.fields.seq + 1;
    }
};

void usage(FILE *out) {
    fprintf(out,
            "usage: kt-ring DEVICE [--ring BYTES] [--frames N] [--seconds S] [--batch N]\n"
            "Takes frames from the stream device DEVICE, checks each and prints the rate.\n"
            "  --ring BYTES   ring length to program (default 1048576)\n"
            "  --frames N     stop after N frames (default: no limit)\n"
            "  --seconds S    stop after S seconds (default: no limit)\n"
            "  --batch N      slots taken per hand-back, 1..100 (default 100)\n"
            "Exit status 1 when any frame was corrupt, stale or taken twice.\n");
}

const kttool::Tool kTool{"kt-ring", usage};

// A number of the command line, decimal, 0x hexadecimal or 0 octal, within [low, high].
bool number(const char *text, uint64_t low, uint64_t high, uint64_t *out) {
    const auto value = kttool::parse_in_range(text, low, high, 0);
    *out = value.value_or(0);
    return value.has_value();
}

}  // namespace

int main(int argc, char **argv) {
    uint64_t ring = 1 << 20, max_frames = 0, seconds = 0, batch = 100;
    const auto take = [&](int opt, const char *value) {
        bool ok = true;
        switch (opt) {
            case 'r':
                ok = number(value, 0, 0xffffffffu, &ring);
                break;
            case 'n':
                ok = number(value, 0, UINT64_MAX, &max_frames);
                break;
            case 's':
                ok = number(value, 0, UINT64_MAX, &seconds);
                break;
            case 'b':
                ok = number(value, 1, 100, &batch);
                break;
        }
        if (!ok) {
            fprintf(stderr, "kt-ring: bad value: %s\n", value);
        }
        return ok;
    };
    if (const auto status =
            kttool::parse_options(kTool, argc, argv, "h",
                                  {kttool::valued("ring", 'r'), kttool::valued("frames", 'n'),
                                   kttool::valued("seconds", 's'), kttool::valued("batch", 'b')},
                                  take)) {
        return *status;
    }
    if (optind + 1 != argc) {
        return kttool::usage_error(kTool);
    }
    const char *device = argv[optind];
    kt_axis *axis = kt_axis_init(device, static_cast<uint32_t>(ring));
    if (axis == nullptr) {
        fprintf(stdout, "\nkt-ring: cannot open the stream device %s\n", device);
        return 1;
    }
    kttool::install_stop_handler();

    Tally tally;
    const bool tty = isatty(STDOUT_FILENO) != 0;
    const auto start = Clock::now();
    kttool::RateLine rate("kt-ring", stdout, tty, start);
    while (!kttool::stop_requested() && (max_frames == 0 || tally.frames < max_frames)) {
        const auto now = Clock::now();
        if (seconds != 0 && now - start >= std::chrono::seconds(seconds)) {
            break;
        }
        if (rate.due(now) && rate.begin(now, tally.frames, tally.bytes)) {
            printf("  bad %llu  stale %llu  missed %llu", tally.bad, tally.stale, tally.missed);
            rate.end();
        }
        const uint32_t count = kt_get_data_cnt(axis);
        if (count == 0) {
            kt_sleep_ms(1);
            continue;
        }
        // Slots while the running offset stays below the count, then one hand-back.
        for (uint32_t offset = 0, n = 0; offset < count && n < batch;
             offset += KT_AXIS_SLOT_SIZE, ++n) {
            tally.take(static_cast<const uint8_t *>(kt_axis_read_frame(axis, nullptr, count)));
            if (max_frames != 0 && tally.frames >= max_frames) {
                break;
            }
        }
        kt_axis_read_done(axis);
    }
    const double total = std::chrono::duration<double>(Clock::now() - start).count();
    rate.finish();
    printf(
        "kt-ring: %llu frames in %.1f s (%.0f frames/s, %.2f MB/s): %llu bad, %llu stale, "
        "%llu missed\n",
        tally.frames, total, tally.frames / total, tally.bytes / total / 1e6, tally.bad,
        tally.stale, tally.missed);
    kt_axis_exit(axis);
    return tally.bad == 0 && tally.stale == 0 ? 0 : 1;
}
