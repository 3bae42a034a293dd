// Frames per second, CPU and heap allocations per frame of the publish loop, fed by the
// simulated stream engine at its full rate, against a plain ZeroMQ baseline fed by the
// same engine through the same reader calls under the same constraints (see
// plain_publisher.h), and against a reader that only takes and hands back frames (the
// engine alone). Each publisher runs in a process of its own; this process is the
// subscriber and measures. Runs alternate loop and baseline; the table shows the median
// and range over the repetitions. Creates its own namespaces: run it directly.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "alloc_count.h"
#include "bench_options.h"
#include "bench_peer.h"
#include "helper.h"
#include "kt_daq.h"
#include "namespaces.h"
#include "plain_publisher.h"
#include "process.h"
#include "proc_cpu.h"
#include "ring_reader.h"
#include "sim_device.h"
#include "sim_engine.h"
#include "spread.h"

namespace ktbench {
namespace {

// A ring that the loop, polling an empty ring only every 33 ms, cannot empty between
// polls at the engine's full rate.
constexpr uint32_t kRingBytes = 64u << 20;

enum class Runner { kReader, kLoop, kOtherLoop, kBaseline };

struct Sample {
    bool ok = false;
    double delivered = 0;  // frames/s received by the subscriber (reader: taken)
    double taken = 0;      // frames/s taken out of the ring
    double cpu_us = 0;     // CPU of the publishing process per delivered frame
    double allocs = 0;     // its heap allocations per delivered frame
    std::string library;   // the libktdaq the process mapped, if any
};

Options g_options;
AllocCounts *g_counts = nullptr;
int g_counts_fd = -1;

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// The descriptor of the allocation counts in a publisher's process.
constexpr int kCountsFd = 3;

// A publisher in a process of its own: this program again, in the helper role
// "publisher". The other build's library goes ahead of the build tree's run path.
std::unique_ptr<kttest::Process> start_publisher(Runner who, const std::string &path, bool ack) {
    kttest::ProcessOptions options;
    options.fds = {{g_counts_fd, kCountsFd}};
    if (who == Runner::kOtherLoop) {
        options.env = {"LD_LIBRARY_PATH=" + g_options.other_lib};
        who = Runner::kLoop;
    }
    return std::make_unique<kttest::Process>(
        kttest::helper("publisher", {std::to_string(static_cast<int>(who)), path, ack ? "1" : "0"}),
        options);
}

// The first libktdaq file mapped by `pid`.
std::string mapped_library(pid_t pid) {
    FILE *maps = fopen(("/proc/" + std::to_string(pid) + "/maps").c_str(), "r");
    if (maps == nullptr) {
        return {};
    }
    std::string found;
    char line[4096];
    while (found.empty() && fgets(line, sizeof line, maps) != nullptr) {
        const char *name = strchr(line, '/');
        if (name != nullptr && strstr(name, "libktdaq") != nullptr) {
            found.assign(name, strcspn(name, "\n"));
        }
    }
    fclose(maps);
    return found;
}

struct Snapshot {
    int64_t cpu_ns;
    uint64_t allocations;
    uint64_t taken;
    Clock::time_point when;
};

Sample run_once(Runner who, uint16_t payload, bool ack) {
    ktsim::DeviceConfig device_config;
    device_config.ring_capacity = kRingBytes;
    ktsim::Device device(device_config);
    ktsim::Engine engine(device, ktsim::full_rate(payload));
    const std::unique_ptr<kttest::Process> publisher = start_publisher(who, device.path(), ack);
    const pid_t child = publisher->pid();

    // Taken by the publisher: written by the engine and no longer waiting in the ring.
    auto snapshot = [&] {
        const ktsim::EngineStats stats = engine.stats();
        return Snapshot{process_cpu_ns(child), read_alloc_counts(g_counts).allocations,
                        stats.frames_written - stats.data_count / KT_SLOT_SIZE, Clock::now()};
    };
    Sample sample;
    uint64_t delivered = 0;
    Snapshot s0{}, s1{};
    {
        Peer peer(ack);
        const bool subscribed = who == Runner::kReader || peer.wait_connected();
        engine.start();
        const auto t0 = Clock::now() + seconds(g_options.warmup_s);
        const auto t1 = t0 + seconds(g_options.window_s);
        auto run_until = [&](Clock::time_point until) -> uint64_t {
            if (who == Runner::kReader) {
                std::this_thread::sleep_until(until);
                return 0;
            }
            return peer.run_until(until);
        };
        run_until(t0);
        s0 = snapshot();
        delivered = run_until(t1);
        s1 = snapshot();
        sample.library = mapped_library(child);
        sample.ok = subscribed && !peer.stalled() &&
                    publisher->wait(std::chrono::milliseconds(0)) == -1 && s0.cpu_ns >= 0 &&
                    s1.cpu_ns >= 0;
    }
    publisher->kill();
    // Whatever the publisher printed (time-outs) goes to standard error, not the table.
    fputs(publisher->output().c_str(), stderr);
    fputs(publisher->errors().c_str(), stderr);
    engine.stop();

    const double dt = std::chrono::duration<double>(s1.when - s0.when).count();
    const double taken = static_cast<double>(s1.taken - s0.taken);
    const double frames = who == Runner::kReader ? taken : static_cast<double>(delivered);
    sample.taken = taken / dt;
    sample.delivered = frames / dt;
    if (frames > 0) {
        sample.cpu_us = static_cast<double>(s1.cpu_ns - s0.cpu_ns) / 1000.0 / frames;
        sample.allocs = static_cast<double>(s1.allocations - s0.allocations) / frames;
    } else {
        sample.ok = false;
    }
    if (!sample.ok) {
        fprintf(stderr, "daq_bench: a run of payload %u failed and is left out\n", payload);
    }
    return sample;
}

// --- the table ---

constexpr char kHeader[] = "%-7s %-6s %-10s %-28s %-9s %-24s %-20s\n";

void print_columns_help() {
    printf(
        "daq_bench: %d repetitions of %.2f s windows after %.2f s of warm-up; runs alternate "
        "loop and baseline\n"
        "  delivered/s   frames received per second by the subscriber (engine row: frames "
        "taken by the reader)\n"
        "  taken/s       frames taken out of the ring per second by the publishing process\n"
        "  cpu us/frame  CPU of the publishing process, all its threads, per delivered frame\n"
        "  alloc/frame   heap allocations of the publishing process per delivered frame\n"
        "  each figure: median [min-max] over the repetitions; ratio rows: per repetition, "
        "delivered/s of the first over the second, and cpu us/frame likewise\n"
        "  engine: a reader that only takes and hands back frames; baseline: plain zmq_send "
        "(copying) on PUB with SNDHWM 1 and XPUB_NODROP, poll() on ZMQ_FD for room, same "
        "ring calls\n",
        g_options.repetitions, g_options.window_s, g_options.warmup_s);
    printf(kHeader, "payload", "acks", "run", "delivered/s", "taken/s", "cpu us/frame",
           "alloc/frame");
}

std::vector<double> field(const std::vector<Sample> &samples, double Sample::*member) {
    std::vector<double> values;
    for (const Sample &s : samples) {
        if (s.ok) {
            values.push_back(s.*member);
        }
    }
    return values;
}

void print_row(uint16_t payload, const char *acks, const char *run,
               const std::vector<Sample> &samples) {
    const std::string taken = format_spread(spread_of(field(samples, &Sample::taken)), 0);
    printf(kHeader, std::to_string(payload).c_str(), acks, run,
           format_spread(spread_of(field(samples, &Sample::delivered)), 0).c_str(),
           taken.substr(0, taken.find(' ')).c_str(),
           format_spread(spread_of(field(samples, &Sample::cpu_us)), 2).c_str(),
           format_spread(spread_of(field(samples, &Sample::allocs)), 2).c_str());
}

// Ratios of repetition pairs where both runs succeeded.
void print_ratio(uint16_t payload, const char *acks, const char *run, const std::vector<Sample> &a,
                 const std::vector<Sample> &b) {
    std::vector<double> delivered, cpu;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (a[i].ok && b[i].ok && b[i].delivered > 0 && b[i].cpu_us > 0) {
            delivered.push_back(a[i].delivered / b[i].delivered);
            cpu.push_back(a[i].cpu_us / b[i].cpu_us);
        }
    }
    printf(kHeader, std::to_string(payload).c_str(), acks, run,
           format_spread(spread_of(delivered), 2).c_str(), "",
           format_spread(spread_of(cpu), 2).c_str(), "-");
}

void bench_payload(uint16_t payload, std::vector<std::string> *libraries) {
    std::vector<Sample> reader;
    for (int i = 0; i < g_options.repetitions; ++i) {
        reader.push_back(run_once(Runner::kReader, payload, false));
    }
    print_row(payload, "-", "engine", reader);
    const bool other = !g_options.other_lib.empty();
    for (bool ack : {false, true}) {
        std::vector<Sample> loop, other_loop, base;
        for (int i = 0; i < g_options.repetitions; ++i) {
            loop.push_back(run_once(Runner::kLoop, payload, ack));
            if (other) {
                other_loop.push_back(run_once(Runner::kOtherLoop, payload, ack));
            }
            base.push_back(run_once(Runner::kBaseline, payload, ack));
        }
        const char *acks = ack ? "every" : "none";
        print_row(payload, acks, "loop", loop);
        if (other) {
            print_row(payload, acks, "other", other_loop);
        }
        print_row(payload, acks, "baseline", base);
        print_ratio(payload, acks, "loop/base", loop, base);
        if (other) {
            print_ratio(payload, acks, "other/base", other_loop, base);
            print_ratio(payload, acks, "loop/other", loop, other_loop);
        }
        fflush(stdout);
        if (libraries->empty() && !loop.empty()) {
            libraries->push_back("loop:  " + loop.front().library);
            if (other) {
                libraries->push_back("other: " + other_loop.front().library);
            }
        }
    }
}

}  // namespace

