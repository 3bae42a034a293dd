// Fuzz target: arbitrary command lines through the decoder, then arbitrary result texts,
// flags, states and codes through the reply builder, checking the record and the reply.
//
// Input: byte 0 flags (bits 0-4) and state choice (bits 5-6), byte 1 code choice,
// bytes 2-3 line length (little-endian, cut to what is left), the line, then the result.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "kt_cmd.h"

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

bool ascii(std::string_view s) {
    for (const char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

void check_decoded(const kt_cmd &cmd) {
    check(cmd.flags == KT_REPLY_DEFAULT, "flags after decoding");
    check(cmd.reply == nullptr && cmd.reply_size == 0 && cmd.reply_len == 0, "no reply yet");
    check(cmd.done_state == 0, "done_state after decoding");
    const int32_t c = cmd.code;
    check(c == 0 || c == -3 || c == -4 || c == -5 || c == -14, "decoder code");
    if (c != 0) {
        return;
    }
    const std::string_view id(cmd.id, strnlen(cmd.id, sizeof cmd.id));
    const std::string_view name(cmd.command, strnlen(cmd.command, sizeof cmd.command));
    const std::string_view args(cmd.args, strnlen(cmd.args, sizeof cmd.args));
    check(ascii(id) && ascii(name) && ascii(args), "7-bit fields");
    check(id.find('[') == id.npos && id.find(']') == id.npos, "ID without brackets");
    check(name.find('(') == name.npos, "name without '('");
    check(name.empty() || (name.front() != ' ' && name.back() != ' '), "name trimmed");
    check(name.find("  ") == name.npos, "single spaces in the name");
    check(args.empty() || (args.front() != ',' && args.back() != ','), "no empty first/last piece");
    check(args.find(",,") == args.npos, "no empty pieces");
    check(args.find(')') == args.npos, "no ')' in the arguments");
    check(args.empty() || (args.front() != ' ' && args.back() != ' '), "arguments trimmed");
    check(args.find(" ,") == args.npos && args.find(", ") == args.npos, "pieces trimmed");
}

void check_reply(const kt_cmd &cmd, uint32_t flags) {
    check(cmd.reply != nullptr, "reply buffer");
    if (cmd.reply_len == 0) {
        check(cmd.code == 0 || cmd.code == -64, "no reply only for success codes");
        return;
    }
    check(cmd.reply_len != KT_REPLY_LEN_NOMEM, "memory is plentiful here");
    check(cmd.reply_len < cmd.reply_size, "reply inside its buffer");
    check(std::strlen(cmd.reply) == cmd.reply_len, "reply_len is the reply's length");
    const std::string_view r(cmd.reply, cmd.reply_len);
    check(r.size() >= 7 && r.substr(r.size() - 2) == "\r\n", "reply ends with CR LF");
    check(r.find("ACK(") != r.npos, "reply has ACK(");
    check((flags & KT_REPLY_ID) == 0 || r.front() == '[', "ID piece first");
    if ((flags & KT_REPLY_CHECKSUM) != 0) {
        const size_t hash = r.rfind('#');
        check(hash != r.npos && hash > 0 && r[hash - 1] == ')', "checksum after ')'");
        char want[16];
        std::snprintf(want, sizeof want, "%x",
                      static_cast<unsigned>(kt_crc(cmd.reply, static_cast<uint16_t>(hash))));
        check(r.substr(hash + 1, r.size() - 3 - hash) == want, "checksum value");
    } else {
        check(r[r.size() - 3] == ')', "')' before CR LF");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) {
        return 0;
    }
    const uint32_t flags = data[0] & 0x1f;
    const int32_t states[] = {0, 1, 2, -1};
    const int32_t done_state = states[(data[0] >> 5) & 3];
    const int32_t codes[] = {0,   -64, -1,  -2,   -3,   -4,   -5, -6, -9,       -10,
                             -13, -14, -62, -224, -190, -193, -7, 5,  INT32_MIN};
    const uint8_t code_choice = data[1];
    size_t line_len = data[2] | (size_t{data[3]} << 8);
    data += 4;
    size -= 4;
    line_len = line_len < size ? line_len : size;

    // The line: exactly its bytes and a NUL, on the heap so that overreads are caught.
    std::unique_ptr<char[]> line(new char[line_len + 1]);
    std::memcpy(line.get(), data, line_len);
    line[line_len] = '\0';
    kt_cmd cmd = kt_cmd_decode(line.get());
    check_decoded(cmd);

    cmd.flags = flags;
    cmd.done_state = done_state;
    if (code_choice < sizeof codes / sizeof codes[0]) {
        cmd.code = codes[code_choice];
    }
    const size_t result_len = size - line_len;
    std::unique_ptr<char[]> result(new char[result_len > 0 ? result_len : 1]);
    std::memcpy(result.get(), data + line_len, result_len);
    const int rc = kt_cmd_call_result(&cmd, result.get(), static_cast<int>(result_len));
    if (result_len > KT_RESULT_MAX) {
        check(rc == -1 && cmd.reply == nullptr, "overlong result refused");
        return 0;
    }
    check(rc == 0, "reply built");
    check_reply(cmd, flags);
    check(kt_cmd_destroy_result(&cmd) == 0, "release");
    check(kt_cmd_destroy_result(&cmd) == -1, "second release refused");
    return 0;
}
