// Frames as text for kt-sub --dump.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace ktsub {

// One line with the topic and header fields, then the bytes in hex, 16 to a line.
void dump_frame(FILE *out, const std::string &topic, const uint8_t *frame, size_t length);

}  // namespace ktsub
