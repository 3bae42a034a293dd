/* The public records compile as C and keep their layout on the device and the host. */
#include <stddef.h>

#include "kt_cmd.h"

_Static_assert(offsetof(kt_netword, capacity) == 0, "capacity");
_Static_assert(offsetof(kt_netword, fill) == 4, "fill");
_Static_assert(offsetof(kt_netword, consumed) == 8, "consumed");
_Static_assert(offsetof(kt_netword, data) == 12, "data");
_Static_assert(sizeof(kt_netword) == 2060, "receive buffer record size");

_Static_assert(offsetof(kt_cmd, flags) == 0, "flags");
_Static_assert(offsetof(kt_cmd, id) == 4, "id");
_Static_assert(offsetof(kt_cmd, command) == 20, "command");
_Static_assert(offsetof(kt_cmd, args) == 84, "args");
#if __SIZEOF_POINTER__ == 4 /* the 32-bit ARM device */
_Static_assert(offsetof(kt_cmd, reply) == 1108, "reply");
_Static_assert(offsetof(kt_cmd, reply_size) == 1112, "reply_size");
_Static_assert(offsetof(kt_cmd, reply_len) == 1114, "reply_len");
_Static_assert(offsetof(kt_cmd, recv_time) == 1116, "recv_time");
_Static_assert(offsetof(kt_cmd, done_state) == 1124, "done_state");
_Static_assert(offsetof(kt_cmd, code) == 1128, "code");
_Static_assert(sizeof(kt_cmd) == 1132, "command record size");
_Static_assert(sizeof(kt_cmd_error) == 8, "error table row");
#endif

_Static_assert(KT_REPLY_TIME == 0x01 && KT_REPLY_ID == 0x02 && KT_REPLY_NAME == 0x04 &&
                   KT_REPLY_CHECKSUM == 0x08 && KT_REPLY_STATE == 0x10,
               "reply flag bits");
_Static_assert(KT_REPLY_DEFAULT == 19, "flags after decoding");
