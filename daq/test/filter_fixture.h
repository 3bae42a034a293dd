// Test fixture of the filter mode: the simulated device, and the loop in a process of its
// own whose sanitizer reports fail the test that caused them.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "filter_harness.h"
#include "sim_fixture.h"

namespace ktdaq_test {

class FilterLoopTest : public ktsim::SimDeviceTest {
  protected:
    // Starts the loop on a ring of `ring_bytes`; see FilterProcess for `fd_limit`.
    void start_loop(uint32_t ring_bytes, int fd_limit = 0) {
        loop_ = std::make_unique<FilterProcess>(device_->path(), ring_bytes, fd_limit);
    }
    void TearDown() override {
        if (loop_ != nullptr) {
            EXPECT_EQ(loop_->errors().find("Sanitizer"), std::string::npos) << loop_->errors();
        }
        ktsim::SimDeviceTest::TearDown();
    }
    std::unique_ptr<FilterProcess> loop_;
};

}  // namespace ktdaq_test
