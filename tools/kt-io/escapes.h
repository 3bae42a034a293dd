// Backslash escapes in text given on the command line.
#ifndef KT_IO_ESCAPES_H
#define KT_IO_ESCAPES_H

#include <string>

namespace ktio {

// Replaces \r, \n, \t, \\ and \xNN (exactly two hex digits) in `text` with the bytes they
// stand for. Returns false, with `error` naming the bad escape, for any other backslash
// sequence or a backslash at the end.
bool unescape(const std::string &text, std::string &out, std::string &error);

}  // namespace ktio

#endif  // KT_IO_ESCAPES_H
