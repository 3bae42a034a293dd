// Looking filters up in the filter plug-in.
#pragma once

#include <cstddef>

#include "kt_records.h"

namespace ktdaq {

// The filter function `name` that the plug-in opened as `handle` defines itself. Null when
// it has none: the loader's text, or one in the same form for a name that resolves only
// in another object (a library the plug-in uses) or to something that is not a function,
// is then written to `error` (`size` bytes, NUL-terminated).
kt_filter_fn find_filter(void *handle, const char *name, char *error, size_t size) noexcept;

}  // namespace ktdaq
