// The browse requests and replies byte by byte, and the browser's handling of controllers that
// refuse or misbehave, over a scripted exchange.

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "eip/cip_wire.h"
#include "family/logix_browse.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

ByteView View(const Bytes& bytes) {
    return ByteView{bytes.data(), bytes.size()};
}

const Bytes kSymbolAttributes = {0x03, 0x00, 0x01, 0x00, 0x02, 0x00, 0x08, 0x00};

TEST(LogixBrowseCodec, SymbolListRequestsNameScopeAndFirstInstanceInTheShortestSegment) {
    struct Case {
        std::string program;
        uint32_t first;
        Bytes expected;
    };
    const Case cases[] = {
        {"", 0, Concat({{0x55, 0x02, 0x20, 0x6B, 0x24, 0x00}, kSymbolAttributes})},
        {"", 0x100, Concat({{0x55, 0x03, 0x20, 0x6B, 0x25, 0x00, 0x00, 0x01}, kSymbolAttributes})},
        {"", 0x12345,
         Concat({{0x55, 0x04, 0x20, 0x6B, 0x26, 0x00, 0x45, 0x23, 0x01, 0x00}, kSymbolAttributes})},
        {"Program:MainProgram", 0x1234,
         Concat({{0x55, 0x0E, 0x91, 0x13},
                 Text("Program:MainProgram"),
                 {0x00, 0x20, 0x6B, 0x25, 0x00, 0x34, 0x12},
                 kSymbolAttributes})},
        {"Program:Pa", 7,
         Concat({{0x55, 0x08, 0x91, 0x0A},
                 Text("Program:Pa"),
                 {0x20, 0x6B, 0x24, 0x07},
                 kSymbolAttributes})},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, logix_browse::EncodeSymbolListRequest(c.program, c.first))
            << c.program << " " << c.first;
    }
}

