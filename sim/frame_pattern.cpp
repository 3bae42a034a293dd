#include "frame_pattern.h"

#include <cstring>

namespace ktsim {
namespace {

constexpr size_t kHeader = 16;
constexpr size_t kOverhead = 20;
constexpr uint16_t kMaxPayload = 2028;

uint32_t payload_word(uint64_t seq, size_t index) {
    return static_cast<uint32_t>(seq * 0x9e3779b1u) ^ static_cast<uint32_t>(index * 0x85ebca77u);
}

uint32_t fnv1a(const uint8_t *data, size_t length) {
    uint32_t h = 0x811c9dc5u;
    for (size_t i = 0; i < length; ++i) {
        h = (h ^ data[i]) * 0x01000193u;
    }
    return h;
}

void fill_payload(uint8_t *payload, uint64_t seq, size_t length) {
    size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        const uint32_t w = payload_word(seq, i / 4);
        std::memcpy(payload + i, &w, 4);
    }
    if (i < length) {
        const uint32_t w = payload_word(seq, i / 4);
        std::memcpy(payload + i, &w, length - i);
    }
}

}  // namespace

void write_frame(uint8_t *slot, const FrameFields &fields) {
    uint8_t header[kHeader] = {};
    header[0] = fields.module_id;
    header[1] = static_cast<uint8_t>((fields.channel_id & 0x0f) | (fields.high_bits << 4));
    std::memcpy(header + 2, &fields.msg_id, 2);
    std::memcpy(header + 4, &fields.seq, 8);
    std::memcpy(header + 14, &fields.payload_len, 2);
    std::memcpy(slot, header, kHeader);
    fill_payload(slot + kHeader, fields.seq, fields.payload_len);
    const uint32_t trailer = fnv1a(slot, kHeader + fields.payload_len);
    std::memcpy(slot + kHeader + fields.payload_len, &trailer, 4);
}

FrameCheck check_frame(const uint8_t *frame, size_t length) {
    FrameCheck r;
    if (length < kOverhead) {
        r.error = "shorter than a frame header and trailer";
        return r;
    }
    r.fields.module_id = frame[0];
    r.fields.channel_id = frame[1] & 0x0f;
    r.fields.high_bits = frame[1] >> 4;
    std::memcpy(&r.fields.msg_id, frame + 2, 2);
    std::memcpy(&r.fields.seq, frame + 4, 8);
    std::memcpy(&r.fields.payload_len, frame + 14, 2);
    if (r.fields.payload_len > kMaxPayload || r.fields.payload_len + kOverhead > length) {
        r.error = "payload_len " + std::to_string(r.fields.payload_len) + " does not fit";
        return r;
    }
    uint8_t expected[kMaxPayload + 4];
    fill_payload(expected, r.fields.seq, r.fields.payload_len);
    if (std::memcmp(expected, frame + kHeader, r.fields.payload_len) != 0) {
        r.error = "payload of frame " + std::to_string(r.fields.seq) + " corrupted";
        return r;
    }
    uint32_t trailer = 0;
    std::memcpy(&trailer, frame + kHeader + r.fields.payload_len, 4);
    if (trailer != fnv1a(frame, kHeader + r.fields.payload_len)) {
        r.error = "trailer of frame " + std::to_string(r.fields.seq) + " does not match";
        return r;
    }
    r.ok = true;
    return r;
}

}  // namespace ktsim
