/*
 * Acquisition engine: the acquisition handle over the stream device, the subscriber
 * table of the publish mode and the publish loop.
 *
 * The application creates one handle with kt_daq_create and gives one thread for good to
 * kt_daq_run, which publishes every frame of the ring on a ZeroMQ publisher socket bound
 * to "tcp://127.0.0.1:22720" under the topic "frame://<module>:<channel>" and then waits
 * on a reply socket bound to "tcp://127.0.0.1:22770" for one acknowledgement per
 * registered subscriber of the frame's source. Subscribers are registered per source with
 * add_channel and unregistered with delete_channel, from any thread, also while the loop
 * runs.
 */
#ifndef KT_DAQ_H
#define KT_DAQ_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "kt_api.h"
#include "kt_axis.h"
#include "kt_records.h"

KT_BEGIN_DECLS

/* Endpoints of the publish mode, bound by kt_daq_run. */
#define KT_DAQ_PUB_ENDPOINT "tcp://127.0.0.1:22720"
#define KT_DAQ_ACK_ENDPOINT "tcp://127.0.0.1:22770"
/* Endpoint of the filter mode's channel configuration server, bound by kt_daqex_run: the
 * publish endpoint, which the two alternative modes share. */
#define KT_DAQ_CONFIG_ENDPOINT KT_DAQ_PUB_ENDPOINT
/* Milliseconds the loop waits for each acknowledgement before it reports a time-out. */
#define KT_DAQ_ACK_TIMEOUT_MS 2000
/* Milliseconds the loop sleeps between polls of an empty ring. */
#define KT_DAQ_POLL_MS 33
/* (module, channel) that registers a subscriber for every frame. */
#define KT_DAQ_ALL_FRAMES 255

/* The acquisition handle. Owned by the application. */
typedef struct kt_daq {
    kt_axis *axis; /* the open stream device */
} kt_daq;

/*
 * Channel slots of the filter mode: null for an empty slot, filled from slot 0 on. Shared
 * with the filter plug-in without a lock.
 */
KT_API extern kt_channel *g_channel[KT_MAX_CHANNELS];

/*
 * Subscriber table of the publish mode: one entry per source key ever registered (key in
 * bits 0..15, subscriber count in bits 16..31) and the every-frame flag. Empty at load.
 * Read or change it only while holding `mutex`.
 */
KT_API extern kt_channel_info g_channel_info;

/* Handle of the filter plug-in from the dynamic loader, while the filter mode runs. */
KT_API extern void *g_handle;

/*
 * Guards g_channel_info. Usable from load on; kt_daq_create initialises it again and
 * kt_daq_delete destroys it and leaves it freshly initialised, so that add_channel and
 * delete_channel stay safe whether or not a handle exists.
 */
KT_API extern pthread_mutex_t mutex;

/*
 * Opens the stream device at `path` (a symbolic link naming the UIO device node) with a
 * frame ring of `up_mem_size` bytes, and initialises `mutex`. Returns the new handle,
 * released with kt_daq_delete, or null: silently when memory runs out, and after printing
 * "init axis device <path> failed" to standard output when the device cannot be opened.
 * In that case the subscriber table is emptied as kt_daq_delete empties it. Not
 * thread-safe against add_channel or delete_channel running at the same time.
 */
KT_API kt_daq *kt_daq_create(const char *path, uint32_t up_mem_size) KT_NOEXCEPT;

/*
 * Unmaps the stream device, frees the subscriber table's entries (setting its counts and
 * the every-frame flag to 0 when it had entries; a table without entries is left as it
 * is), destroys `mutex` and frees the handle. A null `daq` is ignored. Must not be called
 * while kt_daq_run runs on the handle.
 */
KT_API void kt_daq_delete(kt_daq *daq) KT_NOEXCEPT;

/*
 * Registers one subscriber for the frames of (`module_id`, `channel_id`), each 0..255;
 * (255, 255) sets the every-frame flag, which stays 1 however often it is set. Thread-safe.
 * Returns 0, or -1 when nothing was registered: a `module_id` or `channel_id` outside
 * 0..255, a source that already has 65535 subscribers, or a failed growth of the table,
 * which empties the table (its every-frame flag stays).
 */
KT_API int add_channel(int module_id, int channel_id) KT_NOEXCEPT;

