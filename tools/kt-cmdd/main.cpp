// kt-cmdd: example command server for the instrument's text command protocol.
//
//   kt-cmdd [-a ADDRESS] [-p PORT] [-t SECONDS] [-m COUNT] [-q]
//
// Listens on ADDRESS:PORT (default 127.0.0.1:7878; port 0 picks a free one), prints the
// address it listens on, serves until SIGINT or SIGTERM. Idle connections are closed after
// a time-out and the number of connections is capped, so slow or silent clients cannot
// hold every descriptor.

#include <getopt.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "server.h"
#include "tool_options.h"
#include "tool_stop.h"

namespace {

ktcmdd::Server *g_server = nullptr;

// Called from the signal handler: the server's stop() only writes to a descriptor.
void stop_server() {
    if (g_server != nullptr) {
        g_server->stop();
    }
}

void usage(FILE *to) {
    std::fprintf(to,
                 "usage: kt-cmdd [-a ADDRESS] [-p PORT] [-t SECONDS] [-m COUNT] [-q]\n"
                 "  -a, --address ADDRESS         IPv4 address to listen on (default 127.0.0.1)\n"
                 "  -p, --port PORT               TCP port (default 7878; 0 picks a free one)\n"
                 "  -t, --idle-timeout SECONDS    close a connection that has received and sent\n"
                 "                                nothing for this long (default 60; 0: never)\n"
                 "  -m, --max-connections COUNT   serve at most COUNT clients at once; a client\n"
                 "                                beyond them is accepted and closed at once\n"
                 "                                (default 256)\n"
                 "  -q, --quiet                   no line per opened and closed connection\n"
                 "  -h, --help                    show this text\n");
}

const kttool::Tool kTool{"kt-cmdd", usage};

// A whole number in [low, high]; false when `text` is anything else.
bool parse_count(const char *text, uint64_t low, uint64_t high, uint64_t &value) {
    const auto number = kttool::parse_in_range(text, low, high);
    value = number.value_or(0);
    return number.has_value();
}

// Seconds, fractions allowed, up to a million, as milliseconds rounded up (so that a tiny
// positive time-out does not turn into "never").
bool parse_seconds(const char *text, std::chrono::milliseconds &value) {
    char *end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(seconds >= 0 && seconds <= 1e6)) {
        return false;
    }
    value = std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    std::string address = "127.0.0.1";
    uint64_t port = 7878;
    uint64_t max_connections = ktcmdd::Server::kDefaultMaxConnections;
    std::chrono::milliseconds idle_timeout = ktcmdd::Server::kDefaultIdleTimeout;
    bool verbose = true;
    const auto take = [&](int opt, const char *value) {
        bool ok = true;
        switch (opt) {
            case 'a':
                address = value;
                break;
            case 'p':
                ok = parse_count(value, 0, 65535, port);
                break;
            case 't':
                ok = parse_seconds(value, idle_timeout);
                break;
            case 'm':
                ok = parse_count(value, 1, 1'000'000, max_connections);
                break;
            case 'q':
                verbose = false;
                break;
        }
        if (!ok) {
            usage(stderr);
        }
        return ok;
    };
    if (const auto status = kttool::parse_options(
            kTool, argc, argv, "a:p:t:m:qh",
            {kttool::valued("address", 'a'), kttool::valued("port", 'p'),
             kttool::valued("idle-timeout", 't'), kttool::valued("max-connections", 'm'),
             kttool::flag("quiet", 'q')},
            take)) {
        return *status;
    }
    if (optind != argc) {
        return kttool::usage_error(kTool);
    }

    ktcmdd::Server server;
    std::string error;
    if (!server.open(address, static_cast<uint16_t>(port), error)) {
        std::fprintf(stderr, "kt-cmdd: %s\n", error.c_str());
        return 1;
    }
    server.set_verbose(verbose);
    server.set_idle_timeout(idle_timeout);
    server.set_max_connections(static_cast<size_t>(max_connections));
    g_server = &server;
    kttool::install_stop_handler(stop_server);
    std::signal(SIGPIPE, SIG_IGN);

    std::printf("kt-cmdd: listening on %s:%u\n", address.c_str(), server.port());
    std::fflush(stdout);
    const int rc = server.run();
    g_server = nullptr;
    std::printf("kt-cmdd: stopped\n");
    return rc;
}
