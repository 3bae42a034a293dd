// The CurveZMQ keys of kt-relay: making a key pair, the list of client keys it lets in, and
// the authentication handler that ZeroMQ asks about each client that connects.
#pragma once

#include <optional>
#include <set>
#include <string>

namespace ktrelay {

// Writes a new key pair: the secret key to `name`.key (mode 0600, never over an existing
// file) and the public key to `name`.pub. Prints what it wrote or why it failed.
bool write_key_pair(const std::string &name);

// The public keys in `path`, one a line (comments "#" and empty lines allowed), such as
// .pub files put together; nothing, and `error` set, when one line is not a key or there
// is none.
std::optional<std::set<std::string>> read_key_list(const char *path, std::string *error);

// Answers ZeroMQ's authentication requests (its ZAP protocol) in the context `context`:
// lets in the CurveZMQ clients whose public key is in `allowed`. Must exist before the
// sockets that require keys are bound.
class KeyCheck {
  public:
    KeyCheck(void *context, std::set<std::string> allowed);
    ~KeyCheck();
    KeyCheck(const KeyCheck &) = delete;
    KeyCheck &operator=(const KeyCheck &) = delete;

    // The socket to poll for requests.
    void *socket() const { return socket_; }
    // Answers the pending requests; prints the first refusal of each client address.
    void answer();

    uint64_t allowed() const { return allowed_count_; }
    uint64_t refused() const { return refused_count_; }

  private:
    void *socket_;
    std::set<std::string> keys_;
    std::set<std::string> refused_addresses_;
    uint64_t allowed_count_ = 0, refused_count_ = 0;
};

}  // namespace ktrelay
