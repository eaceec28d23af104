// plcsim's tag services: what the Logix tag database answers and refuses, and the definitions
// and command lines refused. What a client reads and writes through them is covered by the round
// trips in plcsim_round_trip_test.cpp; the PCCC data table by plcsim_pccc_test.cpp.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "sim/logix_cli.h"
#include "sim/logix_services.h"
#include "sim/logix_tag_config.h"
#include "support/hex.h"
#include "support/sim_plc.h"
#include "tests/sim/raw_client.h"

using namespace plcsim;
using tb_test::Hex;

namespace {

using Bytes = std::vector<uint8_t>;

ByteView View(const Bytes& b) {
    return ByteView{b.data(), b.size()};
}

// Request path bytes (without the word count) built from symbols and indices.
struct Path {
    Bytes bytes;
    Path& Sym(const std::string& name) {
        bytes.push_back(0x91);
        bytes.push_back(static_cast<uint8_t>(name.size()));
        bytes.insert(bytes.end(), name.begin(), name.end());
        if (name.size() % 2 != 0) {
            bytes.push_back(0);
        }
        return *this;
    }
    Path& Idx(uint32_t index) {
        if (index < 256) {
            bytes.insert(bytes.end(), {0x28, static_cast<uint8_t>(index)});
        } else {
            bytes.insert(bytes.end(), {0x29, 0x00, static_cast<uint8_t>(index & 0xFF),
                                       static_cast<uint8_t>(index >> 8)});
        }
        return *this;
    }
};

Bytes Count(uint16_t n) {
    return {static_cast<uint8_t>(n & 0xFF), static_cast<uint8_t>(n >> 8)};
}

// Write Tag request data: type, handle for a structure, count, values.
Bytes WriteData(uint16_t type, uint16_t count, const Bytes& values, uint16_t handle = 0) {
    ByteWriter w;
    w.u16(type);
    if (type == kLogixTypeStructure) {
        w.u16(handle);
    }
    w.u16(count).bytes(values);
    return w.to_vector();
}

// Message Router request: service, path size in words, path, data.
Bytes MrRequest(uint8_t service, const Bytes& path, const Bytes& data) {
    ByteWriter w;
    w.u8(service).u8(static_cast<uint8_t>(path.size() / 2)).bytes(path).bytes(data);
    return w.to_vector();
}

class LogixTagsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        for (const LogixTypeDefinition& type : LogixDemoTypes()) {
            ASSERT_TRUE(db.DefineType(type, error)) << error;
        }
        for (const LogixTagDefinition& d : LogixDemoTags()) {
            ASSERT_TRUE(db.Define(d, error)) << error;
        }
    }
    LogixReply Read(const Bytes& path, const Bytes& data, size_t room = 500) {
        return db.ReadTag(View(path), View(data), room);
    }
    LogixTagDatabase db;
};

}  // namespace

// ---- Read Tag and Write Tag on the database ------------------------------------------------

constexpr int kRefused = -1;  // any refusal

struct ReadCase {
    Path path;
    uint16_t count;
    int status;
    Bytes front = {};  // the reply data starts with these bytes
    size_t size = 0;   // and has this size (0: not checked)
    std::optional<uint16_t> ext = std::nullopt;
    size_t room = 500;
};

