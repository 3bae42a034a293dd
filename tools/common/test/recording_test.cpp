// The recording files: the frames byte for byte, an index record per frame, and a sidecar
// with the counts and msg_id gaps per source.
#include "recording.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <sys/stat.h>
#include <vector>

#include "kt_records.h"
#include "temp_dir.h"
#include "unit_file.h"

namespace {

std::vector<uint8_t> read_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A frame of `module`:`channel` with `msg_id` and `payload` bytes of `fill`; the upper
// half of the channel byte set, which the channel does not include.
std::vector<uint8_t> frame(uint8_t module, uint8_t channel, uint16_t msg_id, uint16_t payload,
                           uint8_t fill) {
    std::vector<uint8_t> f(KT_FRAME_OVERHEAD + payload, fill);
    f[0] = module;
    f[1] = static_cast<uint8_t>(0xa0 | channel);
    memcpy(f.data() + 2, &msg_id, 2);
    memcpy(f.data() + offsetof(kt_frame, payload_len), &payload, 2);
    return f;
}

TEST(Recording, FramesIndexAndSidecarDescribeWhatArrived) {
    const kttest::TempDir dir("recording_test");
    const std::string path = dir.file("run \"1\".bin");
    kttool::RecordingWriter writer;
    std::string error;
    ASSERT_TRUE(writer.open(path, {"kt-test", "tcp://10.0.0.1:\\9", "f32le"}, &error)) << error;
    // Source 2:3 misses msg_ids 3 and 4, then 3 comes late; 7:15 wraps from 65535 to 1,
    // missing 0.
    const std::vector<std::vector<uint8_t>> frames = {
        frame(2, 3, 1, 8, 0x11),    frame(2, 3, 2, 0, 0x22), frame(7, 15, 65535, 100, 0x33),
        frame(2, 3, 5, 2028, 0x44), frame(2, 3, 3, 4, 0x55), frame(7, 15, 1, 12, 0x66),
    };
    std::vector<uint8_t> expected;
    for (size_t i = 0; i < frames.size(); ++i) {
        writer.write(frames[i].data(), frames[i].size(), 1000 + i);
        expected.insert(expected.end(), frames[i].begin(), frames[i].end());
    }
    ASSERT_TRUE(writer.close(&error)) << error;

    EXPECT_EQ(read_bytes(path), expected);

    const std::vector<uint8_t> index = read_bytes(path + ".index");
    ASSERT_EQ(index.size(), kttool::kIndexHeaderSize + frames.size() * kttool::kIndexRecordSize);
    EXPECT_EQ(memcmp(index.data(), "KTINDEX\0\1\0\0\0\x18\0\0\0", 16), 0);
    uint64_t offset = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        const uint8_t *r = index.data() + kttool::kIndexHeaderSize + i * kttool::kIndexRecordSize;
        uint64_t at = 0, ns = 0;
        uint16_t msg_id = 0;
        uint32_t length = 0;
        memcpy(&at, r, 8);
        memcpy(&ns, r + 8, 8);
        memcpy(&msg_id, r + 18, 2);
        memcpy(&length, r + 20, 4);
        EXPECT_EQ(at, offset) << i;
        EXPECT_EQ(ns, 1000 + i);
        EXPECT_EQ(r[16], frames[i][0]);
        EXPECT_EQ(r[17], frames[i][1] & 0x0f) << i;
        EXPECT_EQ(0, memcmp(&msg_id, frames[i].data() + 2, 2)) << i;
        EXPECT_EQ(length, frames[i].size());
        offset += frames[i].size();
    }

    const std::string meta = kttest::read_file(path + ".meta.json");
    for (const std::string &part : std::vector<std::string>{
             "\"data\": \"run \\\"1\\\".bin\"",
             "\"index\": \"run \\\"1\\\".bin.index\"",
             "\"origin\": \"tcp://10.0.0.1:\\\\9\"",
             "\"sample_format\": \"f32le\"",
             "\"frames\": 6,",
             "\"bytes\": " + std::to_string(expected.size()) + ",",
             "{\"source\": \"2:3\", \"module\": 2, \"channel\": 3, \"frames\": 4, \"bytes\": 2120, "
             "\"msg_id_gaps\": 1, \"out_of_order\": 1, \"first_msg_id\": 1, \"last_msg_id\": 5}",
             "{\"source\": \"7:15\", \"module\": 7, \"channel\": 15, \"frames\": 2, \"bytes\": "
             "152, \"msg_id_gaps\": 1, \"out_of_order\": 0, \"first_msg_id\": 65535, "
             "\"last_msg_id\": 1}",
         }) {
        EXPECT_NE(meta.find(part), std::string::npos) << part << "\n" << meta;
    }
    const std::regex times(
        "\"start\": \"(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{6}Z)\",\n"
        "  \"end\": \"(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{6}Z)\"");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(meta, match, times)) << meta;
    EXPECT_LE(match[1].str(), match[2].str());
}

TEST(Recording, RefusalsNameTheFile) {
    const kttest::TempDir dir("recording_test");
    kttool::RecordingWriter writer;
    std::string error;
    EXPECT_FALSE(writer.open(dir.file("missing/run.bin"), {"kt-test", "", "raw"}, &error));
    EXPECT_NE(error.find("cannot write " + dir.file("missing/run.bin") + ": No such file"),
              std::string::npos)
        << error;
    // The index cannot be made where a folder of its name stands.
    ASSERT_EQ(mkdir(dir.file("run.bin.index").c_str(), 0755), 0);
    EXPECT_FALSE(writer.open(dir.file("run.bin"), {"kt-test", "", "raw"}, &error));
    EXPECT_NE(error.find("cannot write " + dir.file("run.bin.index") + ": Is a directory"),
              std::string::npos)
        << error;
    EXPECT_TRUE(kttool::is_sample_format("i16le"));
    EXPECT_FALSE(kttool::is_sample_format("i16"));
}

}  // namespace