/*
 * Unregisters one subscriber of (`module_id`, `channel_id`); (255, 255) clears the
 * every-frame flag. A source without subscribers, or outside 0..255, is left unchanged.
 * Entries stay in the table at a count of 0. Thread-safe. Always returns 0.
 */
KT_API int delete_channel(int module_id, int channel_id) KT_NOEXCEPT;

/*
 * The publish loop. Binds the publisher and acknowledgement sockets, then for every frame
 * of the ring: copies the frame (payload_len + 20 bytes) into a message buffer of the
 * loop's own and hands its slot back to the engine at once, publishes the topic and the
 * frame, and awaits one acknowledgement per registered subscriber of the frame's source,
 * plus one when the every-frame flag is set, answering each with an empty message. A
 * request of several parts counts once. Each acknowledgement that does not come within
 * 2000 ms is reported on standard output as "<topic> msg[id] : <msg_id> time out ;i = <i>,
 * channel_count = <count>". A frame that finds a subscriber's queue (one message) full
 * waits up to 100 ms for it to drain before it is dropped for that subscriber; while that
 * subscriber lags, later frames are dropped for it at once. A subscriber thus receives
 * whole frames of its topic in ring order, or none while it lags, never another frame's
 * bytes, and holds no ring memory however long it stalls. A frame whose payload_len would
 * run past its 2048-byte slot is not published, nor is one that finds all of the loop's
 * 1024 message buffers still held by ZeroMQ. Never returns for a valid handle; a null
 * `daq` returns at once. kt_daq_set_publish_options (an extension, below) deepens the
 * queue, sizes the buffers for it and opens a window of frames in flight.
 */
KT_API void kt_daq_run(kt_daq *daq) KT_NOEXCEPT;

/*
 * The filter loop, the alternative to kt_daq_run. Opens the filter plug-in
 * "libktfilters.so" (its handle goes to g_handle; if it cannot be opened, the loader's
 * message goes to standard error and the process ends with status 1), empties all 128
 * slots of g_channel and starts the channel configuration server on
 * "tcp://127.0.0.1:22720". Then, for ever, takes frames from the ring in batches of up to
 * 100 (one hand-back per batch) and passes each frame through the filter chains of the
 * channels that take it and have a client. A frame whose payload_len would run past its
 * 2048-byte slot is dropped. A replaced channel's record is freed, and a client socket
 * closed, only once this loop can no longer reach them. Returns only for a null `daq`,
 * after printing "kt_daq_high_speed_run parameters invalid"; the result carries no
 * information.
 */
KT_API int kt_daqex_run(kt_daq *daq) KT_NOEXCEPT;

/*
 * Extension: engine statistics.
 *
 * Counters of what the running loop has done since the process started, readable from
 * any thread while it runs. Every counter only ever grows; a counter of the mode that
 * does not run stays 0.
 *
 * Growth rule: the record only ever grows at its end, and fields keep their place and
 * meaning. A caller passes its own sizeof(struct kt_daq_stats); the library fills
 * min(that size, its own size) bytes and leaves the rest of the caller's record as it
 * was, so a program built against an older, shorter record keeps working, and one built
 * against a newer record learns from `size` how much of it the library filled.
 */

/* Counters of one channel slot of the filter mode. */
typedef struct kt_daq_stats_channel {
    uint64_t frames;     /* runs of the chain of the channel in this slot (frames handed to it) */
    uint16_t port;       /* TCP port of the channel now in the slot; 0 for an empty slot */
    uint16_t reserved16; /* 0; pads the entry to 16 bytes on every target */
    uint32_t reserved32; /* 0; pads the entry to 16 bytes on every target */
} kt_daq_stats_channel;

/* The engine's counters, as kt_daq_get_stats fills them. */
typedef struct kt_daq_stats {
    uint32_t size;     /* bytes of this record the library knows and filled */
    uint32_t channels; /* entries of `channel` (the number of channel slots) */
    /* Both modes. */
    uint64_t frames_taken; /* frames taken from the ring */
    /* Publish mode. */
    uint64_t published;           /* frames sent on the publisher socket */
    uint64_t acknowledged;        /* acknowledgements received */
    uint64_t ack_timeouts;        /* acknowledgements that did not come in time */
    uint64_t dropped_for_lagging; /* published frames dropped for a lagging subscriber */
    uint64_t skipped;             /* frames not published: oversized, or no message */
    /* Filter mode. */
    uint64_t batches;            /* batches taken (one hand-back of ring slots each) */
    uint64_t frames_dispatched;  /* frames passed over the channels (oversized ones not) */
    uint64_t client_connects;    /* clients accepted on the channels' ports */
    uint64_t client_disconnects; /* clients gone: closed, replaced, or their channel */
    uint64_t config_accepted;    /* configuration messages that entered a channel */
    uint64_t config_refused;     /* configuration messages that entered none */
    /* Per channel slot, by slot index: the slot's count lives on when a channel of the
     * same name replaces the one in it. */
    kt_daq_stats_channel channel[KT_MAX_CHANNELS];
} kt_daq_stats;

