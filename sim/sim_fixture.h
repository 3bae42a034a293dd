// Test fixture: a fresh simulated stream device for every test; fails the test with the
// reason when the device cannot be made.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "sim_device.h"
#include "sim_engine.h"

namespace ktsim {

class SimDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        try {
            device_ = std::make_unique<Device>(device_config());
        } catch (const std::exception &e) {
            FAIL() << e.what();
        }
    }
    void TearDown() override {
        engine_.reset();
        device_.reset();
    }

    virtual DeviceConfig device_config() const { return {}; }

    Engine &start_engine(const EngineConfig &config) {
        engine_ = std::make_unique<Engine>(*device_, config);
        engine_->start();
        return *engine_;
    }

    std::unique_ptr<Device> device_;
    std::unique_ptr<Engine> engine_;
};

}  // namespace ktsim
