/*
 * Command protocol of the instrument's TCP command server.
 *
 * A connection's byte stream is cut into lines ended by CR LF (kt_netword, kt_recv,
 * kt_get_complete_cmd), each line is decoded into a command record (kt_cmd_decode), and
 * the outcome of the command is turned into one acknowledgement reply line
 * (kt_cmd_call_result), sent with kt_send and released with kt_cmd_destroy_result.
 *
 * Calling order on one connection:
 *   kt_netword_init once; kt_recv whenever the socket is readable (-1: connection over);
 *   after each kt_recv, kt_get_complete_cmd until it returns -1, and for each line:
 *   kt_cmd_decode, run the command (unless `code` already holds an error),
 *   kt_cmd_call_result, kt_send of `reply_len` bytes of `reply`, kt_cmd_destroy_result.
 *
 * The library prints nothing, starts no threads and keeps no state between calls: records
 * used by different threads are independent.
 */
#ifndef KT_CMD_H
#define KT_CMD_H

#include <stdint.h>

#include "kt_api.h"
#include "kt_util.h"

KT_BEGIN_DECLS

/* Size of a connection's receive buffer; a line holds at most 2046 bytes before CR LF. */
#define KT_NETWORD_SIZE 2048

/* Receive buffer of one command connection. Owned by the caller; never allocated here. */
typedef struct kt_netword {
    uint16_t capacity;          /* size of data; 2048 after kt_netword_init */
    int32_t fill;               /* bytes held in data, from its first byte */
    int32_t consumed;           /* length with CR LF of the line handed out; 0: none */
    char data[KT_NETWORD_SIZE]; /* received bytes; the handed-out line at the start */
} kt_netword;

/*
 * Clears the whole record and sets `capacity` to 2048. Call once per connection. A NULL
 * `nw` is ignored. Thread safety: each record is used by one thread at a time.
 */
KT_API void kt_netword_init(kt_netword *nw) KT_NOEXCEPT;

/*
 * Makes one recv() on `fd` into the free part of the buffer. When the buffer is full
 * (a line of 2048 bytes without CR LF), everything buffered is discarded, and any line
 * still handed out with it. Returns 0 when the call ended normally, also when a non-blocking socket
 * had nothing (EAGAIN); -1 on a NULL record, when the peer shut the connection down, or on any
 * other receive error (errno as recv left it). On -1 the record is unchanged. One thread per
 * record.
 */
KT_API int kt_recv(int fd, kt_netword *nw) KT_NOEXCEPT;

/*
 * Drops the line handed out by the previous call, skips empty lines (CR LF at the start)
 * and cuts the next complete line. Returns 0 when a line was cut: it is then the
 * NUL-terminated text at nw->data, without its CR LF, valid until the next call on the
 * record. Returns -1 when no complete line is buffered or `nw` is NULL; a partial line
 * stays buffered. One thread per record.
 */
KT_API int kt_get_complete_cmd(kt_netword *nw) KT_NOEXCEPT;

/*
 * Searches the `count` bytes at `buf` for the first CR LF. Returns 1 and adds the number
 * of bytes up to and including that LF to *counter; returns 0 and leaves *counter alone
 * when there is none, when `count` is below 2, or when a pointer is NULL. Reads only the
 * given bytes; safe from any thread.
 */
KT_API int kt_cmd_is_complete(const char *buf, int32_t count, int32_t *counter) KT_NOEXCEPT;

/*
 * Makes one send() of `len` bytes at `buf` on `fd`, with no retry of a partial send, and
 * returns the count that send() accepted. A peer that has gone away gives -1 (EPIPE), never
 * a signal. Returns -1 without sending when `buf` is NULL or `len` negative, and -1 when
 * send() failed (errno as send left it). The caller keeps `buf`. Thread safety as send().
 */
KT_API int kt_send(int fd, const char *buf, int len) KT_NOEXCEPT;

/* Bits of kt_cmd.flags: the optional pieces that the reply carries. */
#define KT_REPLY_TIME 0x01u     /* ";recv_sec,recv_ms,now_sec,now_ms,elapsed_ms" */
#define KT_REPLY_ID 0x02u       /* "[id]" at the start */
#define KT_REPLY_NAME 0x04u     /* "command_" after the ID */
#define KT_REPLY_CHECKSUM 0x08u /* "#crc" of everything before it, after the ")" */
#define KT_REPLY_STATE 0x10u    /* "DONE" / ";DONE" on success, ";ERROR" on errors */

/* Flags that kt_cmd_decode sets: time stamp, ID and state pieces. */
#define KT_REPLY_DEFAULT (KT_REPLY_TIME | KT_REPLY_ID | KT_REPLY_STATE)

