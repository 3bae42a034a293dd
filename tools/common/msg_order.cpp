#include "msg_order.h"

namespace kttool {

MsgOrder::Verdict MsgOrder::take(uint16_t msg_id) {
    if (!started_) {
        started_ = true;
        newest_ = msg_id;
        return Verdict::kInOrder;
    }
    const uint16_t ahead = static_cast<uint16_t>(msg_id - newest_);
    if (ahead == 0) {
        return Verdict::kDuplicate;
    }
    if (ahead < 0x8000) {
        const unsigned skipped = ahead - 1u;
        lost_ += skipped;
        // The remembered msg_ids move up by `ahead`; the previous newest (bit ahead - 1)
        // was received, the skipped ones below it were not.
        missing_ = ahead >= kWindow ? 0 : missing_ << ahead;
        missing_ |= skipped >= kWindow ? ~uint64_t{0} : (uint64_t{1} << skipped) - 1;
        known_ = known_ + ahead >= kWindow ? kWindow : known_ + ahead;
        newest_ = msg_id;
        return Verdict::kInOrder;
    }
    const unsigned behind = static_cast<uint16_t>(newest_ - msg_id) - 1u;  // its bit
    if (behind >= known_) {
        return Verdict::kLate;  // too old to tell, or from before the first frame
    }
    const uint64_t bit = uint64_t{1} << behind;
    if ((missing_ & bit) == 0) {
        return Verdict::kDuplicate;
    }
    missing_ &= ~bit;
    --lost_;
    return Verdict::kLate;
}

}  // namespace kttool
