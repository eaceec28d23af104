#include "common/byte_codec.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values) {
        out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

TEST(ByteReader, ReadsLittleEndianFieldsInOrder) {
    const auto bytes = Bytes(
        {0x01, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0xFE, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xC0, 0x3F});
    ByteReader r(bytes);
    EXPECT_EQ(r.u8(), 0x01);
    EXPECT_EQ(r.u16(), 0x1234);
    EXPECT_EQ(r.u32(), 0x12345678u);
    EXPECT_EQ(r.i16(), -2);
    EXPECT_EQ(r.i16(), -1);
    EXPECT_FLOAT_EQ(r.f32(), 1.5f);
    EXPECT_TRUE(r.ok());
    EXPECT_TRUE(r.at_end());
    EXPECT_EQ(r.position(), bytes.size());
}

TEST(ByteReader, ReadsSignedAndBigEndianFields) {
    const auto bytes =
        Bytes({0x80, 0xFE, 0xFF, 0xFF, 0xFF, 0x00, 0x02, 0xAF, 0x12, 0x7F, 0x00, 0x00, 0x01});
    ByteReader r(bytes);
    EXPECT_EQ(r.i8(), -128);
    EXPECT_EQ(r.i32(), -2);
    EXPECT_EQ(r.u16_be(), 0x0002);
    EXPECT_EQ(r.u16_be(), 0xAF12);
    EXPECT_EQ(r.u32_be(), 0x7F000001u);
    EXPECT_TRUE(r.ok());
}

TEST(ByteReader, ShortReadFailsAndConsumesNothing) {
    const auto bytes = Bytes({0xAA, 0xBB, 0xCC});
    ByteReader r(bytes);
    EXPECT_EQ(r.u16(), 0xBBAA);
    EXPECT_EQ(r.u32(), 0u);  // only one byte left
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.position(), 2u);
    EXPECT_EQ(r.remaining(), 0u);
}

TEST(ByteReader, ErrorIsStickyForEveryLaterRead) {
    const auto bytes = Bytes({0x01, 0x02, 0x03, 0x04});
    ByteReader r(bytes);
    r.skip(3);
    EXPECT_EQ(r.u16(), 0);
    ASSERT_FALSE(r.ok());
    // A byte is still there, but a failed parse stays failed.
    EXPECT_EQ(r.u8(), 0);
    EXPECT_TRUE(r.bytes(1).empty());
    EXPECT_FALSE(r.skip(0));
    EXPECT_EQ(r.peek_u8(), 0);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.position(), 3u);
}

TEST(ByteReader, BytesReturnsABoundedViewIntoTheBuffer) {
    const auto bytes = Bytes({1, 2, 3, 4, 5});
    ByteReader r(bytes);
    r.u8();
    ByteView v = r.bytes(3);
    ASSERT_EQ(v.size, 3u);
    EXPECT_EQ(v.data, bytes.data() + 1);
    EXPECT_EQ(v.to_vector(), Bytes({2, 3, 4}));
    EXPECT_EQ(v.at(2), 4);
    EXPECT_EQ(v.at(3), 0);  // out of range reads as 0, never past the view
    EXPECT_TRUE(r.bytes(2).empty());
    EXPECT_FALSE(r.ok());
}