// Elementary tags answer with their type codes, names ignore case, arrays answer element ranges
// up to their last element (one index per dimension), structures and strings answer whole
// records or members, and a reply larger than the room is a partial transfer.
TEST_F(LogixTagsTest, ReadsAnswerTypeAndValueOrTheReasonOfTheRefusal) {
    ASSERT_TRUE(db.SetInt("Grid[1,2]", 77));
    const uint8_t kUnknown = CIP_STATUS_PATH_DESTINATION_UNKNOWN;
    const uint8_t kSegment = CIP_STATUS_PATH_SEGMENT_ERROR;
    const ReadCase cases[] = {
        {Path().Sym("Value"), 1, 0, Hex("C400 A0860100"), 6},
        {Path().Sym("Small"), 1, 0, Hex("C200 F9"), 3},
        {Path().Sym("Word"), 1, 0, Hex("C300 D204"), 4},
        {Path().Sym("Flag"), 1, 0, Hex("C100 01"), 3},
        {Path().Sym("VALUE"), 1, 0},
        {Path().Sym("motor1").Sym("SPEED"), 1, 0, Hex("CA00 0050B544"), 6},
        {Path().Sym("Buffer").Idx(2), 3, 0, Hex("C400 02000000 03000000 04000000"), 14},
        {Path().Sym("Buffer").Idx(7), 3, 0, {}, 14},  // up to the last element, not past it
        {Path().Sym("Buffer").Idx(7), 4, kLogixStatusGeneralError, {}, 0, kLogixExtBeyondEnd},
        {Path().Sym("Buffer").Idx(10), 1, kUnknown},
        {Path().Sym("Buffer"), 10, 0, Hex("C400 00000000 0100"), 42, std::nullopt, 42},
        {Path().Sym("Buffer"), 10, CIP_STATUS_PARTIAL_TRANSFER, {}, 0, std::nullopt, 41},
        {Path().Sym("Grid").Idx(1).Idx(2), 1, 0, Hex("C300 4D00"), 4},
        {Path().Sym("Grid").Idx(1).Idx(2), 6, 0},  // row 1 from column 2 to the end of the tag
        {Path().Sym("Grid").Idx(1).Idx(2), 7, kRefused},
        {Path().Sym("Grid").Idx(1), 1, kSegment},
        {Path().Sym("Grid").Idx(3).Idx(0), 1, kUnknown},
        {Path().Sym("Motor1"), 1, 0, Hex("A002 2D1B"), 4 + 116},
        {Path().Sym("Motor1").Sym("Name"), 1, 0, Hex("A002 CE0F 06000000 5075"), 92},
        {Path().Sym("Motor1").Sym("Setpoints").Idx(1), 4, kRefused},
        {Path().Sym("Message").Sym("LEN"), 1, 0, Hex("C400 11000000"), 6},
        {Path().Sym("Missing"), 1, kUnknown},
        {Path().Sym("Motor1").Sym("Torque"), 1, kUnknown},
        {Path().Sym("Value").Idx(0), 1, kSegment},
        {Path().Sym("Value"), 0, CIP_STATUS_INVALID_PARAMETER_VALUE},
        // Symbol length beyond the path, unknown segment type, empty path, missing pad byte.
        {Path{Hex("9109 56616C")}, 1, kSegment},
        {Path{Hex("206B 2401")}, 1, kSegment},
        {Path{}, 1, kSegment},
        {Path{Hex("9103 616263")}, 1, kSegment},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.path.bytes) + " x" + std::to_string(c.count));
        const LogixReply r = Read(c.path.bytes, Count(c.count), c.room);
        if (c.status == kRefused) {
            EXPECT_FALSE(r.ok());
            continue;
        }
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.extStatus, c.ext);
        EXPECT_EQ(Bytes(r.data.begin(), r.data.begin() + std::min(r.data.size(), c.front.size())),
                  c.front);
        if (c.size != 0) {
            EXPECT_EQ(r.data.size(), c.size);
        }
    }
    EXPECT_EQ(db.GetString("Motor1.Name"), "Pump 1");
    // Read Tag data is exactly the element count.
    const Bytes value = Path().Sym("Value").bytes;
    EXPECT_EQ(Read(value, {0x01}).status, CIP_STATUS_NOT_ENOUGH_DATA);
    EXPECT_EQ(Read(value, {0x01, 0x00, 0x00}).status, CIP_STATUS_TOO_MUCH_DATA);
}

