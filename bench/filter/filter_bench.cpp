// The filter mode fed by the simulated engine at full rate, through kt_daqex_run to
// channels with kt_output_filter and reading clients, with the channels' client sockets
// corked for the length of each batch (as the loop does) and not corked, in alternating
// runs; against a baseline that takes the same ring slots in the same batches, copies each
// 2048-byte slot and sends payload_len + 20 bytes on a loopback TCP socket to the same
// kind of reader. Per run, over the same window: frames/s delivered per client, and per
// delivery the CPU time, system calls (perf) and context switches of the process that
// runs the loop. Prints the median and range over the repetitions; asserts nothing.
//   kt-filter-bench [--reps N] [--payloads N,N,...]
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "filter_harness.h"
#include "helper.h"
#include "kt_daq.h"
#include "namespaces.h"
#include "proc_cpu.h"
#include "process.h"
#include "sim_device.h"
#include "sim_engine.h"
#include "spread.h"
#include "syscall_count.h"

// The loop without corking: in a loop process started with kNoCork in its environment,
// this program's setsockopt stands in front of the C library's and leaves TCP_CORK alone,
// so that the loop makes exactly the system calls it makes without corking. The program
// exports it (ENABLE_EXPORTS), so the engine library's calls come here.
namespace {
constexpr char kNoCork[] = "KT_FILTER_BENCH_NO_CORK";
}  // namespace

extern "C" int setsockopt(int fd, int level, int name, const void *value,
                          socklen_t length) noexcept {
    using Fn = int (*)(int, int, int, const void *, socklen_t);
    static const Fn next = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "setsockopt"));
    static const bool no_cork = getenv(kNoCork) != nullptr;
    if (no_cork && level == IPPROTO_TCP && name == TCP_CORK) {
        return 0;
    }
    return next(fd, level, name, value, length);
}

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kRing = 1024 * KT_SLOT_SIZE;
constexpr auto kWarmup = 500ms;
constexpr auto kWindow = 2s;

// Counts whole frames arriving on one connection.
struct Reader {
    std::atomic<uint64_t> frames{0};
    std::atomic<bool> stop{false};
    std::thread thread;

    void start(uint16_t port) {
        thread = std::thread([this, port] {
            ktdaq_test::ChannelClient client(port, 10000);
            std::vector<uint8_t> frame;
            while (!stop && client.next_frame(&frame, 200)) {
                ++frames;
            }
        });
    }
    void finish() {
        stop = true;
        if (thread.joinable()) {
            thread.join();
        }
    }
};

struct Sample {
    bool ok = false;
    double per_client = 0;  // frames/s received by each client
    double cpu_us = 0;      // per delivery, of the sending process
    double syscalls = 0;
    double switches = 0;
};

// Measures the sending process `pid` over a window after a warm-up, while `readers`
// receive; a delivery is one frame received by one client.
Sample measure(pid_t pid, std::vector<std::unique_ptr<Reader>> &readers) {
    Sample s;
    ktbench::SyscallCount syscalls(pid);
    std::this_thread::sleep_for(kWarmup);
    auto delivered = [&] {
        uint64_t n = 0;
        for (auto &r : readers) {
            n += r->frames;
        }
        return n;
    };
    if (!syscalls.start()) {
        fprintf(stderr, "kt-filter-bench: %s\n", syscalls.error().c_str());
        return s;
    }
    const uint64_t frames0 = delivered();
    const int64_t cpu0 = ktbench::process_cpu_ns(pid);
    const int64_t switches0 = ktbench::process_context_switches(pid);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(kWindow);  // the window measured
    const uint64_t frames1 = delivered();
    const int64_t cpu1 = ktbench::process_cpu_ns(pid);
    const int64_t switches1 = ktbench::process_context_switches(pid);
    const double dt = std::chrono::duration<double>(Clock::now() - t0).count();
    const bool stopped = syscalls.stop();
    for (auto &r : readers) {
        r->finish();
    }
    const int64_t calls = syscalls.finish();
    const double n = static_cast<double>(frames1 - frames0);
    if (!stopped || calls < 0 || cpu0 < 0 || cpu1 < 0 || switches0 < 0 || switches1 < 0 || n == 0) {
        fprintf(stderr, "kt-filter-bench: run not measured %s\n", syscalls.error().c_str());
        return s;
    }
    s.ok = true;
    s.per_client = n / static_cast<double>(readers.size()) / dt;
    s.cpu_us = static_cast<double>(cpu1 - cpu0) / 1000.0 / n;
    s.syscalls = static_cast<double>(calls) / n;
    s.switches = static_cast<double>(switches1 - switches0) / n;
    return s;
}

// The baseline loop: the same batches, a copy of each slot, one send per frame to the one
// client of PORT. DEVICE PORT.
KT_TEST_HELPER(baseline) {
    if (argc != 2) {
        return 2;
    }
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(atoi(argv[1])));
    bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    listen(listener, 5);
    kt_daq *daq = kt_daq_create(argv[0], kRing);
    if (daq == nullptr) {
        return 3;
    }
    const int client = accept(listener, nullptr, nullptr);
    alignas(8) static uint8_t copy[KT_SLOT_SIZE];
    for (;;) {
        uint32_t count = 0;
        while ((count = kt_get_data_cnt(daq->axis)) == 0) {
            usleep(10000);
        }
        uint32_t taken = 0;
        do {
            memcpy(copy, kt_axis_read_frame(daq->axis, nullptr, count), KT_SLOT_SIZE);
            const auto *f = reinterpret_cast<const kt_frame *>(copy);
            if (f->payload_len != 0 && send(client, copy, kt_frame_length(f), MSG_NOSIGNAL) < 0) {
                return 0;
            }
            taken += KT_SLOT_SIZE;
        } while (taken <= 204799 && taken < count);
        kt_axis_read_done(daq->axis);
    }
}

