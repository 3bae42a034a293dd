// kt-web's parts without a server: the waveform reduction, the source book's counts,
// gaps and rates, and the states and numbers of the JSON it serves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "decimate.h"
#include "kt_records.h"
#include "source_book.h"
#include "status_json.h"

namespace {

using namespace std::chrono_literals;
using ktweb::SampleFormat;

std::vector<uint8_t> frame(uint8_t module, uint8_t channel, uint16_t msg_id,
                           const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> f(KT_FRAME_OVERHEAD + payload.size(), 0);
    f[0] = module;
    f[1] = static_cast<uint8_t>(0xf0 | channel);  // upper bits are no part of the channel
    memcpy(f.data() + 2, &msg_id, 2);
    const auto length = static_cast<uint16_t>(payload.size());
    memcpy(f.data() + offsetof(kt_frame, payload_len), &length, 2);
    std::copy(payload.begin(), payload.end(), f.begin() + KT_FRAME_HEADER_SIZE);
    return f;
}

template <typename T>
std::vector<uint8_t> bytes_of(const std::vector<T> &values) {
    std::vector<uint8_t> out(values.size() * sizeof(T));
    memcpy(out.data(), values.data(), out.size());
    return out;
}

TEST(Decimate, BucketsKeepTheExtremesOfEachFormat) {
    std::vector<float> out;
    // Ten i16 samples in four buckets of 2, 3, 2 and 3 samples.
    const auto i16 = bytes_of<int16_t>({5, -7, 100, -32768, 3, 0, 0, 32767, 1, 2});
    ktweb::decimate(i16.data(), i16.size(), SampleFormat::kI16, 4, &out);
    EXPECT_EQ(out, (std::vector<float>{-7, 5, -32768, 100, 0, 0, 1, 32767}));

    // Fewer samples than points: one bucket each; a trailing partial sample is left out.
    auto i32 = bytes_of<int32_t>({-2000000000, 7});
    i32.push_back(0xff);
    ktweb::decimate(i32.data(), i32.size(), SampleFormat::kI32, 100, &out);
    EXPECT_EQ(out, (std::vector<float>{-2000000000.0f, -2000000000.0f, 7, 7}));

    const auto f32 = bytes_of<float>({1.5f, -0.25f});
    ktweb::decimate(f32.data(), f32.size(), SampleFormat::kF32, 1, &out);
    EXPECT_EQ(out, (std::vector<float>{-0.25f, 1.5f}));

    const std::vector<uint8_t> u8{200, 3, 255};
    ktweb::decimate(u8.data(), u8.size(), SampleFormat::kU8, 1, &out);
    EXPECT_EQ(out, (std::vector<float>{3, 255}));

    ktweb::decimate(u8.data(), 0, SampleFormat::kU8, 8, &out);
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(ktweb::sample_format("i16"));
}

TEST(SourceBook, CountsGapsRatesAndStates) {
    const auto start = ktweb::Clock::now();
    ktweb::SourceBook book(SampleFormat::kI16, 2, start);
    const ktweb::Origin origin{"publish", "tcp://127.0.0.1:22720", 3};
    EXPECT_STREQ(ktweb::state_of(book.view(start), origin), "no_engine");
    book.set_connected(true);
    EXPECT_STREQ(ktweb::state_of(book.view(start), origin), "no_frames");

    // 1:2 at 100 frames/s for 2 s with msg_ids 10 and 11 missing; 5:15 once.
    uint16_t msg_id = 0;
    for (int i = 0; i < 200; ++i, ++msg_id) {
        if (msg_id == 10) {
            msg_id = 12;
        }
        const auto f = frame(1, 2, msg_id, bytes_of<int16_t>({static_cast<int16_t>(i), -1}));
        book.take(f.data(), f.size(), start + i * 10ms);
    }
    const auto other = frame(5, 15, 9, {});
    book.take(other.data(), other.size(), start + 1990ms);
    book.take_malformed();

    const ktweb::BookView v = book.view(start + 2s);
    EXPECT_STREQ(ktweb::state_of(v, origin), "ok");
    EXPECT_EQ(v.frames, 201u);
    EXPECT_EQ(v.malformed, 1u);
    ASSERT_EQ(v.sources.size(), 2u);
    const ktweb::SourceView &s = v.sources[0];
    EXPECT_EQ(s.module_id, 1);
    EXPECT_EQ(s.channel_id, 2);
    EXPECT_EQ(s.frames, 200u);
    EXPECT_EQ(s.gaps, 2u);
    EXPECT_EQ(s.last_msg_id, 201);
    EXPECT_NEAR(s.rate, 100, 1);
    EXPECT_EQ(v.sources[1].channel_id, 15);
    EXPECT_EQ(v.rates, (std::vector<double>{100, 101}));
    // The waveform: every frame's samples one after the other, in two buckets.
    EXPECT_EQ(s.wave, (std::vector<float>{-1, 99, -1, 199}));

    // Quiet sources: the state turns to "no_frames" and the rate falls.
    const ktweb::BookView later = book.view(start + 12s);
    EXPECT_STREQ(ktweb::state_of(later, origin), "no_frames");
    EXPECT_LT(later.sources[0].rate, 10);
    EXPECT_EQ(later.rates.size(), 12u);
    EXPECT_EQ(later.rates.back(), 0);
}

// The waveform keeps the latest 16 KiB of samples: whole frames after a partial one, and
// no partial sample of an odd payload.
TEST(SourceBook, WaveformHoldsTheLatestSamplesAcrossFrames) {
    const auto start = ktweb::Clock::now();
    ktweb::SourceBook book(SampleFormat::kI16, 8192, start);
    for (int k = 0; k < 20; ++k) {
        auto payload = bytes_of(std::vector<int16_t>(1014, static_cast<int16_t>(k)));
        if (k == 19) {
            payload.push_back(0x7f);  // half a sample, left out
        }
        const auto f = frame(1, 1, static_cast<uint16_t>(k), payload);
        book.take(f.data(), f.size(), start);
    }
    const std::vector<float> wave = book.view(start).sources.at(0).wave;
    ASSERT_EQ(wave.size(), 2u * 8192);
    // 8192 samples: the last 80 of frame 11, then frames 12 to 19.
    EXPECT_EQ(wave.front(), 11);
    EXPECT_EQ(wave[2 * 80], 12);
    EXPECT_EQ(wave[2 * 79], 11);
    EXPECT_EQ(wave.back(), 19);
}

TEST(StatusJson, NumbersStringsAndWaves) {
    const auto start = ktweb::Clock::now();
    ktweb::SourceBook book(SampleFormat::kF32, 2, start);
    book.set_connected(true);
    const auto f = frame(3, 4, 7, bytes_of<float>({std::numeric_limits<float>::quiet_NaN(), 2}));
    book.take(f.data(), f.size(), start);
    const ktweb::Origin origin{"tap", "tcp://host:\"9000\"", 3};
    const std::string with = ktweb::to_json(book.view(start), origin, SampleFormat::kF32, true);
    EXPECT_NE(with.find("\"state\":\"ok\",\"mode\":\"tap\",\"origin\":\"tcp://host:\\\"9000\\\"\","
                        "\"sample_format\":\"f32le\",\"connected\":true"),
              std::string::npos)
        << with;
    EXPECT_NE(
        with.find("{\"source\":\"3:4\",\"module\":3,\"channel\":4,\"frames\":1,\"bytes\":28,"),
        std::string::npos)
        << with;
    EXPECT_NE(with.find("\"wave\":[null,null,2,2]}]}"), std::string::npos) << with;
    const std::string without = ktweb::to_json(book.view(start), origin, SampleFormat::kF32, false);
    EXPECT_EQ(without.find("wave"), std::string::npos);
}

}  // namespace
