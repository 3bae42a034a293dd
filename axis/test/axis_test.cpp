#include "kt_axis.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "sim_block.h"
#include "sim_fixture.h"

namespace {

using ktsim::SimDeviceTest;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr uint32_t kSlot = KT_AXIS_SLOT_SIZE;

// Mappings of the device file this process holds, as the kernel lists them.
int mappings_of(const std::string &node) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    int n = 0;
    while (std::getline(maps, line)) {
        n += line.find(node) != std::string::npos ? 1 : 0;
    }
    return n;
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::trunc) << text;
}

class AxisTest : public SimDeviceTest {
  protected:
    // Runs kt_axis_init expecting failure; returns what it printed.
    std::string init_failure(const std::string &path, uint32_t ring) {
        const int before = mappings_of(device_->node());
        CaptureStdout();
        kt_axis *axis = kt_axis_init(path.c_str(), ring);
        std::string out = GetCapturedStdout();
        EXPECT_EQ(axis, nullptr);
        EXPECT_EQ(mappings_of(device_->node()), before) << "a failed init left a mapping";
        return out;
    }
    std::string map_file(int map, const char *attr) const {
        return device_->sysfs_dir() + "/maps/map" + std::to_string(map) + "/" + attr;
    }
};

TEST_F(AxisTest, InitMapsBothRegionsAndProgramsTheRing) {
    // Bits 1..7 of the control byte must survive the start sequence.
    static_cast<uint8_t *>(device_->regs())[KT_AXIS_CTRL] = 0xa4;
    kt_axis *axis = kt_axis_init(device_->path().c_str(), 8192);
    ASSERT_NE(axis, nullptr);
    EXPECT_EQ(axis->regs_size, device_->regs_size());
    EXPECT_EQ(axis->mem_size, device_->mem_size());
    EXPECT_EQ(axis->mem_phys, device_->mem_phys());
    EXPECT_EQ(axis->up_mem_size, 8192u);
    EXPECT_EQ(mappings_of(device_->node()), 2 + 2);  // ours from the fixture, and the reader's

    EXPECT_EQ(device_->reg32(KT_AXIS_RING_BASE), device_->mem_phys());
    EXPECT_EQ(device_->reg32(KT_AXIS_RING_END), device_->mem_phys() + 8192 - 1);
    EXPECT_EQ(device_->reg32(KT_AXIS_RD_PTR), device_->mem_phys());
    EXPECT_EQ(device_->reg8(KT_AXIS_CTRL), 0xa5);

    // The mappings are the device's memory: what the engine writes, the reader sees.
    std::memcpy(device_->mem(), "frame", 5);
    EXPECT_EQ(std::memcmp(axis->mem, "frame", 5), 0);
    ktsim::reg32(device_->regs(), KT_AXIS_DATA_CNT).store(6144);
    EXPECT_EQ(kt_get_data_cnt(axis), 6144u);

    kt_axis_exit(axis);
    EXPECT_EQ(mappings_of(device_->node()), 2);
}

TEST_F(AxisTest, ReadFrameWalksTheRingAndWraps) {
    kt_axis *axis = kt_axis_init(device_->path().c_str(), 4 * kSlot);
    ASSERT_NE(axis, nullptr);
    auto *mem = static_cast<uint8_t *>(axis->mem);

    EXPECT_EQ(kt_axis_read_frame(axis, nullptr, 0), nullptr);  // no data: nothing moves
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(kt_axis_read_frame(axis, nullptr, kSlot), mem + i * kSlot);
    }
    kt_axis_read_done(axis);
    // After a wrap the engine is told the ring base again.
    EXPECT_EQ(device_->reg32(KT_AXIS_RD_PTR), device_->mem_phys());
    EXPECT_EQ(kt_axis_read_frame(axis, nullptr, kSlot), mem);
    kt_axis_read_done(axis);
    EXPECT_EQ(device_->reg32(KT_AXIS_RD_PTR), device_->mem_phys() + kSlot);

    // The copy takes the whole slot and the pointer still points into the ring.
    std::memset(mem + kSlot, 0x5a, kSlot);
    uint8_t copy[kSlot] = {};
    EXPECT_EQ(kt_axis_read_frame(axis, copy, 1), mem + kSlot);
    EXPECT_EQ(copy[0], 0x5a);
    EXPECT_EQ(copy[kSlot - 1], 0x5a);
    kt_axis_exit(axis);
}

