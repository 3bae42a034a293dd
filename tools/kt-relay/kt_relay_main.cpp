// kt-relay: carries the acquisition engine's loopback endpoints to another interface, so a
// PC reaches the instrument without a tunnel; optionally only clients holding a CurveZMQ
// key that the relay lists get in.
#include <getopt.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include "kt_daq.h"
#include "relay.h"
#include "relay_keys.h"
#include "remote_access.h"
#include "tool_options.h"
#include "tool_stop.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kMaxStatsSeconds = 86400;

void usage(FILE *out) {
    fprintf(out,
            "usage: kt-relay --bind ADDR [--mode publish|filter] [--stats N]\n"
            "                [--server-key FILE --client-keys FILE]\n"
            "       kt-relay --keygen NAME\n"
            "Carries the acquisition engine's endpoints, which listen on the loopback\n"
            "interface only, to another interface under the same port numbers.\n"
            "  --bind ADDR        address or interface name to listen on, e.g. 192.168.1.10\n"
            "                     or eth0 (not the loopback, which the engine's ports hold)\n"
            "  --mode publish     frames of %s and the acknowledgements\n"
            "                     to %s (default)\n"
            "  --mode filter      channel configuration messages to %s\n"
            "                     (a channel's own port listens on every interface already)\n"
            "  --server-key FILE  only CurveZMQ clients get in: the relay's secret key file\n"
            "  --client-keys FILE the public keys of the clients let in, one a line\n"
            "  --stats N          print the counts every N seconds (1..%llu)\n"
            "  --keygen NAME      write a new key pair to NAME.key (secret, mode 0600) and\n"
            "                     NAME.pub, and exit\n"
            "A client is given the relay's public key and its own secret key, e.g.\n"
            "  kt-sub --host ADDR --server-key relay.pub --client-key pc.key\n"
            "Counts: frames carried, subscription changes, requests forwarded and dropped\n"
            "(the engine was not connected), replies, clients let in and refused. They are\n"
            "printed at the end too. Exit status 1 when an endpoint cannot be bound or a key\n"
            "file read, 2 on a usage error.\n",
            KT_DAQ_PUB_ENDPOINT, KT_DAQ_ACK_ENDPOINT, KT_DAQ_CONFIG_ENDPOINT,
            static_cast<unsigned long long>(kMaxStatsSeconds));
}

const kttool::Tool kTool{"kt-relay", usage};

void print_counts(const ktrelay::Relay &relay) {
    const ktrelay::Counts c = relay.counts();
    printf(
        "kt-relay: frames %llu subscriptions %llu requests %llu unsent %llu replies %llu "
        "clients allowed %llu refused %llu\n",
        static_cast<unsigned long long>(c.frames), static_cast<unsigned long long>(c.subscriptions),
        static_cast<unsigned long long>(c.requests), static_cast<unsigned long long>(c.unsent),
        static_cast<unsigned long long>(c.replies), static_cast<unsigned long long>(c.allowed),
        static_cast<unsigned long long>(c.refused));
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    ktrelay::Config config;
    const char *server_key = nullptr, *client_keys = nullptr, *keygen = nullptr;
    uint64_t stats = 0;
    const auto take = [&](int opt, const char *value) {
        switch (opt) {
            case 'b':
                config.bind = value;
                break;
            case 'm':
                if (std::string(value) == "publish") {
                    config.mode = ktrelay::Mode::kPublish;
                } else if (std::string(value) == "filter") {
                    config.mode = ktrelay::Mode::kFilter;
                } else {
                    fprintf(stderr, "kt-relay: bad --mode %s: give publish or filter\n", value);
                    return false;
                }
                break;
            case 'S':
                server_key = value;
                break;
            case 'C':
                client_keys = value;
                break;
            case 's':
                return kttool::option_number("kt-relay", "stats", value, 1, kMaxStatsSeconds,
                                             &stats);
            case 'k':
                keygen = value;
                break;
        }
        return true;
    };
    if (const auto status = kttool::parse_options(
            kTool, argc, argv, "h",
            {kttool::valued("bind", 'b'), kttool::valued("mode", 'm'),
             kttool::valued("server-key", 'S'), kttool::valued("client-keys", 'C'),
             kttool::valued("stats", 's'), kttool::valued("keygen", 'k')},
            take)) {
        return *status;
    }
    if (optind < argc) {
        return kttool::usage_error(kTool);
    }
    if (keygen != nullptr) {
        return ktrelay::write_key_pair(keygen) ? 0 : 1;
    }
    if (config.bind.empty()) {
        fprintf(stderr, "kt-relay: give the address to listen on with --bind\n");
        return kttool::usage_error(kTool);
    }
    if ((server_key == nullptr) != (client_keys == nullptr)) {
        fprintf(stderr, "kt-relay: --server-key and --client-keys go together\n");
        return kttool::kUsageStatus;
    }
    if (server_key != nullptr) {
        std::string error;
        config.server_secret = kttool::read_key_file(server_key, &error);
        auto clients =
            config.server_secret ? ktrelay::read_key_list(client_keys, &error) : std::nullopt;
        if (!clients) {
            fprintf(stderr, "kt-relay: %s\n", error.c_str());
            return 1;
        }
        config.clients = std::move(*clients);
    }

    kttool::install_stop_handler();
    signal(SIGPIPE, SIG_IGN);
    ktrelay::Relay relay(config);
    if (!relay.open()) {
        return 1;
    }
    printf("kt-relay: %s\n", relay.describe().c_str());
    fflush(stdout);
    auto next_stats = Clock::now() + std::chrono::seconds(stats);
    while (!kttool::stop_requested()) {
        long timeout_ms = 1000;
        if (stats != 0) {
            const auto now = Clock::now();
            if (now >= next_stats) {
                print_counts(relay);
                next_stats += std::chrono::seconds(stats);
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(next_stats - now).count();
            timeout_ms = std::max<long>(left + 1, 0);
        }
        relay.poll(timeout_ms);
    }
    print_counts(relay);
    return 0;
}
