// Reaching the instrument's ZeroMQ endpoints from another machine, through kt-relay: the
// endpoint of a port on a host, and the CurveZMQ keys of a client.
//
// A key file holds one key as 40 characters of Z85 text on its first line that is neither
// empty nor a comment ("#"); a secret key file holds the secret key, from which the public
// key follows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kttool {

// "tcp://HOST:PORT", with an IPv6 address in brackets.
std::string tcp_endpoint(const std::string &host, uint16_t port);

// The port of an endpoint "tcp://HOST:PORT".
uint16_t endpoint_port(const std::string &endpoint);

// The Z85 key of the key file `path`; nothing, and `error` set, when it cannot be read or
// holds no valid key.
std::optional<std::string> read_key_file(const char *path, std::string *error);

// The keys a client presents to a relay that requires them.
struct CurveClient {
    std::string server_public;  // the relay's public key
    std::string public_key, secret_key;
};

// Reads --server-key (the relay's public key file) and --client-key (the client's secret
// key file) for `tool`; both or neither must be given. Prints why and returns false on a
// failure; `out` stays empty when neither was given.
bool load_curve_client(const char *tool, const char *server_key_path, const char *client_key_path,
                       std::optional<CurveClient> *out);

// Makes `socket` a CurveZMQ client with `keys`, before it connects; false when ZeroMQ
// refuses (a library built without CurveZMQ).
bool secure_client(void *socket, const CurveClient &keys);

}  // namespace kttool
