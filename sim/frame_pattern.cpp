#include "frame_pattern.h"

#include <zlib.h>

#include <cstring>

#include "waveform.h"

namespace ktsim {
namespace {

constexpr size_t kHeader = 16;
constexpr size_t kOverhead = 20;
constexpr uint16_t kMaxPayload = 2028;

// The finaliser of splitmix64: a bijection that spreads every input bit over the output.
uint64_t mix(uint64_t x) {
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    return x ^ (x >> 31);
}

// 64 bits derived from the fields that identify a frame. For a fixed sequence number the
// other fields map one to one onto the result, and the reverse.
uint64_t identity(const FrameFields &f) {
    const uint64_t rest = uint64_t{f.module_id} | uint64_t{f.channel_id & 0x0fu} << 8 |
                          uint64_t{f.msg_id} << 16 | uint64_t{f.payload_len} << 32;
    return mix(mix(f.seq) ^ rest);
}

// Word `index` of the payload: the two halves of the identity in turn, each word made
// distinct by its index, so that shifted or repeated parts of a payload are caught too.
uint32_t payload_word(uint64_t id, size_t index) {
    const uint32_t half = static_cast<uint32_t>(index & 1 ? id >> 32 : id);
    return half ^ static_cast<uint32_t>(index * 0x85ebca77u);
}

void fill_payload(uint8_t *payload, const FrameFields &fields) {
    const uint64_t id = identity(fields);
    const size_t length = fields.payload_len;
    size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        const uint32_t w = payload_word(id, i / 4);
        std::memcpy(payload + i, &w, 4);
    }
    if (i < length) {
        const uint32_t w = payload_word(id, i / 4);
        std::memcpy(payload + i, &w, length - i);
    }
}

// Bit `index` of the identity stream: the pattern's words one bit after the other.
unsigned identity_bit(uint64_t id, size_t index) {
    return payload_word(id, index / 32) >> (index % 32) & 1u;
}

uint32_t checksum(const uint8_t *data, size_t length) {
    return static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), data, static_cast<uInt>(length)));
}

std::string describe(const FrameFields &f) {
    return "frame " + std::to_string(f.seq) + " (" + std::to_string(f.module_id) + ":" +
           std::to_string(f.channel_id) + " msg_id " + std::to_string(f.msg_id) + ")";
}

void write_header(uint8_t *slot, const FrameFields &fields, uint8_t waveform,
                  uint8_t sample_format) {
    uint8_t header[kHeader] = {};
    header[0] = fields.module_id;
    header[1] = static_cast<uint8_t>((fields.channel_id & 0x0f) | (fields.high_bits << 4));
    std::memcpy(header + 2, &fields.msg_id, 2);
    std::memcpy(header + 4, &fields.seq, 8);
    header[12] = waveform;
    header[13] = sample_format;
    std::memcpy(header + 14, &fields.payload_len, 2);
    std::memcpy(slot, header, kHeader);
}

void write_trailer(uint8_t *slot, uint16_t payload_len) {
    const uint32_t trailer = checksum(slot, kHeader + payload_len);
    std::memcpy(slot + kHeader + payload_len, &trailer, 4);
}

// Checks the identity bits of a waveform frame's samples and the zero bytes behind them.
bool wave_payload_matches(const uint8_t *payload, const FrameFields &f) {
    const size_t size = sample_size(f.sample_format);
    const size_t count = f.payload_len / size;
    const uint64_t id = identity(f);
    for (size_t i = 0; i < count; ++i) {
        if ((payload[i * size] & 1u) != identity_bit(id, i)) {
            return false;
        }
    }
    for (size_t i = count * size; i < f.payload_len; ++i) {
        if (payload[i] != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

void write_frame(uint8_t *slot, const FrameFields &fields) {
    write_header(slot, fields, 0, 0);
    fill_payload(slot + kHeader, fields);
    write_trailer(slot, fields.payload_len);
}

void seal_wave_frame(uint8_t *slot, const FrameFields &fields) {
    write_header(slot, fields, fields.waveform, fields.sample_format);
    const size_t size = sample_size(fields.sample_format);
    const size_t count = size == 0 ? 0 : fields.payload_len / size;
    const uint64_t id = identity(fields);
    for (size_t i = 0; i < count; ++i) {
        slot[kHeader + i * size] |= static_cast<uint8_t>(identity_bit(id, i));
    }
    write_trailer(slot, fields.payload_len);
}

size_t sample_size(uint8_t format) {
    switch (static_cast<SampleFormat>(format)) {
        case SampleFormat::kI16le:
            return 2;
        case SampleFormat::kI32le:
        case SampleFormat::kF32le:
            return 4;
        case SampleFormat::kU8:
            return 1;
    }
    return 0;
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
    r.fields.waveform = frame[12];
    r.fields.sample_format = frame[13];
    std::memcpy(&r.fields.payload_len, frame + 14, 2);
    if (r.fields.payload_len > kMaxPayload || r.fields.payload_len + kOverhead > length) {
        r.error = "payload_len " + std::to_string(r.fields.payload_len) + " does not fit";
        return r;
    }
    // The trailer first: a mismatch there is damage in transit; a payload that fails
    // behind a good trailer belongs to another frame than the header names.
    uint32_t trailer = 0;
    std::memcpy(&trailer, frame + kHeader + r.fields.payload_len, 4);
    if (trailer != checksum(frame, kHeader + r.fields.payload_len)) {
        r.error = "trailer of " + describe(r.fields) + " does not match";
        return r;
    }
    if (r.fields.waveform != 0) {
        if (r.fields.waveform > static_cast<uint8_t>(WaveKind::kNoise) ||
            sample_size(r.fields.sample_format) == 0) {
            r.error = "unknown waveform " + std::to_string(r.fields.waveform) + " or format " +
                      std::to_string(r.fields.sample_format) + " in " + describe(r.fields);
            return r;
        }
        if (!wave_payload_matches(frame + kHeader, r.fields)) {
            r.error = "payload is not that of " + describe(r.fields);
            return r;
        }
        r.ok = true;
        return r;
    }
    uint8_t expected[kMaxPayload];
    fill_payload(expected, r.fields);
    if (std::memcmp(expected, frame + kHeader, r.fields.payload_len) != 0) {
        r.error = "payload is not that of " + describe(r.fields);
        return r;
    }
    r.ok = true;
    return r;
}

}  // namespace ktsim
