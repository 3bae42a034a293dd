// Gives the simulated engine the side effects that its registers have on the device.
//
// On the device, the data count drops the moment the read pointer is written, and
// starting the ring takes effect at once. Shared memory has no such side effects, and an
// engine that only polls lags behind: a reader that reads the count right after a
// hand-back would take slots holding no new frame. This library, preloaded or linked
// before the reader library in the simulated environment only, wraps the two calls that
// write those registers and lets the engine react before the call returns.
#include <dlfcn.h>

#include <chrono>
#include <thread>

#include "kt_axis.h"
#include "sim_block.h"

namespace {

template <class Fn>
Fn next_definition(const char *name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// Asks the engine to take up the newly programmed ring and waits until it has.
void request_start(void *regs) {
    ktsim::Block *b = ktsim::block_of(regs);
    if (ktsim::at(b->engine_alive).load() == 0) {
        return;  // an engine that starts later finds the ring already started
    }
    const uint32_t req = ktsim::at(b->start_req).fetch_add(1) + 1;
    ktsim::wake_engine(b, true);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (ktsim::at(b->start_ack).load(std::memory_order_acquire) != req &&
           ktsim::at(b->engine_alive).load() != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) kt_axis *kt_axis_init(
    const char *path, uint32_t up_mem_size) noexcept {
    using Fn = kt_axis *(*)(const char *, uint32_t);
    static const Fn real = next_definition<Fn>("kt_axis_init");
    if (real == nullptr) {
        return nullptr;
    }
    kt_axis *axis = real(path, up_mem_size);
    if (axis != nullptr && ktsim::is_simulated(axis->regs)) {
        // Before the first hand-back, which can only follow this call.
        ktsim::at(ktsim::block_of(axis->regs)->shim_present).store(1, std::memory_order_release);
        request_start(axis->regs);
    }
    return axis;
}

extern "C" __attribute__((visibility("default"))) int kt_axis_read_done(kt_axis *axis) noexcept {
    using Fn = int (*)(kt_axis *);
    static const Fn real = next_definition<Fn>("kt_axis_read_done");
    if (real == nullptr) {
        return -1;
    }
    const int result = real(axis);
    if (axis != nullptr && axis->regs != nullptr && ktsim::is_simulated(axis->regs)) {
        ktsim::account_hand_back(axis->regs);
    }
    return result;
}
