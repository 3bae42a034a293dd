// kt-channel: configures one channel of the filter mode and reports the reply.
#include <getopt.h>
#include <zmq.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "kt_daq.h"
#include "tool_options.h"

namespace {

constexpr char kEndpoint[] = KT_DAQ_CONFIG_ENDPOINT;

void usage(FILE *out) {
    fprintf(out,
            "usage: kt-channel [--name N] [--port P] [--module M] [--channels C[,C...]]\n"
            "                  [--param TEXT] [--filters F[,F...]] [--timeout MS]\n"
            "       kt-channel --raw MESSAGE [--timeout MS]\n"
            "Sends one channel configuration to %s and waits for the reply.\n"
            "  --name N        channel name; a known name replaces that channel\n"
            "  --port P        TCP port on which the channel serves one client\n"
            "  --module M      module whose frames it takes (255 with --channels 255: all)\n"
            "  --channels C,.. channel numbers of the module it takes\n"
            "  --param TEXT    parameter text for the filters (the datalogger's channel)\n"
            "  --filters F,..  filter chain, e.g. kt_R507_datalogger_filter,kt_output_filter\n"
            "  --raw MESSAGE   send MESSAGE as it stands, e.g. \"0=ch1;1=9000;2=2;3=1,3\"\n"
            "  --timeout MS    how long to wait for the reply (default 3000)\n"
            "The reply carries no status: the device's output tells what happened.\n",
            kEndpoint);
}

const kttool::Tool kTool{"kt-channel", usage};

}  // namespace

int main(int argc, char **argv) {
    std::string items[6];
    bool given[6] = {};
    std::string raw;
    long timeout = 3000;
    const auto take = [&](int opt, const char *value) {
        if (opt >= '0' && opt <= '5') {
            items[opt - '0'] = value;
            given[opt - '0'] = true;
        } else if (opt == 'r') {
            raw = value;
        } else if (opt == 't') {
            const auto ms = kttool::parse_in_range(value, 1, 3600000);
            if (!ms) {
                fprintf(stderr, "kt-channel: bad --timeout %s\n", value);
                return false;
            }
            timeout = static_cast<long>(*ms);
        }
        return true;
    };
    if (const auto status =
            kttool::parse_options(kTool, argc, argv, "h",
                                  {kttool::valued("name", '0'), kttool::valued("port", '1'),
                                   kttool::valued("module", '2'), kttool::valued("channels", '3'),
                                   kttool::valued("param", '4'), kttool::valued("filters", '5'),
                                   kttool::valued("raw", 'r'), kttool::valued("timeout", 't')},
                                  take)) {
        return *status;
    }
    std::string message = raw;
    if (message.empty()) {
        // Key 1 before key 3: the port must be known when the channel's socket opens.
        for (int key = 0; key < 6; ++key) {
            if (given[key]) {
                message += message.empty() ? "" : ";";
                message += std::to_string(key) + "=" + items[key];
            }
        }
    }
    if (message.empty() || optind != argc) {
        return kttool::usage_error(kTool);
    }
    if (message.size() > 1024) {
        fprintf(stderr, "kt-channel: message of %zu bytes; the device takes at most 1024\n",
                message.size());
        return 2;
    }
    void *context = zmq_ctx_new();
    void *socket = zmq_socket(context, ZMQ_REQ);
    const int linger = 0;
    const int wait = static_cast<int>(timeout);
    zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
    zmq_setsockopt(socket, ZMQ_RCVTIMEO, &wait, sizeof wait);
    int result = 0;
    char reply[64];
    if (zmq_connect(socket, kEndpoint) != 0 ||
        zmq_send(socket, message.data(), message.size(), 0) < 0) {
        fprintf(stderr, "kt-channel: cannot send to %s: %s\n", kEndpoint, zmq_strerror(errno));
        result = 1;
    } else if (zmq_recv(socket, reply, sizeof reply, 0) < 0) {
        fprintf(stderr,
                "kt-channel: no reply from %s within %ld ms (is the filter mode running?)\n",
                kEndpoint, timeout);
        result = 1;
    } else {
        printf("kt-channel: sent \"%s\", reply received\n", message.c_str());
    }
    zmq_close(socket);
    zmq_ctx_term(context);
    return result;
}
