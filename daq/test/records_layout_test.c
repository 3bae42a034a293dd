/* The shared records compile as C and keep their layout on the device and the host. */
#include <stddef.h>

#include "kt_records.h"

_Static_assert(sizeof(kt_frame) == 16, "frame header is 16 bytes");
_Static_assert(offsetof(kt_frame, msg_id) == 2, "msg_id at byte 2");
_Static_assert(offsetof(kt_frame, reserved) == 4, "uninterpreted bytes from 4");
_Static_assert(offsetof(kt_frame, payload_len) == 14, "payload_len at byte 14");
_Static_assert(offsetof(kt_frame, payload) == 16, "payload at byte 16");

#if __SIZEOF_POINTER__ == 4 /* the 32-bit ARM device */
_Static_assert(offsetof(kt_channel, name) == 0, "name");
_Static_assert(offsetof(kt_channel, port) == 4, "port");
_Static_assert(offsetof(kt_channel, module_id) == 6, "module_id");
_Static_assert(offsetof(kt_channel, sub_filters) == 8, "sub_filters");
_Static_assert(offsetof(kt_channel, sub_filter_count) == 12, "sub_filter_count");
_Static_assert(offsetof(kt_channel, param) == 16, "param");
_Static_assert(offsetof(kt_channel, filters) == 20, "filters");
_Static_assert(offsetof(kt_channel, listen_fd) == 84, "listen_fd");
_Static_assert(offsetof(kt_channel, conn_fd) == 88, "conn_fd");
_Static_assert(offsetof(kt_channel, accept_thread) == 92, "accept_thread");
_Static_assert(sizeof(kt_channel) == 96, "channel record size");
_Static_assert(offsetof(kt_channel_info, capacity) == 4, "capacity");
_Static_assert(offsetof(kt_channel_info, used) == 6, "used");
_Static_assert(offsetof(kt_channel_info, all_frames) == 8, "all_frames");
_Static_assert(sizeof(kt_channel_info) == 12, "subscriber table size");
#elif __SIZEOF_POINTER__ == 8 /* 64-bit development hosts */
_Static_assert(offsetof(kt_channel, port) == 8, "port");
_Static_assert(offsetof(kt_channel, module_id) == 10, "module_id");
_Static_assert(offsetof(kt_channel, sub_filters) == 16, "sub_filters");
_Static_assert(offsetof(kt_channel, sub_filter_count) == 24, "sub_filter_count");
_Static_assert(offsetof(kt_channel, param) == 32, "param");
_Static_assert(offsetof(kt_channel, filters) == 40, "filters");
_Static_assert(offsetof(kt_channel, listen_fd) == 168, "listen_fd");
_Static_assert(offsetof(kt_channel, conn_fd) == 172, "conn_fd");
_Static_assert(offsetof(kt_channel, accept_thread) == 176, "accept_thread");
_Static_assert(offsetof(kt_channel_info, capacity) == 8, "capacity");
_Static_assert(offsetof(kt_channel_info, used) == 10, "used");
_Static_assert(offsetof(kt_channel_info, all_frames) == 12, "all_frames");
#else
#error "unsupported pointer width"
#endif

/* Byte 1 read through the header, from C. */
unsigned kt_records_c_channel_of(const unsigned char *slot) {
    return ((const kt_frame *)slot)->channel_id;
}

/* The statistics record: fixed-width fields, the same layout on the device and the host. */
#include "kt_daq.h"

_Static_assert(offsetof(kt_daq_stats, size) == 0, "size first");
_Static_assert(offsetof(kt_daq_stats, channels) == 4, "channels");
_Static_assert(offsetof(kt_daq_stats, frames_taken) == 8, "frames_taken");
_Static_assert(offsetof(kt_daq_stats, published) == 16, "published");
_Static_assert(offsetof(kt_daq_stats, acknowledged) == 24, "acknowledged");
_Static_assert(offsetof(kt_daq_stats, ack_timeouts) == 32, "ack_timeouts");
_Static_assert(offsetof(kt_daq_stats, dropped_for_lagging) == 40, "dropped_for_lagging");
_Static_assert(offsetof(kt_daq_stats, skipped) == 48, "skipped");
_Static_assert(offsetof(kt_daq_stats, batches) == 56, "batches");
_Static_assert(offsetof(kt_daq_stats, frames_dispatched) == 64, "frames_dispatched");
_Static_assert(offsetof(kt_daq_stats, client_connects) == 72, "client_connects");
_Static_assert(offsetof(kt_daq_stats, client_disconnects) == 80, "client_disconnects");
_Static_assert(offsetof(kt_daq_stats, config_accepted) == 88, "config_accepted");
_Static_assert(offsetof(kt_daq_stats, config_refused) == 96, "config_refused");
_Static_assert(offsetof(kt_daq_stats, channel) == 104, "channel");
_Static_assert(sizeof(kt_daq_stats_channel) == 16, "channel entry");
_Static_assert(offsetof(kt_daq_stats_channel, port) == 8, "channel port");
_Static_assert(sizeof(kt_daq_stats) == 104 + 16 * KT_MAX_CHANNELS, "statistics record size");
