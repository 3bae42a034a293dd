// Frames per second, CPU and heap allocations per frame of the publish loop, fed by the
// simulated stream engine at its full rate, against a plain ZeroMQ baseline fed by the
// same engine through the same reader calls under the same constraints (see
// plain_publisher.h), and against a reader that only takes and hands back frames (the
// engine alone). Each publisher runs in a process of its own; this process is the
// subscriber and measures. Runs alternate loop and baseline; the table shows the median
// and range over the repetitions. Creates its own namespaces: run it directly.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "alloc_count.h"
#include "bench_options.h"
#include "bench_peer.h"
#include "kt_daq.h"
#include "namespaces.h"
#include "plain_publisher.h"
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
constexpr char kLoopChildFlag[] = "--loop-child";

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
std::string g_self;

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// The publish loop as an application runs it; counts its allocations from the start.
[[noreturn]] void run_loop(const char *path, bool ack) {
    count_allocations_into(g_counts);
    if (ack) {
        add_channel(KT_DAQ_ALL_FRAMES, KT_DAQ_ALL_FRAMES);
    }
    kt_daq *daq = kt_daq_create(path, kRingBytes);
    if (daq != nullptr) {
        kt_daq_run(daq);
    }
    _exit(1);
}

// The loop with another build's library: this program again, with the library folder
// ahead of the build tree's run path.
[[noreturn]] void exec_other_loop(const char *path, bool ack) {
    setenv("LD_LIBRARY_PATH", g_options.other_lib.c_str(), 1);
    const std::string fd = std::to_string(g_counts_fd);
    execl(g_self.c_str(), g_self.c_str(), kLoopChildFlag, path, ack ? "1" : "0", fd.c_str(),
          static_cast<char *>(nullptr));
    perror("daq_bench: exec");
    _exit(1);
}

pid_t start_publisher(Runner who, const std::string &path, bool ack) {
    fflush(stdout);
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Whatever the publisher prints (time-outs) goes to standard error, not the table.
    dup2(STDERR_FILENO, STDOUT_FILENO);
    switch (who) {
        case Runner::kReader:
            count_allocations_into(g_counts);
            run_ring_reader(path.c_str(), kRingBytes);
        case Runner::kLoop:
            run_loop(path.c_str(), ack);
        case Runner::kOtherLoop:
            exec_other_loop(path.c_str(), ack);
        case Runner::kBaseline:
            count_allocations_into(g_counts);
            run_plain_publisher(path.c_str(), kRingBytes, ack);
    }
    _exit(1);
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
    ktsim::EngineConfig config;
    config.payload_sizes = {payload};
    config.rate = 0;
    ktsim::Engine engine(device, config);
    const pid_t child = start_publisher(who, device.path(), ack);

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
        sample.ok = subscribed && !peer.stalled() && waitpid(child, nullptr, WNOHANG) == 0 &&
                    s0.cpu_ns >= 0 && s1.cpu_ns >= 0;
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
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

// Entry of a loop re-executed with another library: PATH ACK COUNTS_FD.
int loop_child_main(int argc, char **argv) {
    if (argc != 5) {
        return 2;
    }
    g_counts = attach_alloc_counts(atoi(argv[4]));
    if (g_counts == nullptr) {
        return 1;
    }
    run_loop(argv[2], strcmp(argv[3], "1") == 0);
}

}  // namespace
}  // namespace ktbench

int main(int argc, char **argv) {
    using namespace ktbench;
    if (argc > 1 && strcmp(argv[1], kLoopChildFlag) == 0) {
        return loop_child_main(argc, argv);
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
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
        perror("daq_bench: /proc/self/exe");
        return 1;
    }
    g_self = self;
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
