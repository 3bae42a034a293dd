#include "sim_engine.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "sim_block.h"

namespace ktsim {
namespace {

using Clock = std::chrono::steady_clock;

// How long the engine sleeps at most before it looks at the registers again, for what no
// wake-up reports: a ring started without the shim, hand-backs of a reader without the
// shim (which the engine accounts itself), a stop request that is no signal.
constexpr Clock::duration kIdleWait = std::chrono::milliseconds(1);
constexpr Clock::duration kShimWait = std::chrono::milliseconds(10);
constexpr Clock::duration kPollWait = std::chrono::microseconds(50);

// Why the engine wrote no frame.
enum class Wait { kNone, kIdle, kDue, kFull };

volatile sig_atomic_t g_stop_requested = 0;

void on_stop_signal(int) {
    g_stop_requested = 1;
}

// The ring a reader has programmed, as the engine serves it.
struct Ring {
    uint32_t base = 0;
    uint32_t size = 0;
    uint32_t slots = 0;
    uint32_t write_slot = 0;
};

class EngineLoop {
  public:
    EngineLoop(const Device &device, const EngineConfig &config)
        : device_(device),
          config_(config),
          regs_(device.regs()),
          block_(block_of(regs_)),
          count_(reg32(regs_, KT_AXIS_DATA_CNT)) {}

    void run(volatile const int &stop) {
        at(block_->engine_alive).store(1);
        uint8_t last_bit = ctrl_bit();
        if (last_bit != 0) {
            restart();  // a reader started the ring before the engine came up
        }
        while (stop == 0) {
            const uint32_t req = at(block_->start_req).load(std::memory_order_acquire);
            const uint8_t bit = ctrl_bit();
            if (req != at(block_->start_ack).load()) {
                // The shim reports every set-up the engine may already have seen as an
                // edge; restarting twice would drop the frames written in between.
                if (!same_set_up_as_edge()) {
                    restart();
                }
                edge_restart_ = false;
                shim_accounts_ = true;  // only the shim reports set-ups
                at(block_->start_ack).store(req, std::memory_order_release);
            } else if (bit != 0 && last_bit == 0) {
                restart();
                edge_restart_ = true;
                shim_accounts_ = false;  // until the shim reports this set-up
            }
            last_bit = bit;
            const Wait why = ring_.slots == 0 ? Wait::kIdle : step();
            if (why != Wait::kNone && stop == 0) {
                sleep(why);
            }
        }
        at(block_->engine_alive).store(0);
    }

  private:
    uint8_t ctrl_bit() const {
        auto *p = static_cast<uint8_t *>(regs_) + KT_AXIS_CTRL;
        return std::atomic_ref<uint8_t>(*p).load(std::memory_order_acquire) & 1u;
    }

    // Whether a reported set-up is the one the engine took up at the last control edge:
    // same ring, and nothing handed back since.
    bool same_set_up_as_edge() const {
        return edge_restart_ && ring_.slots != 0 &&
               reg32(regs_, KT_AXIS_RING_BASE).load() == ring_.base &&
               reg32(regs_, KT_AXIS_RING_END).load() == ring_.base + ring_.size - 1 &&
               at(block_->seen_rd_ptr).load() == ring_.base &&
               reg32(regs_, KT_AXIS_RD_PTR).load() == ring_.base;
    }

    // Takes up the ring from the ring registers; an unusable ring stops the engine.
    void restart() {
        at(block_->ring_slots).store(0, std::memory_order_release);
        ring_ = Ring{};
        const uint32_t base = reg32(regs_, KT_AXIS_RING_BASE).load();
        const uint32_t end = reg32(regs_, KT_AXIS_RING_END).load();
        const uint32_t size = end - base + 1;
        const uint64_t slots = (uint64_t{size} + kSlotSize - 1) / kSlotSize;
        const uint64_t offset = uint64_t{base} - device_.mem_phys();
        count_.store(0, std::memory_order_release);
        if (base < device_.mem_phys() || slots < 2 ||
            offset + slots * kSlotSize > device_.mem_size()) {
            return;
        }
        ring_ = Ring{base, size, static_cast<uint32_t>(slots), 0};
        at(block_->seen_rd_ptr).store(base, std::memory_order_release);
        at(block_->ring_base).store(base, std::memory_order_release);
        at(block_->ring_slots).store(ring_.slots, std::memory_order_release);
        at(block_->restarts).fetch_add(1);
        started_ = Clock::now();
        written_since_start_ = 0;
        holding_ = false;
    }

