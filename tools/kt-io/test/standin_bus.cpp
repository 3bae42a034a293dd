// Sets up the I2C adapter stand-in for kt-io linked into a test program of its own: the
// file named by KT_IO_STANDIN_BUS acts as the adapter, with a few devices answering, and
// every request is written to the file named by KT_IO_STANDIN_LOG when the program ends,
// one line per request: "W50[00 10 ab]" for a write message, "R50#256" for a read.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "i2c_bus_standin.h"

namespace {

void write_log() {
    const char *path = std::getenv("KT_IO_STANDIN_LOG");
    if (path == nullptr) {
        return;
    }
    FILE *f = std::fopen(path, "w");
    if (f == nullptr) {
        return;
    }
    for (const auto &request : kti2c_test::bus().requests) {
        const char *sep = "";
        for (const auto &m : request) {
            if (m.flags & I2C_M_RD) {
                std::fprintf(f, "%sR%02x#%u", sep, m.addr, m.len);
            } else {
                std::fprintf(f, "%sW%02x[", sep, m.addr);
                for (std::size_t i = 0; i < m.bytes.size(); ++i) {
                    std::fprintf(f, i ? " %02x" : "%02x", m.bytes[i]);
                }
                std::fputc(']', f);
            }
            sep = " ";
        }
        std::fputc('\n', f);
    }
    std::fclose(f);
}

// The simulated devices: a sensor at 0x1d with its identity 0x33 in register 0x0f, an
// EEPROM with 8-bit register addresses at 0x50 holding a text, one with 16-bit register
// addresses at 0x57, a write-only device at 0x3c, and two devices at reserved addresses
// (0x03, 0x7a) that a scan must leave alone.
const bool kSetUp = [] {
    const char *path = std::getenv("KT_IO_STANDIN_BUS");
    if (path == nullptr) {
        return false;
    }
    kti2c_test::Bus &bus = kti2c_test::bus();
    bus.path = path;
    auto &sensor = bus.slaves[0x1d];
    for (int i = 0; i < 256; ++i) {
        sensor.memory[i] = static_cast<std::uint8_t>(i);
    }
    sensor.memory[0x0f] = 0x33;
    auto &eeprom = bus.slaves[0x50];
    eeprom.memory.assign(256, 0xff);
    const std::string text = "kt-io bench EEPROM, serial 0042";
    std::copy(text.begin(), text.end(), eeprom.memory.begin());
    auto &wide = bus.slaves[0x57];
    wide.address_bytes = 2;
    wide.memory.resize(4096);
    for (std::size_t i = 0; i < wide.memory.size(); ++i) {
        wide.memory[i] = static_cast<std::uint8_t>(i >> 4);
    }
    bus.slaves[0x3c].answers_reads = false;
    bus.slaves[0x03];
    bus.slaves[0x7a];
    std::atexit(write_log);
    return true;
}();

}  // namespace