struct Scenario {
    const char *name;
    int channels;
    bool datalogger;
    bool corked;
};

Sample run_filter_mode(const ktsim::Device &device, const Scenario &s) {
    std::vector<std::string> env;
    if (!s.corked) {
        env.push_back(std::string(kNoCork) + "=1");
    }
    ktdaq_test::FilterProcess loop(device.path(), kRing, 0, env);
    std::vector<std::unique_ptr<Reader>> readers;
    for (int i = 0; i < s.channels; ++i) {
        const uint16_t port = static_cast<uint16_t>(9800 + i);
        const std::string chain =
            s.datalogger ? "kt_R507_datalogger_filter,kt_output_filter" : "kt_output_filter";
        ktdaq_test::configure("0=c" + std::to_string(i) + ";1=" + std::to_string(port) +
                              ";2=1;3=1;4=1;5=" + chain);
        readers.push_back(std::make_unique<Reader>());
        readers.back()->start(port);
    }
    return measure(loop.pid(), readers);
}

Sample run_baseline(const ktsim::Device &device) {
    kttest::Process baseline(kttest::helper("baseline", {device.path(), "9900"}));
    std::vector<std::unique_ptr<Reader>> readers;
    readers.push_back(std::make_unique<Reader>());
    readers.back()->start(9900);
    return measure(baseline.pid(), readers);
}

struct Series {
    std::vector<double> per_client, cpu_us, syscalls, switches;
    void add(const Sample &s) {
        if (s.ok) {
            per_client.push_back(s.per_client);
            cpu_us.push_back(s.cpu_us);
            syscalls.push_back(s.syscalls);
            switches.push_back(s.switches);
        }
    }
};

void print_row(const char *name, uint16_t payload, const Series &r) {
    using ktbench::format_spread;
    using ktbench::spread_of;
    printf("%-28s %7u %-24s %-22s %-22s %-22s\n", name, payload,
           format_spread(spread_of(r.per_client), 0).c_str(),
           format_spread(spread_of(r.cpu_us), 2).c_str(),
           format_spread(spread_of(r.syscalls), 3).c_str(),
           format_spread(spread_of(r.switches), 4).c_str());
}

bool parse_count(const char *text, long min, long max, long *value) {
    char *end = nullptr;
    const long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < min || v > max) {
        return false;
    }
    *value = v;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    int status = 0;
    if (kttest::run_helper(argc, argv, &status)) {
        return status;
    }
    long reps = 5;
    std::vector<uint16_t> payloads{64, 2028};
    for (int i = 1; i < argc; i += 2) {
        long v = 0;
        if (i + 1 < argc && strcmp(argv[i], "--reps") == 0 &&
            parse_count(argv[i + 1], 1, 1000, &v)) {
            reps = v;
        } else if (i + 1 < argc && strcmp(argv[i], "--payloads") == 0) {
            payloads.clear();
            for (char *item = strtok(argv[i + 1], ","); item != nullptr;
                 item = strtok(nullptr, ",")) {
                if (!parse_count(item, 1, KT_FRAME_MAX_PAYLOAD, &v)) {
                    payloads.clear();
                    break;
                }
                payloads.push_back(static_cast<uint16_t>(v));
            }
            if (payloads.empty()) {
                fprintf(stderr, "kt-filter-bench: payloads are 1..2028, ','-separated\n");
                return 2;
            }
        } else {
            fprintf(stderr, "usage: kt-filter-bench [--reps N] [--payloads N,N,...]\n");
            return 2;
        }
    }
    const std::string why = ktsim::enter_private_namespaces();
    if (!why.empty()) {
        fprintf(stderr, "kt-filter-bench: %s\n", why.c_str());
        return 1;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printf("%ld repetitions, %.1f s windows; median [min-max]\n", reps,
           std::chrono::duration<double>(kWindow).count());
    printf("%-28s %7s %-24s %-22s %-22s %-22s\n", "scenario", "payload", "frames/s per client",
           "CPU us/delivery", "syscalls/delivery", "ctx switches/delivery");
    // Each corked scenario is followed by the same one not corked.
    const Scenario scenarios[] = {
        {"output, 1 channel, corked", 1, false, true},   {"output, 1 channel", 1, false, false},
        {"datalogger+output, 1, corked", 1, true, true}, {"datalogger+output, 1", 1, true, false},
        {"output, 8 channels, corked", 8, false, true},  {"output, 8 channels", 8, false, false},
    };
    constexpr size_t kScenarios = sizeof scenarios / sizeof scenarios[0];
    for (const uint16_t payload : payloads) {
        ktsim::DeviceConfig dc;
        dc.ring_capacity = kRing;
        ktsim::Device device(dc);
        ktsim::Engine engine(device, ktsim::full_rate(payload));
        engine.start();
        // Runs alternate, corked and not in turn, the order swapped every repetition: the
        // machine's other load moves single runs by tens of percent.
        Series baseline, runs[kScenarios];
        for (long rep = 0; rep < reps; ++rep) {
            baseline.add(run_baseline(device));
            for (size_t k = 0; k < kScenarios; k += 2) {
                const size_t first = k + static_cast<size_t>(rep % 2);
                runs[first].add(run_filter_mode(device, scenarios[first]));
                const size_t second = k + 1 - static_cast<size_t>(rep % 2);
                runs[second].add(run_filter_mode(device, scenarios[second]));
            }
        }
        print_row("baseline, 1 client", payload, baseline);
        for (size_t k = 0; k < kScenarios; ++k) {
            print_row(scenarios[k].name, payload, runs[k]);
        }
        engine.stop();
    }
    return 0;
}
