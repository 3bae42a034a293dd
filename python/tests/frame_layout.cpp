// Prints the frame record's layout as this build's compiler lays it out, as JSON, for the
// Python client's tests to hold its frame dtype against.
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "kt_records.h"

int main() {
    kt_frame probe{};
    probe.channel_id = 0xf;  // every bit of the field; which bits of byte 1 it takes
    unsigned char channel_bits = 0;
    std::memcpy(&channel_bits, reinterpret_cast<const unsigned char *>(&probe) + 1, 1);

    // A header with a distinct value in every field, byte for byte as stored.
    kt_frame sample{};
    sample.module_id = 0xab;
    sample.channel_id = 0x5;
    sample.msg_id = 0x1234;
    for (size_t i = 0; i < sizeof sample.reserved; ++i) {
        sample.reserved[i] = static_cast<uint8_t>(i + 1);
    }
    sample.payload_len = 0x0203;
    unsigned char bytes[sizeof(kt_frame)];
    std::memcpy(bytes, &sample, sizeof bytes);

    printf("{\"size\": %zu, \"overhead\": %u, \"header\": %u, \"slot\": %u,\n", sizeof(kt_frame),
           KT_FRAME_OVERHEAD, KT_FRAME_HEADER_SIZE, KT_SLOT_SIZE);
    printf(
        " \"offsets\": {\"module_id\": %zu, \"msg_id\": %zu, \"reserved\": %zu, "
        "\"payload_len\": %zu, \"payload\": %zu},\n",
        offsetof(kt_frame, module_id), offsetof(kt_frame, msg_id), offsetof(kt_frame, reserved),
        offsetof(kt_frame, payload_len), offsetof(kt_frame, payload));
    printf(" \"reserved_size\": %zu, \"channel_bits\": %u,\n \"sample\": \"",
           sizeof sample.reserved, channel_bits);
    for (unsigned char b : bytes) {
        printf("%02x", b);
    }
    printf("\"}\n");
    return 0;
}
