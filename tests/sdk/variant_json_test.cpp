#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "strata_sdk/json.h"
#include "strata_sdk/variant.h"

using namespace kestrel::strata_sdk;

namespace {

// Runs `read` and checks that it throws the SDK exception with code 9013 and `text`.
template <typename Read>
void expect_bad_value(Read read, const std::string& text) {
    try {
        read();
        FAIL() << "no exception, expected \"" << text << "\"";
    } catch (const exception& e) {
        EXPECT_EQ(e.code().value(), 9013);
        EXPECT_EQ(&e.code().category(), &strata_error_category());
        EXPECT_STREQ(e.what(), text.c_str());
    }
}

TEST(VariantTest, WrongKindAccessorsThrowCode9013WithTheirTexts) {
    Variant number(7);
    Variant text("x");
    expect_bad_value([&] { (void)number.as_string(); }, "not a string");
    expect_bad_value([&] { (void)text.as_map(); }, "not a map");
    expect_bad_value([&] { (void)text.as_array(); }, "not an array");
    expect_bad_value([&] { (void)text.as_uint(); }, "not an uint");
    expect_bad_value([&] { (void)Variant(1.5).as_uint(); }, "not an uint");
    expect_bad_value([&] { (void)text.as_int(); }, "not an int");
    expect_bad_value([&] { (void)text.as_double(); }, "not a double");
    expect_bad_value([&] { (void)number.as_bool(); }, "not a bool");
    expect_bad_value([&] { (void)text[0]; }, "not an array");
    expect_bad_value([&] { (void)Variant::new_map().at("k"); }, "key not found");
    expect_bad_value([&] { (void)text.at("k"); }, "not a map");
}

TEST(VariantTest, IndexPastTheEndThrowsIndexOutOfBounds) {
    Variant items(Variant::ArrayType{1, 2});
    EXPECT_EQ(items[1].as_int(), 2);
    expect_bad_value([&] { (void)items[2]; }, "index out of bounds");
}

TEST(VariantTest, UnsignedReadAcceptsKinds2And3ButNotNegatives) {
    EXPECT_EQ(Variant(42).as_uint(), 42u);
    EXPECT_EQ(Variant(std::numeric_limits<uint64_t>::max()).as_uint(),
              std::numeric_limits<uint64_t>::max());
    // A negative signed value has no unsigned reading; wrapping it would invent 2^64-1.
    expect_bad_value([] { (void)Variant(-1).as_uint(); }, "not an uint");
}

TEST(VariantTest, SignedReadRefusesUnsignedBeyondInt64) {
    EXPECT_EQ(Variant(static_cast<uint64_t>(5)).as_int(), 5);
    expect_bad_value([] { (void)Variant(std::numeric_limits<uint64_t>::max()).as_int(); },
                     "not an int");
}

TEST(VariantTest, NonFiniteDoubleIsRefused) {
    expect_bad_value([] { Variant v(std::nan("")); }, "not a valid float");
    expect_bad_value([] { Variant v(std::numeric_limits<float>::infinity()); },
                     "not a valid float");
}

TEST(VariantTest, CopiesAreDeepAndMovesLeaveNull) {
    Variant original = Variant::new_map();
    original["list"] = Variant(Variant::ArrayType{1, "two"});
    Variant copy = original;
    copy["list"].as_array().push_back(3.0);
    EXPECT_EQ(original.at("list").size(), 2u);
    EXPECT_EQ(copy.at("list").size(), 3u);
    Variant moved = std::move(copy);
    EXPECT_TRUE(copy.is_null());  // NOLINT(bugprone-use-after-move): documented state
    EXPECT_EQ(moved.at("list")[1].as_string(), "two");
    EXPECT_NE(original, moved);
}

TEST(VariantTest, SizeCountsArraysAndMapsOnly) {
    EXPECT_EQ(Variant("abc").size(), 0u);
    EXPECT_EQ(Variant(Variant::ArrayType{1, 2, 3}).size(), 3u);
    Variant map;
    map["a"] = 1;
    EXPECT_TRUE(map.is_map());
    EXPECT_EQ(map.size(), 1u);
    EXPECT_TRUE(map.has("a"));
    EXPECT_FALSE(map.has("b"));
}

TEST(JsonTest, IntegersAreSignedUntilTheyNeedUnsigned) {
    Variant v = json::from_json_string(
        "[0, -1, 9223372036854775807, 9223372036854775808, 18446744073709551615, 1.0, 2e3]");
    EXPECT_EQ(v[0].get_type(), Variant::Int);
    EXPECT_EQ(v[1].as_int(), -1);
    EXPECT_EQ(v[2].get_type(), Variant::Int);
    EXPECT_EQ(v[2].as_int(), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(v[3].get_type(), Variant::UInt);
    EXPECT_EQ(v[3].as_uint(), 9223372036854775808ull);
    EXPECT_EQ(v[4].as_uint(), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(v[5].get_type(), Variant::Double);
    EXPECT_DOUBLE_EQ(v[6].as_double(), 2000.0);
}

TEST(JsonTest, AddTagsDocumentParsesIntoMapsAndStrings) {
    Variant v = json::from_json_string(
        R"([{"Tag Alias":"t1","Tag Name":"Program:Main.t1","RW Flag":"RW","DataLen":4,"ok":true,"n":null}])");
    const Variant& tag = v[0];
    EXPECT_EQ(tag.at("Tag Alias").as_string(), "t1");
    EXPECT_EQ(tag.at("Tag Name").as_string(), "Program:Main.t1");
    EXPECT_EQ(tag.at("DataLen").as_int(), 4);
    EXPECT_TRUE(tag.at("ok").as_bool());
    EXPECT_TRUE(tag.at("n").is_null());
}

TEST(JsonTest, BadTextThrowsInvalidJsonSayingWhere) {
    for (const char* bad : {"", "{", "[1,]", "{\"a\":1} trailing", "tru", "\"unterminated",
                            "{'single':1}", "\"\xff\""}) {
        try {
            json::from_json_string(bad);
            ADD_FAILURE() << "accepted: " << bad;
        } catch (const exception& e) {
            EXPECT_EQ(e.code(), make_error_code(strata_errc::invalid_json)) << bad;
            EXPECT_NE(std::string(e.what()).find("invalid JSON at byte"), std::string::npos)
                << e.what();
        }
    }
}

TEST(JsonTest, DeepNestingIsRefusedInsteadOfExhaustingTheStack) {
    std::string deep(100000, '[');
    try {
        json::from_json_string(deep);
        FAIL() << "accepted a 100000-level document";
    } catch (const exception& e) {
        EXPECT_EQ(e.code(), make_error_code(strata_errc::invalid_json));
        EXPECT_NE(std::string(e.what()).find("nested deeper"), std::string::npos) << e.what();
    }
}

TEST(JsonTest, WriteThenReadGivesTheSameValue) {
    Variant v = Variant::new_map();
    v["s"] = "quote \" and \\ and \n";
    v["i"] = -12;
    v["u"] = std::numeric_limits<uint64_t>::max();
    v["d"] = 0.25;
    v["a"] = Variant(Variant::ArrayType{true, Variant(), "x"});
    EXPECT_EQ(json::from_json_string(json::to_json_string(v)), v);
    EXPECT_EQ(json::to_json_string(Variant(Variant::ArrayType{1, "a"})), R"([1,"a"])");
}

}  // namespace
