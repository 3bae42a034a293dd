/*
 * Frame filters of the filter mode. The acquisition engine opens this plug-in at run time
 * as "libktfilters.so" and chains the filters per channel by their exported names. Each
 * has the kt_filter_fn signature: the channel being served and a writable 2048-byte
 * buffer holding one frame; 0 on success, -1 on failure.
 *
 * The filters run on the engine's dispatch thread and keep no state between calls.
 */
#ifndef KT_FILTERS_H
#define KT_FILTERS_H

#include "kt_records.h"

KT_BEGIN_DECLS

/*
 * Sends the frame (payload_len + 20 bytes from the start of the buffer) to the channel's
 * client with one send on `conn_fd`. A frame with payload_len 0 is not sent (result 0).
 * A null argument prints "output_filter parameters invalid!" and returns -1. A frame
 * whose payload_len exceeds 2028 would run past its buffer: it is not sent, result -1.
 * A failed send prints the reason with the prefix "send", disconnects the client (the
 * socket is shut down and conn_fd becomes -1; the channel's acceptor then closes it) and
 * returns -1. A client that went away never raises SIGPIPE.
 */
KT_API int kt_output_filter(kt_channel *channel, kt_frame *frame) KT_NOEXCEPT;

/*
 * Keeps, in place, only the 32-bit payload words whose selector (low four bits of the
 * word's first byte) equals the channel number read from `param` (decimal, as strtol
 * reads it; only 0..15 can match). The header stays, payload_len becomes the bytes kept,
 * the trailer follows the kept words, the rest of the 2048 bytes is zero. Returns 0, or
 * -1 for a null argument or a payload_len above 2028 (buffer unchanged). A channel
 * without `param` keeps no word and returns -1.
 */
KT_API int kt_R507_datalogger_filter(kt_channel *channel, kt_frame *frame) KT_NOEXCEPT;

KT_END_DECLS

#endif /* KT_FILTERS_H */