// A publisher, counting its allocations from the start: RUNNER DEVICE ACK.
KT_TEST_HELPER(publisher) {
    g_counts = argc == 3 ? attach_alloc_counts(kCountsFd) : nullptr;
    if (g_counts == nullptr) {
        return 1;
    }
    const bool ack = strcmp(argv[2], "1") == 0;
    count_allocations_into(g_counts);
    switch (static_cast<Runner>(atoi(argv[0]))) {
        case Runner::kReader:
            run_ring_reader(argv[1], kRingBytes);
        case Runner::kBaseline:
            run_plain_publisher(argv[1], kRingBytes, ack);
        default:
            if (ack) {
                add_channel(KT_DAQ_ALL_FRAMES, KT_DAQ_ALL_FRAMES);
            }
            if (kt_daq *daq = kt_daq_create(argv[1], kRingBytes)) {
                kt_daq_run(daq);
            }
    }
    return 1;
}

}  // namespace ktbench

int main(int argc, char **argv) {
    using namespace ktbench;
    int status = 0;
    if (kttest::run_helper(argc, argv, &status)) {
        return status;
    }
    if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        fputs(kUsage, stdout);
        return 0;
    }
    std::string error;
    if (!parse_options(argc - 1, argv + 1, &g_options, &error)) {
        fprintf(stderr, "daq_bench: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    const std::string why = ktsim::enter_private_namespaces();
    if (!why.empty()) {
        fprintf(stderr, "daq_bench: %s\n", why.c_str());
        return 1;
    }
    g_counts = create_alloc_counts(&g_counts_fd);
    if (g_counts == nullptr) {
        perror("daq_bench: shared page for allocation counts");
        return 1;
    }
    print_columns_help();
    std::vector<std::string> libraries;
    for (uint16_t payload : g_options.payloads) {
        bench_payload(payload, &libraries);
    }
    for (const std::string &line : libraries) {
        printf("%s\n", line.c_str());
    }
    return 0;
}