TEST(ByteReader, StrAndRestTakeCountedCharacters) {
    const std::string text = "\x05Hello!";
    ByteReader r(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    const uint8_t len = r.u8();
    EXPECT_EQ(r.str(len), "Hello");
    EXPECT_EQ(r.rest().to_string(), "!");
    EXPECT_TRUE(r.ok());
    EXPECT_TRUE(r.at_end());
}

TEST(ByteReader, SubReaderIsBoundedAndAdvancesTheParent) {
    const auto bytes = Bytes({0x02, 0x00, 0xAA, 0xBB, 0xCC});
    ByteReader r(bytes);
    const uint16_t len = r.u16();
    ByteReader item = r.sub(len);
    EXPECT_EQ(item.size(), 2u);
    EXPECT_EQ(item.u16(), 0xBBAA);
    EXPECT_EQ(item.u8(), 0);  // the item ends here even though the parent has more
    EXPECT_FALSE(item.ok());
    EXPECT_TRUE(r.ok());  // the item's failure is its own
    EXPECT_EQ(r.u8(), 0xCC);
}

TEST(ByteReader, SubReaderLongerThanWhatIsLeftFailsBoth) {
    const auto bytes = Bytes({0x10, 0x00, 0xAA});
    ByteReader r(bytes);
    ByteReader item = r.sub(r.u16());
    EXPECT_FALSE(item.ok());
    EXPECT_EQ(item.remaining(), 0u);
    EXPECT_FALSE(r.ok());
}

TEST(ByteReader, NeedChecksACountAgainstBytesLeft) {
    const auto bytes = Bytes({0x03, 0x01, 0x02});
    ByteReader r(bytes);
    const uint8_t count = r.u8();
    // Three two-byte items announced, two bytes left: refuse before looping.
    EXPECT_FALSE(r.need(static_cast<size_t>(count) * 2));
    EXPECT_FALSE(r.ok());
}

TEST(ByteReader, HugeLengthDoesNotWrapAround) {
    const auto bytes = Bytes({1, 2, 3, 4});
    ByteReader r(bytes);
    r.u8();
    EXPECT_TRUE(r.bytes(static_cast<size_t>(-1)).empty());
    EXPECT_FALSE(r.ok());
}

TEST(ByteReader, EmptyAndNullInputsFailOnFirstRead) {
    ByteReader empty;
    EXPECT_TRUE(empty.ok());
    EXPECT_TRUE(empty.skip(0));
    EXPECT_TRUE(empty.sub(0).ok());
    EXPECT_EQ(empty.u8(), 0);
    EXPECT_FALSE(empty.ok());

    ByteReader null(nullptr, 10);  // a null pointer never claims bytes
    EXPECT_EQ(null.size(), 0u);
    EXPECT_EQ(null.u8(), 0);
    EXPECT_FALSE(null.ok());
}

TEST(ByteReader, PeekDoesNotConsumeOrFail) {
    const auto bytes = Bytes({0x91});
    ByteReader r(bytes);
    EXPECT_EQ(r.peek_u8(), 0x91);
    EXPECT_EQ(r.position(), 0u);
    EXPECT_EQ(r.u8(), 0x91);
    EXPECT_EQ(r.peek_u8(), 0);
    EXPECT_TRUE(r.ok());
}

TEST(ByteReader, FailMarksTheParseFailed) {
    const auto bytes = Bytes({1, 2});
    ByteReader r(bytes);
    r.fail();
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.u8(), 0);
}

