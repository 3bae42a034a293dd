// Frames per second from the simulated engine at full rate through kt_daqex_run to
// channels with kt_output_filter and reading clients, against a baseline that takes the
// same ring slots in the same batches, copies each 2048-byte slot and sends payload_len +
// 20 bytes on a loopback TCP socket (same socket options as a channel's) to the same kind
// of reader. Both run against the same engine, so the ratio shows what the dispatch,
// configuration and filter machinery cost. Prints figures and ratios; asserts nothing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iterator>
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
#include "process.h"
#include "sim_device.h"
#include "sim_engine.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kRing = 1024 * KT_SLOT_SIZE;
constexpr auto kWarmup = 500ms;
constexpr auto kMeasure = 2s;
constexpr int kRounds = 3;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

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

// Frames per second summed over the readers, measured after a warm-up.
double measure(std::vector<std::unique_ptr<Reader>> &readers) {
    std::this_thread::sleep_for(kWarmup);
    auto total = [&] {
        uint64_t n = 0;
        for (auto &r : readers) {
            n += r->frames;
        }
        return n;
    };
    const uint64_t before = total();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(kMeasure);
    const uint64_t after = total();
    const double dt = std::chrono::duration<double>(Clock::now() - t0).count();
    for (auto &r : readers) {
        r->finish();
    }
    return static_cast<double>(after - before) / dt;
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
};

double run_filter_mode(const ktsim::Device &device, const Scenario &s) {
    ktdaq_test::FilterProcess loop(device.path(), kRing);
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
    return measure(readers);
}

double run_baseline(const ktsim::Device &device) {
    kttest::Process baseline(kttest::helper("baseline", {device.path(), "9900"}));
    std::vector<std::unique_ptr<Reader>> readers;
    readers.push_back(std::make_unique<Reader>());
    readers.back()->start(9900);
    const double fps = measure(readers);
    return fps;
}

}  // namespace

int main(int argc, char **argv) {
    int status = 0;
    if (kttest::run_helper(argc, argv, &status)) {
        return status;
    }
    const std::string why = ktsim::enter_private_namespaces();
    if (!why.empty()) {
        fprintf(stderr, "kt-filter-bench: %s\n", why.c_str());
        return 1;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printf("%-34s %8s %14s %14s %7s\n", "scenario", "payload", "frames/s", "baseline/s", "ratio");
    const Scenario scenarios[] = {{"output filter, 1 channel", 1, false},
                                  {"datalogger + output, 1 channel", 1, true},
                                  {"output filter, 8 channels", 8, false}};
    for (const uint16_t payload : {uint16_t{64}, uint16_t{512}, uint16_t{2028}}) {
        ktsim::DeviceConfig dc;
        dc.ring_capacity = kRing;
        ktsim::Device device(dc);
        ktsim::Engine engine(device, ktsim::full_rate(payload));
        engine.start();
        // Runs alternate and the median of each counts: the machine's other load moves
        // single runs by tens of percent.
        std::vector<double> baseline_runs, runs[std::size(scenarios)];
        for (int round = 0; round < kRounds; ++round) {
            baseline_runs.push_back(run_baseline(device));
            for (size_t i = 0; i < std::size(scenarios); ++i) {
                runs[i].push_back(run_filter_mode(device, scenarios[i]));
            }
        }
        const double baseline = median(baseline_runs);
        for (size_t i = 0; i < std::size(scenarios); ++i) {
            const double fps = median(runs[i]);
            printf("%-34s %8u %14.0f %14.0f %7.2f\n", scenarios[i].name, payload, fps, baseline,
                   fps / baseline);
        }
        engine.stop();
    }
    return 0;
}
