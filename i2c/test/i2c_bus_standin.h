// Test-only I2C adapter stand-in at the request level. The test program defines ioctl;
// I2C_RDWR requests on the stand-in's descriptor are recorded, checked against i2c-dev's
// limits (1 to 42 messages of up to 8192 bytes, else EINVAL) and answered by simulated
// slaves, and every other request goes to the C library unchanged.
#pragma once

#include <linux/i2c.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kti2c_test {

// One message as the library handed it over.
struct Message {
    std::uint16_t addr;
    std::uint16_t flags;
    std::uint16_t len;
    const std::uint8_t *buf;
    std::vector<std::uint8_t> bytes;  // what a write message carried
};

// A register-file slave (EEPROM-like): a write sets the pointer from its first byte (its
// first two, high byte first, when `address_bytes` is 2) and stores the rest from there;
// a read returns bytes from the pointer on. Both advance it. A slave that does not answer
// reads takes only writes and refuses every read message, as write-only devices do.
struct Slave {
    std::vector<std::uint8_t> memory = std::vector<std::uint8_t>(256);
    std::size_t pointer = 0;
    int address_bytes = 1;
    bool answers_reads = true;
};

struct Bus {
    int fd = -1;  // the descriptor that acts as the adapter
    // When not empty, every descriptor open on this file acts as the adapter too: for a
    // program that opens the adapter itself.
    std::string path;
    std::map<std::uint16_t, Slave> slaves;  // by 7-bit address
    std::vector<std::vector<Message>> requests;
};

// The bus the stand-in serves; tests set it up and read it back.
Bus &bus();

}  // namespace kti2c_test
