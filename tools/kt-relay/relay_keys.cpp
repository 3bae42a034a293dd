#include "relay_keys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zmq.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace ktrelay {

namespace {

constexpr size_t kZ85KeyLength = 40;
constexpr size_t kBinaryKeyLength = 32;
// At most this many client addresses are remembered to print their refusal once.
constexpr size_t kRememberedAddresses = 64;

bool write_file(const std::string &path, const std::string &text, mode_t mode) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        fprintf(stderr, "kt-relay: cannot create %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (close(fd) != 0 || !ok) {
        fprintf(stderr, "kt-relay: cannot write %s: %s\n", path.c_str(), strerror(errno));
        unlink(path.c_str());
        return false;
    }
    return true;
}

std::string trimmed(const std::string &line) {
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
}

bool is_key(const std::string &text) {
    uint8_t binary[kBinaryKeyLength];
    return text.size() == kZ85KeyLength && zmq_z85_decode(binary, text.c_str()) != nullptr;
}

// One request of the ZAP protocol, all its parts; empty when none was waiting.
std::vector<std::string> receive_parts(void *socket) {
    std::vector<std::string> parts;
    zmq_msg_t part;
    zmq_msg_init(&part);
    bool more = true;
    while (more && zmq_msg_recv(&part, socket, parts.empty() ? ZMQ_DONTWAIT : 0) >= 0) {
        parts.emplace_back(static_cast<const char *>(zmq_msg_data(&part)), zmq_msg_size(&part));
        more = zmq_msg_more(&part) != 0;
    }
    zmq_msg_close(&part);
    return parts;
}

void send_parts(void *socket, const std::vector<std::string> &parts) {
    for (size_t i = 0; i < parts.size(); ++i) {
        zmq_send(socket, parts[i].data(), parts[i].size(), i + 1 < parts.size() ? ZMQ_SNDMORE : 0);
    }
}

}  // namespace

bool write_key_pair(const std::string &name) {
    char public_key[kZ85KeyLength + 1], secret_key[kZ85KeyLength + 1];
    if (zmq_curve_keypair(public_key, secret_key) != 0) {
        fprintf(stderr, "kt-relay: cannot make a key pair: %s\n", zmq_strerror(errno));
        return false;
    }
    const std::string secret_path = name + ".key", public_path = name + ".pub";
    if (!write_file(secret_path,
                    std::string("# CurveZMQ secret key: keep it private\n") + secret_key + "\n",
                    0600)) {
        return false;
    }
    if (!write_file(public_path, std::string(public_key) + "\n", 0644)) {
        unlink(secret_path.c_str());
        return false;
    }
    printf("kt-relay: wrote %s (secret) and %s (public)\n", secret_path.c_str(),
           public_path.c_str());
    return true;
}

std::optional<std::set<std::string>> read_key_list(const char *path, std::string *error) {
    std::ifstream in(path);
    if (!in) {
        *error = std::string("cannot read ") + path + ": " + strerror(errno);
        return std::nullopt;
    }
    std::set<std::string> keys;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string text = trimmed(line);
        if (text.empty() || text[0] == '#') {
            continue;
        }
        if (!is_key(text)) {
            *error = std::string(path) + " line " + std::to_string(number) +
                     " is not a public key (40 characters of Z85 text)";
            return std::nullopt;
        }
        keys.insert(text);
    }
    if (keys.empty()) {
        *error = std::string(path) + " holds no key";
        return std::nullopt;
    }
    return keys;
}

KeyCheck::KeyCheck(void *context, std::set<std::string> allowed)
    : socket_(zmq_socket(context, ZMQ_REP)), keys_(std::move(allowed)) {
    const int linger = 0;
    zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof linger);
    zmq_bind(socket_, "inproc://zeromq.zap.01");
}

KeyCheck::~KeyCheck() {
    zmq_close(socket_);
}

void KeyCheck::answer() {
    for (;;) {
        // version, request id, domain, address, routing id, mechanism, credentials...
        const std::vector<std::string> request = receive_parts(socket_);
        if (request.empty()) {
            return;
        }
        bool allow = false;
        if (request.size() >= 7 && request[0] == "1.0" && request[5] == "CURVE" &&
            request[6].size() == kBinaryKeyLength) {
            char key[kZ85KeyLength + 1];
            zmq_z85_encode(key, reinterpret_cast<const uint8_t *>(request[6].data()),
                           kBinaryKeyLength);
            allow = keys_.count(key) != 0;
        }
        if (allow) {
            ++allowed_count_;
        } else {
            ++refused_count_;
            const std::string address = request.size() > 3 ? request[3] : std::string();
            if (refused_addresses_.size() < kRememberedAddresses &&
                refused_addresses_.insert(address).second) {
                printf("kt-relay: refused a client at %s: its key is not allowed\n",
                       address.c_str());
                fflush(stdout);
            }
        }
        const std::string id = request.size() > 1 ? request[1] : std::string();
        send_parts(socket_, {"1.0", id, allow ? "200" : "400",
                             allow ? "OK" : "client key not allowed", "", ""});
    }
}

}  // namespace ktrelay
