// Test harness for the publish loop: the loop in a child process of its own (it never
// returns), and a subscriber with real ZeroMQ sockets that receives and acknowledges.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kt_daq.h"
#include "process.h"
#include "stats_link.h"

namespace ktdaq_test {

// A subscriber registration (true) or unregistration (false) made before the loop starts.
struct Registration {
    int module_id;
    int channel_id;
    bool add = true;
};

// The loop's options, given to kt_daq_set_publish_options before it starts; the default
// leaves them as they are.
struct PublishSettings {
    uint32_t queue_depth = 1;
    uint32_t ack_window = 1;
};

// kt_daq_create and kt_daq_run in a child process of their own, with its output captured.
class PublisherProcess {
  public:
    PublisherProcess(const std::string &device, uint32_t ring_bytes,
                     const std::vector<Registration> &registrations,
                     const PublishSettings &settings = {});
    ~PublisherProcess();
    PublisherProcess(const PublisherProcess &) = delete;
    PublisherProcess &operator=(const PublisherProcess &) = delete;

    // Registers ("add M C") or unregisters ("del M C") a subscriber in the running child;
    // returns once the child has done it.
    bool command(const std::string &line);
    // Calls kt_daq_set_publish_options in the running child; its result and errno.
    std::pair<int, int> set_options(uint32_t queue_depth, uint32_t ack_window);
    // Everything the child has printed so far on standard output.
    std::string output() const;
    // Waits until the output contains `text`; false after `timeout_ms`.
    bool wait_output(const std::string &text, int timeout_ms);
    // Returns once output() holds everything the loop printed before the call.
    bool sync();
    // The engine's statistics in the child.
    bool stats(kt_daq_stats *out) { return stats_.read(out); }
    void stop();

  private:
    StatsLink stats_;
    std::unique_ptr<kttest::Process> process_;
    int cmd_fd_ = -1;
    int reply_fd_ = -1;
    int marks_ = 0;
};

// One received message of the publisher socket.
struct Received {
    std::string topic;
    std::vector<uint8_t> frame;
    int parts = 0;
};

// A SUB socket on the publisher endpoint and a REQ socket on the acknowledgement endpoint.
class Subscriber {
  public:
    // With `small_buffers`, the subscriber buffers one message and a few KiB of its
    // connection, so that when it stops reading, the publisher's queue for it fills at
    // once.
    explicit Subscriber(const std::string &prefix = "", bool small_buffers = false);
    ~Subscriber();
    Subscriber(const Subscriber &) = delete;
    Subscriber &operator=(const Subscriber &) = delete;

    // Waits until the connection to the publisher is made and the subscription is sent.
    bool wait_connected(int timeout_ms = 10000);
    // Receives the next message; false when none came within `timeout_ms`.
    bool receive(Received *out, int timeout_ms = 5000);
    // Sends one acknowledgement of `parts` parts and waits for its reply.
    bool ack(int parts = 1, int timeout_ms = 5000);
    // Sends one request of one part with `text` and waits for its reply.
    bool ack_text(const std::string &text, int timeout_ms = 5000);

  private:
    // Waits for the reply to the request just sent; false when it did not come in time.
    bool await_reply(int timeout_ms);

    void *context_ = nullptr;
    void *sub_ = nullptr;
    void *req_ = nullptr;
    void *monitor_ = nullptr;
};

// The time-out line the loop prints for a missing acknowledgement.
std::string timeout_line(const std::string &topic, int msg_id, int i, int count);

}  // namespace ktdaq_test
