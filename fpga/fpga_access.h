/*
 * Single register accesses of a fixed width and the little-endian packing of their
 * values into byte buffers. Each load or store is one volatile access, so the compiler
 * neither splits, merges, repeats nor drops it.
 */
#pragma once

#include <cstdint>

namespace ktfpga {

// Registers are normally word aligned, but the copy functions do not check it; these
// types keep an unaligned address defined behaviour while still compiling to one load or
// store instruction of the full width on the targets we build for.
using reg8 = volatile std::uint8_t;
using reg16 = volatile std::uint16_t __attribute__((aligned(1), may_alias));
using reg32 = volatile std::uint32_t __attribute__((aligned(1), may_alias));

inline std::uint8_t load8(const volatile unsigned char *r) {
    return *reinterpret_cast<const reg8 *>(r);
}
inline std::uint16_t load16(const volatile unsigned char *r) {
    return *reinterpret_cast<const reg16 *>(r);
}
inline std::uint32_t load32(const volatile unsigned char *r) {
    return *reinterpret_cast<const reg32 *>(r);
}
inline void store8(volatile unsigned char *r, std::uint8_t v) {
    *reinterpret_cast<reg8 *>(r) = v;
}
inline void store16(volatile unsigned char *r, std::uint16_t v) {
    *reinterpret_cast<reg16 *>(r) = v;
}
inline void store32(volatile unsigned char *r, std::uint32_t v) {
    *reinterpret_cast<reg32 *>(r) = v;
}

// Stores the `n` low bytes of `v` to `out`, least significant first.
inline void put_le(unsigned char *out, std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) {
        out[i] = static_cast<unsigned char>(v >> (8 * i));
    }
}

// Assembles `n` bytes at `in` into a value, the first byte least significant.
inline std::uint32_t get_le(const unsigned char *in, int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
        v |= std::uint32_t{in[i]} << (8 * i);
    }
    return v;
}

// One load of `width` bytes (1, 2 or 4) at `r`; its `n` low bytes go to `out`.
inline void load_le(const volatile unsigned char *r, int width, unsigned char *out, int n) {
    put_le(out, width == 1 ? load8(r) : width == 2 ? load16(r) : load32(r), n);
}

// One store of `width` bytes (1, 2 or 4) at `r` of the `n` bytes at `in` (the rest 0).
inline void store_le(volatile unsigned char *r, int width, const unsigned char *in, int n) {
    const std::uint32_t v = get_le(in, n);
    if (width == 1) {
        store8(r, static_cast<std::uint8_t>(v));
    } else if (width == 2) {
        store16(r, static_cast<std::uint16_t>(v));
    } else {
        store32(r, v);
    }
}

}  // namespace ktfpga
