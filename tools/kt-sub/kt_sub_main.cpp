// kt-sub: a subscriber of the publish mode. Receives the frames of one source, or every
// frame, acknowledges each and shows the live rate.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "acknowledger.h"
#include "frame_dump.h"
#include "frame_pattern.h"
#include "kt_daq.h"
#include "recording.h"
#include "remote_access.h"
#include "sub_tally.h"
#include "tool_options.h"
#include "tool_stop.h"

namespace {

using Clock = ktsub::Tally::Clock;

constexpr char kPubEndpoint[] = KT_DAQ_PUB_ENDPOINT;
constexpr char kAckEndpoint[] = KT_DAQ_ACK_ENDPOINT;
constexpr char kDefaultHost[] = "127.0.0.1";
// The publisher answers an acknowledgement as soon as it takes it; one that stays
// unanswered this long went to a publisher that is gone or awaits none.
constexpr int kReplyTimeoutMs = 2500;

struct Options {
    bool all = true;
    int module_id = 0, channel_id = 0;
    bool ack = true, dump = false, verify = false, quiet = false;
    uint64_t count = 0, seconds = 0;
    uint64_t ack_every = 1;
    bool ack_every_given = false;
    const char *out = nullptr;
    std::string sample_format = "raw";
    std::string host = kDefaultHost;
    const char *server_key = nullptr, *client_key = nullptr;
};

void usage(FILE *out) {
    fprintf(out,
            "usage: kt-sub [OPTIONS] [M:C | all]\n"
            "Subscribes to the frames of module M, channel C, or to every frame (all, the\n"
            "default), on %s; acknowledges each on %s and shows the\n"
            "live rate and per-source counts. Ctrl-C stops with a summary.\n"
            "  --no-ack       do not acknowledge (for sources without a registered subscriber)\n"
            "  --ack-every K  one counted acknowledgement per K frames (1..%u, default 1: one\n"
            "                 per frame), sent while frames keep coming, and one for the rest\n"
            "                 at the end; for a kt-daqd with --ack-window of K or more\n"
            "  --count N      stop after N frames\n"
            "  --seconds S    stop after S seconds\n"
            "  --dump         print each frame in hex on standard output\n"
            "  --out FILE     record the frames: FILE holds them as they arrived, one after\n"
            "                 the other; FILE.index their offsets, receive times and\n"
            "                 sources; FILE.meta.json, written at the end, describes them\n"
            "  --sample-format F  what the payloads hold, declared in FILE.meta.json: %s\n"
            "                 (default raw)\n"
            "  --verify       check each frame's content (frames of the simulated engine)\n"
            "                 and that its sequence number (header bytes 4..11) is above the\n"
            "                 previous frame's\n"
            "  --quiet        no live status line, only the summary\n"
            "  --host HOST    the instrument's address when it runs kt-relay (default %s);\n"
            "                 the ports stay the same\n"
            "  --server-key FILE  the relay's public key, when it requires keys\n"
            "  --client-key FILE  this client's secret key, one the relay lists\n"
            "Counted per source and in total: frames lost (msg_ids skipped and not received\n"
            "since), out of order (a msg_id behind the source's newest, duplicates included;\n"
            "with --verify also a sequence number not above the previous frame's) and under\n"
            "a wrong topic (the topic names another source than the frame's header).\n"
            "Exit status 1 when a frame failed --verify, came out of order or under a wrong\n"
            "topic (lost frames alone do not fail: a restarted kt-daqd skips frames), or\n"
            "--out could not be written; 3 when --count was not reached; 2 on a usage error.\n",
            kPubEndpoint, kAckEndpoint, kttool::kAckEveryMax, kttool::kSampleFormats, kDefaultHost);
}

const kttool::Tool kTool{"kt-sub", usage};

// A positive whole number of the command line.
bool parse_positive(const char *text, uint64_t *out) {
    const auto value = kttool::parse_in_range(text, 1, UINT64_MAX);
    *out = value.value_or(0);
    return value.has_value();
}

bool parse_source(const char *text, Options *o) {
    if (!kttool::parse_source(text, &o->module_id, &o->channel_id)) {
        return false;
    }
    o->all = o->module_id == kttool::kAllSources && o->channel_id == kttool::kAllSources;
    return true;
}

// The topic the publisher gives the frames of (module, channel).
std::string topic_of(int module_id, int channel_id) {
    return "frame://" + std::to_string(module_id) + ":" + std::to_string(channel_id);
}

// Whether a topic is exactly the topic of (module, channel); no allocation per frame, and
// the text made again only when the source changes.
class TopicNames {
  public:
    bool operator()(const std::string &topic, int module_id, int channel_id) {
        if (module_id != module_id_ || channel_id != channel_id_) {
            length_ = static_cast<size_t>(
                snprintf(text_, sizeof text_, "frame://%d:%d", module_id, channel_id));
            module_id_ = module_id;
            channel_id_ = channel_id;
        }
        return topic.size() == length_ && topic.compare(0, length_, text_, length_) == 0;
    }

