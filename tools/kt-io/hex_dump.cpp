#include "hex_dump.h"

#include <cstdio>

namespace ktio {

std::string hex_dump(std::uint64_t address, const unsigned char *data, std::size_t n, int width) {
    constexpr std::size_t kLine = 16;
    // Each register takes 2 digits per byte and a space.
    const std::size_t field = 2 * static_cast<std::size_t>(width) + 1;
    std::string out;
    char item[24];
    for (std::size_t line = 0; line < n; line += kLine) {
        std::snprintf(item, sizeof item,
                      "%08llx:", static_cast<unsigned long long>(address + line));
        out += item;
        const std::size_t end = line + kLine < n ? line + kLine : n;
        for (std::size_t i = line; i < end; i += static_cast<std::size_t>(width)) {
            std::uint32_t v = 0;
            for (int b = 0; b < width; ++b) {
                v |= std::uint32_t{data[i + static_cast<std::size_t>(b)]} << (8 * b);
            }
            std::snprintf(item, sizeof item, " %0*x", 2 * width, v);
            out += item;
        }
        out.append((line + kLine - end) / static_cast<std::size_t>(width) * field, ' ');
        out += "  |";
        for (std::size_t i = line; i < end; ++i) {
            const unsigned char c = data[i];
            out += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '.';
        }
        out += "|\n";
    }
    return out;
}

}  // namespace ktio
