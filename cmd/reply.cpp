// Reply builder: turns a command record and its result text into one acknowledgement line.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "internal.h"
#include "kt_cmd.h"
#include "reply_writer.h"

namespace ktcmd {
alloc_fn reply_alloc = std::malloc;
}  // namespace ktcmd

namespace {

using namespace ktcmd;

constexpr size_t kReplyReserve = 256;

struct FreeDeleter {
    void operator()(char *p) const { std::free(p); }
};
using Copy = std::unique_ptr<char, FreeDeleter>;

// Copies `text` into a new NUL-terminated buffer; null when there is no memory.
Copy copy_of(std::string_view text) {
    Copy copy(static_cast<char *>(ktcmd::reply_alloc(text.size() + 1)));
    if (copy) {
        std::memcpy(copy.get(), text.data(), text.size());
        copy.get()[text.size()] = '\0';
    }
    return copy;
}

const char *message_of(int32_t code) {
    for (const kt_cmd_error &row : cmd_error_table) {
        if (row.code == code) {
            return row.message;
        }
    }
    for (const kt_cmd_error &row : cmd_error_table) {
        if (row.code == kErrParamLength) {
            return row.message;
        }
    }
    return "";
}

bool is_success_code(int32_t code) {
    return code == kNoError || code == kNoErrorAlt;
}

// Reads a decimal number as strtol does in the C locale (white space, sign, digits; none
// gives 0), saturated to 32 bits so that every host reads it as the device does.
int32_t parse_code(const char *s) {
    while (*s == ' ' || (*s >= '\t' && *s <= '\r')) {
        ++s;
    }
    bool negative = false;
    if (*s == '+' || *s == '-') {
        negative = *s == '-';
        ++s;
    }
    int64_t value = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        if (value <= int64_t{INT32_MAX} + 1) {
            value = value * 10 + (*s - '0');
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

// Appends the optional piece selected by `bit`, when `bit` is set in the record's flags.
void append_reply_piece(const kt_cmd &cmd, ReplyWriter &out, uint32_t bit) {
    if ((cmd.flags & bit) == 0) {
        return;
    }
    switch (bit) {
        case KT_REPLY_ID:
            out.ch('[');
            out.text(std::string_view(cmd.id, strnlen(cmd.id, sizeof cmd.id)));
            out.ch(']');
            break;
        case KT_REPLY_NAME:
            out.text(std::string_view(cmd.command, strnlen(cmd.command, sizeof cmd.command)));
            out.ch('_');
            break;
        case KT_REPLY_STATE:
            if (cmd.done_state == 0) {
                out.text(out.ends_with('(') ? "DONE" : ";DONE");
            } else if (cmd.done_state == 1) {
                out.text(";ERROR");
            }
            break;
        case KT_REPLY_TIME: {
            kt_timestamp now{};
            get_time_tamp(&now);
            const uint32_t elapsed = (now.sec - cmd.recv_time.sec) * 1000u +
                                     (uint32_t{now.msec} - uint32_t{cmd.recv_time.msec});
            out.ch(';');
            out.number(cmd.recv_time.sec);
            out.ch(',');
            out.number(cmd.recv_time.msec);
            out.ch(',');
            out.number(now.sec);
            out.ch(',');
            out.number(now.msec);
            out.ch(',');
            out.number(uint64_t{elapsed});
            break;
        }
        case KT_REPLY_CHECKSUM: {
            // Covers everything written before the "#".
            const uint32_t crc = kt_crc(out.data(), static_cast<uint16_t>(out.length()));
            out.ch('#');
            out.number(crc, 16);
        } break;
        default:
            break;
    }
}

// Time stamp, ")", checksum and CR LF: the common end of every reply.
void finish_reply(const kt_cmd &cmd, ReplyWriter &out) {
    append_reply_piece(cmd, out, KT_REPLY_TIME);
    out.ch(')');
    append_reply_piece(cmd, out, KT_REPLY_CHECKSUM);
    out.text("\r\n");
}

// Builds the error form of the reply for cmd.code. `text_at` is the offset, within the
// buffer's current text, of the text to carry, or -1 for the code's own message.
// Returns the reply length; 0 when the code means success.
uint16_t build_error_reply(kt_cmd &cmd, ptrdiff_t text_at) {
    if (is_success_code(cmd.code)) {
        return 0;
    }
    // The reply is written over the buffer's text, so work from a copy of it.
    const Copy copy = copy_of(std::string_view(cmd.reply, strnlen(cmd.reply, cmd.reply_size)));
    if (!copy) {
        cmd.code = kErrNoMemory;  // reported with its table message, without the text
    }
    ReplyWriter out(cmd.reply, cmd.reply_size);
    append_reply_piece(cmd, out, KT_REPLY_ID);
    append_reply_piece(cmd, out, KT_REPLY_NAME);
    if (copy && text_at >= 0) {
        out.text("ACK(ERR_");
        out.number(cmd.code);
        out.text(": ");
        out.text(copy.get() + text_at);
    } else if (cmd.code == kErrConfirm) {
        out.text("ACK(CONFIRM");
        out.text(message_of(kErrConfirm));
    } else if (cmd.code == kErrPassThrough) {
        // The application's own text follows directly, from what came after "Error".
        out.text("ACK(ERR_");
        const std::string_view whole(copy ? copy.get() : "");
        if (whole.size() > 5) {
            out.text(std::string_view(whole.data() + 5, whole.size() - 5));
        }
    } else {
        out.text("ACK(ERR_");
        out.number(cmd.code);
        out.text(": ");
        out.text(message_of(cmd.code));
    }
    if (cmd.code != kErrConfirm && (cmd.flags & KT_REPLY_STATE) != 0) {
        cmd.done_state = 1;
        append_reply_piece(cmd, out, KT_REPLY_STATE);
        cmd.done_state = 0;
    }
    finish_reply(cmd, out);
    return static_cast<uint16_t>(out.length());
}

// The command name qualifies for the help layout when it is a prefix of "help".
bool is_help(const kt_cmd &cmd) {
    const size_t n = strnlen(cmd.command, sizeof cmd.command);
    return n <= 4 && std::memcmp(cmd.command, "help", n) == 0;
}

// Builds the success form; false when the working copy could not be allocated.
bool build_success_reply(kt_cmd &cmd) {
    std::string_view text(cmd.reply, strnlen(cmd.reply, cmd.reply_size));
    if (text.size() >= 4 && std::memcmp(text.data(), "Done", 4) == 0) {
        text.remove_prefix(4);
    }
    const Copy copy = copy_of(text);
    if (!copy) {
        return false;
    }
    ReplyWriter out(cmd.reply, cmd.reply_size);
    append_reply_piece(cmd, out, KT_REPLY_ID);
    append_reply_piece(cmd, out, KT_REPLY_NAME);
    out.text("ACK(");
    if (is_help(cmd)) {
        append_reply_piece(cmd, out, KT_REPLY_STATE);
        out.text(copy.get());
    } else {
        out.text(copy.get());
        append_reply_piece(cmd, out, KT_REPLY_STATE);
    }
    finish_reply(cmd, out);
    cmd.reply_len = static_cast<uint16_t>(out.length());
    return true;
}

}  // namespace

int kt_cmd_call_result(kt_cmd *cmd, const char *result, int len) noexcept {
    if (cmd == nullptr || result == nullptr || len < 0 || len > KT_RESULT_MAX) {
        return -1;
    }
    const size_t size = static_cast<size_t>(len) + kReplyReserve;
    auto *reply = static_cast<char *>(ktcmd::reply_alloc(size));
    if (reply == nullptr) {
        return -1;
    }
    std::memset(reply, 0, size);
    std::memcpy(reply, result, static_cast<size_t>(len));
    cmd->reply = reply;
    cmd->reply_size = static_cast<uint16_t>(size);
    cmd->reply_len = 0;

    if (!is_success_code(cmd->code)) {
        // A fault found before the command ran: the result text is not used.
        if (cmd->code == kErrIdFormat) {
            set_no_id(*cmd);
        }
        std::memset(reply, 0, size);
        cmd->reply_len = build_error_reply(*cmd, -1);
        return 0;
    }
    if (std::strncmp(reply, "Error", 5) == 0) {
        cmd->code = parse_code(reply + 5);
        const char *space = std::strchr(reply, ' ');
        cmd->reply_len = build_error_reply(*cmd, space != nullptr ? space + 1 - reply : -1);
        return 0;
    }
    if (!build_success_reply(*cmd)) {
        cmd->reply_len = KT_REPLY_LEN_NOMEM;
    }
    return 0;
}

int kt_cmd_destroy_result(kt_cmd *cmd) noexcept {
    if (cmd == nullptr || cmd->reply == nullptr) {
        return -1;
    }
    std::free(cmd->reply);
    cmd->reply = nullptr;
    cmd->reply_size = 0;
    return 0;
}
