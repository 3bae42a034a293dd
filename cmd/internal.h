// What the files of the command library share with each other and with nothing outside
// it (its tests aside): the result codes they name, the client ID of a line without one,
// and the allocator of the reply builder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kt_cmd.h"

namespace ktcmd {

// Result codes, as the decoder returns them and the error table lists them.
constexpr int32_t kNoError = 0;
constexpr int32_t kNoErrorAlt = -64;  // also success: "no error"
constexpr int32_t kErrOverflow = -1;
constexpr int32_t kErrNoMemory = -2;
constexpr int32_t kErrIdFormat = -3;
constexpr int32_t kErrTooLong = -4;
constexpr int32_t kErrFormat = -5;
constexpr int32_t kErrUnsupported = -6;
constexpr int32_t kErrBusy = -9;
constexpr int32_t kErrTimeout = -10;
constexpr int32_t kErrPassThrough = -13;  // the result text is the whole error text
constexpr int32_t kErrNotAscii = -14;
constexpr int32_t kErrConfirm = -62;
constexpr int32_t kErrNoCommand = -190;
constexpr int32_t kErrParamLength = -193;  // its message also stands for unlisted codes
constexpr int32_t kErrExecFailed = -224;

// The client ID of a line that has none, or whose ID was refused.
constexpr char kNoId[] = "(null)";

inline void set_no_id(kt_cmd &cmd) {
    std::memset(cmd.id, 0, sizeof cmd.id);
    std::memcpy(cmd.id, kNoId, sizeof kNoId - 1);
}

using alloc_fn = void *(*)(size_t size);

// Allocates reply buffers and working copies; std::malloc unless a test replaced it to
// exercise the out-of-memory paths. The buffers are released with std::free.
extern alloc_fn reply_alloc;

}  // namespace ktcmd
