#include "ring_reader.h"

#include <cstdlib>

#include "kt_daq.h"
#include "kt_util.h"

namespace ktbench {

kt_axis *open_ring(const char *path, uint32_t ring_bytes) {
    return kt_axis_init(path, ring_bytes);
}

kt_frame *take_frame(kt_axis *axis) {
    uint32_t count = 0;
    while ((count = kt_get_data_cnt(axis)) == 0) {
        kt_sleep_ms(KT_DAQ_POLL_MS);
    }
    return static_cast<kt_frame *>(kt_axis_read_frame(axis, nullptr, count));
}

void run_ring_reader(const char *path, uint32_t ring_bytes) {
    kt_axis *axis = open_ring(path, ring_bytes);
    if (axis == nullptr) {
        _Exit(1);
    }
    for (;;) {
        // Reads one header field, as any consumer of the frame would.
        volatile uint16_t length = take_frame(axis)->payload_len;
        (void)length;
        kt_axis_read_done(axis);
    }
}

}  // namespace ktbench
