// Hex dump lines of register contents.
#ifndef KT_IO_HEX_DUMP_H
#define KT_IO_HEX_DUMP_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace ktio {

// A hex dump of the `n` bytes at `data`, read from `address` on: 16 bytes a line, led by
// the line's address and shown as registers of `width` bytes (1, 2 or 4; little-endian,
// so 16 bytes are 16, 8 or 4 registers), then the bytes as ASCII (a dot for others).
// `n` is a multiple of `width`; a short last line keeps the ASCII column in place.
std::string hex_dump(std::uint64_t address, const unsigned char *data, std::size_t n, int width);

}  // namespace ktio

#endif  // KT_IO_HEX_DUMP_H
