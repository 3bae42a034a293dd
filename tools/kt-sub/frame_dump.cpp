#include "frame_dump.h"

#include <cctype>
#include <cstddef>
#include <cstring>

#include "kt_records.h"

namespace ktsub {

void dump_frame(FILE *out, const std::string &topic, const uint8_t *frame, size_t length) {
    fprintf(out, "%s  %zu bytes", topic.c_str(), length);
    if (length >= KT_FRAME_OVERHEAD) {
        uint16_t msg_id = 0, payload_len = 0;
        memcpy(&msg_id, frame + offsetof(kt_frame, msg_id), sizeof msg_id);
        memcpy(&payload_len, frame + offsetof(kt_frame, payload_len), sizeof payload_len);
        fprintf(out, "  module %u channel %u msg_id %u payload_len %u", frame[0], frame[1] & 0x0fu,
                msg_id, payload_len);
    }
    fputc('\n', out);
    for (size_t row = 0; row < length; row += 16) {
        fprintf(out, "  %04zx ", row);
        for (size_t i = row; i < row + 16; ++i) {
            if (i < length) {
                fprintf(out, " %02x", frame[i]);
            } else {
                fputs("   ", out);
            }
        }
        fputs("  ", out);
        for (size_t i = row; i < row + 16 && i < length; ++i) {
            fputc(isprint(frame[i]) ? frame[i] : '.', out);
        }
        fputc('\n', out);
    }
}

}  // namespace ktsub
