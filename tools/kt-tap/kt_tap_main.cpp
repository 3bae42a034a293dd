// kt-tap: connects to a channel's TCP port, splits the stream into frames (payload_len +
// 20 bytes each) and prints the live rate and per-source counts.
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "kt_records.h"

namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t g_stop = 0;
void on_signal(int) {
    g_stop = 1;
}

void usage(FILE *out) {
    fprintf(out,
            "usage: kt-tap PORT [--host ADDR] [--seconds S] [--frames N] [--dump] [--out FILE]\n"
            "Connects to a channel's port and shows the frames it sends.\n"
            "  --host ADDR    device address (default 127.0.0.1)\n"
            "  --seconds S    stop after S seconds\n"
            "  --frames N     stop after N frames\n"
            "  --dump         print each frame in hex\n"
            "  --out FILE     append the raw frames to FILE\n");
}

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
    long seconds = 0, max_frames = 0;
    bool hex = false;
    static const option options[] = {{"host", required_argument, nullptr, 'H'},
                                     {"seconds", required_argument, nullptr, 's'},
                                     {"frames", required_argument, nullptr, 'n'},
                                     {"dump", no_argument, nullptr, 'd'},
                                     {"out", required_argument, nullptr, 'o'},
                                     {"help", no_argument, nullptr, 'h'},
                                     {nullptr, 0, nullptr, 0}};
    int opt = 0;
    while ((opt = getopt_long(argc, argv, "h", options, nullptr)) != -1) {
        switch (opt) {
            case 'H':
                host = optarg;
                break;
            case 's':
                seconds = strtol(optarg, nullptr, 10);
                break;
            case 'n':
                max_frames = strtol(optarg, nullptr, 10);
                break;
            case 'd':
                hex = true;
                break;
            case 'o':
                out_path = optarg;
                break;
            case 'h':
                usage(stdout);
                return 0;
            default:
                usage(stderr);
                return 2;
        }
    }
    char *end = nullptr;
    const long port = optind + 1 == argc ? strtol(argv[optind], &end, 10) : -1;
    if (port <= 0 || port > 65535 || *end != '\0' || seconds < 0 || max_frames < 0) {
        usage(stderr);
        return 2;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
        fprintf(stderr, "kt-tap: bad address %s\n", host);
        return 2;
    }
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        fprintf(stderr, "kt-tap: cannot connect to %s:%ld: %s\n", host, port, strerror(errno));
        return 1;
    }
    FILE *out = out_path != nullptr ? fopen(out_path, "ab") : nullptr;
    if (out_path != nullptr && out == nullptr) {
        fprintf(stderr, "kt-tap: cannot open %s: %s\n", out_path, strerror(errno));
        return 1;
    }
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);

    std::vector<uint8_t> buf;
    std::map<unsigned, unsigned long long> per_source;
    unsigned long long frames = 0, bytes = 0, last_frames = 0, last_bytes = 0;
    const auto start = Clock::now();
    auto last = start;
    bool closed = false;
    while (g_stop == 0 && !closed && (max_frames == 0 || frames < (unsigned long long)max_frames)) {
        const auto now = Clock::now();
        if (seconds != 0 && now - start >= std::chrono::seconds(seconds)) {
            break;
        }
        if (now - last >= std::chrono::seconds(1)) {
            const double dt = std::chrono::duration<double>(now - last).count();
            printf("%9.0f frames/s %8.2f MB/s  frames %llu  sources", (frames - last_frames) / dt,
                   (bytes - last_bytes) / dt / 1e6, frames);
            for (const auto &[key, n] : per_source) {
                printf(" %u:%u=%llu", key >> 8, key & 0xff, n);
            }
            printf("\n");
            fflush(stdout);
            last = now;
            last_frames = frames;
            last_bytes = bytes;
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
        buf.insert(buf.end(), chunk, chunk + n);
        size_t used = 0;
        while (buf.size() - used >= KT_FRAME_HEADER_SIZE) {
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
            if (out != nullptr) {
                fwrite(buf.data() + used, 1, length, out);
            }
            used += length;
        }
        buf.erase(buf.begin(), buf.begin() + static_cast<long>(used));
    }
    const double total = std::chrono::duration<double>(Clock::now() - start).count();
    printf("kt-tap: %llu frames, %llu bytes in %.1f s%s\n", frames, bytes, total,
           closed ? " (the device closed the connection)" : "");
    if (out != nullptr) {
        fclose(out);
    }
    close(fd);
    return 0;
}
