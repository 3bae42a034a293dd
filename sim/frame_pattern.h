// Frames of the simulated stream engine: a deterministic content that a reader can check
// for corruption, duplicates, stale slots and frames that are not what their header says.
//
// Header bytes 4..11 carry a sequence number that counts every frame the engine writes,
// whatever its source. The payload is derived from every field that identifies the frame
// (sequence number, module, channel, msg_id and payload length; not the ignored upper bits
// of byte 1), so a header put in front of another frame's payload fails the check even
// with a correct trailer. The trailer is the standard CRC-32 (as zlib computes it) of
// header and payload.
//
// A waveform frame (waveform.h) carries samples of a signal instead, with the waveform in
// header byte 12 and the sample format in byte 13 (both 0 in a pattern frame). Its
// identity is in the lowest bit of each sample: bit i of the pattern's words, so the
// same checks hold for it as long as it has samples.
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
    uint16_t payload_len = 0;   // at most 2028
    uint8_t waveform = 0;       // header byte 12: 0 for the pattern, else a WaveKind
    uint8_t sample_format = 0;  // header byte 13: the SampleFormat of a waveform frame
};

// Writes the pattern frame into a slot of at least payload_len + 20 bytes (fields.waveform
// and sample_format are taken as 0).
void write_frame(uint8_t *slot, const FrameFields &fields);

// Completes a waveform frame whose samples are already in the slot's payload, their lowest
// bits clear (write_samples): sets those bits to the frame's identity and writes the header
// and the trailer.
void seal_wave_frame(uint8_t *slot, const FrameFields &fields);

// What check_frame found in a frame.
struct FrameCheck {
    bool ok = false;
    std::string error;   // why not ok
    FrameFields fields;  // header fields as read
};

// Bytes of one sample of a waveform frame's sample format (header byte 13); 0 for a code
// that names no format.
size_t sample_size(uint8_t format);

// Checks a frame of `length` bytes (the whole frame, payload_len + 20, or a whole slot).
FrameCheck check_frame(const uint8_t *frame, size_t length);

}  // namespace ktsim
