#include "escapes.h"

#include <cctype>

namespace ktio {
namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

}  // namespace

bool unescape(const std::string &text, std::string &out, std::string &error) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (i + 1 >= text.size()) {
            error = "a backslash at the end (write \\\\ for a backslash)";
            return false;
        }
        const char c = text[++i];
        switch (c) {
            case 'r':
                out += '\r';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case '\\':
                out += '\\';
                break;
            case 'x': {
                const int hi = i + 1 < text.size() ? hex_digit(text[i + 1]) : -1;
                const int lo = i + 2 < text.size() ? hex_digit(text[i + 2]) : -1;
                if (hi < 0 || lo < 0) {
                    error = "\\x needs two hex digits";
                    return false;
                }
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default:
                error = std::string("unknown escape \\") + c + " (known: \\r \\n \\t \\\\ \\xNN)";
                return false;
        }
    }
    return true;
}

}  // namespace ktio
