// Frames per second through the publish loop, fed by the simulated stream engine at its
// maximum rate, against plain ZeroMQ baselines measured in the same run:
//   no acknowledgement: the loop with no subscriber registered and one SUB, against a
//     PUB (ZMQ_SNDHWM 1) sending the same frames from memory to one SUB;
//   every frame acknowledged: the loop with one subscriber for every frame registered,
//     against the same PUB plus a REQ/REP round trip per frame.
// Runs in private namespaces of its own (the simulated device, the fixed endpoints).
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "frame_pattern.h"
#include "kt_daq.h"
#include "namespaces.h"
#include "sim_device.h"
#include "sim_engine.h"

namespace {

using Clock = std::chrono::steady_clock;

double g_warmup_s = 0.5;
double g_window_s = 2.0;

struct Result {
    double sent = 0;       // frames/s taken by the publisher
    double delivered = 0;  // frames/s received by the subscriber
};

// Shared with a baseline publisher child: its count of frames sent, and the parent's go
// once the subscriber is connected.
struct Shared {
    std::atomic<uint64_t> sent;
    std::atomic<int> go;
};
Shared *g_shared = nullptr;

pid_t fork_child(const std::function<void()> &body) {
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        body();
        _exit(0);
    }
    return pid;
}

void stop_child(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// The subscriber side: a SUB socket and, when acknowledging, a REQ socket.
class Peer {
  public:
    explicit Peer(bool ack) : ack_(ack) {
        context_ = zmq_ctx_new();
        sub_ = zmq_socket(context_, ZMQ_SUB);
        zmq_socket_monitor(sub_, "inproc://bench-monitor", ZMQ_EVENT_HANDSHAKE_SUCCEEDED);
        monitor_ = zmq_socket(context_, ZMQ_PAIR);
        zmq_connect(monitor_, "inproc://bench-monitor");
        zmq_setsockopt(sub_, ZMQ_SUBSCRIBE, "", 0);
        zmq_connect(sub_, KT_DAQ_PUB_ENDPOINT);
        if (ack_) {
            req_ = zmq_socket(context_, ZMQ_REQ);
            zmq_connect(req_, KT_DAQ_ACK_ENDPOINT);
        }
    }
    ~Peer() {
        zmq_socket_monitor(sub_, nullptr, 0);
        const int linger = 0;
        for (void *s : {sub_, req_, monitor_}) {
            if (s != nullptr) {
                zmq_setsockopt(s, ZMQ_LINGER, &linger, sizeof linger);
                zmq_close(s);
            }
        }
        zmq_ctx_term(context_);
    }

    bool wait_connected() {
        zmq_pollitem_t item{monitor_, 0, ZMQ_POLLIN, 0};
        if (zmq_poll(&item, 1, 10000) != 1) {
            return false;
        }
        zmq_msg_t m;
        zmq_msg_init(&m);
        while (zmq_msg_recv(&m, monitor_, 0) >= 0 && zmq_msg_more(&m)) {
        }
        zmq_msg_close(&m);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return true;
    }

    // Receives (and acknowledges) until `until`; returns the frames received.
    uint64_t run_until(Clock::time_point until) {
        uint64_t frames = 0;
        zmq_msg_t part;
        zmq_msg_init(&part);
        while (Clock::now() < until) {
            zmq_pollitem_t item{sub_, 0, ZMQ_POLLIN, 0};
            if (zmq_poll(&item, 1, 10) != 1) {
                continue;
            }
            do {
                zmq_msg_recv(&part, sub_, 0);
            } while (zmq_msg_more(&part));
            ++frames;
            if (ack_) {
                char reply[4];
                zmq_send(req_, "", 0, 0);
                zmq_recv(req_, reply, sizeof reply, 0);
            }
        }
        zmq_msg_close(&part);
        return frames;
    }

  private:
    bool ack_;
    void *context_ = nullptr, *sub_ = nullptr, *req_ = nullptr, *monitor_ = nullptr;
};

// Runs the subscriber over the warm-up and the window; `sent` reads the publisher's
// count of frames taken.
Result measure(Peer &peer, const std::function<uint64_t()> &sent) {
    const auto start = Clock::now();
    const auto t0 = start + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(g_warmup_s));
    const auto t1 =
        t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(g_window_s));
    peer.run_until(t0);
    const uint64_t sent0 = sent();
    const auto real0 = Clock::now();
    const uint64_t got = peer.run_until(t1);
    const double dt = std::chrono::duration<double>(Clock::now() - real0).count();
    return {static_cast<double>(sent() - sent0) / dt, static_cast<double>(got) / dt};
}

// A ring that the loop, polling an empty ring only every 33 ms, cannot empty between
// polls at the engine's full rate.
constexpr uint32_t kRingBytes = 64u << 20;