/*
 * Extension: copies the engine's counters into `out`, min(`size`, sizeof the library's
 * record) bytes of it (see the growth rule above); `size` is the caller's
 * sizeof(struct kt_daq_stats). Each counter is read atomically, the record as a whole is
 * not one instant. Takes no lock and never blocks the loops. Returns 0, or -1 with errno
 * EINVAL for a null `out` or a `size` below that of the field `size`.
 */
KT_API int kt_daq_get_stats(kt_daq_stats *out, size_t size) KT_NOEXCEPT;

/*
 * Extension: publish options.
 *
 * kt_daq_run as described above keeps one message per subscriber in its queue and one
 * frame in flight, and at that pace each frame costs the loop and ZeroMQ's I/O thread a
 * wake-up each. An application that wants the link's pace opts into a deeper queue and,
 * with acknowledging subscribers, a window of frames published ahead of their
 * acknowledgements. Without a call, or with both values 1, the loop is exactly the one
 * described above.
 *
 * Queue depth N: the publisher socket's send high-water mark (ZMQ_SNDHWM), the messages
 * that may wait for each subscriber; at least the window W, since a subscriber that keeps
 * up may have W frames still to read. A subscriber that keeps up receives every frame; a
 * frame that finds a subscriber's queue full waits up to 100 ms for room, and is then
 * dropped for that subscriber (counted in dropped_for_lagging; while it lags, later frames
 * are dropped for it at once). A subscriber never receives another frame's bytes and never
 * holds ring memory. The loop's message buffers grow with the depth: N x 16 frames
 * (KT_DAQ_POOL_SUBSCRIBERS subscribers each holding a full queue), at least 1024 and at
 * most KT_DAQ_POOL_MAX, allocated 32 at a time as they run out. A frame that finds every
 * buffer still held by ZeroMQ is not published and is counted in skipped; no other frame
 * is ever sent in its place.
 *
 * Acknowledgement window W: with W > 1 the loop publishes up to W frames that await
 * acknowledgements before it waits for them. An acknowledgement counts for the oldest
 * frame still awaiting one (any request counts, as above). A frame whose acknowledgements
 * have not all come 2000 ms after it was published gets one time-out line per missing
 * acknowledgement, i counting from the acknowledgements it did get. Counted
 * acknowledgements: with W > 1, a request of one part whose bytes are the decimal digits
 * of a count K, 1 <= K <= W, without sign or leading zero, acknowledges K frames (K
 * acknowledgements, oldest first; what finds no frame awaiting counts for nothing); any
 * other request counts as one. Every request is answered with an empty message.
 */

/* Largest queue depth and acknowledgement window. */
#define KT_DAQ_QUEUE_DEPTH_MAX 1024
#define KT_DAQ_ACK_WINDOW_MAX 1024
/* Subscribers with a full queue each that the message buffers are sized for. */
#define KT_DAQ_POOL_SUBSCRIBERS 16
/* Most message buffers (frames of up to one 2048-byte slot) the loop allocates: 32 MiB. */
#define KT_DAQ_POOL_MAX 16384

/*
 * Extension: sets the publish loop's queue depth (1..KT_DAQ_QUEUE_DEPTH_MAX, 1 as
 * specified) and acknowledgement window (1..KT_DAQ_ACK_WINDOW_MAX, 1 as specified), see
 * above. Takes effect when kt_daq_run starts. Returns 0, or -1 with errno EINVAL for a
 * value out of range or EBUSY once kt_daq_run has started; nothing is changed then.
 * Thread-safe.
 */
KT_API int kt_daq_set_publish_options(uint32_t queue_depth, uint32_t ack_window) KT_NOEXCEPT;

KT_END_DECLS

#endif /* KT_DAQ_H */
