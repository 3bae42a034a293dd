// kt-io i2c against the adapter stand-in (a simulated bus with a few devices): the scan
// table and the probes it makes, register dumps, get and set with 8- and 16-bit register
// addresses, and the bus number shorthand.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"
#include "temp_dir.h"

using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

class StandinBus : public testing::Test {
  protected:
    void SetUp() override { std::ofstream(bus_).put('\0'); }
    // Runs kt-io on the simulated bus.
    kttest::Result run(const Strings &args) const {
        kttest::ProcessOptions options;
        options.env = {"KT_IO_STANDIN_BUS=" + bus_, "KT_IO_STANDIN_LOG=" + log_};
        return kttest::run(kttest::program(KT_IO_STANDIN_PROGRAM, args), 30s, options);
    }
    std::string out(const Strings &args) const {
        const auto r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }
    // The requests of the last run, one line each.
    std::vector<std::string> requests() const {
        std::ifstream in(log_);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }
    kttest::TempDir dir_{"kt_io_i2c"};
    std::string bus_ = dir_.file("i2c-adapter");
    std::string log_ = dir_.file("requests");
};

const char kTable[] =
    "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n"
    "00:                         -- -- -- -- -- -- -- --\n"
    "10: -- -- -- -- -- -- -- -- -- -- -- -- -- 1d -- --\n"
    "20: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --\n"
    "30: -- -- -- -- -- -- -- -- -- -- -- -- %s -- -- --\n"
    "40: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --\n"
    "50: 50 -- -- -- -- -- -- 57 -- -- -- -- -- -- -- --\n"
    "60: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --\n"
    "70: -- -- -- -- -- -- -- --\n";

std::string table(const char *at_3c) {
    char text[sizeof kTable + 8];
    std::snprintf(text, sizeof text, kTable, at_3c);
    return text;
}

}  // namespace

TEST_F(StandinBus, ScanProbesTheUnreservedAddressesAndPrintsTheTable) {
    EXPECT_EQ(out({"i2c", bus_, "scan"}), table("--")) << "a read probe misses 0x3c";
    auto probes = requests();
    ASSERT_EQ(probes.size(), 0x78u - 0x08u);
    for (std::size_t i = 0; i < probes.size(); ++i) {
        char want[16];
        std::snprintf(want, sizeof want, "R%02zx#1", i + 8);
        EXPECT_EQ(probes[i], want);
    }

    const auto r = run({"i2c", bus_, "scan", "--write-probe"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, table("3c"));
    EXPECT_NE(r.err.find("warning"), std::string::npos) << r.err;
    probes = requests();
    ASSERT_EQ(probes.size(), 0x70u);
    EXPECT_EQ(probes.front(), "W08[]");
    EXPECT_EQ(probes.back(), "W77[]");

    // No adapter behind the path: the probe itself fails, and no table is printed.
    const auto not_bus =
        kttest::run(kttest::program(KT_IO_STANDIN_PROGRAM, {"i2c", "/dev/null", "scan"}), 30s);
    EXPECT_EQ(not_bus.status, 1);
    EXPECT_EQ(not_bus.out, "");
    EXPECT_NE(not_bus.err.find("probing 0x08 on /dev/null failed"), std::string::npos)
        << not_bus.err;
}

TEST_F(StandinBus, DumpPrintsAllRegistersFromOneCombinedTransfer) {
    const std::string dump = out({"i2c", bus_, "dump", "0x50"});
    std::istringstream lines(dump);
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);) {
        rows.push_back(line);
    }
    ASSERT_EQ(rows.size(), 17u) << dump;
    EXPECT_EQ(rows[0], "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef");
    EXPECT_EQ(rows[1], "00: 6b 74 2d 69 6f 20 62 65 6e 63 68 20 45 45 50 52    kt-io bench EEPR");
    EXPECT_EQ(rows[2], "10: 4f 4d 2c 20 73 65 72 69 61 6c 20 30 30 34 32 ff    OM, serial 0042.");
    EXPECT_EQ(rows[16], "f0: ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff    ................");
    EXPECT_EQ(requests(), std::vector<std::string>{"W50[00] R50#256"});

    // 16-bit register addresses: two address bytes, high first, and 4-digit row labels.
    const std::string wide = out({"i2c", bus_, "dump", "0x57", "0x0120", "--reg16"});
    EXPECT_EQ(wide.substr(0, wide.find('\n', wide.find('\n') + 1) + 1),
              "       0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n"
              "0120: 12 12 12 12 12 12 12 12 12 12 12 12 12 12 12 12    ................\n");
    EXPECT_NE(wide.find("\n0210: 21 21"), std::string::npos) << wide;
    EXPECT_EQ(requests(), std::vector<std::string>{"W57[01 20] R57#256"});

    const auto absent = run({"i2c", bus_, "dump", "0x51"});
    EXPECT_EQ(absent.status, 1);
    EXPECT_NE(absent.err.find("dump with slave 0x51 on " + bus_ + " failed"), std::string::npos)
        << absent.err;
}

TEST_F(StandinBus, GetAndSetOneRegisterWithEightAndSixteenBitAddresses) {
    EXPECT_EQ(out({"i2c", bus_, "get", "0x1d", "0x0f"}), "0x33\n");
    EXPECT_EQ(requests(), std::vector<std::string>{"W1d[0f] R1d#1"});

    const auto set = run({"i2c", bus_, "set", "0x57", "0x0abc", "0xde", "0xad", "--reg16"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_NE(set.err.find("wrote 2 bytes from register 0x0abc of slave 0x57"), std::string::npos)
        << set.err;
    EXPECT_EQ(requests(), std::vector<std::string>{"W57[0a bc de ad]"});
    // Each run is a fresh bus, so the write shows in its request, the read in the next.
    EXPECT_EQ(out({"i2c", bus_, "get", "0x57", "0x0abb", "--reg16", "--count", "3"}),
              "0xab 0xab 0xab\n");
    EXPECT_EQ(requests(), std::vector<std::string>{"W57[0a bb] R57#3"});

    EXPECT_EQ(run({"i2c", bus_, "set", "0x50", "0x10", "7"}).status, 0);
    EXPECT_EQ(requests(), std::vector<std::string>{"W50[10 07]"});
    // The older word order still works.
    EXPECT_EQ(out({"i2c", bus_, "0x50", "rdwr", "2", "0x1e"}), "0x32 0xff\n");

    for (const Strings &bad : {Strings{"i2c", bus_, "get", "0x50", "0x100"},
                               {"i2c", bus_, "get", "0x50", "0x10000", "--reg16"},
                               {"i2c", bus_, "set", "0x50", "0x10"},
                               {"i2c", bus_, "set", "0x50", "0x10", "0x100"},
                               {"i2c", bus_, "get", "0x80", "0"},
                               {"i2c", bus_, "get", "0", "0"},
                               {"i2c", bus_, "scan", "0x50"},
                               {"i2c", bus_, "read", "0x50", "1", "--reg16"},
                               {"i2c", bus_, "dump", "0x50", "--write-probe"},
                               {"i2c", bus_, "probe"}}) {
        EXPECT_EQ(run(bad).status, 2) << bad[2] << " " << bad[3];
        EXPECT_EQ(requests(), std::vector<std::string>{}) << "refused commands make no request";
    }
}

TEST_F(StandinBus, BusNumberStandsForItsAdapterDevice) {
    const auto r = run({"i2c", "987", "scan"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot open /dev/i2c-987"), std::string::npos) << r.err;
    EXPECT_NE(run({"i2c", "987", "get", "0x50", "0"}).err.find("cannot open /dev/i2c-987"),
              std::string::npos);
}