// Writes in order: elements and ranges, and the refusals that change nothing (a zero pad byte
// after an odd value length is a byte too many, as for a controller).
TEST_F(LogixTagsTest, WritesChangeTheTagOrAreRefusedWithTheReason) {
    struct Case {
        Path path;
        Bytes data;
        uint8_t status;
        std::optional<uint16_t> ext = std::nullopt;
    };
    const Case cases[] = {
        {Path().Sym("Value"), WriteData(0xC4, 1, {0x2A, 0, 0, 0}), 0},
        {Path().Sym("Buffer").Idx(8), WriteData(0xC4, 2, Bytes(8, 0xFF)), 0},
        {Path().Sym("Motor1").Sym("Speed"), WriteData(0xCA, 1, Hex("0000803F")), 0},
        {Path().Sym("Small"), WriteData(0xC2, 1, {0x05}), 0},
        {Path().Sym("Small"), WriteData(0xC2, 1, {0x06, 0x00}), CIP_STATUS_TOO_MUCH_DATA},
        {Path().Sym("Small"), WriteData(0xC2, 1, {0x07, 0x00, 0x00}), CIP_STATUS_TOO_MUCH_DATA},
        {Path().Sym("Small"), WriteData(0xC2, 1, {0x07, 0x01}), CIP_STATUS_TOO_MUCH_DATA},
        {Path().Sym("Word"), WriteData(0xC3, 1, {0x06}), CIP_STATUS_NOT_ENOUGH_DATA},
        {Path().Sym("Value"), WriteData(0xC3, 1, {1, 0}), kLogixStatusGeneralError,
         kLogixExtTypeMismatch},
        {Path().Sym("Message"), WriteData(kLogixTypeStructure, 1, Bytes(88, 0), 0x1234),
         kLogixStatusGeneralError, kLogixExtTypeMismatch},
        {Path().Sym("Buffer").Idx(9), WriteData(0xC4, 2, Bytes(8, 1)), kLogixStatusGeneralError,
         kLogixExtBeyondEnd},
        {Path().Sym("Nope"), WriteData(0xC4, 1, Bytes(4, 1)), CIP_STATUS_PATH_DESTINATION_UNKNOWN},
        {Path().Sym("Value"), {0xC4}, CIP_STATUS_NOT_ENOUGH_DATA},
    };
    for (const Case& c : cases) {
        const LogixReply r = db.WriteTag(View(c.path.bytes), View(c.data));
        EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.path.bytes);
        EXPECT_EQ(r.extStatus, c.ext) << ::testing::PrintToString(c.path.bytes);
    }
    EXPECT_EQ(std::make_tuple(db.GetInt("Value"), db.GetInt("Buffer[7]"), db.GetInt("Buffer[8]"),
                              db.GetInt("Buffer[9]"), db.GetReal("Motor1.Speed"),
                              db.GetInt("Small"), db.GetInt("Word"), db.WriteCount()),
              std::make_tuple(42, 7, -1, -1, 1.0, 5, 1234, 4u));
    // Fragments (a byte offset after the count): cut to the room, running past the end of
    // Buffer's 40 bytes or starting there.
    const Bytes buffer = Path().Sym("Buffer").bytes;
    const Bytes beyond = Hex("0A00 28000000");
    const LogixReply cut = db.ReadTag(View(buffer), View(Hex("0A00 00000000")), 15, true);
    EXPECT_EQ(cut.status, CIP_STATUS_PARTIAL_TRANSFER);
    EXPECT_EQ(cut.data.size(), 2u + 12u) << "type, then the room down to a 4-byte boundary";
    const LogixReply read = db.ReadTag(View(buffer), View(beyond), 500, true);
    EXPECT_EQ(std::make_pair(read.status, read.extStatus),
              std::make_pair(kLogixStatusGeneralError, std::optional(kLogixExtOffsetBeyondEnd)));
    EXPECT_EQ(db.WriteTag(View(buffer), View(Hex("C400 0A00 26000000 01020304")), true).status,
              CIP_STATUS_TOO_MUCH_DATA);
    EXPECT_EQ(db.WriteTag(View(buffer), View(Hex("C400 0A00 28000000 01020304")), true).extStatus,
              kLogixExtOffsetBeyondEnd);
}

