// Allocator of the reply builder's buffers. Library-internal; a test can swap it to
// exercise the out-of-memory paths.
#ifndef KT_CMD_ALLOC_H
#define KT_CMD_ALLOC_H

#include <cstddef>

namespace ktcmd {

using alloc_fn = void *(*)(size_t size);

// Allocates reply buffers and working copies; std::malloc unless a test replaced it.
// The buffers are released with std::free.
extern alloc_fn reply_alloc;

}  // namespace ktcmd

#endif  // KT_CMD_ALLOC_H
