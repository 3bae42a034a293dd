// Command line decoder: "[id]name words(arg, arg, ...)" into a kt_cmd record.
#include "internal.h"

#include <cstring>
#include <string_view>

namespace {

using namespace ktcmd;

constexpr uint32_t kDecodedFlags = KT_REPLY_DEFAULT;

bool is_ascii(std::string_view s) {
    for (const char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

std::string_view trim_spaces(std::string_view s) {
    while (!s.empty() && s.front() == ' ') {
        s.remove_prefix(1);
    }
    while (!s.empty() && s.back() == ' ') {
        s.remove_suffix(1);
    }
    return s;
}

// Joins the space-separated words of `text` into cmd.command. Returns 0 or an error code.
int32_t decode_name(kt_cmd &cmd, std::string_view text) {
    size_t len = 0;
    while (!text.empty()) {
        const size_t start = text.find_first_not_of(' ');
        if (start == std::string_view::npos) {
            break;
        }
        text.remove_prefix(start);
        const size_t end = std::min(text.find(' '), text.size());
        const std::string_view word = std::string_view(text.data(), end);
        text.remove_prefix(end);
        if (word.size() >= 2 && word[0] == '\r' && word[1] == '\n') {
            return kErrFormat;
        }
        const size_t sep = len > 0 ? 1 : 0;
        if (sep != 0 && len < sizeof cmd.command) {
            cmd.command[len] = ' ';  // stays even when the word does not fit
        }
        if (len + sep + word.size() > sizeof cmd.command) {
            return kErrTooLong;
        }
        len += sep;
        std::memcpy(cmd.command + len, word.data(), word.size());
        len += word.size();
    }
    return 0;
}

// Joins the trimmed, non-empty comma-separated pieces of `text` into cmd.args.
int32_t decode_args(kt_cmd &cmd, std::string_view text) {
    size_t len = 0;
    while (!text.empty()) {
        const size_t end = std::min(text.find(','), text.size());
        const std::string_view piece = trim_spaces(std::string_view(text.data(), end));
        text.remove_prefix(end < text.size() ? end + 1 : end);
        if (piece.empty()) {
            continue;
        }
        const size_t sep = len > 0 ? 1 : 0;
        if (len + sep + piece.size() > sizeof cmd.args) {
            return kErrTooLong;
        }
        if (!is_ascii(piece)) {
            return kErrNotAscii;
        }
        if (sep != 0) {
            cmd.args[len++] = ',';
        }
        std::memcpy(cmd.args + len, piece.data(), piece.size());
        len += piece.size();
    }
    return 0;
}

int32_t decode_into(kt_cmd &cmd, char *line) {
    char *p = line;
    while (*p == ' ') {
        ++p;
    }
    if (*p != '[' || std::strchr(p + 1, '[') != nullptr) {
        set_no_id(cmd);
        return kErrFormat;
    }
    char *id_begin = p + 1;
    char *id_end = std::strchr(id_begin, ']');
    if (id_end == nullptr || id_end - id_begin > KT_CMD_ID_SIZE) {
        set_no_id(cmd);
        return kErrIdFormat;
    }
    const std::string_view id(id_begin, static_cast<size_t>(id_end - id_begin));
    std::memcpy(cmd.id, id.data(), id.size());
    if (!is_ascii(id)) {
        return kErrNotAscii;
    }

    char *open = std::strchr(id_end + 1, '(');
    if (open == nullptr) {
        return kErrFormat;
    }
    const std::string_view name(id_end + 1, static_cast<size_t>(open - id_end - 1));
    if (!is_ascii(name)) {
        return kErrNotAscii;
    }
    if (const int32_t code = decode_name(cmd, name); code != 0) {
        return code;
    }

    char *close = std::strchr(open + 1, ')');
    if (close == nullptr) {
        return kErrFormat;
    }
    *close = '\0';
    return decode_args(cmd, std::string_view(open + 1, static_cast<size_t>(close - open - 1)));
}

}  // namespace

kt_cmd kt_cmd_decode(char *line) noexcept {
    kt_cmd cmd;
    std::memset(&cmd, 0, sizeof cmd);
    cmd.flags = kDecodedFlags;
    if (line == nullptr) {
        set_no_id(cmd);
        cmd.code = kErrFormat;
        return cmd;
    }
    get_time_tamp(&cmd.recv_time);
    cmd.code = decode_into(cmd, line);
    return cmd;
}