TEST_F(LogixTagsTest, StringTakesWholeRecordOrLengthAndItsCharacters) {
    const auto write = [this](const Bytes& record) {
        const Bytes data = WriteData(kLogixTypeStructure, 1, record, 0x0FCE);
        return db.WriteTag(View(Path().Sym("Message").bytes), View(data)).ok();
    };
    EXPECT_TRUE(write(Hex("05000000 776F726C64 00")));  // "world", odd length: pad byte
    EXPECT_EQ(db.GetString("Message"), "world");
    // The rest of the record is cleared, not left from the longer old text.
    EXPECT_EQ(db.GetBytes("Message")->at(9), 0);
    Bytes whole(88, 0);
    whole[0] = 2;
    whole[4] = 'o';
    whole[5] = 'k';
    EXPECT_TRUE(write(whole));
    EXPECT_EQ(db.GetString("Message"), "ok");
    // A length that disagrees with the characters sent is refused.
    EXPECT_FALSE(write(Hex("09000000 6162")));
    EXPECT_EQ(db.GetString("Message"), "ok");
}

// Packets answered in order and partial transfers inside them are pinned byte for byte over
// TCP below; here, the packets refused.
TEST(LogixMessageRouter, MalformedPacketsAreRefusedAndNoted) {
    LogixController plc{SimConfig{}};
    const auto execute = [&plc](const Bytes& request) {
        return plc.Sim().Router().Execute(View(request), nullptr, 1);
    };
    ByteWriter intoTable;  // one request whose offset points into the offset table
    intoTable.u16(1).u16(2).bytes(MrRequest(0x4C, Path().Sym("Value").bytes, Count(1)));
    EXPECT_EQ(execute(MrRequest(0x0A, Hex("2002 2401"), intoTable.to_vector()))[2],
              CIP_STATUS_INVALID_PARAMETER_VALUE);
    EXPECT_EQ(execute(MrRequest(0x0A, Hex("2002 2401"), {0x05}))[2], CIP_STATUS_NOT_ENOUGH_DATA);
    EXPECT_EQ(plc.Sim().ProtocolErrors().size(), 2u);
    // Other Message Router services and instances are not served.
    EXPECT_EQ(execute(MrRequest(0x0E, Hex("2002 2401"), {}))[2], CIP_STATUS_SERVICE_NOT_SUPPORTED);
    EXPECT_EQ(execute(MrRequest(0x0A, Hex("2002 2402"), Count(0)))[2],
              CIP_STATUS_PATH_DESTINATION_UNKNOWN);
}

// The room a read is given is what the connection it came on holds: 400 value bytes do not fit
// a 100-byte connection. (Packets and fragments at every connection size: the round trips.)
TEST(LogixOverTcp, AReadLargerThanItsConnectionIsAPartialTransfer) {
    LogixController plc{tb_test::LoopbackConfig()};
    plc.DefineTag({"Big", "DINT", {100}, {}, {}});
    ASSERT_TRUE(plc.Sim().Start());
    plcsim_test::RawClient client(plc.Sim().Port());
    const uint32_t handle = client.Register();
    plcsim_test::ForwardOpenFields small;
    small.params = 0x4000 | 100;
    const uint32_t otId = plcsim_test::OpenConnection(client, handle, small);
    const Bytes reply = client.Connected(
        handle, otId, 1, MrRequest(CIP_SVC_READ_TAG, Path().Sym("Big").bytes, Count(100)));
    ASSERT_GE(reply.size(), EIP_UNIT_DATA_FRONT_SIZE);
    EXPECT_EQ(Bytes(reply.begin() + EIP_UNIT_DATA_FRONT_SIZE, reply.end()), Hex("CC00 0600"));
}

// ---- Definitions, moving values, command line ----------------------------------------------

