#include <gtest/gtest.h>

#include <random>

#include "strata_sdk/node_path.h"

using namespace kestrel::strata_sdk;

namespace {

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
