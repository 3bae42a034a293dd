// kt-relay's forwarding: the engine's loopback endpoints carried to another interface.
// Publish mode: the frames (and the subscriptions that select them, so that only what a
// client asked for leaves the engine) and the acknowledgements with their replies. Filter
// mode: the channel configuration messages with their replies.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "relay_keys.h"

namespace ktrelay {

enum class Mode { kPublish, kFilter };

struct Config {
    Mode mode = Mode::kPublish;
    // Address or interface name the relay listens on.
    std::string bind;
    // With a server secret key, only clients whose public key is in `clients` get in.
    std::optional<std::string> server_secret;
    std::set<std::string> clients;
};

struct Counts {
    uint64_t frames = 0;                // published messages carried to the clients
    uint64_t subscriptions = 0;         // subscription changes carried to the engine
    uint64_t requests = 0;              // acknowledgements or configuration messages forwarded
    uint64_t unsent = 0;                // requests dropped: the engine was not connected
    uint64_t replies = 0;               // the engine's replies carried back
    uint64_t allowed = 0, refused = 0;  // clients let in and refused by their key
};

class Relay {
  public:
    explicit Relay(const Config &config);
    ~Relay();
    Relay(const Relay &) = delete;
    Relay &operator=(const Relay &) = delete;

    // Binds the relay's endpoints and connects to the engine's; false, having said why,
    // when an endpoint cannot be bound.
    bool open();
    // Forwards what is waiting, waiting at most `timeout_ms` for something to arrive.
    void poll(long timeout_ms);
    Counts counts() const;
    // What the relay carries from where to where, for its start line.
    std::string describe() const;

  private:
    bool bind(void *socket, const std::string &endpoint);

    Config config_;
    void *context_;
    std::optional<KeyCheck> check_;
    // Publish mode: frames engine -> clients; filter mode: unused.
    void *upstream_frames_ = nullptr, *frames_ = nullptr;
    // Requests clients -> engine and replies back.
    void *requests_ = nullptr, *upstream_requests_ = nullptr;
    std::string frames_endpoint_, requests_endpoint_;
    Counts counts_;
};

}  // namespace ktrelay
