/*
 * Records shared by the acquisition engine and the filter plug-in: the acquisition
 * frame as the stream engine writes it into the frame ring, the channel record of the
 * filter mode, the subscriber table of the publish mode and the filter signature.
 *
 * Both libraries are built from this one declaration; its field order and widths are
 * an in-memory interface between them and must not change on one side only.
 */
#ifndef KT_RECORDS_H
#define KT_RECORDS_H

#include <pthread.h>
#include <stdint.h>

#include "kt_api.h"
#include "kt_axis.h"

KT_BEGIN_DECLS

/* Every frame starts at the beginning of a ring slot of this many bytes. */
#define KT_SLOT_SIZE KT_AXIS_SLOT_SIZE
/* Header (16 bytes) plus trailer (4 bytes) around the payload. */
#define KT_FRAME_OVERHEAD 20u
#define KT_FRAME_HEADER_SIZE 16u /* module, channel, message ID, payload length */
#define KT_FRAME_TRAILER_SIZE 4u /* trailer after the payload */
/* Largest payload that keeps a frame inside its slot. */
#define KT_FRAME_MAX_PAYLOAD (KT_SLOT_SIZE - KT_FRAME_OVERHEAD)
/* Source key that stands for every frame in the subscriber table. */
#define KT_SOURCE_ALL 0xffffu
/* Number of channel slots and the longest filter chain of a channel. */
#define KT_MAX_CHANNELS 128
#define KT_MAX_FILTERS 16 /* filters in one channel's chain at most */

/*
 * One acquisition frame, a hardware format: little-endian, 16-byte header, payload,
 * 4-byte trailer at offset 16 + payload_len. Only the low four bits of byte 1 carry the
 * channel; the upper four are ignored everywhere.
 */
typedef struct kt_frame {
    uint8_t module_id;      /* acquisition module, 0..255 */
    uint8_t channel_id : 4; /* channel within the module, 0..15 */
    uint8_t : 4;            /* ignored */
    uint16_t msg_id;        /* message number */
    uint8_t reserved[10];   /* carried unchanged */
    uint16_t payload_len;   /* payload bytes */
    uint8_t payload[];      /* payload, then the trailer */
} kt_frame;

typedef struct kt_channel kt_channel;

/*
 * A filter: gets the channel being served and a writable 2048-byte buffer holding one
 * frame, may rewrite the buffer for the next filter of the chain, returns 0 or -1.
 */
typedef int (*kt_filter_fn)(kt_channel *channel, kt_frame *frame);

/* One configured channel of the filter mode. */
struct kt_channel {
    char *name;                           /* channel name, owned */
    uint16_t port;                        /* TCP port for the channel's client */
    uint8_t module_id;                    /* module taken; 255 with sub_filters[0] 255: all */
    int32_t *sub_filters;                 /* channel_id values taken, owned */
    uint32_t sub_filter_count;            /* entries in sub_filters, 1..128 */
    char *param;                          /* parameter text for the filters, owned */
    kt_filter_fn filters[KT_MAX_FILTERS]; /* chain from slot 0, null after the last */
    int listen_fd;                        /* listening socket */
    int conn_fd;                          /* client socket, -1 while there is none */
    pthread_t accept_thread;              /* thread accepting the client */
};

/*
 * Subscriber table of the publish mode. Each entry holds a source key in bits 0..15
 * and the number of subscribers of that source in bits 16..31.
 */
typedef struct kt_channel_info {
    uint32_t *entries;   /* owned array of `capacity` entries */
    uint16_t capacity;   /* entries allocated */
    uint16_t used;       /* entries in use, from the first on */
    uint16_t all_frames; /* 1 while a subscriber for every frame is registered */
} kt_channel_info;

/* Source key of a (module, channel) pair: module in the high byte. */
static inline uint32_t kt_source_key(uint32_t module_id, uint32_t channel_id) {
    return module_id * 256u + channel_id;
}

/* Source key of a frame; never KT_SOURCE_ALL, since a channel is at most 15. */
static inline uint16_t kt_frame_source_key(const kt_frame *frame) {
    return (uint16_t)kt_source_key(frame->module_id, frame->channel_id);
}

/* Bytes a frame occupies and sends: payload_len + 20. */
static inline uint32_t kt_frame_length(const kt_frame *frame) {
    return (uint32_t)frame->payload_len + KT_FRAME_OVERHEAD;
}

/* Whether a frame fits its 2048-byte slot (payload_len at most 2028). */
static inline int kt_frame_fits_slot(const kt_frame *frame) {
    return frame->payload_len <= KT_FRAME_MAX_PAYLOAD;
}

/* Subscriber-table entry helpers: key in the low half, count in the high half. */
static inline uint16_t kt_entry_key(uint32_t entry) {
    return (uint16_t)(entry & 0xffffu);
}
static inline uint16_t kt_entry_count(uint32_t entry) {
    return (uint16_t)(entry >> 16);
}
static inline uint32_t kt_entry_make(uint16_t key, uint16_t count) {
    return ((uint32_t)count << 16) | key;
}

KT_END_DECLS

#endif /* KT_RECORDS_H */
