// The loop publishes each frame from a buffer of its own, never from the ring: the test
// program's own zmq_msg_init_data stands in front of the library's and records what the
// loop passes.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <atomic>
#include <csignal>
#include <new>
#include <set>

#include "frame_pattern.h"
#include "kt_daq.h"
#include "publish_harness.h"
#include "sim_fixture.h"

namespace {

constexpr int kFrames = 300;

struct Call {
    uintptr_t data;
    size_t size;
    bool has_release;
    bool whole;    // the buffer held a whole frame when the message was set up
    uint64_t seq;  // and this one
};

// Shared with the child that runs the loop.
struct Record {
    std::atomic<int> recording;
    std::atomic<int> calls;
    uintptr_t ring;
    uint32_t ring_bytes;
    Call call[kFrames];
};

Record *g_record = nullptr;

}  // namespace

extern "C" int zmq_msg_init_data(zmq_msg_t *msg, void *data, size_t size, zmq_free_fn *ffn,
                                 void *hint) {
    using Fn = int (*)(zmq_msg_t *, void *, size_t, zmq_free_fn *, void *);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "zmq_msg_init_data"));
    if (g_record != nullptr && g_record->recording.load() != 0) {
        const int n = g_record->calls.fetch_add(1);
        if (n < kFrames) {
            const auto check = ktsim::check_frame(static_cast<const uint8_t *>(data), size);
            g_record->call[n] = {reinterpret_cast<uintptr_t>(data), size, ffn != nullptr, check.ok,
                                 check.fields.seq};
        }
    }
    return real(msg, data, size, ffn, hint);
}

namespace {

constexpr uint32_t kRingBytes = 16 * KT_SLOT_SIZE;

class FrameCopyTest : public ktsim::SimDeviceTest {};

TEST_F(FrameCopyTest, FramesLeaveFromReusedBuffersOutsideTheRing) {
    void *shared =
        mmap(nullptr, sizeof(Record), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    g_record = new (shared) Record{};
    // The child records where the ring lies in its own mapping, then runs the loop.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        kt_daq *daq = kt_daq_create(device_->path().c_str(), kRingBytes);
        if (daq == nullptr) {
            _exit(3);
        }
        g_record->ring = reinterpret_cast<uintptr_t>(daq->axis->mem);
        g_record->ring_bytes = daq->axis->up_mem_size;
        add_channel(255, 255);
        g_record->recording.store(1);
        kt_daq_run(daq);
        _exit(4);
    }
    ktdaq_test::Subscriber sub;
    ASSERT_TRUE(sub.wait_connected());
    ktsim::EngineConfig config;
    config.payload_sizes = {0, 100, 2028};
    config.frames = kFrames;
    start_engine(config);
    for (int i = 0; i < kFrames; ++i) {
        ktdaq_test::Received r;
        ASSERT_TRUE(sub.receive(&r));
        ASSERT_TRUE(sub.ack());
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);

    ASSERT_EQ(g_record->calls.load(), kFrames);
    std::set<uintptr_t> buffers;
    for (int i = 0; i < kFrames; ++i) {
        const Call &c = g_record->call[i];
        SCOPED_TRACE(i);
        EXPECT_TRUE(c.data + c.size <= g_record->ring || c.data >= g_record->ring + kRingBytes)
            << "published from the ring";
        EXPECT_EQ(c.size, config.payload_sizes[i % 3] + KT_FRAME_OVERHEAD);
        EXPECT_TRUE(c.has_release);
        EXPECT_TRUE(c.whole);
        EXPECT_EQ(c.seq, static_cast<uint64_t>(i));
        buffers.insert(c.data);
    }
    // One subscriber that keeps up needs a handful of buffers, used again and again.
    EXPECT_LE(buffers.size(), 32u);
    munmap(shared, sizeof(Record));
}

}  // namespace
