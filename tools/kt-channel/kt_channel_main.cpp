// kt-channel: configures one channel of the filter mode and reports the reply. It refuses a
// message that the device would take wrongly, and checks afterwards that the channel's port
// was opened.
#include <getopt.h>
#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "channel_message.h"
#include "filter_plugin.h"
#include "kt_daq.h"
#include "local_sockets.h"
#include "remote_access.h"
#include "tool_options.h"

namespace {

using ktchannel::Item;

constexpr char kEndpoint[] = KT_DAQ_CONFIG_ENDPOINT;
constexpr char kDefaultHost[] = "127.0.0.1";

void usage(FILE *out) {
    fprintf(out,
            "usage: kt-channel --name N [--port P] [--module M] [--channels C[,C...]]\n"
            "                  [--param TEXT] [--filters F[,F...]] [common options]\n"
            "       kt-channel --raw MESSAGE [common options]\n"
            "       kt-channel --list-filters\n"
            "common options: [--host HOST] [--timeout MS] [--no-check]\n"
            "                [--server-key FILE --client-key FILE]\n"
            "Sends one channel configuration to the filter mode (%s) and waits\n"
            "for the reply.\n"
            "  --name N        channel name; a known name replaces that channel\n"
            "  --port P        TCP port (1-65535) on which the channel serves one client\n"
            "  --module M      module (0-255) whose frames it takes\n"
            "  --channels C,.. channel numbers (0-15) of the module, at most %zu; 255 first\n"
            "                  with module 255 takes every frame; needs --port\n"
            "  --param TEXT    parameter text for the filters (the datalogger's channel)\n"
            "  --filters F,..  filter chain of at most %d, e.g.\n"
            "                  kt_R507_datalogger_filter,kt_output_filter\n"
            "  --raw MESSAGE   send MESSAGE as it stands, e.g. \"0=ch1;1=9000;2=2;3=1,3\";\n"
            "                  its items are checked like the options\n"
            "  --host HOST     host of the configuration socket (default %s); its port\n"
            "                  stays the device's\n"
            "  --server-key FILE  the public key of the instrument's kt-relay, when it\n"
            "                  requires keys\n"
            "  --client-key FILE  this client's secret key, one the relay lists\n"
            "  --timeout MS    how long to wait for the reply (default 3000)\n"
            "  --no-check      send filter names without looking them up in the plug-in\n"
            "  --list-filters  print the filters the plug-in %s defines and exit\n"
            "Before sending, a name is required, the values must be in range, the message\n"
            "at most %zu bytes, and each filter a function of the plug-in (an unknown one\n"
            "ends the device); a refusal exits with 2. The reply carries no status: on this\n"
            "machine kt-channel then reads the socket tables and exits with 1 unless a new\n"
            "socket listens on the channel's port (it never connects to the port, which\n"
            "would take the channel's one client place); for another host the port is not\n"
            "checked. No reply, or a port not opened, exits with 1; otherwise 0.\n",
            kEndpoint, ktchannel::kMaxSources, KT_MAX_FILTERS, kDefaultHost, ktchannel::kPluginName,
            ktchannel::kMaxMessage);
}

const kttool::Tool kTool{"kt-channel", usage};

// The device's configuration port.
uint16_t endpoint_port() {
    return kttool::endpoint_port(kEndpoint);
}

int list_filters() {
    const ktchannel::FilterPlugin plugin;
    if (!plugin.ok()) {
        fprintf(stderr, "kt-channel: cannot open the filter plug-in: %s\n", plugin.error().c_str());
        return 1;
    }
    for (const std::string &name : plugin.filters()) {
        printf("%s\n", name.c_str());
    }
    return 0;
}

// Sends `message` and waits for the reply; false when none came within `timeout` ms.
bool exchange(const std::string &endpoint, const std::string &message, long timeout,
              const std::optional<kttool::CurveClient> &keys) {
    void *context = zmq_ctx_new();
    void *socket = zmq_socket(context, ZMQ_REQ);
    const int linger = 0;
    const int wait = static_cast<int>(timeout);
    const int ipv6 = 1;
    zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
    zmq_setsockopt(socket, ZMQ_RCVTIMEO, &wait, sizeof wait);
    zmq_setsockopt(socket, ZMQ_IPV6, &ipv6, sizeof ipv6);
    if (keys) {
        kttool::secure_client(socket, *keys);
    }
    bool replied = false;
    char reply[64];
    if (zmq_connect(socket, endpoint.c_str()) != 0 ||
        zmq_send(socket, message.data(), message.size(), 0) < 0) {
        fprintf(stderr, "kt-channel: cannot send to %s: %s\n", endpoint.c_str(),
                zmq_strerror(errno));
    } else if (zmq_recv(socket, reply, sizeof reply, 0) < 0) {
        fprintf(stderr,
                "kt-channel: no reply from %s within %ld ms (is the filter mode running?)\n",
                endpoint.c_str(), timeout);
    } else {
        replied = true;
    }
    zmq_close(socket);
    zmq_ctx_term(context);
    return replied;
}

// Whether `after` holds a socket that `before` did not.
bool has_new(const std::set<unsigned long> &before, const std::set<unsigned long> &after) {
    return std::any_of(after.begin(), after.end(),
                       [&](unsigned long inode) { return before.count(inode) == 0; });
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<Item> items;
    std::string raw, host = kDefaultHost;
    bool raw_given = false, check_filters = true, list = false;
    const char *server_key = nullptr, *client_key = nullptr;
    long timeout = 3000;
    const auto take = [&](int opt, const char *value) {
        if (opt >= '0' && opt < '0' + ktchannel::kKeys) {
            // One value, one item: a ";" would start another one.
            if (std::string(value).find(';') != std::string::npos) {
                fprintf(stderr, "kt-channel: \"%s\": a value must not contain ';'\n", value);
                return false;
            }
            // The last of a repeated option counts, as one item.
            std::erase_if(items, [&](const Item &item) { return item.key == opt - '0'; });
            items.push_back({opt - '0', value});
        } else if (opt == 'r') {
            raw = value;
            raw_given = true;
        } else if (opt == 'H') {
            host = value;
        } else if (opt == 'S') {
            server_key = value;
        } else if (opt == 'C') {
            client_key = value;
        } else if (opt == 'n') {
            check_filters = false;
        } else if (opt == 'l') {
            list = true;
        } else if (opt == 't') {
            uint64_t ms = 0;
            if (!kttool::option_number("kt-channel", "timeout", value, 1, 3600000, &ms)) {
                return false;
            }
            timeout = static_cast<long>(ms);
        }
        return true;
    };
    if (const auto status = kttool::parse_options(
            kTool, argc, argv, "h",
            {kttool::valued("name", '0'), kttool::valued("port", '1'),
             kttool::valued("module", '2'), kttool::valued("channels", '3'),
             kttool::valued("param", '4'), kttool::valued("filters", '5'),
             kttool::valued("raw", 'r'), kttool::valued("host", 'H'),
             kttool::valued("timeout", 't'), kttool::flag("no-check", 'n'),
             kttool::flag("list-filters", 'l'), kttool::valued("server-key", 'S'),
             kttool::valued("client-key", 'C')},
            take)) {
        return *status;
    }
    if (optind != argc || (raw_given && !items.empty())) {
        return kttool::usage_error(kTool);
    }
    if (list) {
        return list_filters();
    }
    std::optional<kttool::CurveClient> keys;
    if (!kttool::load_curve_client("kt-channel", server_key, client_key, &keys)) {
        return kttool::kUsageStatus;
    }
    if (!raw_given) {
        // Key 1 before key 3: the port must be known when the channel's socket opens.
        std::stable_sort(items.begin(), items.end(),
                         [](const Item &a, const Item &b) { return a.key < b.key; });
    }
    const std::string message = raw_given ? raw : ktchannel::join_message(items);
    if (message.empty()) {
        return kttool::usage_error(kTool);
    }
    if (raw_given) {
        items = ktchannel::parse_message(raw);
    }

    std::optional<ktchannel::FilterPlugin> plugin;
    ktchannel::FilterCheck is_filter;
    std::vector<std::string> known;
    const bool has_filters = std::any_of(items.begin(), items.end(), [](const Item &item) {
        return item.key == ktchannel::kFilters;
    });
    if (check_filters && has_filters) {
        plugin.emplace();
        if (!plugin->ok()) {
            fprintf(stderr,
                    "kt-channel: cannot check the filter names: %s (--no-check sends them "
                    "unchecked)\n",
                    plugin->error().c_str());
            return kttool::kUsageStatus;
        }
        is_filter = [&](const std::string &name) { return plugin->is_filter(name); };
        known = plugin->filters();
    }
    if (!ktchannel::check_message(message, items, is_filter, known)) {
        return kttool::kUsageStatus;
    }

    // On this machine the device's sockets can be seen in the socket tables: what listens
    // on its configuration port and the channel's before the message, to tell afterwards
    // what changed.
    const bool local = ktchannel::is_local_host(host);
    const uint16_t port = ktchannel::listen_port(items);
    const auto engine_before = local ? ktchannel::listening_sockets(endpoint_port()) : std::nullopt;
    const auto port_before = local && port != 0 ? ktchannel::listening_sockets(port) : std::nullopt;

    const std::string endpoint = kttool::tcp_endpoint(host, endpoint_port());
    if (!exchange(endpoint, message, timeout, keys)) {
        if (engine_before && engine_before->empty()) {
            fprintf(stderr, "kt-channel: nothing listens on %s\n", endpoint.c_str());
        } else if (const auto now = ktchannel::listening_sockets(endpoint_port());
                   engine_before && now &&
                   std::none_of(engine_before->begin(), engine_before->end(),
                                [&](unsigned long inode) { return now->count(inode) != 0; })) {
            // Every socket that listened before is gone: the device ended on this message.
            fprintf(stderr,
                    "kt-channel: the filter mode has ended after this message (its output "
                    "tells why)\n");
        }
        return 1;
    }
    printf("kt-channel: sent \"%s\", reply received\n", message.c_str());
    if (port == 0) {
        return 0;
    }
    if (!local) {
        fprintf(stderr, "kt-channel: port %u not checked: %s is not this machine\n", port,
                host.c_str());
        return 0;
    }
    // The device opens the channel's listening socket before it replies.
    const auto port_after = ktchannel::listening_sockets(port);
    if (!port_before || !port_after) {
        fprintf(stderr, "kt-channel: port %u not checked: cannot read the socket tables\n", port);
        return 0;
    }
    if (!has_new(*port_before, *port_after)) {
        fprintf(stderr, "kt-channel: the device did not open port %u%s (its output tells why)\n",
                port, port_before->empty() ? "" : ", which was already in use");
        return 1;
    }
    printf("kt-channel: port %u listens\n", port);
    return 0;
}
