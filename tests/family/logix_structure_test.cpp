// Structure values through their templates: the definitions and values are byte rows laid out
// as a controller answers Read Template and Read Tag (RECIPE: hidden BOOL host, REAL, DINT[2],
// nested LIMITS, a STRING32; TIMER: bits of its status word).

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "family/controllogix_connection.h"
#include "family/logix_structure.h"
#include "strata_sdk/json.h"
#include "support/hex.h"

using kestrel::strata_sdk::Variant;
using kestrel::strata_sdk::json::from_json_string;
using tb_test::Hex;

namespace {

using Bytes = std::vector<uint8_t>;

ByteView View(const Bytes& bytes) {
    return ByteView{bytes.data(), bytes.size()};
}

std::shared_ptr<const LogixTemplate> Template(uint16_t handle, uint16_t members, uint32_t size,
                                              const char* definition) {
    auto out = std::make_shared<LogixTemplate>();
    out->handle = handle;
    out->memberCount = members;
    out->structureSize = size;
    const Bytes bytes = Hex(definition);
    if (!logix_browse::DecodeTemplateDefinition(View(bytes), *out)) {
        throw std::invalid_argument(definition);
    }
    return out;
}

const auto kLimits =
    Template(0x4CE4, 2, 4, "0000C300 00000000 0000C300 02000000 'LIMITS;n' 00 'Low' 00 'High' 00");
const auto kString32 = Template(
    0x0337, 2, 36, "0000C400 00000000 2000C220 04000000 'STRING32;n' 00 'LEN' 00 'DATA' 00");
const auto kRecipe = Template(
    0x49B8, 7, 56,
    "0000C200 00000000 0000C100 00000000 0100C100 00000000 0000CA00 04000000 0200C420 08000000"
    " 0000E48C 10000000 00003783 14000000 'RECIPE;n' 00 'ZZZZZZZZZZRECIPE0' 00 'Ready' 00"
    " 'Done' 00 'Temp' 00 'Steps' 00 'Limits' 00 'Label' 00");
const auto kTimer = Template(
    0x0F83, 6, 12,
    "0000C400 00000000 0000C400 04000000 0000C400 08000000 1F00C100 00000000 1E00C100 00000000"
    " 1D00C100 00000000 'TIMER;n' 00 'CTL' 00 'PRE' 00 'ACC' 00 'EN' 00 'TT' 00 'DN' 00");

// A BOOL[32] held in one DWORD word, an INT and an LREAL.
const auto kFlags = Template(0x0123, 3, 16,
                             "0100D320 00000000 0000C300 04000000 0000CB00 08000000 'FLAGS;n' 00"
                             " 'Flags' 00 'Count' 00 'Wide' 00");

const LogixTemplateLookup kLookup = [](uint16_t id) -> std::shared_ptr<const LogixTemplate> {
    const std::map<uint16_t, std::shared_ptr<const LogixTemplate>> known{{0xCE4, kLimits},
                                                                         {0x337, kString32}};
    const auto it = known.find(id);
    return it == known.end() ? nullptr : it->second;
};

// The bytes of the hex text, zero-padded to size.
Bytes Padded(const char* hex, size_t size) {
    Bytes bytes = Hex(hex);
    bytes.resize(size);
    return bytes;
}

// Ready set, Temp 1.5, Steps {7, 8}, Limits {-1, 9}, Label "ab".
const Bytes kRecipeBytes = Padded("01000000 0000C03F 07000000 08000000 FFFF0900 02000000 'ab'", 56);

Bytes Merge(const LogixTemplate& structure, const Bytes& current, const std::string& partial,
            std::string& reason) {
    Bytes out{0xEE};
    logix_structure::EncodeStructure(from_json_string(partial), View(current), structure, kLookup,
                                     out, reason);
    return out;
}

TEST(LogixStructureDecode, MembersBitsArraysNestedStructuresAndStrings) {
    const struct {
        const LogixTemplate& structure;
        Bytes bytes;
        const char* expected;
    } rows[] = {
        {*kRecipe, kRecipeBytes,
         R"({"Ready":true,"Done":false,"Temp":1.5,"Steps":[7,8],"Limits":{"Low":-1,"High":9},)"
         R"("Label":"ab"})"},
        // EN and DN of the status word (bits 31 and 29); the word itself is hidden.
        {*kTimer, Hex("000000A0 F4010000 0A000000"),
         R"({"PRE":500,"ACC":10,"EN":true,"TT":false,"DN":true})"},
        // A string type reads as text; a LEN beyond DATA is clamped to its capacity.
        {*kString32, Padded("06000000 'Line 3'", 36), R"("Line 3")"},
        {*kString32, Hex("FF000000 'abcdefghijklmnopqrstuvwxyz012345'"),
         R"("abcdefghijklmnopqrstuvwxyz012345")"},
    };
    for (const auto& row : rows) {
        Variant value;
        std::string reason;
        ASSERT_TRUE(logix_structure::DecodeStructure(View(row.bytes), row.structure, kLookup, value,
                                                     reason))
            << reason;
        EXPECT_EQ(value, from_json_string(row.expected)) << row.expected;
    }
}

TEST(LogixStructureDecode, RefusesShortBytesAndUnknownTemplatesNamingTheMember) {
    Bytes shortBytes(kRecipeBytes.begin(), kRecipeBytes.end() - 1);
    Variant value;
    std::string reason;
    EXPECT_FALSE(
        logix_structure::DecodeStructure(View(shortBytes), *kRecipe, kLookup, value, reason));
    EXPECT_EQ(reason, "55 bytes for a structure of 56");
    const LogixTemplateLookup none = [](uint16_t) { return nullptr; };
    EXPECT_FALSE(
        logix_structure::DecodeStructure(View(kRecipeBytes), *kRecipe, none, value, reason));
    EXPECT_EQ(reason, "Limits: template 0x0CE4 is not known");
}

// A partial value changes only the bytes of the members it names.
TEST(LogixStructureEncode, ChangesOnlyTheMembersNamed) {
    const struct {
        const LogixTemplate& structure;
        Bytes current;
        const char* partial;
        const char* expected;
    } rows[] = {
        {*kRecipe, kRecipeBytes, R"({"Done":true,"Limits":{"High":-2},"Steps":[null,5]})",
         "03000000 0000C03F 07000000 05000000 FFFFFEFF 02000000 'ab'"},
        {*kRecipe, kRecipeBytes, R"({"Ready":false,"Temp":2,"Label":"xyz"})",
         "00000000 00000040 07000000 08000000 FFFF0900 03000000 'xyz'"},
        {*kTimer, Hex("000000A0 F4010000 0A000000"), R"({"EN":false,"PRE":1000})",
         "00000020 E8030000 0A000000"},
        {*kString32, Hex("06000000 'Line 3'"), R"("Line 4")", "06000000 'Line 4'"},
        {*kFlags, Hex("05000080 0200"), R"({"Flags":[null,true,false],"Wide":2.5})",
         "03000080 0200 0000 0000000000000440"},
    };
    for (const auto& row : rows) {
        Bytes current = row.current;
        current.resize(row.structure.structureSize);
        std::string reason;
        EXPECT_EQ(Merge(row.structure, current, row.partial, reason),
                  Padded(row.expected, row.structure.structureSize))
            << row.partial << " " << reason;
    }
}

TEST(LogixStructureEncode, RefusesNamingTheMemberAndProducesNothing) {
    const struct {
        const char* partial;
        const char* reason;
    } rows[] = {
        {R"({"Nope":1})", "Nope: not a member"},
        {R"({"ZZZZZZZZZZRECIPE0":1})", "ZZZZZZZZZZRECIPE0: not a member"},
        {R"({"Limits":{"High":"x"}})", "Limits.High: text is not a whole number: \"x\""},
        {R"({"Limits":{"High":70000}})", "Limits.High: number 70000 out of range of 0x00C3"},
        {R"({"Limits":5})", "Limits: expected an object"},
        {R"({"Temp":"hot"})", "Temp: not a REAL number"},
        {R"({"Steps":[1,2,3]})", "Steps: more than 2 elements"},
        {R"({"Ready":256})", "Ready: number 256 out of range of 0x00C1"},
        {R"({"Label":"abcdefghijklmnopqrstuvwxyz0123456"})",
         "Label: string too long, 33 bytes for at most 32"},
        {R"({"Label":7})", "Label: expected text"},
    };
    for (const auto& row : rows) {
        std::string reason;
        EXPECT_EQ(Merge(*kRecipe, kRecipeBytes, row.partial, reason), Bytes()) << row.partial;
        EXPECT_EQ(reason, row.reason);
    }
    std::string reason;
    EXPECT_EQ(Merge(*kRecipe, Bytes(55), "{}", reason), Bytes());
    EXPECT_EQ(reason, "55 bytes for a structure of 56");
}

// Members located in the structure's bytes and cut out as their own Read Tag would return them.
TEST(LogixStructureMembers, LocatesAndCutsMembersAndBits) {
    const struct {
        const LogixTemplate& structure;
        const char* path;
        uint32_t offset, size;
        uint16_t type;
        int32_t bit;
        const char* host;
        const char* cut;
    } rows[] = {
        {*kRecipe, "limits.HIGH", 18, 2, 0xC3, -1, "", "0900"},
        {*kRecipe, "Steps[1]", 12, 4, 0xC4, -1, "", "08000000"},
        {*kRecipe, "Steps", 8, 8, 0x20C4, -1, "", "07000000 08000000"},
        {*kRecipe, "Ready", 0, 1, 0xC1, 0, "ZZZZZZZZZZRECIPE0", "01"},
        {*kRecipe, "Done", 0, 1, 0xC1, 1, "ZZZZZZZZZZRECIPE0", "00"},
        {*kRecipe, "Limits.Low.15", 16, 2, 0xC1, 15, "Limits.Low", "01"},
        {*kRecipe, "Label.LEN", 20, 4, 0xC4, -1, "", "02000000"},
        {*kTimer, "DN", 0, 4, 0xC1, 29, "CTL", "01"},
        {*kFlags, "Flags[31]", 0, 4, 0xC1, 31, "", "01"},
    };
    const std::map<const LogixTemplate*, Bytes> values{
        {kRecipe.get(), kRecipeBytes},
        {kTimer.get(), Hex("000000A0 F4010000 0A000000")},
        {kFlags.get(), Padded("05000080", 16)}};
    for (const auto& row : rows) {
        LogixMemberLocation at;
        std::string reason;
        ASSERT_TRUE(logix_structure::LocateMember(row.structure, row.path, kLookup, at, reason))
            << row.path << " " << reason;
        EXPECT_EQ(std::vector<uint32_t>({at.offset, at.size, at.type}),
                  std::vector<uint32_t>({row.offset, row.size, row.type}))
            << row.path;
        EXPECT_EQ(at.bit, row.bit) << row.path;
        EXPECT_EQ(at.hostPath, row.host) << row.path;
        Bytes cut;
        ASSERT_TRUE(logix_structure::CutMember(View(values.at(&row.structure)), at, cut, reason));
        EXPECT_EQ(cut, Hex(row.cut)) << row.path;
    }
    for (const char* wrong : {"Steps[2]", "Temp.1", "Nope", "Steps.1", "Ready[0]", "Limits..Low"}) {
        LogixMemberLocation at;
        std::string reason;
        EXPECT_FALSE(logix_structure::LocateMember(*kRecipe, wrong, kLookup, at, reason)) << wrong;
    }
}

// A bit member is written with a masked write of its host's width; a structure with its handle.
TEST(LogixStructureWrites, BitMasksAndWholeStructureWriteTag) {
    LogixMemberLocation at;
    LogixBitWrite write;
    std::string reason;
    ASSERT_TRUE(logix_structure::LocateMember(*kTimer, "EN", kLookup, at, reason));
    ASSERT_TRUE(logix_structure::BitWrite(at, false, write, reason));
    const Bytes host = Hex("09 9106 'Timer1' 9103 'CTL' 00");
    EXPECT_EQ(ControlLogixConnection::EncodeReadModifyWrite(View(host), write.maskBytes,
                                                            write.orMask, write.andMask),
              Hex("4E 09 9106 'Timer1' 9103 'CTL' 00 0400 00000000 FFFFFF7F"));
    const Bytes path = Hex("04 9106 'Count1'");
    const Bytes value = Hex("00000000 0A000000 0A000000");
    EXPECT_EQ(ControlLogixConnection::EncodeWriteTag(View(path), LOGIX_TYPE_STRUCTURE, 0x0F82, 1,
                                                     View(value)),
              Hex("4D 04 9106 'Count1' A002 820F 0100 00000000 0A000000 0A000000"));
}

}  // namespace
