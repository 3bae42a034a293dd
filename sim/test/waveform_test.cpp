// Waveform frames of the simulated engine: the samples are the signal each source was
// given, continuous across its frames whatever their lengths, and the frames stay as
// checkable as the pattern frames.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <map>
#include <numbers>
#include <vector>

#include "frame_pattern.h"
#include "sim_engine.h"
#include "waveform.h"

namespace {

using ktsim::EngineConfig;
using ktsim::SampleFormat;

constexpr size_t kSlot = 2048;

struct Sample {
    double t;      // seconds in its source's signal
    double value;  // as stored
};

template <typename T>
T read_as(const uint8_t *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Writes frames 0..count-1 of `config`, checks each and returns the samples per source.
std::map<int, std::vector<Sample>> samples_of(const EngineConfig &config, uint64_t count) {
    std::map<int, std::vector<Sample>> out;
    std::map<int, uint64_t> frames_of;
    const double stream_rate = config.rate > 0 ? config.rate : ktsim::kNominalRate;
    std::vector<uint8_t> slot(kSlot);
    for (uint64_t seq = 0; seq < count; ++seq) {
        ktsim::write_engine_frame(slot.data(), config, seq);
        const auto check = ktsim::check_frame(slot.data(), slot.size());
        EXPECT_TRUE(check.ok) << check.error;
        const ktsim::FrameFields &f = check.fields;
        EXPECT_EQ(f.sample_format, static_cast<uint8_t>(config.sample_format));
        const int source = f.module_id * 256 + f.channel_id;
        // Every source appears once in each round of the list here.
        const double frame_rate = stream_rate / static_cast<double>(config.sources.size());
        const uint64_t k = frames_of[source]++;
        const size_t size = ktsim::sample_size(f.sample_format);
        const size_t n = f.payload_len / size;
        for (size_t i = 0; i < n; ++i) {
            const uint8_t *p = slot.data() + 16 + i * size;
            double v = 0;
            switch (config.sample_format) {
                case SampleFormat::kI16le:
                    v = read_as<int16_t>(p);
                    break;
                case SampleFormat::kI32le:
                    v = read_as<int32_t>(p);
                    break;
                case SampleFormat::kF32le:
                    v = read_as<float>(p);
                    break;
                case SampleFormat::kU8:
                    v = *p - 128.0;
                    break;
            }
            out[source].push_back(
                {(static_cast<double>(k) + static_cast<double>(i) / n) / frame_rate, v});
        }
    }
    return out;
}

TEST(SimWaveform, EachSourceCarriesItsSignalAcrossFramesOfAnyLength) {
    EngineConfig config;
    config.sources = {{1, 1}, {1, 2}, {3, 4}};
    config.payload_sizes = {200, 64, 2028, 2};
    config.rate = 3000;  // 1000 frames per second of each source
    config.waveforms = {*ktsim::parse_waveform("sine:50"), *ktsim::parse_waveform("square:10"),
                        *ktsim::parse_waveform("ramp:5")};
    config.amplitude = 10000;
    const auto samples = samples_of(config, 600);  // 0.2 s of each source
    ASSERT_EQ(samples.size(), 3u);
    // Rounding to a whole number and the identity bit: at most 1.5 off (and the last
    // digits of the double arithmetic).
    constexpr double kOff = 1.5 + 1e-9;
    for (const Sample &s : samples.at(0x0101)) {
        ASSERT_NEAR(s.value, 10000 * std::sin(2 * std::numbers::pi * 50 * s.t), kOff) << s.t;
    }
    for (const Sample &s : samples.at(0x0102)) {
        const bool high = static_cast<long>(std::floor(2 * 10 * s.t)) % 2 == 0;
        ASSERT_NEAR(s.value, high ? 10000 : -10000, 1.0) << s.t;
    }
    for (const Sample &s : samples.at(0x0304)) {
        const double cycles = 5 * s.t;
        ASSERT_NEAR(s.value, -10000 + 20000 * (cycles - std::floor(cycles)), kOff) << s.t;
    }
}

TEST(SimWaveform, FormatsHoldTheSignalAtTheirOwnScale) {
    EngineConfig config;
    config.sources = {{2, 0}};
    config.payload_sizes = {400};
    config.rate = 100;
    config.waveforms = {*ktsim::parse_waveform("sine:3")};
    config.sample_format = SampleFormat::kF32le;  // default amplitude 1
    const auto f32 = samples_of(config, 20);
    for (const Sample &s : f32.at(0x0200)) {
        ASSERT_NEAR(s.value, std::sin(2 * std::numbers::pi * 3 * s.t), 1e-6) << s.t;
    }
    config.sample_format = SampleFormat::kI32le;
    config.amplitude = 2147483647.0;  // full scale clamps, never wraps
    const auto i32 = samples_of(config, 20);
    for (const Sample &s : i32.at(0x0200)) {
        ASSERT_NEAR(s.value, 2147483647.0 * std::sin(2 * std::numbers::pi * 3 * s.t), 2.0);
    }
    config.sample_format = SampleFormat::kU8;
    config.amplitude = 0;  // default: 63 around 128
    config.waveforms = {*ktsim::parse_waveform("noise")};
    const auto noise = samples_of(config, 20).at(0x0200);
    double lowest = 0, highest = 0;
    for (const Sample &s : noise) {
        lowest = std::min(lowest, s.value);
        highest = std::max(highest, s.value);
    }
    EXPECT_GE(lowest, -64);
    EXPECT_LE(highest, 63);
    EXPECT_LT(lowest, -50);  // 8000 samples spread over the whole range
    EXPECT_GT(highest, 50);
    config.waveforms = {*ktsim::parse_waveform("ramp")};  // one rise in every frame
    config.sample_format = SampleFormat::kI16le;
    config.amplitude = 1000;
    const auto ramp = samples_of(config, 2).at(0x0200);
    ASSERT_EQ(ramp.size(), 400u);
    EXPECT_NEAR(ramp[0].value, -1000, 1);
    EXPECT_NEAR(ramp[199].value, 990, 1.5);
    EXPECT_NEAR(ramp[200].value, -1000, 1);
}

TEST(SimWaveform, ParsingRefusesWhatIsNoSignal) {
    for (const char *bad : {"sine", "sine:", "sine:0", "sine:-5", "sine:x", "square",
                            "ramp:", "noise:3", "triangle:5", ""}) {
        EXPECT_FALSE(ktsim::parse_waveform(bad)) << bad;
    }
    EXPECT_DOUBLE_EQ(ktsim::parse_waveform("sine:2.5")->hz, 2.5);
    EXPECT_FALSE(ktsim::parse_sample_format("i16"));
    EXPECT_EQ(ktsim::parse_sample_format("u8"), SampleFormat::kU8);
}

// A waveform frame whose samples belong to another frame, or have been touched, fails
// the check even when its trailer has been made to match.
TEST(SimWaveform, CheckKnowsAWaveformFrameAsItsOwn) {
    EngineConfig config;
    config.sources = {{4, 9}};
    config.payload_sizes = {201};  // 100 samples and one byte behind them
    config.waveforms = {*ktsim::parse_waveform("sine:7")};
    std::vector<uint8_t> frame(kSlot), next(kSlot);
    ktsim::write_engine_frame(frame.data(), config, 0);
    ktsim::write_engine_frame(next.data(), config, 1);
    ASSERT_TRUE(ktsim::check_frame(frame.data(), frame.size()).ok);
    const auto reseal = [](std::vector<uint8_t> f) {
        const auto crc = static_cast<uint32_t>(crc32(0, f.data(), 16 + 201));
        std::memcpy(f.data() + 16 + 201, &crc, 4);
        return f;
    };
    std::vector<uint8_t> mixed = next;  // frame 1's header on frame 0's samples
    std::memcpy(mixed.data() + 16, frame.data() + 16, 201);
    auto check = ktsim::check_frame(reseal(mixed).data(), kSlot);
    EXPECT_FALSE(check.ok);
    EXPECT_NE(check.error.find("payload is not that of"), std::string::npos) << check.error;

    for (size_t byte : {16u, 16u + 99 * 2, 16u + 200}) {  // first, last sample, spare byte
        std::vector<uint8_t> touched = frame;
        touched[byte] ^= 1;
        EXPECT_FALSE(ktsim::check_frame(reseal(touched).data(), kSlot).ok) << byte;
    }
    std::vector<uint8_t> unknown = frame;
    unknown[13] = 9;  // no such sample format
    check = ktsim::check_frame(reseal(unknown).data(), kSlot);
    EXPECT_FALSE(check.ok);
    EXPECT_NE(check.error.find("unknown waveform"), std::string::npos) << check.error;
}

}  // namespace
