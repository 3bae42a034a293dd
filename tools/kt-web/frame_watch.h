// kt-web's receiving side: a thread that takes the frames of the publish mode (as a
// subscriber that only watches, or one that acknowledges) or of a filter-mode channel's
// TCP port, and enters them in the source book. It reconnects by itself.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "remote_access.h"
#include "source_book.h"

namespace ktweb {

struct WatchConfig {
    std::string host = "127.0.0.1";
    // 0: the publish mode's endpoints on `host`; else the channel port to tap.
    uint16_t tap_port = 0;
    bool ack = false;
    // With ack: frames per counted acknowledgement (kttool::Acknowledger), 1 one each.
    uint32_t ack_every = 1;
    std::optional<kttool::CurveClient> keys;
};

class FrameWatch {
  public:
    FrameWatch(const WatchConfig &config, SourceBook *book);
    ~FrameWatch();  // stops the thread
    FrameWatch(const FrameWatch &) = delete;
    FrameWatch &operator=(const FrameWatch &) = delete;

    // The endpoint watched.
    std::string where() const;

  private:
    void run_publish();
    void run_tap();

    const WatchConfig config_;
    SourceBook *book_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace ktweb
