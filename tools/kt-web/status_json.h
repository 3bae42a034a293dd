// The JSON kt-web serves: the status of /api/status and the messages of the live feed,
// which add each source's waveform.
#pragma once

#include <string>

#include "source_book.h"

namespace ktweb {

struct Origin {
    std::string mode;    // "publish" or "tap"
    std::string where;   // the endpoint watched
    double stale_s = 3;  // no frames for this long is the "no_frames" state
};

// "ok", "no_engine" (not connected to the publisher or the channel) or "no_frames"
// (connected, but no frame for origin.stale_s or none yet).
const char *state_of(const BookView &view, const Origin &origin);

// The view as one JSON object; with `waves`, each source's waveform as "wave".
std::string to_json(const BookView &view, const Origin &origin, SampleFormat format, bool waves);

}  // namespace ktweb
