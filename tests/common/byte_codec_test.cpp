#include "common/byte_codec.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <limits>

#include "support/hex.h"

namespace {

using tb_test::Hex;

TEST(ByteReader, ReadsLittleEndianSignedAndBigEndianFieldsInOrder) {
    const auto bytes =
        Hex("01 34 12 78 56 34 12 FE FF 00 00 C0 3F 80 FE FF FF FF AF 12 7F 00 00 01");
    ByteReader r(bytes);
    EXPECT_EQ(r.u8(), 0x01);
    EXPECT_EQ(r.u16(), 0x1234);
    EXPECT_EQ(r.u32(), 0x12345678u);
    EXPECT_EQ(r.i16(), -2);
    EXPECT_FLOAT_EQ(r.f32(), 1.5f);
    EXPECT_EQ(r.i8(), -128);
    EXPECT_EQ(r.i32(), -2);
    EXPECT_EQ(r.u16_be(), 0xAF12);
    EXPECT_EQ(r.u32_be(), 0x7F000001u);
    EXPECT_TRUE(r.ok() && r.at_end());
    EXPECT_EQ(r.position(), bytes.size());
}

// Every way a read can ask for more than is there fails the parse, leaves the position
// where it was and keeps failing every later read (the error is sticky).
TEST(ByteReader, AnyReadPastTheEndFailsAndStaysFailed) {
    const auto bytes = Hex("03 01 02");
    const std::vector<std::pair<const char*, std::function<void(ByteReader&)>>> overreads = {
        {"u32", [](ByteReader& r) { r.u32(); }},
        {"bytes", [](ByteReader& r) { r.bytes(3); }},
        {"huge length", [](ByteReader& r) { r.bytes(static_cast<size_t>(-1)); }},
        {"skip", [](ByteReader& r) { r.skip(3); }},
        {"count times size", [](ByteReader& r) { r.need(size_t{3} * 2); }},
        {"sub longer than left", [](ByteReader& r) { EXPECT_FALSE(r.sub(16).ok()); }},
        {"fail", [](ByteReader& r) { r.fail(); }},
    };
    for (const auto& [what, overread] : overreads) {
        ByteReader r(bytes);
        r.u8();
        overread(r);
        EXPECT_FALSE(r.ok()) << what;
        EXPECT_EQ(r.position(), 1u) << what;
        EXPECT_EQ(r.remaining(), 0u) << what;
        // Two bytes are still there, but a failed parse stays failed.
        EXPECT_EQ(r.u8(), 0) << what;
        EXPECT_TRUE(r.bytes(1).empty()) << what;
        EXPECT_FALSE(r.skip(0)) << what;
        EXPECT_EQ(r.peek_u8(), 0) << what;
    }
    ByteReader null(nullptr, 10);  // a null pointer never claims bytes
    EXPECT_EQ(null.size(), 0u);
    EXPECT_EQ(null.u8(), 0);
    EXPECT_FALSE(null.ok());
    ByteReader empty;
    EXPECT_TRUE(empty.skip(0) && empty.sub(0).ok());
    EXPECT_EQ(empty.u8(), 0);
    EXPECT_FALSE(empty.ok());
}

TEST(ByteReader, ViewsStringsPeekAndBoundedSubReaders) {
    const auto bytes = Hex("05 'Hello!' 02 00 AA BB CC");
    ByteReader r(bytes.data(), bytes.size());
    EXPECT_EQ(r.peek_u8(), 5);
    EXPECT_EQ(r.position(), 0u);
    EXPECT_EQ(r.str(r.u8()), "Hello");
    ByteView v = r.bytes(1);
    EXPECT_EQ(v.data, bytes.data() + 6);
    EXPECT_EQ(v.at(0), '!');
    EXPECT_EQ(v.at(1), 0);  // out of range reads as 0, never past the view
    ByteReader item = r.sub(r.u16());
    EXPECT_EQ(item.size(), 2u);
    EXPECT_EQ(item.u16(), 0xBBAA);
    EXPECT_EQ(item.u8(), 0);  // the item ends here even though the parent has more
    EXPECT_FALSE(item.ok());
    EXPECT_TRUE(r.ok());  // the item's failure is its own
    EXPECT_EQ(r.rest().to_vector(), Hex("CC"));
    EXPECT_TRUE(r.ok() && r.at_end());
}

TEST(ByteWriter, WritesEveryFieldKindIntoTheCallerBuffer) {
    std::array<uint8_t, 40> buf{};
    ByteWriter w(buf.data(), buf.size());
    const std::vector<uint8_t> v = {9, 8};
    w.u8(0x01).u16(0x1234).u32(0x12345678).i16(-2).f32(1.5f).i8(-1).i32(-3);
    w.u16_be(0x08AE).u32_be(0x7F000001);
    w.bytes(v).bytes(std::string("ab")).zeros(2).bytes(ByteView{v.data(), 1}).bytes(nullptr, 0);
    ASSERT_TRUE(w.ok());
    EXPECT_EQ(w.data(), buf.data());
    EXPECT_EQ(w.to_vector(), Hex("01 34 12 78 56 34 12 FE FF 00 00 C0 3F FF FD FF FF FF 08 AE 7F "
                                 "00 00 01 09 08 'ab' 00 00 09"));
}

// A write that does not fit fails the message for good and never writes past the room.
TEST(ByteWriter, OverflowIsStickyAndNeverWritesPastTheRoom) {
    std::array<uint8_t, 8> buf;
    buf.fill(0xEE);
    ByteWriter w(buf.data(), 5);
    w.u32(0x11223344);
    w.u16(0xAAAA);  // needs 2, 1 left
    w.u8(0x55);     // would fit, but the message is already broken
    EXPECT_FALSE(w.ok());
    EXPECT_EQ(w.position(), 4u);
    EXPECT_EQ(w.remaining(), 0u);
    EXPECT_EQ(buf[4], 0xEE);
    auto slot = w.reserve_u16();  // a slot reserved after the overflow patches nothing
    EXPECT_FALSE(slot.valid());
    w.patch_u16(slot, 0x1111);
    EXPECT_EQ(buf[4], 0xEE);

    ByteWriter own(3);
    own.u16(1).u16(2);
    EXPECT_FALSE(own.ok());
    EXPECT_EQ(own.size(), 2u);
    ByteWriter huge(buf.data(), buf.size());
    huge.u8(1).zeros(std::numeric_limits<size_t>::max() / 2);
    EXPECT_FALSE(huge.ok());
    EXPECT_EQ(huge.position(), 1u);
    ByteWriter null(nullptr, 100);
    null.u8(1);
    EXPECT_FALSE(null.ok());
}

TEST(ByteWriter, ReservedSlotsArePatchedWithValuesAndLengths) {
    ByteWriter w;
    auto a = w.reserve_u8();
    auto b = w.reserve_u16();
    auto c = w.reserve_u32();
    w.patch_u8(a, 0x12);
    w.patch_u16(b, 0x3456);
    w.patch_u32(c, 0x789ABCDE);
    auto len = w.reserve_u16();
    w.u32(0xDEADBEEF).u8(7);
    w.patch_length_from(len);  // counts the bytes after the field
    auto header = w.reserve_u16();
    w.zeros(2);
    const size_t body = w.position();
    w.u16(2);
    w.patch_length_from(header, body);  // counts only the body
    ASSERT_TRUE(w.ok());
    EXPECT_EQ(w.to_vector(), Hex("12 56 34 DE BC 9A 78 05 00 EF BE AD DE 07 02 00 00 00 02 00"));

    ByteWriter narrow;
    auto words = narrow.reserve_u8();
    narrow.zeros(600);
    narrow.patch_length_from(words);  // 600 does not fit in one byte
    EXPECT_FALSE(narrow.ok());
    EXPECT_EQ(narrow.data()[0], 0);
    ByteWriter late;
    late.patch_length_from(late.reserve_u16(), 10);  // a start after the end
    EXPECT_FALSE(late.ok());
}

}  // namespace
