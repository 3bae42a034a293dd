// The msg_id sequence of one source as a subscriber receives it: msg_ids skipped going
// forward count as lost until they come after all; a msg_id behind the newest one came
// late (out of order) or came before (a duplicate).
#pragma once

#include <cstdint>

namespace kttool {

class MsgOrder {
  public:
    enum class Verdict {
        kInOrder,    // the first, or ahead of every earlier one (maybe after a gap)
        kLate,       // behind the newest one, and not received before as far as known
        kDuplicate,  // received before
    };

    // A msg_id behind the newest one by at most half the 16-bit range is late or a
    // duplicate; any other is ahead, and the msg_ids in between are lost.
    Verdict take(uint16_t msg_id);
    // msg_ids skipped and not received since.
    uint64_t lost() const { return lost_; }

  private:
    // The last 64 msg_ids before the newest are remembered: which were skipped and are
    // still missing, so that a late one is told from a duplicate and leaves the lost.
    static constexpr unsigned kWindow = 64;
    bool started_ = false;
    uint16_t newest_ = 0;
    uint64_t missing_ = 0;  // bit k: msg_id newest_ - 1 - k skipped and not received
    unsigned known_ = 0;    // how many msg_ids before newest_ the bits describe
    uint64_t lost_ = 0;
};

}  // namespace kttool
