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
        int n = length(random);
        for (int i = 0; i < n; ++i) {
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

TEST(StringEscapeTest, EscapesTheReservedCharactersAsUpperCaseHex) {
    EXPECT_EQ(string_escape("a/b"), "a%2Fb");
    EXPECT_EQ(string_escape("50%"), "50%25");
    EXPECT_EQ(string_escape(R"(\?*:|<>")"), "%5C%3F%2A%3A%7C%3C%3E%22");
    EXPECT_EQ(string_escape(".hidden.x"), "%2Ehidden.x");
    EXPECT_EQ(string_escape("$cfg$"), "%24cfg$");
    EXPECT_EQ(string_escape("tab\there"), "tab%09here");
    EXPECT_EQ(string_escape("PLC 1"), "PLC 1");
    EXPECT_EQ(string_escape(""), "");
}

TEST(StringEscapeTest, UnescapeKeepsSequencesThatAreNotEscapes) {
    EXPECT_EQ(string_unescape("100%"), "100%");
    EXPECT_EQ(string_unescape("%zz%2"), "%zz%2");
    EXPECT_EQ(string_unescape("%2f%2F"), "//");
}

TEST(NodePathTest, ParsesComponentsAndPrintsCanonically) {
    NodePath p("/plc1/EM Tags//Read Tags List/");
    EXPECT_EQ(p.size(), 3u);
    EXPECT_EQ(p.to_string(), "/plc1/EM Tags/Read Tags List");
    std::vector<std::string> parts(p.begin(), p.end());
    EXPECT_EQ(parts, (std::vector<std::string>{"plc1", "EM Tags", "Read Tags List"}));
    EXPECT_TRUE(NodePath("/").is_root());
    EXPECT_TRUE(NodePath("").is_root());
    EXPECT_EQ(NodePath().to_string(), "/");
}

TEST(NodePathTest, NameParentAndBase) {
    NodePath p("/plc1/IO Tags/io1");
    EXPECT_EQ(p.get_name(), "io1");
    EXPECT_EQ(p.get_parent_path().to_string(), "/plc1/IO Tags");
    EXPECT_EQ(p.get_base(), "plc1");
    EXPECT_EQ(p.get_parent_path().get_parent_path().get_parent_path().to_string(), "/");
    EXPECT_EQ(NodePath("/").get_parent_path().to_string(), "/");
    EXPECT_EQ(NodePath("/").get_name(), "");
    EXPECT_EQ(NodePath("/").get_base(), "");
}

TEST(NodePathTest, SlashOperatorAppendsOneOrSeveralNames) {
    NodePath root("/");
    EXPECT_EQ((root / "plc1").to_string(), "/plc1");
    EXPECT_EQ((root / "plc1" / "EM Tags/Read Tags List").to_string(),
              "/plc1/EM Tags/Read Tags List");
    EXPECT_EQ((root / std::string("a")).to_string(), "/a");
    EXPECT_EQ((NodePath("/a") / NodePath("/b/c")).to_string(), "/a/b/c");
    // An escaped alias stays one component.
    EXPECT_EQ((root / string_escape("a/b")).size(), 1u);
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
