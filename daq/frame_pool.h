// Message buffers for the publish loop: each frame is copied out of its ring slot into one
// of these, so that the slot can go back to the engine at once while ZeroMQ may hold the
// frame for as long as a subscriber's queue keeps it.
#pragma once

#include <atomic>
#include <cstdint>

#include "kt_records.h"

namespace ktdaq {

class FramePool {
  public:
    static constexpr uint32_t kBufferSize = KT_SLOT_SIZE;  // one ring slot

    // Buffers are allocated `chunk` at a time as they run out, up to `limit` in all.
    // Nothing is freed when the pool is destroyed, since ZeroMQ's I/O threads may still
    // hold buffers while the process ends; free_all() frees them explicitly.
    constexpr FramePool(uint32_t chunk, uint32_t limit) noexcept
        : chunk_(chunk == 0 ? 1 : chunk), limit_(limit) {}
    FramePool(const FramePool &) = delete;
    FramePool &operator=(const FramePool &) = delete;

    // A free buffer of kBufferSize bytes, or null when `limit` buffers are out (or memory
    // ran out). For the one thread that owns the pool.
    uint8_t *take() noexcept;

    // Gives `buffer` back to the pool passed as `pool`. Safe from any thread, without a
    // lock; its signature is that of a ZeroMQ message's free function.
    static void release(void *buffer, void *pool) noexcept;

    // Frees every buffer. Only once every buffer is back and no thread uses the pool.
    void free_all() noexcept;

    // Changes the limit; for the owning thread. Buffers already allocated stay.
    void set_limit(uint32_t limit) noexcept { limit_ = limit; }

    // Buffers allocated so far.
    uint32_t allocated() const noexcept { return allocated_; }

  private:
    struct Node {
        Node *next;
    };
    struct Chunk {
        Chunk *next;
    };
    static constexpr uint32_t kChunkHeader = 64;  // keeps the buffers cache-line aligned

    bool grow() noexcept;

    const uint32_t chunk_;
    uint32_t limit_;
    uint32_t allocated_ = 0;
    Chunk *chunks_ = nullptr;
    Node *free_ = nullptr;                   // the owner's list
    std::atomic<Node *> returned_{nullptr};  // pushed by any thread, taken whole by the owner
};

}  // namespace ktdaq