  private:
    int module_id_ = -1, channel_id_ = -1;
    char text_[32] = {};
    size_t length_ = 0;
};

// Receives one published message: its topic and the frame (the last part). `flags` for the
// first part (ZMQ_DONTWAIT: false at once when none is queued); the others come with it.
bool receive(void *sub, std::string *topic, std::vector<uint8_t> *frame, int *parts, int flags) {
    zmq_msg_t part;
    zmq_msg_init(&part);
    *parts = 0;
    bool more = true;
    while (more) {
        if (zmq_msg_recv(&part, sub, *parts == 0 ? flags : 0) < 0) {
            zmq_msg_close(&part);
            return false;
        }
        const auto *data = static_cast<const uint8_t *>(zmq_msg_data(&part));
        if (*parts == 0) {
            topic->assign(reinterpret_cast<const char *>(data), zmq_msg_size(&part));
        } else {
            frame->assign(data, data + zmq_msg_size(&part));
        }
        ++*parts;
        more = zmq_msg_more(&part) != 0;
    }
    zmq_msg_close(&part);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    const auto take = [&](int opt, const char *value) {
        bool ok = true;
        switch (opt) {
            case 'a':
                o.ack = false;
                break;
            case 'K':
                o.ack_every_given = true;
                return kttool::option_number("kt-sub", "ack-every", value, 1, kttool::kAckEveryMax,
                                             &o.ack_every);
            case 'n':
                ok = parse_positive(value, &o.count);
                break;
            case 's':
                ok = parse_positive(value, &o.seconds);
                break;
            case 'd':
                o.dump = true;
                break;
            case 'o':
                o.out = value;
                break;
            case 'F':
                if (!kttool::is_sample_format(value)) {
                    fprintf(stderr, "kt-sub: bad --sample-format %s: give one of %s\n", value,
                            kttool::kSampleFormats);
                    return false;
                }
                o.sample_format = value;
                return true;
            case 'v':
                o.verify = true;
                break;
            case 'q':
                o.quiet = true;
                break;
            case 'H':
                o.host = value;
                return true;
            case 'S':
                o.server_key = value;
                return true;
            case 'C':
                o.client_key = value;
                return true;
        }
        if (!ok) {
            fprintf(stderr, "kt-sub: bad value %s: give a positive whole number\n", value);
        }
        return ok;
    };
    if (const auto status = kttool::parse_options(
            kTool, argc, argv, "h",
            {kttool::flag("no-ack", 'a'), kttool::valued("ack-every", 'K'),
             kttool::valued("count", 'n'), kttool::valued("seconds", 's'),
             kttool::flag("dump", 'd'), kttool::valued("out", 'o'),
             kttool::valued("sample-format", 'F'), kttool::flag("verify", 'v'),
             kttool::flag("quiet", 'q'), kttool::valued("host", 'H'),
             kttool::valued("server-key", 'S'), kttool::valued("client-key", 'C')},
            take)) {
        return *status;
    }
    if (optind + 1 < argc || (optind < argc && !parse_source(argv[optind], &o))) {
        if (optind < argc) {
            fprintf(stderr,
                    "kt-sub: bad source %s: give M:C (module 0..255, channel 0..15) "
                    "or all\n",
                    argv[optind]);
        }
        return kttool::usage_error(kTool);
    }
    if (!o.ack && o.ack_every_given) {
        fprintf(stderr, "kt-sub: --ack-every and --no-ack exclude each other: give one of them\n");
        return kttool::kUsageStatus;
    }
    std::optional<kttool::CurveClient> keys;
    if (!kttool::load_curve_client("kt-sub", o.server_key, o.client_key, &keys)) {
        return kttool::kUsageStatus;
    }
    const std::string pub_endpoint =
        kttool::tcp_endpoint(o.host, kttool::endpoint_port(kPubEndpoint));
    const std::string ack_endpoint =
        kttool::tcp_endpoint(o.host, kttool::endpoint_port(kAckEndpoint));
    kttool::RecordingWriter recording;
    std::string error;
    if (o.out != nullptr &&
        !recording.open(o.out, {"kt-sub", pub_endpoint, o.sample_format}, &error)) {
        fprintf(stderr, "kt-sub: %s\n", error.c_str());
        return 1;
    }
    kttool::install_stop_handler();
    signal(SIGPIPE, SIG_IGN);

    // A subscription matches by prefix: frame://1:1 also receives frame://1:10 to 1:15,
    // so the whole topic is checked on every message.
    const std::string wanted =
        o.all ? std::string("frame://") : topic_of(o.module_id, o.channel_id);
    void *context = zmq_ctx_new();
    void *sub = zmq_socket(context, ZMQ_SUB);
    const int linger = 0;
    zmq_setsockopt(sub, ZMQ_LINGER, &linger, sizeof linger);
    // Back quickly when kt-daqd is restarted, so that few frames go out unseen.
    const int reconnect_ms = 20;
    zmq_setsockopt(sub, ZMQ_RECONNECT_IVL, &reconnect_ms, sizeof reconnect_ms);
    zmq_setsockopt(sub, ZMQ_SUBSCRIBE, wanted.data(), wanted.size());
    const int ipv6 = 1;
    zmq_setsockopt(sub, ZMQ_IPV6, &ipv6, sizeof ipv6);
    if (keys) {
        kttool::secure_client(sub, *keys);
    }
    zmq_connect(sub, pub_endpoint.c_str());
    {
        kttool::Acknowledger acker(context, ack_endpoint, keys, static_cast<uint32_t>(o.ack_every),
                                   kReplyTimeoutMs);
        const bool tty = isatty(STDERR_FILENO) != 0;
        std::string acking = ", not acknowledging";
        if (o.ack) {
            acking = o.ack_every == 1 ? ", acknowledging each"
                                      : ", acknowledging every " + std::to_string(o.ack_every);
        }
        fprintf(stderr, "kt-sub: %s on %s%s\n", o.all ? "every frame" : wanted.c_str(),
                pub_endpoint.c_str(), acking.c_str());
        const auto start = Clock::now();
        ktsub::Tally tally(start);
        kttool::RateLine rate("kt-sub", stderr, tty, start);
        bool warned = false;
        const auto note_ack_failures = [&] {
            tally.acked = acker.acked();
            tally.ack_failures = acker.failed();
            if (tally.ack_failures != 0 && !warned) {
                fprintf(stderr,
                        "%skt-sub: no reply to an acknowledgement: is kt-daqd running with a "
                        "subscriber registered for this source%s? (else use --no-ack)\n",
                        tty && !o.quiet ? "\n" : "",
                        o.ack_every > 1 ? " and an --ack-window of at least --ack-every" : "");
                warned = true;
            }
        };
        // The newest sequence number received, for --verify: the engine numbers every
        // frame it writes, so they must arrive in rising order whatever their source.
        uint64_t last_seq = 0;
        bool have_seq = false;
        std::string topic;
        std::vector<uint8_t> frame;
        TopicNames names;
        while (!kttool::stop_requested() && (o.count == 0 || tally.frames() < o.count)) {
            const auto now = Clock::now();
            if (o.seconds != 0 && now - start >= std::chrono::seconds(o.seconds)) {
                break;
            }
            if (!o.quiet && rate.due(now)) {
                tally.status(rate, now);
            }
            // A counted acknowledgement's reply is taken while frames keep coming.
            if (o.ack && acker.awaiting()) {
                acker.service(now);
                note_ack_failures();
            }
            // A message already queued is taken without a poll, which would cost more than
            // the frame's own handling; else both sockets are polled.
            int parts = 0;
            if (!receive(sub, &topic, &frame, &parts, ZMQ_DONTWAIT)) {
                zmq_pollitem_t items[2] = {{sub, 0, ZMQ_POLLIN, 0},
                                           {acker.socket(), 0, ZMQ_POLLIN, 0}};
                const bool awaiting = o.ack && acker.awaiting();
                const int wait_ms = awaiting ? std::min(200, acker.wait_ms(now)) : 200;
                const int ready = zmq_poll(items, awaiting ? 2 : 1, wait_ms);
                if (awaiting) {
                    acker.service(Clock::now());
                    note_ack_failures();
                }
                if (ready <= 0 || !(items[0].revents & ZMQ_POLLIN) ||
                    !receive(sub, &topic, &frame, &parts, 0)) {
                    continue;
                }
            }
            const uint64_t received_ns = kttool::RecordingWriter::now_ns();
            if (!o.all && topic != wanted) {
                ++tally.other_topics;  // another source whose topic shares the prefix
                continue;
            }
            if (parts != 2 || frame.size() < KT_FRAME_OVERHEAD) {
                ++tally.malformed;
            } else {
                const auto *f = reinterpret_cast<const kt_frame *>(frame.data());
                if (frame.size() != kt_frame_length(f)) {
                    ++tally.malformed;
                }
                ktsub::Arrival arrival;
                arrival.module_id = frame[0];
                arrival.channel_id = frame[1] & 0x0f;
                memcpy(&arrival.msg_id, frame.data() + 2, 2);
                arrival.bytes = frame.size();
                arrival.wrong_topic = !names(topic, arrival.module_id, arrival.channel_id);
                if (o.verify) {
                    const ktsim::FrameCheck check = ktsim::check_frame(frame.data(), frame.size());
                    if (!check.ok) {
                        ++tally.bad;
                    } else if (have_seq && check.fields.seq <= last_seq) {
                        arrival.seq_behind = true;
                    } else {
                        last_seq = check.fields.seq;
                        have_seq = true;
                    }
                }
                tally.take(arrival);
                if (o.dump) {
                    ktsub::dump_frame(stdout, topic, frame.data(), frame.size());
                }
                if (o.out != nullptr) {
                    recording.write(frame.data(), frame.size(), received_ns);
                }
            }
            if (o.ack) {
                acker.frame();
                note_ack_failures();
            }
        }
        if (o.ack) {
            acker.finish();  // the frames since the last counted acknowledgement
            note_ack_failures();
        }
        const auto end = Clock::now();
        if (!o.quiet) {
            tally.status(rate, end);
            rate.finish();
        }
        tally.summary(stderr, end);
        fflush(stdout);
        if (o.out != nullptr && !recording.close(&error)) {
            fprintf(stderr, "kt-sub: %s\n", error.c_str());
            return 1;
        }
        zmq_close(sub);
        if (tally.bad != 0 || tally.out_of_order() != 0 || tally.wrong_topic() != 0) {
            return 1;
        }
        if (o.count != 0 && tally.frames() < o.count) {
            return 3;
        }
    }
    zmq_ctx_term(context);
    return 0;
}
