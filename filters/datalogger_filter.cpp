// Datalogger filter: reduces a frame to the payload words of one channel.
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "kt_filters.h"
#include "kt_util.h"

int kt_R507_datalogger_filter(kt_channel *channel, kt_frame *frame) noexcept {
    if (frame == nullptr || channel == nullptr || !kt_frame_fits_slot(frame)) {
        return -1;
    }
    auto *in = reinterpret_cast<uint8_t *>(frame);
    uint8_t out[KT_SLOT_SIZE] = {};
    std::memcpy(out, in, KT_FRAME_HEADER_SIZE);

    const char *param = channel->param;
    const long wanted = param != nullptr ? std::strtol(param, nullptr, 10) : -1;
    const uint16_t in_len = frame->payload_len;
    uint8_t *kept = out + KT_FRAME_HEADER_SIZE;
    uint32_t kept_len = 0;
    // A length that is not a multiple of 4 makes the last word reach into the trailer;
    // it is judged like any other.
    for (uint32_t offset = 0; offset < in_len; offset += 4) {
        uint8_t word[4];
        std::memcpy(word, frame->payload + offset, 4);
        big_endian(word, 4);
        if ((word[3] & 0x0f) == wanted) {
            std::memcpy(kept + kept_len, frame->payload + offset, 4);
            kept_len += 4;
        }
    }
    const uint16_t out_len = static_cast<uint16_t>(kept_len);
    std::memcpy(out + offsetof(kt_frame, payload_len), &out_len, sizeof out_len);
    std::memcpy(kept + kept_len, frame->payload + in_len, KT_FRAME_TRAILER_SIZE);
    std::memcpy(in, out, KT_SLOT_SIZE);
    return param != nullptr ? 0 : -1;
}
