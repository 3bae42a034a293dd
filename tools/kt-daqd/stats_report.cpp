#include "stats_report.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>

namespace ktdaqd {
namespace {

struct Field {
    const char *name;
    uint64_t kt_daq_stats::*value;
};

constexpr Field kFields[] = {
    {"frames_taken", &kt_daq_stats::frames_taken},
    {"published", &kt_daq_stats::published},
    {"acknowledged", &kt_daq_stats::acknowledged},
    {"ack_timeouts", &kt_daq_stats::ack_timeouts},
    {"dropped_for_lagging", &kt_daq_stats::dropped_for_lagging},
    {"skipped", &kt_daq_stats::skipped},
    {"batches", &kt_daq_stats::batches},
    {"frames_dispatched", &kt_daq_stats::frames_dispatched},
    {"client_connects", &kt_daq_stats::client_connects},
    {"client_disconnects", &kt_daq_stats::client_disconnects},
    {"config_accepted", &kt_daq_stats::config_accepted},
    {"config_refused", &kt_daq_stats::config_refused},
};

const char *reason_name(Reason reason) {
    switch (reason) {
        case Reason::kInterval:
            return "interval";
        case Reason::kRequest:
            return "request";
        case Reason::kFinal:
            return "final";
    }
    return "";
}

void append(std::string &out, const char *format, auto... values) {
    char word[96];
    const int n = snprintf(word, sizeof word, format, values...);
    out.append(word, n > 0 ? static_cast<size_t>(n) : 0);
}

struct Reporter {
    unsigned interval_s;
    bool json;
};

void print(Reason reason, bool json) {
    kt_daq_stats stats{};
    if (kt_daq_get_stats(&stats, sizeof stats) != 0) {
        return;
    }
    const std::string line = stats_line(stats, reason, json) + "\n";
    // One write call, so that the line never mixes with a line of the loop.
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
}

int64_t now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

sigset_t report_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    return set;
}

void *run(void *arg) {
    const Reporter reporter = *static_cast<Reporter *>(arg);
    delete static_cast<Reporter *>(arg);
    const sigset_t set = report_signals();
    const int64_t period = static_cast<int64_t>(reporter.interval_s) * 1000;
    int64_t next = now_ms() + period;
    for (;;) {
        int signal = 0;
        if (period == 0) {
            signal = sigwaitinfo(&set, nullptr);
        } else {
            const int64_t left = next - now_ms();
            if (left <= 0) {
                print(Reason::kInterval, reporter.json);
                next += period;
                continue;
            }
            const timespec wait{static_cast<time_t>(left / 1000),
                                static_cast<long>(left % 1000) * 1000000};
            signal = sigtimedwait(&set, nullptr, &wait);
        }
        if (signal == SIGUSR1) {
            print(Reason::kRequest, reporter.json);
        } else if (signal == SIGINT || signal == SIGTERM) {
            print(Reason::kFinal, reporter.json);
            // The loop and ZeroMQ's threads still run: end without running the
            // destructors and exit handlers that they may be using.
            fflush(nullptr);
            _exit(0);
        }
        // Otherwise the wait timed out (EAGAIN) or was interrupted (EINTR).
    }
}

}  // namespace

std::string stats_line(const kt_daq_stats &stats, Reason reason, bool json) {
    std::string out;
    out.reserve(512);
    if (json) {
        append(out, "{\"stats\":\"%s\"", reason_name(reason));
        for (const Field &f : kFields) {
            append(out, ",\"%s\":%" PRIu64, f.name, stats.*f.value);
        }
        out += ",\"channels\":[";
        bool first = true;
        for (uint32_t i = 0; i < stats.channels && i < KT_MAX_CHANNELS; ++i) {
            const kt_daq_stats_channel &c = stats.channel[i];
            if (c.port == 0 && c.frames == 0) {
                continue;
            }
            append(out, "%s{\"slot\":%" PRIu32 ",\"port\":%u,\"frames\":%" PRIu64 "}",
                   first ? "" : ",", i, static_cast<unsigned>(c.port), c.frames);
            first = false;
        }
        out += "]}";
        return out;
    }
    append(out, "stats %s", reason_name(reason));
    for (const Field &f : kFields) {
        append(out, " %s=%" PRIu64, f.name, stats.*f.value);
    }
    // Channel slots in use, as slot:port:frames.
    for (uint32_t i = 0; i < stats.channels && i < KT_MAX_CHANNELS; ++i) {
        const kt_daq_stats_channel &c = stats.channel[i];
        if (c.port != 0 || c.frames != 0) {
            append(out, " channel=%" PRIu32 ":%u:%" PRIu64, i, static_cast<unsigned>(c.port),
                   c.frames);
        }
    }
    return out;
}

void block_report_signals() {
    const sigset_t set = report_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool start_reporter(unsigned interval_s, bool json) {
    auto *reporter = new Reporter{interval_s, json};
    pthread_t thread{};
    if (pthread_create(&thread, nullptr, run, reporter) != 0) {
        delete reporter;
        return false;
    }
    pthread_detach(thread);
    return true;
}

}  // namespace ktdaqd
