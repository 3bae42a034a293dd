// Test harness for the filter mode: the loop in a child process of its own (it never
// returns), a configuration peer and TCP clients of the channels.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kt_daq.h"
#include "process.h"
#include "stats_link.h"

namespace ktdaq_test {

// kt_daq_create and kt_daqex_run in a child process of their own, with its output captured.
class FilterProcess {
  public:
    // `fd_limit`, when not 0, is the child's soft limit of open descriptors; `env` holds
    // "NAME=value" entries set in the child's environment.
    FilterProcess(const std::string &device, uint32_t ring_bytes, int fd_limit = 0,
                  const std::vector<std::string> &env = {});
    ~FilterProcess();
    FilterProcess(const FilterProcess &) = delete;
    FilterProcess &operator=(const FilterProcess &) = delete;

    pid_t pid() const { return pid_; }
    // Everything the child has printed so far on standard output and standard error.
    std::string output() const;
    std::string errors() const;
    // Waits until the output holds `text` `times` times; false after `timeout_ms`.
    bool wait_output(const std::string &text, int timeout_ms, int times = 1);
    // Waits for the child to end; its exit status, or -1 if it is still running.
    int wait_exit(int timeout_ms);
    // Open descriptors and threads of the child.
    int descriptors() const;
    int threads() const;
    // Descriptors once they have stopped changing: ZeroMQ closes the connection of a
    // configuration peer in its own time, and acceptors close their clients in theirs.
    int settled_descriptors() const;
    // Peak resident memory of the child in KiB.
    long peak_rss_kib() const;
    // Processor time of the child in clock ticks; of its own threads only, without
    // ZeroMQ's background threads, when `own_threads_only`.
    long cpu_ticks(bool own_threads_only = false) const;
    // The engine's statistics in the child.
    bool stats(kt_daq_stats *out) { return stats_.read(out); }
    void stop();

  private:
    StatsLink stats_;  // before process_, which is given its descriptors
    kttest::Process process_;
    pid_t pid_;  // kept after the child is reaped, for the /proc readers
};

// The TCP port of the configuration socket, for peers that are not ZeroMQ peers.
uint16_t config_port();

// Sends one configuration message to the configuration socket and waits for its reply;
// false when no reply came within `timeout_ms`.
bool configure(const std::string &message, int timeout_ms = 5000);

// A TCP client of a channel that splits what it receives into frames.
class ChannelClient {
  public:
    // `receive_buffer`, when not 0, sets the socket's receive buffer before it connects: a
    // client that never reads then holds up the device after a few KiB.
    explicit ChannelClient(uint16_t port, int timeout_ms = 5000, int receive_buffer = 0);
    ~ChannelClient();
    ChannelClient(const ChannelClient &) = delete;
    ChannelClient &operator=(const ChannelClient &) = delete;

    bool connected() const { return fd_ >= 0; }
    // The next whole frame (payload_len + 20 bytes); false on time-out or end of stream.
    bool next_frame(std::vector<uint8_t> *frame, int timeout_ms = 5000);
    // Whether the device closed the connection (within `timeout_ms`).
    bool closed_by_peer(int timeout_ms);
    void close_now();

  private:
    bool fill(size_t want, int timeout_ms);

    int fd_ = -1;
    std::vector<uint8_t> buffer_;
    bool eof_ = false;
};

}  // namespace ktdaq_test
