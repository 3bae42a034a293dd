// Signals the simulated engine can put into the payload instead of its check pattern, so
// that a plot of a source's samples shows something recognisable: a sine, a square wave,
// a ramp or noise, as little-endian samples of one format.
//
// Each source is a signal of its own that runs on across its frames: the frame with the
// source's frame index k covers the time from k / frame_rate to (k + 1) / frame_rate, its
// samples evenly spaced over it, so the signal stays continuous whatever the payload
// lengths. The lowest bit of every sample is left clear for the frame's identity bits
// (frame_pattern.h), which moves a sample by at most one step of its format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace ktsim {

// Stored in header byte 12 of the frame; 0 is the check pattern.
enum class WaveKind : uint8_t { kPattern = 0, kSine = 1, kSquare = 2, kRamp = 3, kNoise = 4 };

// Stored in header byte 13 of a waveform frame.
enum class SampleFormat : uint8_t { kI16le = 1, kI32le = 2, kF32le = 3, kU8 = 4 };

struct Waveform {
    WaveKind kind = WaveKind::kPattern;
    double hz = 0;  // sine and square: cycles per second; ramp: 0 for one rise per frame
};

// "sine:HZ", "square:HZ", "ramp", "ramp:HZ" or "noise"; nothing when malformed.
std::optional<Waveform> parse_waveform(const std::string &text);
// "i16le", "i32le", "f32le" or "u8"; nothing otherwise.
std::optional<SampleFormat> parse_sample_format(const std::string &text);

// The largest amplitude a format holds around its middle, and the one used when none is
// given (half of that; 1 for f32le).
double max_amplitude(SampleFormat format);
double default_amplitude(SampleFormat format);

// Where a frame lies in its source's signal.
struct WavePosition {
    uint64_t frame_index = 0;  // frames of this source before this one
    double frame_rate = 0;     // frames of this source per second
    uint64_t noise_seed = 0;   // noise: differs from frame to frame
};

// Writes payload_len bytes of samples with their lowest bit clear; bytes behind the last
// whole sample are 0.
void write_samples(uint8_t *payload, size_t payload_len, const Waveform &wave, SampleFormat format,
                   double amplitude, const WavePosition &at);

}  // namespace ktsim
