// Frames of the simulated stream engine: a deterministic content that a reader can check
// for corruption, duplicates, stale slots and frames that are not what their header says.
//
// Header bytes 4..11 carry a sequence number that counts every frame the engine writes,
// whatever its source. The payload is derived from every field that identifies the frame
// (sequence number, module, channel, msg_id and payload length; not the ignored upper bits
// of byte 1), so a header put in front of another frame's payload fails the check even
// with a correct trailer. The trailer is the standard CRC-32 (as zlib computes it) of
// header and payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ktsim {

struct FrameFields {
    uint8_t module_id = 0;
    uint8_t channel_id = 0;  // 0..15
    uint8_t high_bits = 0;   // written into bits 4..7 of byte 1, which readers must ignore
    uint16_t msg_id = 0;
    uint64_t seq = 0;
    uint16_t payload_len = 0;  // at most 2028
};

// Writes the frame into a slot of at least payload_len + 20 bytes.
void write_frame(uint8_t *slot, const FrameFields &fields);

// What check_frame found in a frame.
struct FrameCheck {
    bool ok = false;
    std::string error;   // why not ok
    FrameFields fields;  // header fields as read
};

// Checks a frame of `length` bytes (the whole frame, payload_len + 20, or a whole slot).
FrameCheck check_frame(const uint8_t *frame, size_t length);

}  // namespace ktsim
