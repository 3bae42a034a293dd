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
    // The rest with one access; three bytes take the whole word and drop its fourth byte.
    const int rest = len % 4;
    if (rest != 0) {
        load_le(r + 4 * words, rest == 3 ? 4 : rest, out + 4 * words, rest);
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
    // The rest with one access; three bytes take the whole word, its fourth byte 0.
    const int rest = len % 4;
    if (rest != 0) {
        store_le(r + 4 * words, rest == 3 ? 4 : rest, in + 4 * words, rest);
    }
    return 0;
}
