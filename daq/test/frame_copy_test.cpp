// The loop publishes each frame from a buffer of its own, never from the ring: the test
// program's own zmq_msg_init_data stands in front of the library's and records what the
// loop passes.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zmq.h>

#include <atomic>
#include <new>
#include <set>

#include "frame_pattern.h"
#include "helper.h"
#include "kt_daq.h"
#include "process.h"
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

// Shared with the child that runs the loop, through a memory file handed over as
// descriptor kRecordFd.
struct Record {
    std::atomic<int> recording;
    std::atomic<int> calls;
    uintptr_t ring;
    uint32_t ring_bytes;
    Call call[kFrames];
};

Record *g_record = nullptr;
constexpr int kRecordFd = 3;
constexpr uint32_t kRingBytes = 16 * KT_SLOT_SIZE;

Record *map_record(int fd) {
    void *p = mmap(nullptr, sizeof(Record), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p != MAP_FAILED ? static_cast<Record *>(p) : nullptr;
}

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

// The loop: records where the ring lies in its own mapping, then runs. DEVICE.
KT_TEST_HELPER(copy_loop) {
    g_record = map_record(kRecordFd);
    kt_daq *daq = argc == 1 && g_record != nullptr ? kt_daq_create(argv[0], kRingBytes) : nullptr;
    if (daq == nullptr) {
        return 3;
    }
    g_record->ring = reinterpret_cast<uintptr_t>(daq->axis->mem);
    g_record->ring_bytes = daq->axis->up_mem_size;
    add_channel(255, 255);
    g_record->recording.store(1);
    kt_daq_run(daq);
    return 4;
}

namespace {

class FrameCopyTest : public ktsim::SimDeviceTest {};

TEST_F(FrameCopyTest, FramesLeaveFromReusedBuffersOutsideTheRing) {
    const int fd = memfd_create("kt-frame-copy", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, sizeof(Record)), 0);
    Record *record = map_record(fd);
    ASSERT_NE(record, nullptr);
    kttest::ProcessOptions options;
    options.fds = {{fd, kRecordFd}};
    kttest::Process loop(kttest::helper("copy_loop", {device_->path()}), options);
    close(fd);
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
    loop.kill();

    ASSERT_EQ(record->calls.load(), kFrames) << loop.errors();
    std::set<uintptr_t> buffers;
    for (int i = 0; i < kFrames; ++i) {
        const Call &c = record->call[i];
        SCOPED_TRACE(i);
        EXPECT_TRUE(c.data + c.size <= record->ring || c.data >= record->ring + kRingBytes)
            << "published from the ring";
        EXPECT_EQ(c.size, config.payload_sizes[i % 3] + KT_FRAME_OVERHEAD);
        EXPECT_TRUE(c.has_release);
        EXPECT_TRUE(c.whole);
        EXPECT_EQ(c.seq, static_cast<uint64_t>(i));
        buffers.insert(c.data);
    }
    // One subscriber that keeps up needs a handful of buffers, used again and again.
    EXPECT_LE(buffers.size(), 32u);
    munmap(record, sizeof(Record));
}

}  // namespace