    // Writes the next frame if it is due and a slot is free; else says what it waits for.
    Wait step() {
        if (!shim_accounts_ && at(block_->shim_present).load(std::memory_order_acquire) == 0) {
            account_hand_back(regs_);
        }
        if (config_.frames != 0 && at(block_->frames_written).load() >= config_.frames) {
            return Wait::kIdle;
        }
        if (config_.rate > 0) {
            due_ = started_ +
                   std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                       static_cast<double>(written_since_start_) / config_.rate));
            if (Clock::now() < due_) {
                return Wait::kDue;
            }
        }
        // Once the ring was full, the engine waits for a batch of free slots, as the
        // reader's hand-backs wake it only then.
        const uint32_t free = free_slots();
        if (free == 0 || (holding_ && free < refill_at())) {
            if (!holding_) {
                at(block_->frames_held_back).fetch_add(1);
                holding_ = true;
            }
            return Wait::kFull;
        }
        holding_ = false;
        write_next();
        return Wait::kNone;
    }

    // One slot always stays free, so that a full ring and an empty one differ.
    uint32_t free_slots() const {
        const uint32_t used = count_.load(std::memory_order_seq_cst) / kSlotSize;
        return used >= ring_.slots - 1 ? 0 : ring_.slots - 1 - used;
    }

    // Free slots a full ring waits for before the engine writes again: a quarter of the
    // ring, at most 64.
    uint32_t refill_at() const { return std::clamp<uint32_t>((ring_.slots - 1) / 4, 1, 64); }

    bool start_requested() const {
        return at(block_->start_req).load(std::memory_order_seq_cst) !=
               at(block_->start_ack).load();
    }

    void write_next() {
        const uint64_t seq = at(block_->frames_written).load();
        const uint32_t addr = ring_.base + ring_.write_slot * kSlotSize;
        write_engine_frame(device_.mem() + (addr - device_.mem_phys()), config_, seq);
        // The count rises only once the frame is complete in memory.
        count_.fetch_add(kSlotSize, std::memory_order_release);
        ring_.write_slot = (ring_.write_slot + 1) % ring_.slots;
        at(block_->frames_written).store(seq + 1, std::memory_order_release);
        ++written_since_start_;
    }

    // Sleeps until there may be something to do: a start request wakes every sleep, a
    // hand-back the sleep on a full ring; time-outs cover what nothing reports.
    void sleep(Wait why) {
        const Clock::duration look_again = shim_accounts_ ? kShimWait : kPollWait;
        uint32_t *const word = wake_word(block_);
        const uint32_t seen = at(*word).load(std::memory_order_seq_cst);
        Clock::duration timeout = look_again;
        if (why == Wait::kIdle) {
            timeout = ring_.slots == 0 ? kIdleWait : look_again;
        } else if (why == Wait::kDue) {
            timeout = std::min<Clock::duration>(due_ - Clock::now(), look_again);
        } else {
            // The wish first, then the last look at the ring: a hand-back after that look
            // either finds the wish and wakes the engine, or has already changed wake_seq.
            at(block_->wake_at_free).store(refill_at(), std::memory_order_seq_cst);
            if (free_slots() >= refill_at()) {
                at(block_->wake_at_free).store(0, std::memory_order_relaxed);
                return;
            }
        }
        if (!start_requested()) {
            futex_wait(word, seen, timeout);
        }
        at(block_->wake_at_free).store(0, std::memory_order_relaxed);
    }

    const Device &device_;
    const EngineConfig &config_;
    void *regs_;
    Block *block_;
    std::atomic_ref<uint32_t> count_;
    Ring ring_;
    Clock::time_point started_, due_;
    uint64_t written_since_start_ = 0;
    bool holding_ = false;
    bool edge_restart_ = false;
    bool shim_accounts_ = false;
};

}  // namespace

EngineConfig full_rate(uint16_t payload) {
    EngineConfig config;
    config.payload_sizes = {payload};
    return config;
}

