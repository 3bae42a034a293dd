// Taking frames out of the simulated ring the way the publish loop does, and the reader
// that does nothing else (the engine-alone row).
#pragma once

#include <cstdint>

#include "kt_axis.h"
#include "kt_records.h"

namespace ktbench {

// Opens the stream device with a ring of `ring_bytes`; null (with the reader library's
// message) when it cannot.
kt_axis *open_ring(const char *path, uint32_t ring_bytes);

// The next frame, waiting as the loop does: while the ring is empty, sleeps
// KT_DAQ_POLL_MS between polls of the data count. The slot stays the reader's until
// kt_axis_read_done.
kt_frame *take_frame(kt_axis *axis);

// Takes every frame and hands its slot back at once; never returns.
[[noreturn]] void run_ring_reader(const char *path, uint32_t ring_bytes);

}  // namespace ktbench
