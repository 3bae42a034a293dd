// kt-web: a live view of the instrument in the browser. Watches the publish mode (or a
// filter-mode channel) and serves a page with per-source counts, rates, msg_id gaps and
// waveforms, a JSON status and a WebSocket feed.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "acknowledger.h"
#include "decimate.h"
#include "frame_watch.h"
#include "remote_access.h"
#include "source_book.h"
#include "status_json.h"
#include "tool_options.h"
#include "tool_stop.h"
#include "web_server.h"

namespace {

constexpr char kDefaultWww[] = KT_WEB_WWW;

void usage(FILE *out) {
    fprintf(out,
            "usage: kt-web [--bind ADDR] [--port P] [--host HOST] [--tap PORT]\n"
            "              [--ack | --ack-every K] [--sample-format F] [--points N] [--feed-hz HZ] "
            "[--stale S]\n"
            "              [--www DIR] [--server-key FILE --client-key FILE]\n"
            "Serves a live view of the instrument's frames: open http://ADDR:P/ in a browser.\n"
            "  --bind ADDR      address to serve on (default 127.0.0.1; 0.0.0.0 for all)\n"
            "  --port P         HTTP port (default 8080; 0 picks a free one)\n"
            "  --host HOST      the instrument (default 127.0.0.1; another host through\n"
            "                   kt-relay, with --server-key and --client-key if it asks)\n"
            "  --tap PORT       watch a filter-mode channel's TCP port instead of the\n"
            "                   publish mode (takes the channel's one client place)\n"
            "  --ack            acknowledge each frame, as a registered subscriber (register\n"
            "                   one in kt-daqd); by default kt-web only watches\n"
            "  --ack-every K    acknowledge as --ack, with one counted acknowledgement per K\n"
            "                   frames (1..%u; 1 is --ack), sent while frames keep coming;\n"
            "                   for a kt-daqd with --ack-window of K or more\n"
            "  --sample-format F  what the payloads hold: u8, i16le (default), i32le, f32le\n"
            "  --points N       waveform points per source (2..4096, default 256)\n"
            "  --feed-hz HZ     feed messages per second (1..20, default 5)\n"
            "  --stale S        no frames for S seconds shows as an error (1..3600, default 3)\n"
            "  --www DIR        the page's files (default %s)\n"
            "Endpoints: / (the page), /api/status (JSON), /ws (WebSocket feed, one JSON\n"
            "message per update). It never configures the instrument. Exit status 1 when\n"
            "it cannot serve, 2 on a usage error; SIGINT or SIGTERM end it with 0.\n",
            kttool::kAckEveryMax, kDefaultWww);
}

const kttool::Tool kTool{"kt-web", usage};

int g_stop_pipe[2] = {-1, -1};

// From the stop handler: async-signal-safe.
void wake_main() {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(g_stop_pipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char **argv) {
    ktweb::WatchConfig watch;
    ktweb::ServerConfig server;
    std::string bind = "127.0.0.1", format_name = "i16le";
    uint64_t port = 8080, points = 256, feed_hz = 5, stale = 3, tap = 0, ack_every = 1;
    const char *server_key = nullptr, *client_key = nullptr;
    server.www = kDefaultWww;
    const auto take = [&](int opt, const char *value) {
        switch (opt) {
            case 'b':
                bind = value;
                return true;
            case 'p':
                return kttool::option_number("kt-web", "port", value, 0, 65535, &port);
            case 'H':
                watch.host = value;
                return true;
            case 't':
                return kttool::option_number("kt-web", "tap", value, 1, 65535, &tap);
            case 'a':
                watch.ack = true;
                return true;
            case 'K':
                watch.ack = true;
                return kttool::option_number("kt-web", "ack-every", value, 1, kttool::kAckEveryMax,
                                             &ack_every);
            case 'f':
                if (!ktweb::sample_format(value)) {
                    fprintf(stderr,
                            "kt-web: bad --sample-format %s: give u8, i16le, i32le or f32le\n",
                            value);
                    return false;
                }
                format_name = value;
                return true;
            case 'n':
                return kttool::option_number("kt-web", "points", value, 2, 4096, &points);
            case 'r':
                return kttool::option_number("kt-web", "feed-hz", value, 1, 20, &feed_hz);
            case 's':
                return kttool::option_number("kt-web", "stale", value, 1, 3600, &stale);
            case 'w':
                server.www = value;
                return true;
            case 'S':
                server_key = value;
                return true;
            case 'C':
                client_key = value;
                return true;
        }
        return true;
    };
    if (const auto status = kttool::parse_options(
            kTool, argc, argv, "h",
            {kttool::valued("bind", 'b'), kttool::valued("port", 'p'), kttool::valued("host", 'H'),
             kttool::valued("tap", 't'), kttool::flag("ack", 'a'), kttool::valued("ack-every", 'K'),
             kttool::valued("sample-format", 'f'), kttool::valued("points", 'n'),
             kttool::valued("feed-hz", 'r'), kttool::valued("stale", 's'),
             kttool::valued("www", 'w'), kttool::valued("server-key", 'S'),
             kttool::valued("client-key", 'C')},
            take)) {
        return *status;
    }
    if (optind != argc) {
        return kttool::usage_error(kTool);
    }
    if (tap != 0 && watch.ack) {
        fprintf(stderr, "kt-web: --ack and --ack-every belong to the publish mode, not to --tap\n");
        return kttool::kUsageStatus;
    }
    if (!kttool::load_curve_client("kt-web", server_key, client_key, &watch.keys)) {
        return kttool::kUsageStatus;
    }
    struct stat page {};
    if (stat((server.www + "/index.html").c_str(), &page) != 0) {
        fprintf(stderr, "kt-web: no page in %s (give its folder with --www)\n", server.www.c_str());
        return 1;
    }
    watch.tap_port = static_cast<uint16_t>(tap);
    watch.ack_every = static_cast<uint32_t>(ack_every);
    server.feed_hz = static_cast<double>(feed_hz);
    server.listen = (bind.find(':') != std::string::npos ? "[" + bind + "]" : bind) + ":" +
                    std::to_string(port);

    // The stop signal may reach any thread, and may come before the main thread waits:
    // the handler also writes to a pipe the main thread waits on, so no stop is missed.
    if (pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        perror("kt-web: pipe");
        return 1;
    }
    kttool::install_stop_handler(wake_main);
    signal(SIGPIPE, SIG_IGN);
    const auto format = *ktweb::sample_format(format_name);
    ktweb::SourceBook book(format, points, ktweb::Clock::now());
    ktweb::FrameWatch watcher(watch, &book);
    const ktweb::Origin origin{tap != 0 ? "tap" : "publish", watcher.where(),
                               static_cast<double>(stale)};
    ktweb::WebServer web(server, origin, &book);
    std::string error;
    if (!web.start(&error)) {
        fprintf(stderr, "kt-web: %s\n", error.c_str());
        return 1;
    }
    std::string acking;
    if (watch.ack) {
        acking = ack_every == 1 ? ", acknowledging each"
                                : ", acknowledging every " + std::to_string(ack_every);
    }
    printf("kt-web: serving http://%s:%d/ (%s of %s%s)\n", bind.c_str(), web.port(),
           origin.mode == "tap" ? "channel" : "frames", origin.where.c_str(), acking.c_str());
    fflush(stdout);
    while (!kttool::stop_requested()) {
        pollfd woken{g_stop_pipe[0], POLLIN, 0};
        poll(&woken, 1, -1);
    }
    return 0;
}