Result run_loop(uint16_t payload, bool ack) {
    ktsim::DeviceConfig device_config;
    device_config.ring_capacity = kRingBytes;
    ktsim::Device device(device_config);
    ktsim::EngineConfig config;
    config.payload_sizes = {payload};
    config.rate = 0;
    ktsim::Engine engine(device, config);
    const std::string path = device.path();
    const pid_t loop = fork_child([&] {
        if (ack) {
            add_channel(KT_DAQ_ALL_FRAMES, KT_DAQ_ALL_FRAMES);
        }
        kt_daq *daq = kt_daq_create(path.c_str(), kRingBytes);
        if (daq != nullptr) {
            kt_daq_run(daq);
        }
    });
    Result r;
    {
        Peer peer(ack);
        if (!peer.wait_connected()) {
            fprintf(stderr, "daq_bench: subscriber did not connect\n");
        }
        engine.start();
        // Taken by the loop: written by the engine and no longer waiting in the ring.
        r = measure(peer, [&] {
            const ktsim::EngineStats stats = engine.stats();
            return stats.frames_written - stats.data_count / KT_SLOT_SIZE;
        });
    }
    stop_child(loop);
    engine.stop();
    return r;
}

Result run_baseline(uint16_t payload, bool ack) {
    // The same frames, made once in memory.
    constexpr int kFrames = 512;
    std::vector<uint8_t> frames(kFrames * KT_SLOT_SIZE);
    for (int i = 0; i < kFrames; ++i) {
        ktsim::write_frame(frames.data() + i * KT_SLOT_SIZE,
                           {1, 1, 0, static_cast<uint16_t>(i), static_cast<uint64_t>(i), payload});
    }
    g_shared->sent.store(0);
    g_shared->go.store(0);
    const size_t length = payload + KT_FRAME_OVERHEAD;
    const pid_t publisher = fork_child([&] {
        void *context = zmq_ctx_new();
        void *pub = zmq_socket(context, ZMQ_PUB);
        const int hwm = 1;
        zmq_setsockopt(pub, ZMQ_SNDHWM, &hwm, sizeof hwm);
        zmq_bind(pub, KT_DAQ_PUB_ENDPOINT);
        void *rep = zmq_socket(context, ZMQ_REP);
        zmq_bind(rep, KT_DAQ_ACK_ENDPOINT);
        const int timeout = KT_DAQ_ACK_TIMEOUT_MS;
        zmq_setsockopt(rep, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
        char buf[16];
        while (g_shared->go.load() == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (uint64_t n = 0;; ++n) {
            if (ack) {
                // Lets the socket see that the subscriber's queue has drained; without
                // it, frames are dropped for a subscriber that keeps up and each one costs
                // the full receive time-out.
                int events = 0;
                size_t size = sizeof events;
                zmq_getsockopt(pub, ZMQ_EVENTS, &events, &size);
            }
            zmq_send(pub, "frame://1:1", 11, ZMQ_SNDMORE);
            zmq_send(pub, frames.data() + (n % kFrames) * KT_SLOT_SIZE, length, 0);
            g_shared->sent.fetch_add(1, std::memory_order_relaxed);
            if (ack && zmq_recv(rep, buf, sizeof buf, 0) >= 0) {
                zmq_send(rep, "", 0, 0);
            }
        }
    });
    Result r;
    {
        Peer peer(ack);
        peer.wait_connected();
        g_shared->go.store(1);
        r = measure(peer, [] { return g_shared->sent.load(); });
    }
    stop_child(publisher);
    return r;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1) {
        g_window_s = atof(argv[1]);
    }
    if (g_window_s <= 0) {
        fprintf(stderr, "usage: daq_bench [WINDOW_SECONDS]\n");
        return 2;
    }
    const std::string why = ktsim::enter_private_namespaces();
    if (!why.empty()) {
        fprintf(stderr, "daq_bench: %s\n", why.c_str());
        return 1;
    }
    void *shared =
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        perror("daq_bench: mmap");
        return 1;
    }
    g_shared = new (shared) Shared{};
    printf(
        "daq_bench: frames/s over %.1f s windows (sent = taken by the publisher, "
        "delivered = received by the subscriber)\n",
        g_window_s);
    printf("%-8s %-10s %12s %12s %12s %12s %8s %8s\n", "payload", "case", "loop sent", "loop deliv",
           "base sent", "base deliv", "sent", "deliv");
    for (uint16_t payload : {uint16_t{64}, uint16_t{512}, uint16_t{2028}}) {
        for (bool ack : {false, true}) {
            const Result loop = run_loop(payload, ack);
            const Result base = run_baseline(payload, ack);
            printf("%-8u %-10s %12.0f %12.0f %12.0f %12.0f %8.2f %8.2f\n", payload,
                   ack ? "ack" : "no-ack", loop.sent, loop.delivered, base.sent, base.delivered,
                   base.sent > 0 ? loop.sent / base.sent : 0.0,
                   base.delivered > 0 ? loop.delivered / base.delivered : 0.0);
            fflush(stdout);
        }
    }
    return 0;
}
