#include "recording.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>

#include "kt_records.h"

namespace kttool {

namespace {

void put_le(uint8_t *out, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// A JSON string of `text`, escaped.
std::string quoted(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// "2026-12-09T12:00:00.123456Z" of a time in ns since 1970.
std::string utc_time(uint64_t ns) {
    const time_t seconds = static_cast<time_t>(ns / 1000000000u);
    struct tm parts {};
    gmtime_r(&seconds, &parts);
    char text[64];
    const size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    snprintf(text + n, sizeof text - n, ".%06uZ", static_cast<unsigned>(ns % 1000000000u / 1000));
    return text;
}

std::string host_name() {
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

std::string base_name(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool is_sample_format(const std::string &name) {
    return name == "raw" || name == "u8" || name == "i16le" || name == "i32le" || name == "f32le";
}

uint64_t RecordingWriter::now_ns() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

RecordingWriter::~RecordingWriter() {
    if (data_ != nullptr) {
        std::string ignored;
        close(&ignored);
    }
}

bool RecordingWriter::open(const std::string &path, const RecordingInfo &info, std::string *error) {
    path_ = path;
    info_ = info;
    data_ = fopen(path.c_str(), "wbe");
    const std::string index_path = path + ".index";
    if (data_ != nullptr) {
        index_ = fopen(index_path.c_str(), "wbe");
    }
    if (data_ == nullptr || index_ == nullptr) {
        *error = "cannot write " + (data_ == nullptr ? path : index_path) + ": " + strerror(errno);
        if (data_ != nullptr) {
            fclose(data_);
            data_ = nullptr;
        }
        return false;
    }
    uint8_t header[kIndexHeaderSize];
    memcpy(header, kIndexMagic, sizeof kIndexMagic);
    put_le(header + 8, kIndexVersion, 4);
    put_le(header + 12, kIndexRecordSize, 4);
    failed_ = fwrite(header, 1, sizeof header, index_) != sizeof header;
    start_ns_ = now_ns();
    return true;
}

void RecordingWriter::write(const uint8_t *frame, size_t length, uint64_t received_ns) {
    const auto *f = reinterpret_cast<const kt_frame *>(frame);
    uint8_t record[kIndexRecordSize];
    put_le(record, offset_, 8);
    put_le(record + 8, received_ns, 8);
    record[16] = f->module_id;
    record[17] = f->channel_id;
    put_le(record + 18, f->msg_id, 2);
    put_le(record + 20, length, 4);
    if (fwrite(frame, 1, length, data_) != length ||
        fwrite(record, 1, sizeof record, index_) != sizeof record) {
        failed_ = true;
    }
    offset_ += length;
    ++frames_;

    Source &s = sources_[static_cast<uint16_t>(f->module_id << 8 | f->channel_id)];
    if (s.frames == 0) {
        s.first_msg_id = f->msg_id;
    }
    ++s.frames;
    s.bytes += length;
    if (s.order.take(f->msg_id) == MsgOrder::Verdict::kInOrder) {
        s.last_msg_id = f->msg_id;
    } else {
        ++s.out_of_order;
    }
}

std::string RecordingWriter::sidecar() const {
    std::string text = "{\n";
    const auto member = [&](const char *name, const std::string &value, bool last = false) {
        text += std::string("  \"") + name + "\": " + value + (last ? "\n" : ",\n");
    };
    member("format", quoted("kt-recording"));
    member("version", std::to_string(kIndexVersion));
    member("data", quoted(base_name(path_)));
    member("index", quoted(base_name(path_) + ".index"));
    member("tool", quoted(info_.tool));
    member("product_version", quoted(KT_VERSION));
    member("host", quoted(host_name()));
    member("origin", quoted(info_.origin));
    member("sample_format", quoted(info_.sample_format));
    member("start", quoted(utc_time(start_ns_)));
    member("end", quoted(utc_time(now_ns())));
    member("frames", std::to_string(frames_));
    member("bytes", std::to_string(offset_));
    std::string sources = "[";
    for (const auto &[key, s] : sources_) {
        char line[320];
        snprintf(line, sizeof line,
                 "%s\n    {\"source\": \"%u:%u\", \"module\": %u, \"channel\": %u, "
                 "\"frames\": %" PRIu64 ", \"bytes\": %" PRIu64 ", \"msg_id_gaps\": %" PRIu64
                 ", \"out_of_order\": %" PRIu64 ", \"first_msg_id\": %u, \"last_msg_id\": %u}",
                 sources.size() > 1 ? "," : "", key >> 8, key & 0xffu, key >> 8, key & 0xffu,
                 s.frames, s.bytes, s.order.lost(), s.out_of_order, s.first_msg_id, s.last_msg_id);
        sources += line;
    }
    sources += sources_.empty() ? "]" : "\n  ]";
    member("sources", sources, true);
    return text + "}\n";
}

bool RecordingWriter::close(std::string *error) {
    bool ok = !failed_;
    ok = fclose(index_) == 0 && ok;
    ok = fclose(data_) == 0 && ok;
    index_ = data_ = nullptr;
    if (!ok) {
        *error = "writing " + path_ + " or its index failed: " + strerror(errno);
        return false;
    }
    const std::string meta_path = path_ + ".meta.json";
    FILE *meta = fopen(meta_path.c_str(), "we");
    if (meta == nullptr) {
        *error = "cannot write " + meta_path + ": " + strerror(errno);
        return false;
    }
    const std::string text = sidecar();
    ok = fwrite(text.data(), 1, text.size(), meta) == text.size();
    if (fclose(meta) != 0 || !ok) {
        *error = "writing " + meta_path + " failed: " + strerror(errno);
        return false;
    }
    return true;
}

}  // namespace kttool
