// kt-daqd: the device application of the acquisition engine. Opens the stream device and
// gives its main thread to one of the two main loops: the publish loop, with the
// subscribers named on its command line registered, or the filter loop, whose channels
// consumers configure at run time.
#include <getopt.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kt_daq.h"
#include "stats_report.h"
#include "service_notify.h"
#include "tool_options.h"

namespace {

constexpr uint32_t kDefaultRing = 4u << 20;

void usage(FILE *out) {
    fprintf(out,
            "usage: kt-daqd [OPTIONS] DEVICE\n"
            "Opens the stream device DEVICE (the symbolic link that names its UIO node).\n"
            "Publish mode: publishes every frame on " KT_DAQ_PUB_ENDPOINT
            " under the topic\n"
            "frame://M:C, then awaits one acknowledgement on " KT_DAQ_ACK_ENDPOINT
            " per\n"
            "subscriber registered for the frame's source.\n"
            "Filter mode: serves channel configurations on " KT_DAQ_PUB_ENDPOINT
            " (see\n"
            "kt-channel) and sends each channel's frames, through its filters, to its TCP\n"
            "client. Runs until stopped (Ctrl-C).\n"
            "  --subscribe M:C   register a subscriber for module M (0..255), channel C\n"
            "                    (0..15); repeatable\n"
            "  --subscribe all   register a subscriber for every frame\n"
            "  --ring BYTES      frame ring length (default %u)\n"
            "  --mode MODE       main loop to run: publish (default) or filter\n"
            "  --queue-depth N   publish mode (an extension): frames that may wait for each\n"
            "                    subscriber (1..%d, default 1)\n"
            "  --ack-window W    publish mode (an extension): frames published ahead of\n"
            "                    their acknowledgements (1..%d, default 1); with W > 1 a\n"
            "                    request whose text is a number K (1..W) acknowledges K frames\n"
            "  --stats N         print the engine's counters every N seconds (1..86400) as\n"
            "                    one line on standard output\n"
            "  --json            print those lines as JSON objects, one per line\n"
            "SIGUSR1 prints a statistics line at once; SIGINT and SIGTERM print a final\n"
            "one and end kt-daqd with status 0.\n"
            "Exit status 1 when the device cannot be opened or an endpoint is in use,\n"
            "2 on a usage error.\n",
            kDefaultRing, KT_DAQ_QUEUE_DEPTH_MAX, KT_DAQ_ACK_WINDOW_MAX);
}

const kttool::Tool kTool{"kt-daqd", usage};

static_assert(KT_DAQ_ALL_FRAMES == kttool::kAllSources);

// Whether a TCP port on the loopback interface can be bound: the loop itself binds
// without reporting a failure, and would then wait for acknowledgements in vain.
bool port_free(const char *endpoint) {
    // "tcp://127.0.0.1:<port>": the port follows the last colon.
    const uint16_t port = static_cast<uint16_t>(std::atoi(std::strrchr(endpoint, ':') + 1));
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return true;  // let the loop try
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

// Raises the soft limit of open descriptors to the hard limit: every client and
// configuration peer takes one, and the default soft limit of 1024 is soon reached.
void raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::pair<int, int>> subscribers;
    bool filter_mode = false;
    unsigned long long ring = kDefaultRing;
    uint64_t stats_interval = 0;
    uint64_t queue_depth = 1, ack_window = 1;
    bool json = false;
    const auto take = [&](int opt, const char *value) {
        if (opt == 's') {
            std::pair<int, int> source;
            if (!kttool::parse_source(value, &source.first, &source.second)) {
                fprintf(stderr,
                        "kt-daqd: bad --subscribe %s: give M:C with module 0..255 and "
                        "channel 0..15, or all\n",
                        value);
                return false;
            }
            subscribers.push_back(source);
        } else if (opt == 'r') {
            const auto bytes = kttool::parse_in_range(value, KT_SLOT_SIZE, 0xffffffffull, 0);
            if (!bytes) {
                fprintf(stderr, "kt-daqd: bad --ring %s: give a byte count of at least %u\n", value,
                        KT_SLOT_SIZE);
                return false;
            }
            ring = *bytes;
        } else if (opt == 'm') {
            if (strcmp(value, "publish") != 0 && strcmp(value, "filter") != 0) {
                fprintf(stderr, "kt-daqd: unknown --mode %s (publish or filter)\n", value);
                return false;
            }
            filter_mode = strcmp(value, "filter") == 0;
        } else if (opt == 'S') {
            return kttool::option_number("kt-daqd", "stats", value, 1, 86400, &stats_interval);
        } else if (opt == 'q') {
            return kttool::option_number("kt-daqd", "queue-depth", value, 1, KT_DAQ_QUEUE_DEPTH_MAX,
                                         &queue_depth);
        } else if (opt == 'w') {
            return kttool::option_number("kt-daqd", "ack-window", value, 1, KT_DAQ_ACK_WINDOW_MAX,
                                         &ack_window);
        } else if (opt == 'j') {
            json = true;
        }
        return true;
    };
    if (const auto status =
            kttool::parse_options(kTool, argc, argv, "h",
                                  {kttool::valued("subscribe", 's'), kttool::valued("ring", 'r'),
                                   kttool::valued("mode", 'm'), kttool::valued("stats", 'S'),
                                   kttool::valued("queue-depth", 'q'),
                                   kttool::valued("ack-window", 'w'), kttool::flag("json", 'j')},
                                  take)) {
        return *status;
    }
    if (optind + 1 != argc) {
        return kttool::usage_error(kTool);
    }
    const char *device = argv[optind];
    // Before any thread exists: only the reporter takes these signals.
    ktdaqd::block_report_signals();
    raise_descriptor_limit();
    // The loop's diagnostics should reach a log or a pipe line by line.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    if (filter_mode && !subscribers.empty()) {
        fprintf(stderr, "kt-daqd: --subscribe belongs to the publish mode\n");
        return 2;
    }
    if (filter_mode && (queue_depth != 1 || ack_window != 1)) {
        fprintf(stderr, "kt-daqd: --queue-depth and --ack-window belong to the publish mode\n");
        return 2;
    }
    // The filter mode binds the configuration endpoint only, the publish mode both.
    for (const char *endpoint : {KT_DAQ_PUB_ENDPOINT, KT_DAQ_ACK_ENDPOINT}) {
        if (filter_mode && std::strcmp(endpoint, KT_DAQ_CONFIG_ENDPOINT) != 0) {
            continue;
        }
        if (!port_free(endpoint)) {
            fprintf(stderr, "kt-daqd: %s is in use (is another kt-daqd running?)\n",
                    endpoint + std::strlen("tcp://"));
            return 1;
        }
    }
    // Registered before the handle exists, the subscribers count from the first frame.
    for (const auto &[module_id, channel_id] : subscribers) {
        if (add_channel(module_id, channel_id) != 0) {
            fprintf(stderr, "kt-daqd: cannot register a subscriber for %d:%d\n", module_id,
                    channel_id);
            return 1;
        }
    }
    kt_daq *daq = kt_daq_create(device, static_cast<uint32_t>(ring));
    if (daq == nullptr) {
        fprintf(stderr, "kt-daqd: cannot open the stream device %s\n", device);
        return 1;
    }
    if (!ktdaqd::start_reporter(static_cast<unsigned>(stats_interval), json)) {
        fprintf(stderr, "kt-daqd: cannot start the statistics thread\n");
        return 1;
    }
    ktdaqd::notify_ready_when_listening(filter_mode, device);
    if (filter_mode) {
        fprintf(stderr, "kt-daqd: filter mode on %s, channel configurations on %s\n", device,
                KT_DAQ_PUB_ENDPOINT);
        kt_daqex_run(daq);
        return 1;  // the loop does not return
    }
    fprintf(stderr, "kt-daqd: publishing the frames of %s on %s, acknowledgements on %s,", device,
            KT_DAQ_PUB_ENDPOINT, KT_DAQ_ACK_ENDPOINT);
    if (subscribers.empty()) {
        fprintf(stderr, " no subscriber registered\n");
    } else {
        fprintf(stderr, " subscribers:");
        for (const auto &[module_id, channel_id] : subscribers) {
            if (module_id == KT_DAQ_ALL_FRAMES && channel_id == KT_DAQ_ALL_FRAMES) {
                fprintf(stderr, " all");
            } else {
                fprintf(stderr, " %d:%d", module_id, channel_id);
            }
        }
        fprintf(stderr, "\n");
    }
    if ((queue_depth != 1 || ack_window != 1) &&
        kt_daq_set_publish_options(static_cast<uint32_t>(queue_depth),
                                   static_cast<uint32_t>(ack_window)) != 0) {
        fprintf(stderr, "kt-daqd: cannot set the publish options: %s\n", strerror(errno));
        return 1;
    }
    if (queue_depth != 1 || ack_window != 1) {
        fprintf(stderr, "kt-daqd: queue depth %llu, acknowledgement window %llu\n",
                static_cast<unsigned long long>(queue_depth),
                static_cast<unsigned long long>(ack_window));
    }
    kt_daq_run(daq);
    return 1;  // the loop does not return
}
