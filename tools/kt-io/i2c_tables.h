// The tables kt-io i2c prints: the bus's address map and a device's registers.
#ifndef KT_IO_I2C_TABLES_H
#define KT_IO_I2C_TABLES_H

#include <cstdint>
#include <string>

namespace ktio {

// What a scan found at one address.
enum class Probe : std::uint8_t { kSkipped, kAbsent, kPresent };

// The address table, 8 rows of 16: the address where a device answered, "--" where none
// did, blanks for addresses not probed.
std::string scan_table(const Probe (&found)[128]);

// 16 registers a line, each line led by the address of its first register (4 digits
// with 16-bit register addresses), then the bytes as ASCII (a dot for others).
std::string register_table(std::uint32_t first, const std::uint8_t *data, std::size_t n,
                           bool reg16);

}  // namespace ktio

#endif  // KT_IO_I2C_TABLES_H
