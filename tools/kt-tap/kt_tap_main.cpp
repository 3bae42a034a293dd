// kt-tap: connects to a channel's TCP port, splits the stream into frames (payload_len +
// 20 bytes each) and prints the live rate and per-source counts.
#include <getopt.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include "kt_records.h"
#include "rate_line.h"
#include "recording.h"
#include "tool_options.h"
#include "tool_stop.h"

namespace {

// Longest --seconds: far beyond any run, and small enough for std::chrono::seconds.
constexpr uint64_t kMaxSeconds = 1'000'000'000;

using Clock = std::chrono::steady_clock;

void usage(FILE *out) {
    fprintf(out,
            "usage: kt-tap PORT [--host ADDR] [--seconds S] [--frames N] [--dump]\n"
            "              [--out FILE [--sample-format F]]\n"
            "Connects to a channel's port and shows the frames it sends.\n"
            "  --host ADDR    device address (default 127.0.0.1)\n"
            "  --seconds S    stop after S seconds\n"
            "  --frames N     stop after N frames\n"
            "  --dump         print each frame in hex\n"
            "  --out FILE     record the frames: FILE holds them as they arrived, one after\n"
            "                 the other; FILE.index their offsets, receive times and\n"
            "                 sources; FILE.meta.json, written at the end, describes them\n"
            "  --sample-format F  what the payloads hold, declared in FILE.meta.json: %s\n"
            "                 (default raw)\n",
            kttool::kSampleFormats);
}

const kttool::Tool kTool{"kt-tap", usage};

void dump(const uint8_t *frame, size_t length) {
    const auto *f = reinterpret_cast<const kt_frame *>(frame);
    printf("frame %u:%u msg_id %u payload_len %u\n", f->module_id, f->channel_id, f->msg_id,
           f->payload_len);
    for (size_t i = 0; i < length; i += 16) {
        printf("  %04zx:", i);
        for (size_t j = i; j < i + 16 && j < length; ++j) {
            printf(" %02x", frame[j]);
        }
        printf("\n");
    }
}

}  // namespace

int main(int argc, char **argv) {
    const char *host = "127.0.0.1";
    const char *out_path = nullptr;
    std::string sample_format = "raw";
    uint64_t seconds = 0, max_frames = 0;
    bool hex = false;
    const auto take = [&](int opt, const char *value) {
        switch (opt) {
            case 'H':
                host = value;
                break;
            case 's':
                return kttool::option_number("kt-tap", "seconds", value, 0, kMaxSeconds, &seconds);
            case 'n':
                return kttool::option_number("kt-tap", "frames", value, 0, UINT64_MAX, &max_frames);
            case 'd':
                hex = true;
                break;
            case 'o':
                out_path = value;
                break;
            case 'F':
                if (!kttool::is_sample_format(value)) {
                    fprintf(stderr, "kt-tap: bad --sample-format %s: give one of %s\n", value,
                            kttool::kSampleFormats);
                    return false;
                }
                sample_format = value;
                break;
        }
        return true;
    };
    if (const auto status = kttool::parse_options(
            kTool, argc, argv, "h",
            {kttool::valued("host", 'H'), kttool::valued("seconds", 's'),
             kttool::valued("frames", 'n'), kttool::flag("dump", 'd'), kttool::valued("out", 'o'),
             kttool::valued("sample-format", 'F')},
            take)) {
        return *status;
    }
    const auto port =
        optind + 1 == argc ? kttool::parse_in_range(argv[optind], 1, 65535) : std::nullopt;
    if (!port) {
        return kttool::usage_error(kTool);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(*port));
    if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
        fprintf(stderr, "kt-tap: bad address %s\n", host);
        return 2;
    }
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        fprintf(stderr, "kt-tap: cannot connect to %s:%u: %s\n", host, static_cast<unsigned>(*port),
                strerror(errno));
        return 1;
    }
    kttool::RecordingWriter recording;
    std::string error;
    const std::string origin = "tcp://" + std::string(host) + ":" + std::to_string(*port);
    if (out_path != nullptr &&
        !recording.open(out_path, {"kt-tap", origin, sample_format}, &error)) {
        fprintf(stderr, "kt-tap: %s\n", error.c_str());
        close(fd);
        return 1;
    }
    kttool::install_stop_handler();

    std::vector<uint8_t> buf;
    std::map<unsigned, unsigned long long> per_source;
    unsigned long long frames = 0, bytes = 0;
    const auto start = Clock::now();
    // One line per second, also on a terminal: --dump prints between the lines.
    kttool::RateLine rate("kt-tap", stdout, false, start);
    bool closed = false;
    while (!kttool::stop_requested() && !closed && (max_frames == 0 || frames < max_frames)) {
        const auto now = Clock::now();
        if (seconds != 0 && now - start >= std::chrono::seconds(seconds)) {
            break;
        }
        if (rate.due(now) && rate.begin(now, frames, bytes)) {
            printf("  sources");
            for (const auto &[key, n] : per_source) {
                printf(" %u:%u=%llu", key >> 8, key & 0xff, n);
            }
            rate.end();
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        uint8_t chunk[65536];
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            closed = true;
            break;
        }
        const uint64_t received_ns = kttool::RecordingWriter::now_ns();
        buf.insert(buf.end(), chunk, chunk + n);
        size_t used = 0;
        // Frames after the N-th of --frames are neither counted nor written.
        while (buf.size() - used >= KT_FRAME_HEADER_SIZE &&
               (max_frames == 0 || frames < max_frames)) {
            const auto *f = reinterpret_cast<const kt_frame *>(buf.data() + used);
            const size_t length = kt_frame_length(f);
            if (buf.size() - used < length) {
                break;
            }
            ++frames;
            bytes += length;
            ++per_source[kt_frame_source_key(f)];
            if (hex) {
                dump(buf.data() + used, length);
            }
            if (out_path != nullptr) {
                recording.write(buf.data() + used, length, received_ns);
            }
            used += length;
        }
        buf.erase(buf.begin(), buf.begin() + static_cast<long>(used));
    }
    const double total = std::chrono::duration<double>(Clock::now() - start).count();
    printf("kt-tap: %llu frames, %llu bytes in %.1f s%s\n", frames, bytes, total,
           closed ? " (the device closed the connection)" : "");
    printf("kt-tap: sources");
    for (const auto &[key, n] : per_source) {
        printf(" %u:%u=%llu", key >> 8, key & 0xff, n);
    }
    printf("\n");
    close(fd);
    if (out_path != nullptr && !recording.close(&error)) {
        fprintf(stderr, "kt-tap: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
