// Frames per second, CPU, context switches, system calls and heap allocations per frame
// of the publish loop, fed by the simulated stream engine at its full rate, at several
// queue depths and acknowledgement windows; against a plain ZeroMQ baseline fed by the
// same engine through the same reader calls under the same constraints, plain ZeroMQ with
// a deep queue, a floor of one copy and one send() per frame on TCP (see
// plain_publisher.h), and a reader that only takes and hands back frames (the engine
// alone). Each publisher runs in a process of its own; this process is the subscriber and
// measures. Runs alternate over all rows; the table shows the median and range over the
// repetitions. System calls are counted in runs of their own, instructions per frame in
// runs under valgrind of two lengths. Creates its own namespaces: run it directly.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "alloc_count.h"
#include "bench_options.h"
#include "bench_peer.h"
#include "counts.h"
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
#include "temp_dir.h"

// Resolved at run time: a library of another build (--other-lib) may not have it; then
// only the rows without options run with it.
#pragma weak kt_daq_set_publish_options

namespace ktbench {
namespace {

// A ring that the loop, polling an empty ring only every 33 ms, cannot empty between
// polls at the engine's full rate.
constexpr uint32_t kRingBytes = 64u << 20;
// The deep baseline's queue per subscriber.
constexpr int kDeepQueue = 1000;
// System calls counted by name besides the total.
const std::vector<std::string> kSyscallNames{"getpid", "poll",           "epoll_wait", "epoll_ctl",
                                             "read",   "write",          "sendto",     "recvfrom",
                                             "futex",  "clock_nanosleep"};

enum class Runner { kReader, kLoop, kOtherLoop, kBaseline, kDeepBaseline, kStreamFloor };

// One row of the table: who publishes, and how.
struct Row {
    Runner who;
    const char *run;
    uint32_t depth = 1;      // the loop's queue depth; the baselines' send high-water mark
    uint32_t window = 0;     // acknowledgement window; 0 without acknowledgements
    uint32_t ack_every = 0;  // frames per acknowledgement of the subscriber
};

struct Sample {
    bool ok = false;
    double delivered = 0;  // frames/s received by the subscriber (reader: taken)
    double taken = 0;      // frames/s taken out of the ring
    double cpu_us = 0;     // CPU of the publishing process per delivered frame
    double switches = 0;   // its context switches per frame taken
    double allocs = 0;     // its heap allocations per delivered frame
    // Counting runs: system calls per frame taken, all and by name (kSyscallNames).
    double syscalls = 0;
    std::vector<double> by_name;
    std::string library;  // the libktdaq the process mapped, if any
};

Options g_options;
SyscallTool g_tool = SyscallTool::kOff;
AllocCounts *g_counts = nullptr;
int g_counts_fd = -1;

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// Descriptors in a publisher's process: the allocation counts, and the end of a pipe
// whose first byte (or closing) ends the process.
constexpr int kCountsFd = 3;
constexpr int kExitFd = 4;

// A publisher in a process of its own: this program again, in the helper role
// "publisher", under `wrapper` (valgrind) when given. The other build's library goes
// ahead of the build tree's run path.
std::unique_ptr<kttest::Process> start_publisher(const Row &row, const std::string &path,
                                                 int exit_fd = -1,
                                                 const kttest::Args &wrapper = {}) {
    kttest::ProcessOptions options;
    options.fds = {{g_counts_fd, kCountsFd}};
    if (exit_fd >= 0) {
        options.fds.push_back({exit_fd, kExitFd});
    }
    Runner who = row.who;
    if (who == Runner::kOtherLoop) {
        options.env = {"LD_LIBRARY_PATH=" + g_options.other_lib};
        who = Runner::kLoop;
    }
    kttest::Args command = wrapper;
    const kttest::Args helper = kttest::helper(
        "publisher", {std::to_string(static_cast<int>(who)), path, std::to_string(row.depth),
                      std::to_string(row.window), exit_fd >= 0 ? "1" : "0"});
    command.insert(command.end(), helper.begin(), helper.end());
    return std::make_unique<kttest::Process>(command, options);
}

// What receives the frames of `row`'s publisher; none for the engine alone.
std::unique_ptr<Receiver> make_receiver(const Row &row) {
    switch (row.who) {
        case Runner::kReader:
            return nullptr;
        case Runner::kStreamFloor:
            return std::make_unique<StreamPeer>(kStreamFloorPort);
        default:
            return std::make_unique<Peer>(row.window > 0 ? row.ack_every : 0);
    }
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
    int64_t switches;
    uint64_t allocations;
    uint64_t taken;
    Clock::time_point when;
};

// One run of `row`: timed (`tool` kOff), or counting system calls with `tool` over the
// window.
Sample run_once(const Row &row, uint16_t payload, SyscallTool tool) {
    ktsim::DeviceConfig device_config;
    device_config.ring_capacity = kRingBytes;
    ktsim::Device device(device_config);
    ktsim::Engine engine(device, ktsim::full_rate(payload));
    const std::unique_ptr<kttest::Process> publisher = start_publisher(row, device.path());
    const pid_t child = publisher->pid();

    // Taken by the publisher: written by the engine and no longer waiting in the ring.
    auto snapshot = [&] {
        const ktsim::EngineStats stats = engine.stats();
        return Snapshot{process_cpu_ns(child), process_context_switches(child),
                        read_alloc_counts(g_counts).allocations,
                        stats.frames_written - stats.data_count / KT_SLOT_SIZE, Clock::now()};
    };
    Sample sample;
    uint64_t delivered = 0;
    Snapshot s0{}, s1{};
    bool counted = true;
    std::unique_ptr<SyscallCounter> counter;
    {
        const std::unique_ptr<Receiver> receiver = make_receiver(row);
        const bool connected =
            receiver == nullptr || receiver->wait_connected(std::chrono::seconds(10));
        engine.start();
        auto run_until = [&](Clock::time_point until) -> uint64_t {
            if (receiver == nullptr) {
                std::this_thread::sleep_until(until);
                return 0;
            }
            return receiver->run_until(until);
        };
        run_until(Clock::now() + seconds(g_options.warmup_s));
        if (tool != SyscallTool::kOff) {
            // Attached after the warm-up, when every thread of the publisher exists.
            counter = std::make_unique<SyscallCounter>(tool, child, kSyscallNames);
            counted = counter->begin();
        }
        s0 = snapshot();
        delivered = run_until(s0.when + seconds(g_options.window_s));
        s1 = snapshot();
        if (counter != nullptr) {
            counted = counted && counter->end();
            if (!counted) {
                fprintf(stderr, "daq_bench: %s\n", counter->problem().c_str());
            }
        }
        sample.library = mapped_library(child);
        sample.ok = connected && counted && (receiver == nullptr || !receiver->stalled()) &&
                    publisher->wait(std::chrono::milliseconds(0)) == -1 && s0.cpu_ns >= 0 &&
                    s1.cpu_ns >= 0 && s0.switches >= 0 && s1.switches >= 0;
    }
    publisher->kill();
    // Whatever the publisher printed (time-outs) goes to standard error, not the table.
    fputs(publisher->output().c_str(), stderr);
    fputs(publisher->errors().c_str(), stderr);
    engine.stop();

    const double dt = std::chrono::duration<double>(s1.when - s0.when).count();
    const double taken = static_cast<double>(s1.taken - s0.taken);
    const double frames = row.who == Runner::kReader ? taken : static_cast<double>(delivered);
    sample.taken = taken / dt;
    sample.delivered = frames / dt;
    if (frames > 0 && taken > 0) {
        sample.cpu_us = static_cast<double>(s1.cpu_ns - s0.cpu_ns) / 1000.0 / frames;
        sample.allocs = static_cast<double>(s1.allocations - s0.allocations) / frames;
        // Per frame taken: frames delivered in the window include those that waited in
        // queues and socket buffers at its start, more of them when a counting tool slows
        // the publisher; every frame taken went through the publisher within the window.
        sample.switches = static_cast<double>(s1.switches - s0.switches) / taken;
        if (counter != nullptr && counted) {
            sample.syscalls = count_of(counter->counts(), "all") / taken;
            for (const std::string &name : kSyscallNames) {
                sample.by_name.push_back(count_of(counter->counts(), name) / taken);
            }
        }
    } else {
        sample.ok = false;
    }
    if (!sample.ok) {
        fprintf(stderr, "daq_bench: a %s run of %s at payload %u failed and is left out\n",
                tool == SyscallTool::kOff ? "timed" : "counting", row.run, payload);
    }
    return sample;
}

// --- instructions under valgrind ---

struct InstructionRun {
    bool ok = false;
    int64_t instructions = 0;
    uint64_t frames = 0;     // frames the engine wrote, all of which were taken
    uint64_t delivered = 0;  // frames the subscriber received
};

// The publisher of `row` under callgrind while the engine writes exactly `frames`
// frames; once all are taken and the subscriber has received what it will, the
// publisher is told to end, and callgrind writes the instructions of all its threads.
InstructionRun run_under_valgrind(const Row &row, uint16_t payload, uint64_t frames) {
    kttest::TempDir dir("daq-bench");
    const std::string out = dir.file("callgrind.out");
    ktsim::DeviceConfig device_config;
    device_config.ring_capacity = kRingBytes;
    ktsim::Device device(device_config);
    ktsim::EngineConfig config = ktsim::full_rate(payload);
    config.frames = frames;
    ktsim::Engine engine(device, config);
    int exit_pipe[2];
    if (pipe2(exit_pipe, O_CLOEXEC) != 0) {
        return {};
    }
    const std::unique_ptr<kttest::Process> publisher =
        start_publisher(row, device.path(), exit_pipe[0],
                        {"valgrind", "-q", "--tool=callgrind", "--callgrind-out-file=" + out});
    close(exit_pipe[0]);
    InstructionRun result;
    bool connected = false;
    {
        const std::unique_ptr<Receiver> receiver = make_receiver(row);
        // Valgrind takes seconds to start the program.
        connected = receiver == nullptr || receiver->wait_connected(std::chrono::seconds(120));
        engine.start();
        const auto deadline = Clock::now() + std::chrono::minutes(10);
        for (bool done = false; connected && !done && Clock::now() < deadline;) {
            const auto until = Clock::now() + std::chrono::milliseconds(300);
            const uint64_t got = receiver == nullptr ? 0 : receiver->run_until(until);
            if (receiver == nullptr) {
                std::this_thread::sleep_until(until);
            }
            result.delivered += got;
            const ktsim::EngineStats stats = engine.stats();
            done = stats.frames_written == frames && stats.data_count == 0 && got == 0;
        }
        if (write(exit_pipe[1], "x", 1) != 1) {
            connected = false;
        }
        close(exit_pipe[1]);
        result.ok = connected && publisher->wait(std::chrono::seconds(60)) == 0;
    }
    engine.stop();
    std::ifstream file(out);
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    result.instructions = callgrind_total(text);
    result.frames = frames;
    result.ok = result.ok && result.instructions > 0;
    if (!result.ok) {
        fprintf(stderr, "daq_bench: a valgrind run of %s at payload %u failed: %s\n", row.run,
                payload, publisher->errors().c_str());
    }
    return result;
}

// --- the table ---

std::string acks_text(const Row &row) {
    if (row.window == 0) {
        return "-";
    }
    char text[32];
    snprintf(text, sizeof text, "w%u/k%u", row.window, row.ack_every);
    return text;
}

std::string depth_text(const Row &row) {
    return row.who == Runner::kReader || row.who == Runner::kStreamFloor
               ? "-"
               : std::to_string(row.depth);
}

constexpr char kHeader[] = "%-7s %-5s %-8s %-9s %-26s %-8s %-20s %-20s %-18s %-20s %-18s\n";

void print_columns_help() {
    printf(
        "daq_bench: %d repetitions of %.2f s windows after %.2f s of warm-up; runs alternate "
        "over all rows\n"
        "  depth         queue depth per subscriber (ZMQ_SNDHWM); 1 without options\n"
        "  acks          acknowledgement window / frames per request of the subscriber\n"
        "  delivered/s   frames received per second by the subscriber (engine row: frames "
        "taken by the reader)\n"
        "  taken/s       frames taken out of the ring per second by the publishing process\n"
        "  cpu us/frame  CPU of the publishing process, all its threads, per delivered frame\n"
        "  ctxsw/frame   its voluntary + involuntary context switches per frame taken "
        "(/proc/PID/task/*/status)\n"
        "  alloc/frame   its heap allocations per delivered frame\n"
        "  sys/frame     its system calls per frame taken, all threads, counted by %s in "
        "a run of its own per repetition; getpid/frame likewise\n"
        "  each figure: median [min-max] over the repetitions; ratio rows: per repetition, "
        "delivered/s of the first over the second, and cpu us/frame likewise\n"
        "  engine: a reader that only takes and hands back frames; baseline: plain zmq_send "
        "(copying) on PUB with SNDHWM 1 and XPUB_NODROP, poll() on ZMQ_FD for room, same "
        "ring calls; zmq-deep: zmq_send on PUB with SNDHWM %d, dropping as PUB does; "
        "tcp-floor: one thread, memcpy + one send() per frame on loopback TCP\n",
        g_options.repetitions, g_options.window_s, g_options.warmup_s,
        g_tool == SyscallTool::kOff    ? "nothing (--syscalls off)"
        : g_tool == SyscallTool::kPerf ? "perf stat -e raw_syscalls:sys_enter -p PID"
                                       : "strace -c -f -p PID",
        kDeepQueue);
    printf(kHeader, "payload", "depth", "acks", "run", "delivered/s", "taken/s", "cpu us/frame",
           "ctxsw/frame", "alloc/frame", "sys/frame", "getpid/frame");
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

std::vector<double> named(const std::vector<Sample> &samples, size_t index) {
    std::vector<double> values;
    for (const Sample &s : samples) {
        if (s.ok && index < s.by_name.size()) {
            values.push_back(s.by_name[index]);
        }
    }
    return values;
}

void print_row(uint16_t payload, const Row &row, const std::vector<Sample> &timed,
               const std::vector<Sample> &counted) {
    const std::string taken = format_spread(spread_of(field(timed, &Sample::taken)), 0);
    printf(kHeader, std::to_string(payload).c_str(), depth_text(row).c_str(),
           acks_text(row).c_str(), row.run,
           format_spread(spread_of(field(timed, &Sample::delivered)), 0).c_str(),
           taken.substr(0, taken.find(' ')).c_str(),
           format_spread(spread_of(field(timed, &Sample::cpu_us)), 2).c_str(),
           format_spread(spread_of(field(timed, &Sample::switches)), 2).c_str(),
           format_spread(spread_of(field(timed, &Sample::allocs)), 2).c_str(),
           format_spread(spread_of(field(counted, &Sample::syscalls)), 2).c_str(),
           format_spread(spread_of(named(counted, 0)), 2).c_str());
}

// Ratios of repetition pairs where both runs succeeded.
void print_ratio(uint16_t payload, const Row &row, const char *run, const std::vector<Sample> &a,
                 const std::vector<Sample> &b) {
    std::vector<double> delivered, cpu;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (a[i].ok && b[i].ok && b[i].delivered > 0 && b[i].cpu_us > 0) {
            delivered.push_back(a[i].delivered / b[i].delivered);
            cpu.push_back(a[i].cpu_us / b[i].cpu_us);
        }
    }
    printf(kHeader, std::to_string(payload).c_str(), depth_text(row).c_str(),
           acks_text(row).c_str(), run, format_spread(spread_of(delivered), 2).c_str(), "",
           format_spread(spread_of(cpu), 2).c_str(), "", "", "", "");
}

// The median system calls per frame by name of every row that counted them.
void print_by_name(uint16_t payload, const std::vector<Row> &rows,
                   const std::vector<std::vector<Sample>> &counted) {
    printf("\nsystem calls by name per frame taken, payload %u (medians; other: the rest)\n",
           payload);
    printf("%-5s %-8s %-9s", "depth", "acks", "run");
    for (const std::string &name : kSyscallNames) {
        printf(" %*s", std::max(7, static_cast<int>(name.size())), name.c_str());
    }
    printf(" %7s\n", "other");
    for (size_t r = 0; r < rows.size(); ++r) {
        printf("%-5s %-8s %-9s", depth_text(rows[r]).c_str(), acks_text(rows[r]).c_str(),
               rows[r].run);
        double listed = 0;
        for (size_t i = 0; i < kSyscallNames.size(); ++i) {
            const double v = spread_of(named(counted[r], i)).median;
            listed += v;
            printf(" %*.3f", std::max(7, static_cast<int>(kSyscallNames[i].size())), v);
        }
        printf(" %7.3f\n", spread_of(field(counted[r], &Sample::syscalls)).median - listed);
    }
    printf("\n");
}

// The rows of the table in the order they run in.
std::vector<Row> table_rows() {
    const bool other = !g_options.other_lib.empty();
    std::vector<Row> rows{{Runner::kReader, "engine"}};
    for (uint32_t depth : g_options.depths) {
        rows.push_back({Runner::kLoop, "loop", depth});
        if (other) {
            rows.push_back({Runner::kOtherLoop, "other", depth});
        }
    }
    rows.push_back({Runner::kBaseline, "baseline"});
    rows.push_back({Runner::kDeepBaseline, "zmq-deep", kDeepQueue});
    rows.push_back({Runner::kStreamFloor, "tcp-floor"});
    for (uint32_t window : g_options.windows) {
        const uint32_t ack_every = window == 1 ? 1 : g_options.ack_every;
        rows.push_back({Runner::kLoop, "loop", window, window, ack_every});
        if (other) {
            rows.push_back({Runner::kOtherLoop, "other", window, window, ack_every});
        }
    }
    rows.push_back({Runner::kBaseline, "baseline", 1, 1, 1});
    return rows;
}

// The loop and baseline rows of today's loop (depth 1, with or without acknowledgements).
bool todays(const Row &row, Runner who, bool acked) {
    return row.who == who && row.depth == 1 && (row.window > 0) == acked;
}

void bench_payload(uint16_t payload, const std::vector<Row> &rows,
                   std::vector<std::string> *libraries) {
    std::vector<std::vector<Sample>> timed(rows.size()), counted(rows.size());
    for (int i = 0; i < g_options.repetitions; ++i) {
        for (size_t r = 0; r < rows.size(); ++r) {
            timed[r].push_back(run_once(rows[r], payload, SyscallTool::kOff));
            if (g_tool != SyscallTool::kOff) {
                counted[r].push_back(run_once(rows[r], payload, g_tool));
            }
        }
    }
    auto find = [&](auto match) -> const std::vector<Sample> * {
        for (size_t r = 0; r < rows.size(); ++r) {
            if (match(rows[r])) {
                return &timed[r];
            }
        }
        return nullptr;
    };
    for (size_t r = 0; r < rows.size(); ++r) {
        const Row &row = rows[r];
        print_row(payload, row, timed[r], counted[r]);
        const bool acked = row.window > 0;
        if (todays(row, Runner::kLoop, acked) || todays(row, Runner::kOtherLoop, acked)) {
            if (const auto *base =
                    find([&](const Row &b) { return todays(b, Runner::kBaseline, acked); })) {
                print_ratio(payload, row, row.who == Runner::kLoop ? "loop/base" : "other/base",
                            timed[r], *base);
            }
        }
        if (row.who == Runner::kOtherLoop) {
            // The loop row of the same depth and window runs just before.
            print_ratio(payload, row, "loop/other", timed[r - 1], timed[r]);
        }
        if (row.who == Runner::kLoop && libraries->empty() && !timed[r].empty()) {
            libraries->push_back("loop:  " + timed[r].front().library);
        }
        if (row.who == Runner::kOtherLoop && libraries->size() == 1 && !timed[r].empty()) {
            libraries->push_back("other: " + timed[r].front().library);
        }
    }
    if (g_tool != SyscallTool::kOff) {
        print_by_name(payload, rows, counted);
    }
    fflush(stdout);
}

void instructions_payload(uint16_t payload, const std::vector<Row> &rows) {
    const uint64_t n1 = g_options.instruction_frames[0], n2 = g_options.instruction_frames[1];
    printf(
        "user-space instructions per frame, payload %u: callgrind, all threads of the "
        "publishing process, (I(%llu) - I(%llu)) / %llu frames\n",
        payload, static_cast<unsigned long long>(n2), static_cast<unsigned long long>(n1),
        static_cast<unsigned long long>(n2 - n1));
    printf("%-5s %-8s %-9s %14s %14s %12s %12s\n", "depth", "acks", "run", "I(N1)", "I(N2)",
           "instr/frame", "delivered");
    for (const Row &row : rows) {
        const InstructionRun a = run_under_valgrind(row, payload, n1);
        const InstructionRun b = run_under_valgrind(row, payload, n2);
        const std::string delivered =
            row.who == Runner::kReader
                ? "-"
                : std::to_string(a.delivered) + "," + std::to_string(b.delivered);
        if (a.ok && b.ok) {
            printf("%-5s %-8s %-9s %14lld %14lld %12.0f %12s\n", depth_text(row).c_str(),
                   acks_text(row).c_str(), row.run, static_cast<long long>(a.instructions),
                   static_cast<long long>(b.instructions),
                   per_frame_difference(a.instructions, a.frames, b.instructions, b.frames),
                   delivered.c_str());
        } else {
            printf("%-5s %-8s %-9s %14s %14s %12s %12s\n", depth_text(row).c_str(),
                   acks_text(row).c_str(), row.run, "-", "-", "failed", delivered.c_str());
        }
        fflush(stdout);
    }
    printf("\n");
}

}  // namespace

// A publisher, counting its allocations from the start: RUNNER DEVICE DEPTH WINDOW EXIT.
// DEPTH and WINDOW set the loop's publish options (window 0: no acknowledgements) and the
// baselines' queue; with EXIT 1 the process ends at the first byte (or the closing) of
// the pipe on its descriptor kExitFd.
KT_TEST_HELPER(publisher) {
    g_counts = argc == 5 ? attach_alloc_counts(kCountsFd) : nullptr;
    if (g_counts == nullptr) {
        return 1;
    }
    const uint32_t depth = static_cast<uint32_t>(atoi(argv[2]));
    const uint32_t window = static_cast<uint32_t>(atoi(argv[3]));
    if (strcmp(argv[4], "1") == 0) {
        std::thread([] {
            char byte = 0;
            while (read(kExitFd, &byte, 1) < 0 && errno == EINTR) {
            }
            _exit(0);
        }).detach();
    }
    count_allocations_into(g_counts);
    switch (static_cast<Runner>(atoi(argv[0]))) {
        case Runner::kReader:
            run_ring_reader(argv[1], kRingBytes);
        case Runner::kBaseline:
            run_plain_publisher(argv[1], kRingBytes, window > 0);
        case Runner::kDeepBaseline:
            run_deep_publisher(argv[1], kRingBytes, static_cast<int>(depth));
        case Runner::kStreamFloor:
            run_stream_floor(argv[1], kRingBytes, kStreamFloorPort);
        default:
            if (window > 0) {
                add_channel(KT_DAQ_ALL_FRAMES, KT_DAQ_ALL_FRAMES);
            }
            // Without options the loop is today's, also with a library that lacks them.
            if (depth != 1 || window > 1) {
                if (&kt_daq_set_publish_options == nullptr ||
                    kt_daq_set_publish_options(depth, std::max(window, 1u)) != 0) {
                    fprintf(stderr, "daq_bench: this libktdaq cannot set depth %u window %u\n",
                            depth, window);
                    return 1;
                }
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
    g_tool = resolve_syscall_tool(g_options.syscalls);
    if (g_options.syscalls != SyscallTool::kOff && g_tool == SyscallTool::kOff) {
        fprintf(stderr, "daq_bench: neither perf nor strace can count system calls here\n");
        return 1;
    }
    const std::vector<Row> rows = table_rows();
    std::vector<std::string> libraries;
    if (g_options.table) {
        print_columns_help();
        for (uint16_t payload : g_options.payloads) {
            bench_payload(payload, rows, &libraries);
        }
    }
    if (g_options.instructions && g_options.instruction_frames[1] > 0) {
        for (uint16_t payload : g_options.payloads) {
            instructions_payload(payload, rows);
        }
    }
    for (const std::string &line : libraries) {
        printf("%s\n", line.c_str());
    }
    return 0;
}