/* kt_cmd.reply_len when no memory was left to build a successful reply. */
#define KT_REPLY_LEN_NOMEM 0xFFFEu

/* Longest result text that kt_cmd_call_result accepts. */
#define KT_RESULT_MAX 65279

/* Sizes of the text fields of kt_cmd; a full field carries no terminating NUL. */
#define KT_CMD_ID_SIZE 16     /* kt_cmd.id */
#define KT_CMD_NAME_SIZE 64   /* kt_cmd.command */
#define KT_CMD_ARGS_SIZE 1024 /* kt_cmd.args */

/* A decoded command line and, once built, its reply. Owned by the caller. */
typedef struct kt_cmd {
    uint32_t flags;                 /* KT_REPLY_* bits; 19 after decoding */
    char id[KT_CMD_ID_SIZE];        /* client's ID; "(null)" when the line had none */
    char command[KT_CMD_NAME_SIZE]; /* command name, words joined by single spaces */
    char args[KT_CMD_ARGS_SIZE];    /* arguments joined by commas */
    char *reply;                    /* reply text, NUL-terminated; owned, NULL if none */
    uint16_t reply_size;            /* bytes allocated at reply */
    uint16_t reply_len;             /* reply bytes with CR LF; 0 none; KT_REPLY_LEN_NOMEM */
    kt_timestamp recv_time;         /* when decoding began */
    int32_t done_state;             /* 0: DONE state piece, 1: ERROR, other: none */
    int32_t code;                   /* 0, or a negative code of cmd_error_table */
} kt_cmd;

/*
 * Decodes one command line of the form  [id]name words(arg, arg, ...)  into a record.
 * `line` is a writable NUL-terminated text; the ")" that ends the arguments is overwritten
 * with a NUL and the line is not needed afterwards. Leading spaces are skipped, name words
 * are joined by single spaces, argument pieces are trimmed of spaces and joined by commas,
 * empty pieces vanish, anything after the ")" is ignored.
 * The result has `flags` 19, no reply, `recv_time` set by get_time_tamp, and `code`:
 *   0 well formed; -3 no "]" or an ID over 16 characters (id "(null)");
 *   -4 name over 64 or arguments over 1024 characters; -14 an 8-bit character;
 *   -5 any other format fault: no "[" first, a second "[", no "(" or ")", or a NULL line
 *   (then nothing else is filled but id "(null)" and flags).
 * Reentrant: keeps no state between calls.
 */
KT_API kt_cmd kt_cmd_decode(char *line) KT_NOEXCEPT;

/*
 * Builds the reply of `cmd` from the command's result text (`len` bytes at `result`; its
 * first NUL, if any, ends it) into a new buffer at cmd->reply, and sets reply_size and
 * reply_len. Outcomes by the record and the text:
 *   cmd->code not 0 nor -64: error reply for that code; the text is not used.
 *   "Error<n>" without a space: error reply with n's table message;
 *   "Error<n> text": error reply carrying what follows the first space;
 *   "Error-13..." without a space: "ERR_" followed by everything after "Error";
 *   "Error-62" asks the client to confirm; "Error", "Error0", "Error-64": no reply (len 0).
 *   "Done<text>" or any other text: success reply carrying the text (without "Done").
 * Returns 0 (reply_len 0 means nothing to send; KT_REPLY_LEN_NOMEM that no memory was left
 * for the reply), or -1 when a pointer is NULL, `len` is negative or over KT_RESULT_MAX,
 * or the reply buffer cannot be allocated (reply stays NULL). Call once per record; release
 * with kt_cmd_destroy_result. Thread safety: one thread per record.
 */
KT_API int kt_cmd_call_result(kt_cmd *cmd, const char *result, int len) KT_NOEXCEPT;

/*
 * Releases cmd->reply and sets it to NULL and reply_size to 0; reply_len keeps its value.
 * Returns 0, or -1 when `cmd` or its reply is NULL, so a second call is harmless. One
 * thread per record.
 */
KT_API int kt_cmd_destroy_result(kt_cmd *cmd) KT_NOEXCEPT;

/* One row of the error table: a result code and its message. */
typedef struct kt_cmd_error {
    int32_t code;        /* result code, 0 or negative */
    const char *message; /* its text, static */
} kt_cmd_error;

/* Rows in cmd_error_table. */
#define KT_CMD_ERROR_COUNT 15

/*
 * The messages of the result codes, read-only. A code without a row is reported with the
 * message of -193. Codes 0 and -64 mean success.
 */
KT_API extern const kt_cmd_error cmd_error_table[KT_CMD_ERROR_COUNT];

KT_END_DECLS

#endif /* KT_CMD_H */