TEST_F(AxisTest, RingOfPartialSlotWrapsAfterItsLastStart) {
    kt_axis *axis = kt_axis_init(device_->path().c_str(), 5000);
    ASSERT_NE(axis, nullptr);
    auto *mem = static_cast<uint8_t *>(axis->mem);
    EXPECT_EQ(kt_axis_read_frame(axis, nullptr, 1), mem);
    EXPECT_EQ(kt_axis_read_frame(axis, nullptr, 1), mem + kSlot);
    EXPECT_EQ(kt_axis_read_frame(axis, nullptr, 1), mem + 4096);  // reaches past the ring
    EXPECT_EQ(kt_axis_read_frame(axis, nullptr, 1), mem);
    kt_axis_exit(axis);
}

TEST_F(AxisTest, SecondInitResetsTheSharedReadPosition) {
    kt_axis *first = kt_axis_init(device_->path().c_str(), 8 * kSlot);
    ASSERT_NE(first, nullptr);
    kt_axis_read_frame(first, nullptr, 1);
    kt_axis_read_frame(first, nullptr, 1);
    kt_axis *second = kt_axis_init(device_->path().c_str(), 8 * kSlot);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(kt_axis_read_frame(second, nullptr, 1), second->mem);
    kt_axis_exit(first);
    kt_axis_exit(second);
}

TEST_F(AxisTest, RingMayTakeAllButSixteenMebibytes) {
    const uint32_t max = device_->max_ring();
    kt_axis *axis = kt_axis_init(device_->path().c_str(), max);
    ASSERT_NE(axis, nullptr);
    EXPECT_EQ(device_->reg32(KT_AXIS_RING_END), device_->mem_phys() + max - 1);
    kt_axis_exit(axis);

    char expected[128];
    snprintf(expected, sizeof expected,
             "configure up_mem_size 0x%x failed, the max value of up_mem_size is 0x%x", max + 1,
             max);
    EXPECT_EQ(init_failure(device_->path(), max + 1), expected);
}

TEST_F(AxisTest, RegionOfSixteenMebibytesOrLessIsRefused) {
    // The limit would wrap around to a huge value; no ring fits such a region.
    write_file(map_file(1, "size"), "0x01000000\n");
    EXPECT_EQ(init_failure(device_->path(), 0),
              "configure up_mem_size 0x0 failed, the max value of up_mem_size is 0x0");
    write_file(map_file(1, "size"), "0x00800000\n");
    EXPECT_EQ(init_failure(device_->path(), 4096),
              "configure up_mem_size 0x1000 failed, the max value of up_mem_size is 0x0");
}

TEST_F(AxisTest, DevicePathFailures) {
    EXPECT_EQ(init_failure("/sys/class/ktsim/none", 8192),
              "open device /sys/class/ktsim/none failed");
    // The node itself is no symbolic link, so its sysfs name cannot be learnt.
    EXPECT_EQ(init_failure(device_->node(), 8192),
              "cannot resolve " + device_->node() + " driver filename");
    EXPECT_EQ(kt_axis_init(nullptr, 8192), nullptr);
}

TEST_F(AxisTest, SysfsLookupFailuresNameThePath) {
    const std::string &p = device_->path();
    const std::string size0 = map_file(0, "size"), size1 = map_file(1, "size");
    const std::string addr1 = map_file(1, "addr");

    std::remove(size0.c_str());
    EXPECT_EQ(init_failure(p, 8192), "look up the size of the axis device:" + p +
                                         " configuration register space failed,the path is " +
                                         size0);
    write_file(size0, "4096\n");  // not of the form 0x...
    EXPECT_EQ(init_failure(p, 8192), "look up the size of the axis device:" + p +
                                         " configuration register space failed,the path is " +
                                         size0);
    write_file(size0, "0x00000000\n");
    EXPECT_EQ(init_failure(p, 8192),
              "mmap the device:" + p + "'s configuration register space failed");
    write_file(size0, "0x00001000\n");

    std::remove(size1.c_str());
    EXPECT_EQ(init_failure(p, 8192), "look up the size of the axis device:" + p +
                                         " cma memory space failed, the path is " + size1);
    write_file(size1, "0x00000000\n");
    EXPECT_EQ(init_failure(p, 8192), "mmap the device:" + p + "'s cma memory space failed");
    write_file(size1, "0x01100000\n");

    std::remove(addr1.c_str());
    EXPECT_EQ(init_failure(p, 8192), "look up the address of the axis device:" + p +
                                         " cma memory space failed, the path is " + addr1);
    write_file(addr1, "0x38000000\n");
    kt_axis *axis = kt_axis_init(p.c_str(), 8192);
    EXPECT_NE(axis, nullptr);
    kt_axis_exit(axis);
}

TEST(AxisNullRecord, IsHarmless) {
    EXPECT_EQ(kt_get_data_cnt(nullptr), 0u);
    EXPECT_EQ(kt_axis_read_frame(nullptr, nullptr, 1), nullptr);
    EXPECT_EQ(kt_axis_read_done(nullptr), -1);
    kt_axis_exit(nullptr);
}

}  // namespace