TEST(ByteWriter, WritesLittleEndianFieldsIntoCallerBuffer) {
    std::array<uint8_t, 32> buf{};
    ByteWriter w(buf.data(), buf.size());
    w.u8(0x01).u16(0x1234).u32(0x12345678).i16(-2).f32(1.5f).i8(-1).i32(-3);
    ASSERT_TRUE(w.ok());
    EXPECT_EQ(w.position(), 1u + 2 + 4 + 2 + 4 + 1 + 4);
    EXPECT_EQ(w.to_vector(), Bytes({0x01, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0xFE, 0xFF, 0x00,
                                    0x00, 0xC0, 0x3F, 0xFF, 0xFD, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(w.data(), buf.data());
}

TEST(ByteWriter, BigEndianFieldsForTheSocketAddress) {
    ByteWriter w;
    w.u16_be(2).u16_be(0x08AE).u32_be(0x7F000001);
    EXPECT_EQ(w.to_vector(), Bytes({0x00, 0x02, 0x08, 0xAE, 0x7F, 0x00, 0x00, 0x01}));
}

TEST(ByteWriter, BytesStringsAndZeros) {
    ByteWriter w;
    const std::vector<uint8_t> v = {9, 8};
    w.bytes(v).bytes(std::string("ab")).zeros(3).bytes(ByteView{v.data(), 1}).bytes(nullptr, 0);
    EXPECT_TRUE(w.ok());
    EXPECT_EQ(w.to_vector(), Bytes({9, 8, 'a', 'b', 0, 0, 0, 9}));
}

TEST(ByteWriter, OverflowIsStickyAndNeverWritesPastCapacity) {
    std::array<uint8_t, 8> buf;
    buf.fill(0xEE);
    ByteWriter w(buf.data(), 5);
    w.u32(0x11223344);
    EXPECT_TRUE(w.ok());
    w.u16(0xAAAA);  // needs 2, 1 left
    EXPECT_FALSE(w.ok());
    w.u8(0x55);  // would fit, but the message is already broken
    EXPECT_FALSE(w.ok());
    EXPECT_EQ(w.position(), 4u);
    EXPECT_EQ(buf[4], 0xEE);
    EXPECT_EQ(buf[5], 0xEE);
    EXPECT_EQ(w.remaining(), 0u);
}

TEST(ByteWriter, OwnBufferRespectsItsMaximum) {
    ByteWriter w(3);
    w.u16(1);
    EXPECT_TRUE(w.ok());
    w.u16(2);
    EXPECT_FALSE(w.ok());
    EXPECT_EQ(w.size(), 2u);
}

TEST(ByteWriter, HugeLengthDoesNotWrapAround) {
    std::array<uint8_t, 4> buf{};
    ByteWriter w(buf.data(), buf.size());
    w.u8(1);
    w.zeros(std::numeric_limits<size_t>::max() / 2);
    EXPECT_FALSE(w.ok());
    EXPECT_EQ(w.position(), 1u);
}

TEST(ByteWriter, PatchLengthCountsTheBytesAfterTheField) {
    ByteWriter w;
    w.u16(0x0070);
    auto len = w.reserve_u16();
    w.u32(0xDEADBEEF).u8(7);
    w.patch_length_from(len);
    ASSERT_TRUE(w.ok());
    EXPECT_EQ(w.to_vector(), Bytes({0x70, 0x00, 0x05, 0x00, 0xEF, 0xBE, 0xAD, 0xDE, 7}));
}

TEST(ByteWriter, PatchLengthFromAnExplicitStart) {
    // Encapsulation-style header: the length sits in the header but counts only the body.
    ByteWriter w;
    w.u16(0x006F);
    auto len = w.reserve_u16();
    w.zeros(20);
    const size_t body = w.position();
    w.u32(1).u16(2);
    w.patch_length_from(len, body);
    ASSERT_TRUE(w.ok());
    ByteReader r(w.view());
    r.u16();
    EXPECT_EQ(r.u16(), 6);
}

TEST(ByteWriter, PatchValuesOfEachWidth) {
    ByteWriter w;
    auto a = w.reserve_u8();
    auto b = w.reserve_u16();
    auto c = w.reserve_u32();
    w.patch_u8(a, 0x12);
    w.patch_u16(b, 0x3456);
    w.patch_u32(c, 0x789ABCDE);
    ASSERT_TRUE(w.ok());
    EXPECT_EQ(w.to_vector(), Bytes({0x12, 0x56, 0x34, 0xDE, 0xBC, 0x9A, 0x78}));
}

TEST(ByteWriter, PatchValueTooWideForTheFieldFails) {
    ByteWriter w;
    auto words = w.reserve_u8();
    w.zeros(600);
    w.patch_length_from(words);  // 600 does not fit in one byte
    EXPECT_FALSE(w.ok());
    EXPECT_EQ(w.data()[0], 0);
}

TEST(ByteWriter, PatchLengthFromAStartAfterTheEndFails) {
    ByteWriter w;
    auto len = w.reserve_u16();
    w.patch_length_from(len, 10);
    EXPECT_FALSE(w.ok());
}

TEST(ByteWriter, ReserveAfterOverflowGivesASlotThatPatchesNothing) {
    std::array<uint8_t, 3> buf{};
    ByteWriter w(buf.data(), buf.size());
    w.u16(0xFFFF);
    auto slot = w.reserve_u16();
    EXPECT_FALSE(slot.valid());
    EXPECT_FALSE(w.ok());
    w.patch_u16(slot, 0x1111);
    EXPECT_EQ(buf[0], 0xFF);
    EXPECT_EQ(buf[1], 0xFF);
    EXPECT_EQ(buf[2], 0x00);
}

TEST(ByteWriter, NullCallerBufferHasNoRoom) {
    ByteWriter w(nullptr, 100);
    w.u8(1);
    EXPECT_FALSE(w.ok());
}

TEST(ByteCodec, WhatTheWriterBuildsTheReaderReadsBack) {
    ByteWriter w;
    w.u8(0x4C);
    auto words = w.reserve_u8();
    const size_t pathStart = w.position();
    w.u8(0x91).u8(5).bytes(std::string("Speed")).zeros(1);
    w.patch(words, (w.position() - pathStart) / 2);
    w.u16(1).f32(-273.15f);
    ASSERT_TRUE(w.ok());

    ByteReader r(w.view());
    EXPECT_EQ(r.u8(), 0x4C);
    ByteReader path = r.sub(r.u8() * 2u);
    EXPECT_EQ(path.u8(), 0x91);
    EXPECT_EQ(path.str(path.u8()), "Speed");
    EXPECT_EQ(r.u16(), 1);
    EXPECT_FLOAT_EQ(r.f32(), -273.15f);
    EXPECT_TRUE(r.ok() && path.ok());
    EXPECT_TRUE(r.at_end());
}

}  // namespace
