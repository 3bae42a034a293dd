// The waveform a browser draws of a frame's payload: its samples reduced to a fixed number
// of points, each the minimum and the maximum of the samples it stands for, so that peaks
// survive the reduction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ktweb {

enum class SampleFormat { kU8, kI16, kI32, kF32 };

// "u8", "i16le", "i32le" or "f32le".
std::optional<SampleFormat> sample_format(const std::string &name);
const char *sample_format_name(SampleFormat format);
size_t sample_size(SampleFormat format);

// The samples of `bytes` (whole samples only, little-endian) in `points` buckets as
// (minimum, maximum) pairs, appended to `out` (cleared first). With fewer samples than
// points, each sample is a bucket of its own.
void decimate(const uint8_t *bytes, size_t length, SampleFormat format, size_t points,
              std::vector<float> *out);

}  // namespace ktweb