namespace {

// Where the seq-th frame stands among its source's frames.
struct SourcePlace {
    size_t pos = 0;          // index in the list of sources
    uint64_t per_round = 0;  // frames of the source in each whole round of the list
    uint64_t index = 0;      // frames of the source before this one
};

SourcePlace place_of(const EngineConfig &config, uint64_t seq) {
    const size_t n = config.sources.size();
    SourcePlace p;
    p.pos = seq % n;
    const auto source = config.sources[p.pos];
    // `per_round` frames in each whole round of the list, `before` in this round's part of
    // the list ahead of this position.
    uint64_t before = 0;
    for (size_t i = 0; i < n; ++i) {
        if (config.sources[i] == source) {
            ++p.per_round;
            before += i < p.pos ? 1 : 0;
        }
    }
    p.index = seq / n * p.per_round + before;
    return p;
}

const Waveform &waveform_at(const EngineConfig &config, size_t pos) {
    return config.waveforms[config.waveforms.size() == 1 ? 0 : pos];
}

}  // namespace

FrameFields engine_frame(const EngineConfig &config, uint64_t seq) {
    const SourcePlace place = place_of(config, seq);
    const auto source = config.sources[place.pos];
    FrameFields f;
    f.module_id = source.first;
    f.channel_id = source.second;
    f.high_bits = config.high_bits ? static_cast<uint8_t>(seq % 15 + 1) : 0;
    // msg_id counts the frames of this source so far.
    f.msg_id = static_cast<uint16_t>(place.index);
    f.seq = seq;
    f.payload_len = config.payload_sizes[seq % config.payload_sizes.size()];
    if (!config.waveforms.empty()) {
        f.waveform = static_cast<uint8_t>(waveform_at(config, place.pos).kind);
        f.sample_format = f.waveform != 0 ? static_cast<uint8_t>(config.sample_format) : 0;
    }
    return f;
}

void write_engine_frame(uint8_t *slot, const EngineConfig &config, uint64_t seq) {
    const FrameFields f = engine_frame(config, seq);
    if (f.waveform == 0) {
        write_frame(slot, f);
        return;
    }
    const SourcePlace place = place_of(config, seq);
    WavePosition at;
    at.frame_index = place.index;
    at.frame_rate = (config.rate > 0 ? config.rate : kNominalRate) *
                    static_cast<double>(place.per_round) /
                    static_cast<double>(config.sources.size());
    at.noise_seed = seq;
    const double amplitude =
        config.amplitude > 0 ? config.amplitude : default_amplitude(config.sample_format);
    write_samples(slot + 16, f.payload_len, waveform_at(config, place.pos), config.sample_format,
                  amplitude, at);
    seal_wave_frame(slot, f);
}

void run_engine(const Device &device, const EngineConfig &config, volatile const int &stop) {
    EngineLoop(device, config).run(stop);
}

Engine::Engine(const Device &device, EngineConfig config)
    : device_(device), config_(std::move(config)) {
    if (config_.sources.empty() || config_.payload_sizes.empty()) {
        throw std::invalid_argument("simulated engine: no sources or payload sizes");
    }
    for (const auto &source : config_.sources) {
        if (source.second > 15) {
            throw std::invalid_argument("simulated engine: channel above 15");
        }
    }
    for (uint16_t size : config_.payload_sizes) {
        if (size > 2028) {
            throw std::invalid_argument("simulated engine: payload longer than 2028 bytes");
        }
    }
    if (!config_.waveforms.empty() && config_.waveforms.size() != 1 &&
        config_.waveforms.size() != config_.sources.size()) {
        throw std::invalid_argument("simulated engine: give one waveform, or one per source");
    }
    if (config_.amplitude < 0 || config_.amplitude > max_amplitude(config_.sample_format)) {
        throw std::invalid_argument("simulated engine: amplitude out of the format's range");
    }
}

Engine::~Engine() {
    stop();
}

void Engine::start() {
    if (pid_ > 0) {
        return;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("simulated engine: fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        struct sigaction sa {};
        sa.sa_handler = on_stop_signal;
        sigaction(SIGTERM, &sa, nullptr);
        run_engine(device_, config_, g_stop_requested);
        _exit(0);
    }
    pid_ = pid;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (at(block_of(device_.regs())->engine_alive).load() == 0) {
        if (Clock::now() > deadline) {
            stop();
            throw std::runtime_error("simulated engine: did not come up");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void Engine::stop() {
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGTERM);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    at(block_of(device_.regs())->engine_alive).store(0);
}

EngineStats Engine::stats() const {
    Block *b = block_of(device_.regs());
    EngineStats s;
    s.frames_written = at(b->frames_written).load();
    s.frames_held_back = at(b->frames_held_back).load();
    s.restarts = at(b->restarts).load();
    s.data_count = device_.reg32(KT_AXIS_DATA_CNT);
    return s;
}

bool Engine::wait_written(uint64_t frames, std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    while (stats().frames_written < frames) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace ktsim
