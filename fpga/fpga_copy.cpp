// Word-wise copies between a register window and a byte buffer.
#include "kt_fpga.h"

#include "fpga_access.h"

using namespace ktfpga;

int kt_fpga_read(const volatile void *reg, void *buf, int len) noexcept {
    if (len <= 0) {
        return 0;
    }
    if (reg == nullptr || buf == nullptr) {
        return -1;
    }
    auto *r = static_cast<const volatile unsigned char *>(reg);
    auto *out = static_cast<unsigned char *>(buf);
    const int words = len / 4;
    for (int i = 0; i < words; ++i) {
        put_le(out + 4 * i, load32(r + 4 * i), 4);
    }
    r += 4 * words;
    out += 4 * words;
    switch (len % 4) {
        case 1:
            out[0] = load8(r);
            break;
        case 2:
            put_le(out, load16(r), 2);
            break;
        case 3:
            // One access of the whole word; its fourth byte is dropped.
            put_le(out, load32(r), 3);
            break;
        default:
            break;
    }
    return 0;
}

int kt_fpga_write(volatile void *reg, const void *buf, int len) noexcept {
    if (len <= 0) {
        return 0;
    }
    if (reg == nullptr || buf == nullptr) {
        return -1;
    }
    auto *r = static_cast<volatile unsigned char *>(reg);
    auto *in = static_cast<const unsigned char *>(buf);
    const int words = len / 4;
    for (int i = 0; i < words; ++i) {
        store32(r + 4 * i, get_le(in + 4 * i, 4));
    }
    r += 4 * words;
    in += 4 * words;
    switch (len % 4) {
        case 1:
            store8(r, in[0]);
            break;
        case 2:
            store16(r, static_cast<std::uint16_t>(get_le(in, 2)));
            break;
        case 3:
            // One access of the whole word; its fourth byte is written as 0.
            store32(r, get_le(in, 3));
            break;
        default:
            break;
    }
    return 0;
}
