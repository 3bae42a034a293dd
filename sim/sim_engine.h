// The simulated stream engine: a process of its own that fills the ring of a simulated
// device with frames, the way the FPGA does.
//
// It waits until a reader has programmed the ring and started it (control bit 0 going
// from 0 to 1), then writes frames into the slots in ring order, keeps the data count
// register equal to the bytes of whole slots written and not yet handed back, and
// follows the read pointer register. It never overwrites a slot the reader has not handed
// back: it keeps one slot free, so that a full ring and an empty one differ, and counts
// the frames it had to hold back. It never spins: a full ring, a frame not yet due and a
// ring not yet started are waited out asleep.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

#include "frame_pattern.h"
#include "sim_device.h"
#include "waveform.h"

namespace ktsim {

struct EngineConfig {
    // Sources in turn, as (module, channel 0..15). A source may appear more than once;
    // msg_id counts the frames of each distinct source, as the hardware does.
    std::vector<std::pair<uint8_t, uint8_t>> sources{{1, 1}};
    // Payload lengths in turn, each at most 2028.
    std::vector<uint16_t> payload_sizes{64};
    uint64_t frames = 0;     // frames to write; 0 for no end
    double rate = 0;         // frames per second; 0 for as fast as the ring allows
    bool high_bits = false;  // set bits 4..7 of byte 1, which readers must ignore
    // Signals in the payload instead of the check pattern: one for every entry of
    // `sources` in turn, or one for all of them; none for the pattern.
    std::vector<Waveform> waveforms;
    SampleFormat sample_format = SampleFormat::kI16le;
    double amplitude = 0;  // of the signals, in sample units; 0 for the format's default
};

// Frames per second of the whole stream that a signal's time is counted in when `rate`
// is 0 (as fast as possible).
constexpr double kNominalRate = 1000;

// Frames of 1:1 with `payload` bytes each, without end, as fast as the ring allows.
EngineConfig full_rate(uint16_t payload);

// The header fields of the seq-th frame (counting from 0) the engine writes with this
// configuration: what a reader that knows the configuration must find at that position.
FrameFields engine_frame(const EngineConfig &config, uint64_t seq);

// Writes that frame, payload and trailer included, into a slot of at least
// payload_len + 20 bytes.
void write_engine_frame(uint8_t *slot, const EngineConfig &config, uint64_t seq);

struct EngineStats {
    uint64_t frames_written = 0;
    uint64_t frames_held_back = 0;
    uint32_t restarts = 0;
    uint32_t data_count = 0;
};

class Engine {
  public:
    Engine(const Device &device, EngineConfig config);
    ~Engine();
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    // Starts the engine process; throws std::runtime_error if it cannot.
    void start();
    // Stops the engine process and waits for it.
    void stop();

    EngineStats stats() const;
    // The engine process, or -1 when it is not running.
    pid_t pid() const { return pid_; }
    // Waits until the engine has written at least `frames` frames; false on time-out.
    bool wait_written(uint64_t frames, std::chrono::milliseconds timeout) const;

  private:
    const Device &device_;
    EngineConfig config_;
    pid_t pid_ = -1;
};

// Runs the engine in the calling process until `stop` becomes non-zero.
void run_engine(const Device &device, const EngineConfig &config, volatile const int &stop);

}  // namespace ktsim
