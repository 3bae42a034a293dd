// kt-cmdd: example command server for the instrument's text command protocol.
//
//   kt-cmdd [-a ADDRESS] [-p PORT] [-q]
//
// Listens on ADDRESS:PORT (default 127.0.0.1:7878; port 0 picks a free one), prints the
// address it listens on, serves until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "server.h"

namespace {

cmdd::Server *g_server = nullptr;

void on_signal(int) {
    if (g_server != nullptr) {
        g_server->stop();
    }
}

void usage() {
    std::fprintf(stderr, "usage: kt-cmdd [-a ADDRESS] [-p PORT] [-q]\n");
}

}  // namespace

int main(int argc, char **argv) {
    std::string address = "127.0.0.1";
    long port = 7878;
    bool verbose = true;
    int opt = 0;
    while ((opt = getopt(argc, argv, "a:p:qh")) != -1) {
        switch (opt) {
            case 'a':
                address = optarg;
                break;
            case 'p': {
                char *end = nullptr;
                port = std::strtol(optarg, &end, 10);
                if (*end != '\0' || port < 0 || port > 65535) {
                    usage();
                    return 2;
                }
                break;
            }
            case 'q':
                verbose = false;
                break;
            default:
                usage();
                return opt == 'h' ? 0 : 2;
        }
    }

    cmdd::Server server;
    std::string error;
    if (!server.open(address, static_cast<uint16_t>(port), error)) {
        std::fprintf(stderr, "kt-cmdd: %s\n", error.c_str());
        return 1;
    }
    server.set_verbose(verbose);
    g_server = &server;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::printf("kt-cmdd: listening on %s:%u\n", address.c_str(), server.port());
    std::fflush(stdout);
    const int rc = server.run();
    g_server = nullptr;
    std::printf("kt-cmdd: stopped\n");
    return rc;
}
