#include "kt_records.h"

#include <gtest/gtest.h>

#include <cstring>

extern "C" unsigned kt_records_c_channel_of(const unsigned char *slot);

namespace {

// A slot as the stream engine leaves it: header bytes, payload, trailer.
struct Slot {
    alignas(8) unsigned char bytes[KT_SLOT_SIZE] = {};
    const kt_frame *frame() const { return reinterpret_cast<const kt_frame *>(bytes); }
};

}  // namespace

TEST(FrameRecord, ReadsHeaderFieldsFromTheirBytes) {
    Slot s;
    s.bytes[0] = 3;
    s.bytes[1] = 0x35;  // upper four bits are not part of the channel
    s.bytes[2] = 0x34;
    s.bytes[3] = 0x12;
    s.bytes[14] = 0xec;
    s.bytes[15] = 0x07;
    EXPECT_EQ(s.frame()->module_id, 3);
    EXPECT_EQ(s.frame()->channel_id, 5);
    EXPECT_EQ(kt_records_c_channel_of(s.bytes), 5u);
    EXPECT_EQ(s.frame()->msg_id, 0x1234);
    EXPECT_EQ(s.frame()->payload_len, 2028);
    EXPECT_EQ(kt_frame_source_key(s.frame()), 0x0305);
    EXPECT_EQ(kt_frame_length(s.frame()), KT_SLOT_SIZE);
    EXPECT_TRUE(kt_frame_fits_slot(s.frame()));
    s.bytes[14] = 0xed;  // 2029: one byte too long for the slot
    EXPECT_FALSE(kt_frame_fits_slot(s.frame()));
}

TEST(FrameRecord, EmptyPayloadPutsTrailerAtSixteen) {
    Slot s;
    std::memcpy(s.bytes + 16, "TRLR", 4);
    EXPECT_EQ(kt_frame_length(s.frame()), 20u);
    EXPECT_EQ(std::memcmp(s.frame()->payload, "TRLR", 4), 0);
}

TEST(FrameRecord, NoFrameHasTheEveryFrameKey) {
    Slot s;
    s.bytes[0] = 255;
    s.bytes[1] = 0xff;
    EXPECT_EQ(kt_frame_source_key(s.frame()), 0xff0f);
    EXPECT_NE(kt_frame_source_key(s.frame()), KT_SOURCE_ALL);
    EXPECT_EQ(kt_source_key(255, 255), KT_SOURCE_ALL);
}

TEST(SubscriberEntry, PacksKeyLowAndCountHigh) {
    const uint32_t e = kt_entry_make(0x0114, 3);
    EXPECT_EQ(e, 0x00030114u);
    EXPECT_EQ(kt_entry_key(e), 0x0114);
    EXPECT_EQ(kt_entry_count(e), 3);
}
