// Values and their exact errors, JSON text, name escaping and node paths.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>

#include "strata_sdk/json.h"
#include "strata_sdk/node_path.h"
#include "strata_sdk/variant.h"

using namespace kestrel::strata_sdk;

namespace {

// Each read throws the SDK exception with code 9013 and its own text.
TEST(VariantTest, ReadsOfTheWrongKindThrowCode9013WithTheirTexts) {
    const Variant number(7);
    const Variant text("x");
    const Variant items(Variant::ArrayType{1, 2});
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[&] { (void)number.as_string(); }, "not a string"},
        {[&] { (void)text.as_map(); }, "not a map"},
        {[&] { (void)text.as_array(); }, "not an array"},
        {[&] { (void)text.as_uint(); }, "not an uint"},
        {[&] { (void)Variant(1.5).as_uint(); }, "not an uint"},
        // A negative signed value has no unsigned reading; wrapping it would invent 2^64-1.
        {[&] { (void)Variant(-1).as_uint(); }, "not an uint"},
        {[&] { (void)text.as_int(); }, "not an int"},
        {[&] { (void)Variant(max).as_int(); }, "not an int"},
        {[&] { (void)text.as_double(); }, "not a double"},
        {[&] { (void)number.as_bool(); }, "not a bool"},
        {[&] { (void)text[0]; }, "not an array"},
        {[&] { (void)items[2]; }, "index out of bounds"},
        {[&] { (void)Variant::new_map().at("k"); }, "key not found"},
        {[&] { (void)text.at("k"); }, "not a map"},
        {[&] { Variant v(std::nan("")); }, "not a valid float"},
        {[&] { Variant v(std::numeric_limits<float>::infinity()); }, "not a valid float"},
    };
    for (const auto& [read, message] : cases) {
        SCOPED_TRACE(message);
        try {
            read();
            ADD_FAILURE() << "no exception";
        } catch (const exception& e) {
            EXPECT_EQ(e.code().value(), 9013);
            EXPECT_EQ(&e.code().category(), &strata_error_category());
            EXPECT_STREQ(e.what(), message);
        }
    }
    EXPECT_EQ(items[1].as_int(), 2);
    EXPECT_EQ(Variant(max).as_uint(), max);
    EXPECT_EQ(Variant(static_cast<uint64_t>(5)).as_int(), 5);
}

