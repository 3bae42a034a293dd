#include "remote_access.h"

#include <zmq.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace kttool {

namespace {

constexpr size_t kZ85KeyLength = 40;

bool is_z85_key(const std::string &text) {
    if (text.size() != kZ85KeyLength) {
        return false;
    }
    uint8_t binary[32];
    return zmq_z85_decode(binary, text.c_str()) != nullptr;
}

}  // namespace

std::string tcp_endpoint(const std::string &host, uint16_t port) {
    const bool ipv6 = host.find(':') != std::string::npos;
    return "tcp://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

uint16_t endpoint_port(const std::string &endpoint) {
    return static_cast<uint16_t>(std::stoul(endpoint.substr(endpoint.rfind(':') + 1)));
}

std::optional<std::string> read_key_file(const char *path, std::string *error) {
    std::ifstream in(path);
    if (!in) {
        *error = std::string("cannot read ") + path + ": " + strerror(errno);
        return std::nullopt;
    }
    std::string line;
    while (std::getline(in, line)) {
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        const auto last = line.find_last_not_of(" \t\r");
        const std::string key = line.substr(first, last - first + 1);
        if (!is_z85_key(key)) {
            break;
        }
        return key;
    }
    *error = std::string(path) + " holds no key (40 characters of Z85 text)";
    return std::nullopt;
}

bool load_curve_client(const char *tool, const char *server_key_path, const char *client_key_path,
                       std::optional<CurveClient> *out) {
    out->reset();
    if (server_key_path == nullptr && client_key_path == nullptr) {
        return true;
    }
    if (server_key_path == nullptr || client_key_path == nullptr) {
        fprintf(stderr, "%s: --server-key and --client-key go together\n", tool);
        return false;
    }
    std::string error;
    const auto server = read_key_file(server_key_path, &error);
    const auto secret = server ? read_key_file(client_key_path, &error) : std::nullopt;
    if (!server || !secret) {
        fprintf(stderr, "%s: %s\n", tool, error.c_str());
        return false;
    }
    char public_key[kZ85KeyLength + 1];
    if (zmq_curve_public(public_key, secret->c_str()) != 0) {
        fprintf(stderr, "%s: cannot use %s: %s\n", tool, client_key_path, zmq_strerror(errno));
        return false;
    }
    *out = CurveClient{*server, public_key, *secret};
    return true;
}

bool secure_client(void *socket, const CurveClient &keys) {
    return zmq_setsockopt(socket, ZMQ_CURVE_SERVERKEY, keys.server_public.c_str(), kZ85KeyLength) ==
               0 &&
           zmq_setsockopt(socket, ZMQ_CURVE_PUBLICKEY, keys.public_key.c_str(), kZ85KeyLength) ==
               0 &&
           zmq_setsockopt(socket, ZMQ_CURVE_SECRETKEY, keys.secret_key.c_str(), kZ85KeyLength) == 0;
}

}  // namespace kttool
