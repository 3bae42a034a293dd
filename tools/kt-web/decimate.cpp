#include "decimate.h"

#include <algorithm>
#include <cstring>

namespace ktweb {

namespace {

float sample_at(const uint8_t *p, SampleFormat format) {
    switch (format) {
        case SampleFormat::kU8:
            return p[0];
        case SampleFormat::kI16: {
            const auto v = static_cast<int16_t>(p[0] | p[1] << 8);
            return v;
        }
        case SampleFormat::kI32: {
            const auto v = static_cast<int32_t>(static_cast<uint32_t>(p[0]) | uint32_t{p[1]} << 8 |
                                                uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
            return static_cast<float>(v);
        }
        case SampleFormat::kF32: {
            const uint32_t bits =
                uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
            float v;
            memcpy(&v, &bits, sizeof v);
            return v;
        }
    }
    return 0;
}

}  // namespace

std::optional<SampleFormat> sample_format(const std::string &name) {
    if (name == "u8")
        return SampleFormat::kU8;
    if (name == "i16le")
        return SampleFormat::kI16;
    if (name == "i32le")
        return SampleFormat::kI32;
    if (name == "f32le")
        return SampleFormat::kF32;
    return std::nullopt;
}

const char *sample_format_name(SampleFormat format) {
    switch (format) {
        case SampleFormat::kU8:
            return "u8";
        case SampleFormat::kI16:
            return "i16le";
        case SampleFormat::kI32:
            return "i32le";
        case SampleFormat::kF32:
            return "f32le";
    }
    return "";
}

size_t sample_size(SampleFormat format) {
    switch (format) {
        case SampleFormat::kU8:
            return 1;
        case SampleFormat::kI16:
            return 2;
        default:
            return 4;
    }
}

void decimate(const uint8_t *bytes, size_t length, SampleFormat format, size_t points,
              std::vector<float> *out) {
    out->clear();
    const size_t size = sample_size(format);
    const size_t samples = length / size;
    if (samples == 0 || points == 0) {
        return;
    }
    const size_t buckets = std::min(points, samples);
    for (size_t b = 0; b < buckets; ++b) {
        // Bucket b holds samples [b * samples / buckets, (b + 1) * samples / buckets).
        const size_t first = b * samples / buckets, end = (b + 1) * samples / buckets;
        float low = sample_at(bytes + first * size, format), high = low;
        for (size_t i = first + 1; i < end; ++i) {
            const float v = sample_at(bytes + i * size, format);
            low = std::min(low, v);
            high = std::max(high, v);
        }
        out->push_back(low);
        out->push_back(high);
    }
}

}  // namespace ktweb