TEST(JsonTest, IntegersAreSignedUntilTheyNeedUnsigned) {
    Variant v = json::from_json_string(
        "[-1, 9223372036854775807, 9223372036854775808, 18446744073709551615, 1.0, 2e3]");
    EXPECT_EQ(v[0].as_int(), -1);
    EXPECT_EQ(v[1].get_type(), Variant::Int);
    EXPECT_EQ(v[1].as_int(), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(v[2].get_type(), Variant::UInt);
    EXPECT_EQ(v[2].as_uint(), 9223372036854775808ull);
    EXPECT_EQ(v[3].as_uint(), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(v[4].get_type(), Variant::Double);
    EXPECT_DOUBLE_EQ(v[5].as_double(), 2000.0);
}

// Deep nesting is refused instead of exhausting the stack.
TEST(JsonTest, BadTextThrowsInvalidJsonSayingWhere) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "invalid JSON at byte"},
        {"{", "invalid JSON at byte"},
        {"[1,]", "invalid JSON at byte"},
        {"{\"a\":1} trailing", "invalid JSON at byte"},
        {"tru", "invalid JSON at byte"},
        {"\"unterminated", "invalid JSON at byte"},
        {"{'single':1}", "invalid JSON at byte"},
        {"\"\xff\"", "invalid JSON at byte"},
        {std::string(100000, '['), "nested deeper"},
    };
    for (const auto& [bad, why] : cases) {
        SCOPED_TRACE(bad.substr(0, 20));
        try {
            json::from_json_string(bad);
            ADD_FAILURE() << "accepted";
        } catch (const exception& e) {
            EXPECT_EQ(e.code(), make_error_code(strata_errc::invalid_json));
            EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
        }
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

TEST(StringEscapeTest, UnescapeOfEscapeGivesBackEveryRandomByteString) {
    std::mt19937 random(20261206);
    std::uniform_int_distribution<int> length(0, 40);
    std::uniform_int_distribution<int> byte(0, 255);
    // Bias towards the characters that matter: '%', '/', '.', '$' and hex digits.
    const std::string special = "%/.$0aF";
    std::uniform_int_distribution<int> pick_special(0, static_cast<int>(special.size()) - 1);
    for (int round = 0; round < 20000; ++round) {
        std::string s;
        for (int i = length(random); i > 0; --i) {
            s += (byte(random) < 64) ? special[pick_special(random)]
                                     : static_cast<char>(byte(random));
        }
        std::string escaped = string_escape(s);
        ASSERT_EQ(string_unescape(escaped), s) << "round " << round;
        ASSERT_EQ(escaped.find('/'), std::string::npos) << "round " << round;
        for (unsigned char c : escaped) {
            ASSERT_TRUE(c >= 0x20 && c != 0x7F) << "control byte left in round " << round;
        }
    }
}

TEST(StringEscapeTest, ReservedCharactersBecomeUpperCaseHexAndNonEscapesAreKept) {
    const std::pair<const char*, const char*> escapes[] = {
        {"a/b", "a%2Fb"},
        {"50%", "50%25"},
        {R"(\?*:|<>")", "%5C%3F%2A%3A%7C%3C%3E%22"},
        {".hidden.x", "%2Ehidden.x"},
        {"$cfg$", "%24cfg$"},
        {"tab\there", "tab%09here"},
        {"PLC 1", "PLC 1"},
        {"", ""},
    };
    for (const auto& [plain, escaped] : escapes) {
        EXPECT_EQ(string_escape(plain), escaped);
    }
    EXPECT_EQ(string_unescape("100%"), "100%");
    EXPECT_EQ(string_unescape("%zz%2"), "%zz%2");
    EXPECT_EQ(string_unescape("%2f%2F"), "//");
}

TEST(NodePathTest, ParsesPrintsJoinsAndSplitsCanonically) {
    NodePath p("/plc1/EM Tags//Read Tags List/");
    EXPECT_EQ(p.to_string(), "/plc1/EM Tags/Read Tags List");
    EXPECT_EQ(std::vector<std::string>(p.begin(), p.end()),
              (std::vector<std::string>{"plc1", "EM Tags", "Read Tags List"}));
    EXPECT_TRUE(NodePath("").is_root());
    EXPECT_EQ(NodePath().to_string(), "/");
    EXPECT_EQ(p.get_name(), "Read Tags List");
    EXPECT_EQ(p.get_parent_path().to_string(), "/plc1/EM Tags");
    EXPECT_EQ(p.get_base(), "plc1");
    EXPECT_EQ(NodePath("/").get_parent_path().to_string(), "/");
    EXPECT_EQ(NodePath("/").get_name(), "");
    EXPECT_EQ((NodePath("/") / "plc1" / "EM Tags/Read Tags List").to_string(),
              "/plc1/EM Tags/Read Tags List");
    EXPECT_EQ((NodePath("/a") / NodePath("/b/c")).to_string(), "/a/b/c");
    EXPECT_EQ((NodePath("/") / string_escape("a/b")).size(), 1u);  // one component
}

TEST(NodePathTest, OrderingAndContainment) {
    EXPECT_LT(NodePath("/a"), NodePath("/a/b"));
    EXPECT_EQ(NodePath("/a/b"), NodePath("a/b"));
    EXPECT_TRUE(NodePath("/a/b/c").is_within(NodePath("/a")));
    EXPECT_TRUE(NodePath("/a").is_within(NodePath("/a")));
    EXPECT_TRUE(NodePath("/a").is_within(NodePath("/")));
    EXPECT_FALSE(NodePath("/ab").is_within(NodePath("/a")));
    EXPECT_FALSE(NodePath("/a").is_within(NodePath("/a/b")));
}

}  // namespace