// An array is bounded by its total size (16 MiB), not by a count per dimension.
TEST(LogixTagDefinitions, RefusesBadDefinitionsWithAReason) {
    LogixTagDatabase db;
    LogixTagDefinition moving{"X", "STRING", {}, {}, {}};
    moving.animation.kind = LogixAnimation::Kind::Counter;
    const std::pair<LogixTagDefinition, const char*> bad[] = {
        {{"X", "TIMERS", {}, {}, {}}, "unknown type"},
        {{"1X", "DINT", {}, {}, {}}, ""},
        {{"X", "DINT", {0}, {}, {}}, ""},
        {{"X", "DINT", {2, 2, 2, 2}, {}, {}}, ""},
        {{"X", "DINT", {4194305}, {}, {}}, ""},
        {{"X", "DINT", {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, {}, {}}, ""},
        {{"X", "SINT", {}, 300, {}}, "does not fit SINT"},
        {{"X", "USINT", {}, -1, {}}, "does not fit USINT"},
        {{"X", "UDINT", {}, 4294967296, {}}, "does not fit UDINT"},
        {{"X", "BOOL", {2, 32}, {}, {}}, "one dimension"},
        {{"X", "BOOL", {64}, {1, 0, 2}, {}}, "does not fit BOOL"},
        {{"X", "DINT", {2}, {1, 2, 3}, {}}, ""},
        {{"X", "STRING", {}, std::string(83, 'a'), {}}, ""},
        {{"X", "MOTOR", {}, {{"Torque", 1}}, {}}, ""},
        {moving, ""},
    };
    std::string error;
    for (const auto& [definition, reason] : bad) {
        EXPECT_FALSE(db.Define(definition, error)) << definition.name << ":" << definition.type;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
    EXPECT_TRUE(db.Define({"X", "DINT", {4194304}, {}, {}}, error)) << error;  // 16 MiB of DINT
    EXPECT_FALSE(db.Define({"x", "DINT", {}, {}, {}}, error));
    EXPECT_NE(error.find("already defined"), std::string::npos);
    EXPECT_EQ(db.TagCount(), 1u);
}

// Good definitions are exercised end to end (tags given to the program by the browser, MQTT and
// metrics suites); here, what is refused.
TEST(LogixTagConfig, BadOptionsFilesAndCommandLinesAreRefusedWithAReason) {
    LogixTagDefinition d;
    std::string error;
    ASSERT_TRUE(ParseLogixTagOption("Level:REAL=2.5@ramp:0:100:0.5:20", d, error)) << error;
    EXPECT_EQ(d.animation.kind, LogixAnimation::Kind::Ramp);
    EXPECT_EQ(d.animation.periodMs, 20u);
    ASSERT_TRUE(ParseLogixTagOption("Msg:STRING=a@b=c", d, error)) << error;
    EXPECT_EQ(d.value, "a@b=c");
    for (const char* bad :
         {"NoType", "X:DINT[0]", "X:DINT[2", "X:DINT@wobble", "X:DINT@counter:x", "X:DINT=zz"}) {
        EXPECT_FALSE(ParseLogixTagOption(bad, d, error)) << bad;
    }
    const std::string path = ::testing::TempDir() + "logix_tags_test.json";
    std::vector<LogixTagDefinition> tags;
    for (const auto& [text, reason] :
         {std::pair<const char*, const char*>{R"([{"name": "A", "type": "DINT", "colour": "red"}])",
                                              "unknown field \"colour\""},
          {"{not json", "not valid JSON"}}) {
        std::ofstream(path) << text;
        EXPECT_FALSE(LoadLogixTagFile(path, tags, error));
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
    std::remove(path.c_str());
    EXPECT_FALSE(LoadLogixTagFile(path, tags, error));
    PlcSimulator sim(SimConfig{});
    LogixOutage outage;
    LogixCliOptions options;
    options.tags = {"Speed:REAL", "speed:DINT"};
    LogixTagDatabase db;
    EXPECT_FALSE(ApplyLogixOptions(options, db, sim, outage, error));
    EXPECT_NE(error.find("already defined"), std::string::npos);
    LogixCliOptions drop;
    drop.dropTagReply = "0";
    EXPECT_FALSE(ApplyLogixOptions(drop, db, sim, outage, error));
    EXPECT_NE(error.find("--drop-tag-reply"), std::string::npos);
    for (const char* bad : {"1000", "1000:0", "0:500:400", "a:b"}) {
        EXPECT_FALSE(LogixOutage().Parse(bad)) << bad;
    }
}
