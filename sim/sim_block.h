// State that the simulated stream engine shares with its helpers through the spare part
// of the register page (the reader library never touches these offsets).
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "kt_axis.h"
#include "sim_futex.h"

namespace ktsim {

constexpr uint32_t kSlotSize = KT_AXIS_SLOT_SIZE;
constexpr uint32_t kMagic = 0x4b54534d;  // marks a simulated device
constexpr unsigned kBlockOffset = 0x800;

struct alignas(8) Block {
    uint32_t magic;
    uint32_t engine_alive;  // 1 while an engine process serves the device
    uint32_t start_req;     // raised by the hand-over shim after each ring set-up
    uint32_t start_ack;     // the engine's copy of start_req once it has restarted
    uint32_t seen_rd_ptr;   // read pointer up to which hand-backs are accounted
    uint32_t ring_base;     // ring the engine currently fills, 0 slots while stopped
    uint32_t ring_slots;
    uint32_t restarts;
    uint64_t frames_written;
    uint64_t frames_held_back;  // frames that found the ring full when due
    uint32_t wake_seq;          // bumped by hand-backs and start requests; the engine sleeps on it
    uint32_t wake_at_free;      // free slots the sleeping engine waits for; 0 while awake
    // On a real device page, which cannot carry a futex: the shared file whose first word
    // stands in for wake_seq; empty otherwise.
    char wake_file[48];
    // 1 once a reader with the hand-over shim has opened the device: from then on only the
    // shim accounts hand-backs. The engine accounting as well would race it: the shim
    // could return while the engine has moved seen_rd_ptr but not yet lowered the data
    // count, and the reader would then take a slot holding no new frame.
    uint32_t shim_present;
};

// The word that wake-ups go through: wake_seq, or the first word of the block's wake
// file, mapped once per process and kept (one process serves one device, and the file
// outlives the devices made on it).
inline uint32_t *wake_word(Block *b) {
    if (b->wake_file[0] == '\0') {
        return &b->wake_seq;
    }
    static std::once_flag once;
    static uint32_t *word = nullptr;
    std::call_once(once, [b] {
        char path[sizeof b->wake_file + 1] = {};
        std::memcpy(path, b->wake_file, sizeof b->wake_file);
        const int fd = open(path, O_RDWR | O_CLOEXEC);
        if (fd >= 0) {
            void *m = mmap(nullptr, sizeof(uint32_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            close(fd);
            word = m == MAP_FAILED ? nullptr : static_cast<uint32_t *>(m);
        }
    });
    return word != nullptr ? word : &b->wake_seq;
}

inline Block *block_of(void *regs) {
    return reinterpret_cast<Block *>(static_cast<uint8_t *>(regs) + kBlockOffset);
}

template <class T>
std::atomic_ref<T> at(T &field) {
    return std::atomic_ref<T>(field);
}

inline std::atomic_ref<uint32_t> reg32(void *regs, unsigned offset) {
    return std::atomic_ref<uint32_t>(
        *reinterpret_cast<uint32_t *>(static_cast<uint8_t *>(regs) + offset));
}

// Tells a sleeping engine that something changed. A start request always wakes it; a
// hand-back only when the engine sleeps on a full ring and `free_slots` have become free,
// as many as it asked for, so that a reader's hand-backs cost a system call only once per
// batch of slots. The engine sets wake_at_free before it checks the ring one last time and
// sleeps only while wake_seq keeps the value it read before; this side bumps wake_seq
// before it reads wake_at_free, so one of the two sees the other.
inline void wake_engine(Block *b, bool always, uint32_t free_slots = 0) {
    uint32_t *word = wake_word(b);
    at(*word).fetch_add(1, std::memory_order_seq_cst);
    const uint32_t wanted = at(b->wake_at_free).load(std::memory_order_seq_cst);
    if (always || (wanted != 0 && free_slots >= wanted)) {
        futex_wake(word);
    }
}

inline bool is_simulated(void *regs) {
    return at(block_of(regs)->magic).load() == kMagic;
}

// What the engine does when the read pointer register is written: the slots between the
// previous and the new read pointer are free again and leave the data count. With the
// shim in the reader, the shim alone calls this right after each write, so the count
// drops before the reader can read it again, as with the hardware register; without it,
// the engine calls it as it polls. One accountant at a time: were both to race, the
// loser could return before the winner had lowered the count.
inline void account_hand_back(void *regs) {
    Block *b = block_of(regs);
    const uint32_t slots = at(b->ring_slots).load(std::memory_order_acquire);
    if (slots == 0) {
        return;
    }
    const uint32_t base = at(b->ring_base).load(std::memory_order_acquire);
    auto rd = reg32(regs, KT_AXIS_RD_PTR);
    auto seen = at(b->seen_rd_ptr);
    for (;;) {
        // The accounted pointer first: the register read after it is at least as new, so
        // a stale read can never move the accounted pointer backwards.
        uint32_t old = seen.load(std::memory_order_acquire);
        const uint32_t now = rd.load(std::memory_order_acquire);
        if (now == old) {
            return;
        }
        const uint32_t now_idx = (now - base) / kSlotSize;
        const uint32_t old_idx = (old - base) / kSlotSize;
        if (now < base || now_idx >= slots || (now - base) % kSlotSize != 0) {
            return;  // not a slot of the current ring: ignored, as a register would
        }
        if (seen.compare_exchange_strong(old, now, std::memory_order_acq_rel)) {
            const uint32_t freed = (now_idx + slots - old_idx) % slots;
            const uint32_t count = reg32(regs, KT_AXIS_DATA_CNT)
                                       .fetch_sub(freed * kSlotSize, std::memory_order_seq_cst) -
                                   freed * kSlotSize;
            if (freed != 0) {
                // One slot always stays free, so that a full ring and an empty one differ.
                const uint32_t used = count / kSlotSize;
                wake_engine(b, false, used >= slots - 1 ? 0 : slots - 1 - used);
            }
            return;
        }
    }
}

}  // namespace ktsim
