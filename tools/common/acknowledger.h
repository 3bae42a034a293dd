// The acknowledgements a subscriber of the publish mode sends on the publisher's REP
// endpoint, one socket shared by kt-sub and kt-web.
//
// Every K = 1 (what every publisher takes): one empty request per frame, and the caller
// waits for its reply before it takes the next frame.
//
// Every K > 1 (for a publisher with an acknowledgement window of at least K): counted
// acknowledgements. One request whose single part is the decimal text of K per K frames;
// the caller keeps receiving while the request is in flight (it polls socket() while
// awaiting() and then calls service()). Frames that come while a reply is outstanding are
// counted and go out in the next request as soon as the reply is there; each request
// carries 1 to K frames, and at most one is ever unanswered. finish() sends what remains.
//
// A reply that does not come within the reply time-out costs the socket, which is made
// anew: a REQ socket cannot send again before its reply, and the publisher may have been
// restarted. The frames of that request count as failed and are not sent again.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "kt_daq.h"
#include "remote_access.h"

namespace kttool {

// The most frames one request may acknowledge: the publisher's largest window.
constexpr uint32_t kAckEveryMax = KT_DAQ_ACK_WINDOW_MAX;

class Acknowledger {
  public:
    using Clock = std::chrono::steady_clock;

    // `every` 1..kAckEveryMax; `reply_timeout_ms` how long a reply may take.
    Acknowledger(void *context, std::string endpoint, const std::optional<CurveClient> &keys,
                 uint32_t every, int reply_timeout_ms);
    ~Acknowledger();
    Acknowledger(const Acknowledger &) = delete;
    Acknowledger &operator=(const Acknowledger &) = delete;

    // Acknowledges one frame: at once and waited for with every 1, else counted and sent
    // when K are due and no request is in flight.
    void frame();

    // Whether a reply is awaited: poll socket() for ZMQ_POLLIN then.
    bool awaiting() const { return in_flight_ != 0; }
    void *socket() const { return req_; }
    // Milliseconds until the awaited reply is given up (at least 0), -1 when none is.
    int wait_ms(Clock::time_point now) const;
    // Takes the reply that has come, gives up one that is overdue, and sends the next
    // request when one is due. Cheap when neither happened.
    void service(Clock::time_point now);

    // Waits for the reply in flight and sends the frames not yet acknowledged, K at most a
    // request, each waited for; stops at the first reply that does not come.
    void finish();

    uint64_t acked() const { return acked_; }    // frames whose request was answered
    uint64_t failed() const { return failed_; }  // frames whose request was not
    uint64_t requests() const { return requests_; }
    uint64_t pending() const { return pending_; }  // frames not yet in a request

  private:
    void open();
    void close();
    void reopen();
    void send_due();
    void send(uint32_t count);
    bool wait_reply(int timeout_ms);

    void *context_;
    const std::string endpoint_;
    const std::optional<CurveClient> keys_;
    const uint32_t every_;
    const int reply_timeout_ms_;
    void *req_ = nullptr;
    uint64_t pending_ = 0;
    uint32_t in_flight_ = 0;  // frames of the request awaiting its reply
    Clock::time_point deadline_{};
    uint64_t acked_ = 0, failed_ = 0, requests_ = 0;
};

}  // namespace kttool
