// Array transfers through one port register (FIFO-like ports).
#include "kt_fpga.h"

#include <cstdint>
#include <cstdio>
#include <type_traits>

#include "fpga_access.h"

using namespace ktfpga;

namespace {

enum class direction { read, write };

// Checks that an element of `w` bytes at `reg` lies within one 32-bit word; prints the
// refusal line of the transfer direction for offsets 1 to 3.
bool element_fits(std::uintptr_t reg, int w, direction dir) {
    const std::uintptr_t boundary = (reg & ~std::uintptr_t{3}) + 4;
    if (reg + static_cast<std::uintptr_t>(w) <= boundary) {
        return true;
    }
    const unsigned room_bits = 8 * static_cast<unsigned>(boundary - reg);
    const int offset = static_cast<int>(reg % 4);
    if (room_bits == 16 || room_bits == 24) {
        std::printf(dir == direction::read
                        ? "logic error, when the addr offset is %d, the bitwide should be 8 or 16"
                        : "logic error, when the addr offset is %d, the bitwide should be 8 bit "
                          "or 16 bit",
                    offset);
    } else if (room_bits == 8) {
        std::printf(dir == direction::read
                        ? "logic error, when the addr offset is %d, the bitwide should be 8"
                        : "logic error, when the addr offset is %d, the bitwide should be 8 bit",
                    offset);
    }
    return false;
}

// Element size in bytes for a valid width, or 0 when the width must be refused.
int element_size(int bitwide) {
    return bitwide >= 8 ? bitwide / 8 : 0;
}

// Whether a transfer of `len` bytes may go ahead: `*w` is then the element size and `*n`
// the number of elements (none when `len` is below one element).
bool transfer_ok(const volatile void *reg, const void *buf, int len, int bitwide, direction dir,
                 int *w, int *n) {
    *w = element_size(bitwide);
    if (*w == 0 || !element_fits(reinterpret_cast<std::uintptr_t>(reg), *w, dir)) {
        return false;
    }
    *n = len / *w;
    return *n <= 0 || (reg != nullptr && buf != nullptr);
}

// Calls `f` with the element size `w` (1 to 4) as a compile-time constant, so that each
// element's access compiles to one load or store of that width.
template <typename F>
void with_width(int w, F f) {
    switch (w) {
        case 1:
            f(std::integral_constant<int, 1>{});
            break;
        case 2:
            f(std::integral_constant<int, 2>{});
            break;
        case 3:
            f(std::integral_constant<int, 3>{});
            break;
        default:
            f(std::integral_constant<int, 4>{});
            break;
    }
}

}  // namespace

int kt_fpga_read_array(const volatile void *reg, void *buf, int len, int bitwide) noexcept {
    int w = 0, n = 0;
    if (!transfer_ok(reg, buf, len, bitwide, direction::read, &w, &n)) {
        return -1;
    }
    auto *r = static_cast<const volatile unsigned char *>(reg);
    auto *out = static_cast<unsigned char *>(buf);
    with_width(w, [&](auto width) {
        constexpr int kW = width;
        for (int i = 0; i < n; ++i, out += kW) {
            if constexpr (kW == 3) {
                // Three bytes: no single access of that width exists.
                for (int b = 0; b < kW; ++b) {
                    out[b] = load8(r + b);
                }
            } else {
                load_le(r, kW, out, kW);
            }
        }
    });
    return len;
}

int kt_fpga_write_array(volatile void *reg, const void *buf, int len, int bitwide) noexcept {
    int w = 0, n = 0;
    if (!transfer_ok(reg, buf, len, bitwide, direction::write, &w, &n)) {
        return -1;
    }
    auto *r = static_cast<volatile unsigned char *>(reg);
    auto *in = static_cast<const unsigned char *>(buf);
    with_width(w, [&](auto width) {
        constexpr int kW = width;
        for (int i = 0; i < n; ++i, in += kW) {
            if constexpr (kW == 3) {
                for (int b = 0; b < kW; ++b) {
                    store8(r + b, in[b]);
                }
            } else {
                store_le(r, kW, in, kW);
            }
        }
    });
    return len;
}
