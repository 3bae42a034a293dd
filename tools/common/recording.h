// A recording of received frames that describes itself: the data file holds the frames as
// they arrived, byte for byte; beside it "<data>.index" holds one record per frame (file
// offset, receive time, source, msg_id, length), and "<data>.meta.json", written when the
// recording ends, says who made it, when, from where, how the payload's samples are
// encoded, and how many frames and msg_id gaps each source has. docs/recording-format.md
// describes the files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "msg_order.h"

namespace kttool {

// The sample formats a recording can declare for the payload; "raw" (bytes of no declared
// meaning) is the default.
bool is_sample_format(const std::string &name);
inline constexpr char kSampleFormats[] = "raw, u8, i16le, i32le, f32le";

// The index file's header and records, little-endian.
inline constexpr char kIndexMagic[8] = {'K', 'T', 'I', 'N', 'D', 'E', 'X', '\0'};
inline constexpr uint32_t kIndexVersion = 1;
inline constexpr size_t kIndexHeaderSize = 16;  // magic, version, record size
inline constexpr size_t kIndexRecordSize = 24;

struct IndexRecord {
    uint64_t offset;       // of the frame in the data file
    uint64_t received_ns;  // receive time, ns since 1970 (UTC)
    uint8_t module_id;
    uint8_t channel_id;  // the 4-bit channel
    uint16_t msg_id;
    uint32_t length;  // of the whole frame, header included
};

// What the sidecar says of the recording besides its counts.
struct RecordingInfo {
    std::string tool;           // the program that made it
    std::string origin;         // where the frames came from, e.g. an endpoint
    std::string sample_format;  // one of kSampleFormats
};

class RecordingWriter {
  public:
    RecordingWriter() = default;
    // An open recording is ended as close() does, its errors unreported.
    ~RecordingWriter();
    RecordingWriter(const RecordingWriter &) = delete;
    RecordingWriter &operator=(const RecordingWriter &) = delete;

    // Creates (or empties) the data file `path` and its index; false with `error` set when
    // either cannot be created.
    bool open(const std::string &path, const RecordingInfo &info, std::string *error);
    // Appends one whole frame (its length at least the frame header's) received at
    // `received_ns`. No allocation unless the frame is the first of its source.
    void write(const uint8_t *frame, size_t length, uint64_t received_ns);
    // Flushes the data and the index and writes the sidecar; false with `error` set when
    // any of them could not be written in full.
    bool close(std::string *error);

    // The current time as the index records it.
    static uint64_t now_ns();

  private:
    struct Source {
        uint64_t frames = 0, bytes = 0;
        uint64_t out_of_order = 0;
        uint16_t first_msg_id = 0, last_msg_id = 0;
        MsgOrder order;
    };
    std::string sidecar() const;

    std::string path_;
    RecordingInfo info_;
    FILE *data_ = nullptr, *index_ = nullptr;
    bool failed_ = false;
    uint64_t offset_ = 0, frames_ = 0;
    uint64_t start_ns_ = 0;
    std::map<uint16_t, Source> sources_;  // by module << 8 | channel
};

}  // namespace kttool
