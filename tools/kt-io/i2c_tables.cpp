#include "i2c_tables.h"

#include <cstdio>

namespace ktio {
namespace {

void trim_line_end(std::string &text) {
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    text += '\n';
}

}  // namespace

std::string scan_table(const Probe (&found)[128]) {
    std::string out = "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n";
    char item[16];
    for (int row = 0; row < 128; row += 16) {
        std::snprintf(item, sizeof item, "%02x:", row);
        out += item;
        for (int a = row; a < row + 16; ++a) {
            switch (found[a]) {
                case Probe::kSkipped:
                    out += "   ";
                    break;
                case Probe::kAbsent:
                    out += " --";
                    break;
                case Probe::kPresent:
                    std::snprintf(item, sizeof item, " %02x", a);
                    out += item;
                    break;
            }
        }
        trim_line_end(out);
    }
    return out;
}

std::string register_table(std::uint32_t first, const std::uint8_t *data, std::size_t n,
                           bool reg16) {
    const char *lead = reg16 ? "      " : "    ";
    std::string out =
        std::string(lead) + " 0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n";
    char item[16];
    for (std::size_t line = 0; line < n; line += 16) {
        std::snprintf(item, sizeof item, reg16 ? "%04x:" : "%02x:",
                      static_cast<unsigned>((first + line) & (reg16 ? 0xffff : 0xff)));
        out += item;
        const std::size_t end = line + 16 < n ? line + 16 : n;
        for (std::size_t i = line; i < end; ++i) {
            std::snprintf(item, sizeof item, " %02x", data[i]);
            out += item;
        }
        out.append(3 * (line + 16 - end), ' ');
        out += "    ";
        for (std::size_t i = line; i < end; ++i) {
            out += data[i] >= 0x20 && data[i] < 0x7f ? static_cast<char>(data[i]) : '.';
        }
        out += '\n';
    }
    return out;
}

}  // namespace ktio