TEST(LogixBrowseCodec, SymbolListReplyDecodesEveryEntryAndRefusesACutEntry) {
    const Bytes reply = Concat({
        {0x05, 0x00, 0x00, 0x00, 0x06, 0x00},
        Text("Motor1"),
        {0x2D, 0x8B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {0x07, 0x01, 0x00, 0x00, 0x04, 0x00},
        Text("Grid"),
        {0xC3, 0x40, 0x03, 0, 0, 0, 0x04, 0, 0, 0, 0, 0, 0, 0},
    });
    std::vector<LogixSymbol> symbols;
    ASSERT_TRUE(logix_browse::DecodeSymbolList(View(reply), symbols));
    ASSERT_EQ(2u, symbols.size());
    EXPECT_EQ(5u, symbols[0].instance);
    EXPECT_EQ("Motor1", symbols[0].name);
    EXPECT_TRUE(symbols[0].IsStructure());
    EXPECT_EQ(0xB2D, symbols[0].TemplateId());
    EXPECT_EQ(0x107u, symbols[1].instance);
    EXPECT_EQ(2u, symbols[1].DimensionCount());
    EXPECT_EQ((std::array<uint32_t, 3>{3, 4, 0}), symbols[1].dims);

    Bytes writtenBack;
    for (const LogixSymbol& symbol : symbols) {
        ByteWriter w;
        logix_browse::WriteSymbolEntry(w, symbol);
        const Bytes entry = w.to_vector();
        writtenBack.insert(writtenBack.end(), entry.begin(), entry.end());
    }
    EXPECT_EQ(reply, writtenBack);

    for (size_t cut : {size_t{3}, size_t{9}, reply.size() - 1}) {
        std::vector<LogixSymbol> partial;
        EXPECT_FALSE(logix_browse::DecodeSymbolList(ByteView{reply.data(), cut}, partial)) << cut;
    }
}

TEST(LogixBrowseCodec, TemplateAttributeAndReadRequestsAreByteExact) {
    EXPECT_EQ((Bytes{0x03, 0x03, 0x20, 0x6C, 0x25, 0x00, 0x2D, 0x0B, 0x04, 0x00, 0x04, 0x00, 0x05,
                     0x00, 0x02, 0x00, 0x01, 0x00}),
              logix_browse::EncodeTemplateAttributesRequest(0xB2D));
    EXPECT_EQ(
        (Bytes{0x4C, 0x03, 0x20, 0x6C, 0x25, 0x00, 0x2D, 0x0B, 0xF4, 0x01, 0x00, 0x00, 0x64, 0x00}),
        logix_browse::EncodeReadTemplateRequest(0xB2D, 500, 100));
}

TEST(LogixBrowseCodec, TemplateAttributesNeedAllFourWithSuccess) {
    const Bytes reply = {0x04, 0x00, 0x04, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00,
                         0x05, 0x00, 0x00, 0x00, 0x74, 0x00, 0x00, 0x00, 0x02, 0x00,
                         0x00, 0x00, 0x07, 0x00, 0x01, 0x00, 0x00, 0x00, 0x2D, 0x1B};
    LogixTemplate attributes;
    ASSERT_TRUE(logix_browse::DecodeTemplateAttributes(View(reply), attributes));
    EXPECT_EQ(0x1B2D, attributes.handle);
    EXPECT_EQ(7, attributes.memberCount);
    EXPECT_EQ(32u, attributes.definitionWords);
    EXPECT_EQ(116u, attributes.structureSize);
    EXPECT_EQ(32u * 4 - 23, attributes.DefinitionBytes());

    Bytes refused = reply;
    refused[4] = 0x14;  // status of attribute 4
    Bytes missing = reply;
    missing[0] = 0x03;  // three attributes, handle left out
    for (const Bytes& bad : {refused, missing, Bytes(reply.begin(), reply.end() - 1)}) {
        LogixTemplate out;
        EXPECT_FALSE(logix_browse::DecodeTemplateAttributes(View(bad), out));
    }
}

TEST(LogixBrowseCodec, TemplateDefinitionGivesNameAndMembersAndRefusesMissingNames) {
    const Bytes definition = Concat({
        {0x00, 0x00, 0xC4, 0x00, 0x00, 0x00, 0x00, 0x00},  // Count DINT at 0
        {0x04, 0x00, 0xCA, 0x20, 0x04, 0x00, 0x00, 0x00},  // Gains REAL[4] at 4
        Text("PAIR;n"),
        {0x00},
        Text("Count"),
        {0x00},
        Text("Gains"),
        {0x00},
    });
    LogixTemplate pair;
    pair.memberCount = 2;
    Bytes padded = definition;
    padded.insert(padded.end(), {0x00, 0x00, 0x00});
    ASSERT_TRUE(logix_browse::DecodeTemplateDefinition(View(padded), pair));
    EXPECT_EQ("PAIR", pair.name);
    ASSERT_EQ(2u, pair.members.size());
    EXPECT_EQ("Gains", pair.members[1].name);
    EXPECT_EQ(4, pair.members[1].info);
    EXPECT_EQ(0x20CA, pair.members[1].type);
    EXPECT_EQ(4u, pair.members[1].offset);
    EXPECT_EQ(definition, logix_browse::EncodeTemplateDefinition(pair));

    for (size_t cut : {size_t{7}, size_t{16}, definition.size() - 7}) {
        LogixTemplate out;
        out.memberCount = 2;
        EXPECT_FALSE(logix_browse::DecodeTemplateDefinition(ByteView{definition.data(), cut}, out))
            << cut;
    }
}

TEST(LogixBrowseCodec, FilterIsACaseInsensitiveSubstringOrWildcardPattern) {
    struct Case {
        const char* name;
        const char* filter;
        bool matches;
    };
    const Case cases[] = {
        {"Motor1.Speed", "speed", true},
        {"Motor1.Speed", "Motor1.*", true},
        {"Motor1", "Motor1.*", false},
        {"Program:Main.Step", "*step", true},
        {"Program:Main.Step", "Prog*.S*", true},
        {"Counter", "*x*", false},
        {"Counter", "", true},
        {"Counter", "C*t*r", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.matches, logix_browse::MatchesFilter(c.name, c.filter))
            << c.name << " / " << c.filter;
    }
}

// ---- Browser over a scripted controller -------------------------------------------------------

struct Scripted {
    std::deque<LogixBrowser::Reply> replies;
    size_t asked = 0;

    LogixBrowser::Exchange Exchange() {
        return [this](ByteView request, LogixBrowser::Reply& reply) {
            ++asked;
            if (replies.empty()) {
                return false;
            }
            reply = replies.front();
            replies.pop_front();
            reply.service = static_cast<uint8_t>(request.at(0) | CIP_SERVICE_REPLY);
            return true;
        };
    }
};

Bytes Entry(uint32_t instance, const std::string& name, uint16_t type) {
    ByteWriter w;
    logix_browse::WriteSymbolEntry(w, LogixSymbol{instance, name, type, {}});
    return w.to_vector();
}

TEST(LogixBrowser, RefusalsAndStalledPagingEndTheBrowseWithAReason) {
    struct Case {
        std::vector<LogixBrowser::Reply> replies;
        const char* reason;
    };
    const Case cases[] = {
        {{{0, CIP_STATUS_SERVICE_NOT_SUPPORTED, {}}}, "(Symbol object) refused by the controller"},
        {{}, "no reply"},
        {{{0, CIP_STATUS_PARTIAL_TRANSFER, Entry(9, "A", 0xC4)},
          {0, CIP_STATUS_PARTIAL_TRANSFER, Entry(3, "B", 0xC4)}},
         "does not advance"},
        {{{0, CIP_STATUS_PARTIAL_TRANSFER, {}}}, "does not advance"},
        {{{0, CIP_STATUS_SUCCESS, {0x01, 0x00}}}, "malformed"},
    };
    for (const Case& c : cases) {
        Scripted controller;
        controller.replies.assign(c.replies.begin(), c.replies.end());
        LogixTemplateCache cache;
        LogixBrowser browser(controller.Exchange(), cache, "PLC");
        std::vector<LogixBrowseRow> rows;
        std::string reason;
        EXPECT_FALSE(browser.Browse("", rows, reason));
        EXPECT_NE(std::string::npos, reason.find(c.reason)) << reason;
        EXPECT_TRUE(rows.empty());
    }
}

TEST(LogixBrowser, SystemHiddenAndProgramEntriesGiveNoRowOfTheirOwn) {
    Scripted controller;
    controller.replies = {
        {0, CIP_STATUS_SUCCESS,
         Concat({Entry(1, "Speed", 0x00CA), Entry(2, "__Hidden", 0x00C4),
                 Entry(3, "Map:Local", 0x1069), Entry(4, "Program:P", 0x1068),
                 Entry(5, "Counts", 0x00C8)})},
        {0, CIP_STATUS_SUCCESS, Entry(1, "Step", 0x00C4)},
    };
    LogixTemplateCache cache;
    LogixBrowser browser(controller.Exchange(), cache, "PLC");
    std::vector<LogixBrowseRow> rows;
    std::string reason;
    ASSERT_TRUE(browser.Browse("", rows, reason)) << reason;
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ("Speed", rows[0].name);
    EXPECT_TRUE(rows[0].readable);
    EXPECT_EQ("Counts", rows[1].name);
    EXPECT_EQ("UDINT", rows[1].type);
    EXPECT_FALSE(rows[1].readable);
    EXPECT_EQ("Program:P.Step", rows[2].name);
    EXPECT_EQ("Program:P", rows[2].scope);
    EXPECT_EQ(2u, browser.RequestCount());
}

}  // namespace
