#include "frame_pool.h"

#include <cstdlib>

namespace ktdaq {

void FramePool::free_all() noexcept {
    while (chunks_ != nullptr) {
        Chunk *next = chunks_->next;
        free(chunks_);
        chunks_ = next;
    }
    allocated_ = 0;
    free_ = nullptr;
    returned_.store(nullptr, std::memory_order_relaxed);
}

uint8_t *FramePool::take() noexcept {
    if (free_ == nullptr) {
        // Everything given back since the last time, in one step. Only this thread takes
        // nodes off the shared list, so its head cannot be taken and put back meanwhile.
        free_ = returned_.exchange(nullptr, std::memory_order_acquire);
    }
    if (free_ == nullptr && !grow()) {
        return nullptr;
    }
    Node *node = free_;
    free_ = node->next;
    return reinterpret_cast<uint8_t *>(node);
}

void FramePool::release(void *buffer, void *pool) noexcept {
    auto *self = static_cast<FramePool *>(pool);
    auto *node = static_cast<Node *>(buffer);
    Node *head = self->returned_.load(std::memory_order_relaxed);
    do {
        node->next = head;
    } while (!self->returned_.compare_exchange_weak(head, node, std::memory_order_release,
                                                    std::memory_order_relaxed));
}

bool FramePool::grow() noexcept {
    const uint32_t count = limit_ - allocated_ < chunk_ ? limit_ - allocated_ : chunk_;
    if (count == 0) {
        return false;
    }
    void *memory = aligned_alloc(kChunkHeader, kChunkHeader + size_t{count} * kBufferSize);
    if (memory == nullptr) {
        return false;
    }
    auto *chunk = static_cast<Chunk *>(memory);
    chunk->next = chunks_;
    chunks_ = chunk;
    uint8_t *buffers = static_cast<uint8_t *>(memory) + kChunkHeader;
    for (uint32_t i = count; i-- > 0;) {
        auto *node = reinterpret_cast<Node *>(buffers + size_t{i} * kBufferSize);
        node->next = free_;
        free_ = node;
    }
    allocated_ += count;
    return true;
}

}  // namespace ktdaq
