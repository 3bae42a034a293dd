// Creating and deleting the acquisition handle, on the simulated stream device and on
// paths that are no stream device.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "kt_daq.h"
#include "sim_fixture.h"

namespace {

// Collects what the library prints to standard output while it lives.
class StdoutCapture {
  public:
    StdoutCapture() {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        if (pipe(pipe_) == 0) {
            dup2(pipe_[1], STDOUT_FILENO);
        }
    }
    ~StdoutCapture() { finish(); }
    std::string finish() {
        if (saved_ >= 0) {
            fflush(stdout);
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
            close(pipe_[1]);
            saved_ = -1;
            char buf[1024];
            ssize_t n = 0;
            while ((n = read(pipe_[0], buf, sizeof buf)) > 0) {
                text_.append(buf, static_cast<size_t>(n));
            }
            close(pipe_[0]);
        }
        return text_;
    }

  private:
    int saved_ = -1;
    int pipe_[2] = {-1, -1};
    std::string text_;
};

class HandleTest : public ktsim::SimDeviceTest {
  protected:
    void TearDown() override {
        pthread_mutex_lock(&mutex);
        free(g_channel_info.entries);
        g_channel_info = kt_channel_info{};
        pthread_mutex_unlock(&mutex);
        SimDeviceTest::TearDown();
    }
};

TEST_F(HandleTest, OpensTheDeviceAndDeletingEmptiesTheTable) {
    add_channel(1, 1);
    add_channel(255, 255);
    kt_daq *daq = kt_daq_create(device_->path().c_str(), 64 * KT_SLOT_SIZE);
    ASSERT_NE(daq, nullptr);
    ASSERT_NE(daq->axis, nullptr);
    EXPECT_EQ(daq->axis->up_mem_size, 64 * KT_SLOT_SIZE);
    EXPECT_EQ(device_->reg32(KT_AXIS_RING_BASE), device_->mem_phys());
    EXPECT_EQ(g_channel_info.used, 1);  // registrations made before stay
    kt_daq_delete(daq);
    EXPECT_EQ(g_channel_info.entries, nullptr);
    EXPECT_EQ(g_channel_info.used, 0);
    EXPECT_EQ(g_channel_info.capacity, 0);
    EXPECT_EQ(g_channel_info.all_frames, 0);
    // The table stays usable until the next handle.
    ASSERT_EQ(pthread_mutex_trylock(&mutex), 0);
    pthread_mutex_unlock(&mutex);
    EXPECT_EQ(add_channel(2, 2), 0);
    kt_daq_delete(nullptr);
}

TEST_F(HandleTest, DeviceThatCannotBeOpenedGivesNullAndEmptiesTheTable) {
    add_channel(1, 1);
    add_channel(255, 255);
    StdoutCapture out;
    EXPECT_EQ(kt_daq_create("/nonexistent/uio", 64 * KT_SLOT_SIZE), nullptr);
    EXPECT_EQ(out.finish(),
              "open device /nonexistent/uio failedinit axis device /nonexistent/uio failed\n");
    EXPECT_EQ(g_channel_info.entries, nullptr);
    EXPECT_EQ(g_channel_info.all_frames, 0);
    ASSERT_EQ(pthread_mutex_trylock(&mutex), 0);
    pthread_mutex_unlock(&mutex);
    EXPECT_EQ(add_channel(1, 1), 0);
}

TEST_F(HandleTest, FailureLeavesATableWithoutEntriesAsItWas) {
    add_channel(255, 255);
    StdoutCapture out;
    // The device node itself is no symbolic link, and a ring this size does not fit.
    EXPECT_EQ(kt_daq_create(device_->node().c_str(), 64 * KT_SLOT_SIZE), nullptr);
    EXPECT_EQ(kt_daq_create(device_->path().c_str(), device_->max_ring() + 1), nullptr);
    const std::string text = out.finish();
    EXPECT_NE(text.find("init axis device " + device_->node() + " failed\n"), std::string::npos);
    EXPECT_NE(text.find("init axis device " + device_->path() + " failed\n"), std::string::npos);
    EXPECT_EQ(g_channel_info.all_frames, 1);
}

}  // namespace
