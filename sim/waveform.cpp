#include "waveform.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>

#include "frame_pattern.h"

namespace ktsim {
namespace {

// splitmix64's finaliser: noise that a seed and a sample index determine.
uint64_t scramble(uint64_t x) {
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    return x ^ (x >> 31);
}

std::optional<double> parse_hz(const std::string &text) {
    if (text.empty()) {
        return std::nullopt;
    }
    char *end = nullptr;
    const double hz = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(hz) || hz <= 0) {
        return std::nullopt;
    }
    return hz;
}

// Sample `index` of `count` in [-1, 1].
double unit_value(const Waveform &wave, const WavePosition &at, size_t index, size_t count) {
    const double within = static_cast<double>(index) / static_cast<double>(count);
    // Cycles of the signal up to this sample, reduced to [0, 1) in two steps so that a
    // long run keeps the precision of the fraction.
    const auto phase = [&] {
        const double per_frame = wave.hz / at.frame_rate;
        const double whole = std::fmod(per_frame * static_cast<double>(at.frame_index), 1.0);
        const double p = std::fmod(whole + per_frame * within, 1.0);
        return p < 0 ? p + 1 : p;
    };
    switch (wave.kind) {
        case WaveKind::kSine:
            return std::sin(2 * std::numbers::pi * phase());
        case WaveKind::kSquare:
            return phase() < 0.5 ? 1.0 : -1.0;
        case WaveKind::kRamp:
            return -1.0 + 2.0 * (wave.hz > 0 ? phase() : within);
        case WaveKind::kNoise:
            return static_cast<double>(scramble(at.noise_seed ^ scramble(index)) >> 11) /
                       static_cast<double>(uint64_t{1} << 52) -
                   1.0;
        case WaveKind::kPattern:
            break;
    }
    return 0;
}

template <typename T>
void put(uint8_t *at, T value) {
    std::memcpy(at, &value, sizeof value);
}

// One sample of `format` for the value `x`, lowest bit clear.
void write_sample(uint8_t *out, SampleFormat format, double x) {
    switch (format) {
        case SampleFormat::kI16le:
            put(out, static_cast<int16_t>(std::clamp(std::lround(x), -32768L, 32767L) & ~1L));
            break;
        case SampleFormat::kI32le:
            put(out, static_cast<int32_t>(std::clamp(std::llround(x), -2147483648LL, 2147483647LL) &
                                          ~1LL));
            break;
        case SampleFormat::kF32le: {
            uint32_t bits = 0;
            const float f = static_cast<float>(x);
            std::memcpy(&bits, &f, 4);
            put(out, bits & ~1u);
            break;
        }
        case SampleFormat::kU8:
            *out = static_cast<uint8_t>(std::clamp(std::lround(128 + x), 0L, 255L) & ~1L);
            break;
    }
}

}  // namespace

std::optional<Waveform> parse_waveform(const std::string &text) {
    const size_t colon = text.find(':');
    const std::string kind = text.substr(0, colon);
    const std::string hz = colon == std::string::npos ? "" : text.substr(colon + 1);
    const bool has_hz = colon != std::string::npos;
    if ((kind == "sine" || kind == "square") && has_hz) {
        if (const auto f = parse_hz(hz)) {
            return Waveform{kind == "sine" ? WaveKind::kSine : WaveKind::kSquare, *f};
        }
    } else if (kind == "ramp") {
        if (!has_hz) {
            return Waveform{WaveKind::kRamp, 0};
        }
        if (const auto f = parse_hz(hz)) {
            return Waveform{WaveKind::kRamp, *f};
        }
    } else if (kind == "noise" && !has_hz) {
        return Waveform{WaveKind::kNoise, 0};
    }
    return std::nullopt;
}

std::optional<SampleFormat> parse_sample_format(const std::string &text) {
    if (text == "i16le") {
        return SampleFormat::kI16le;
    }
    if (text == "i32le") {
        return SampleFormat::kI32le;
    }
    if (text == "f32le") {
        return SampleFormat::kF32le;
    }
    if (text == "u8") {
        return SampleFormat::kU8;
    }
    return std::nullopt;
}

double max_amplitude(SampleFormat format) {
    switch (format) {
        case SampleFormat::kI16le:
            return 32767;
        case SampleFormat::kI32le:
            return 2147483647.0;
        case SampleFormat::kF32le:
            return 3.0e38;
        case SampleFormat::kU8:
            return 127;
    }
    return 0;
}

double default_amplitude(SampleFormat format) {
    return format == SampleFormat::kF32le ? 1.0 : std::floor(max_amplitude(format) / 2);
}

void write_samples(uint8_t *payload, size_t payload_len, const Waveform &wave, SampleFormat format,
                   double amplitude, const WavePosition &at) {
    const size_t size = sample_size(static_cast<uint8_t>(format));
    const size_t count = size == 0 ? 0 : payload_len / size;
    for (size_t i = 0; i < count; ++i) {
        write_sample(payload + i * size, format, amplitude * unit_value(wave, at, i, count));
    }
    std::memset(payload + count * size, 0, payload_len - count * size);
}

}  // namespace ktsim
