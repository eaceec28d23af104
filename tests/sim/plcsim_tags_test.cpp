// plcsim's tag services: the Logix tag database and its services from the database up to
// request bytes over TCP (fragmented reads and writes at every offset, Multiple Service
// Packets, replies cut to the room of the connection), tag definitions and the command line,
// and the PLC5 data table behind Execute PCCC.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "family/pccc_tagdata.h"
#include "sim/logix_cli.h"
#include "sim/logix_services.h"
#include "sim/logix_tag_config.h"
#include "sim/pccc_services.h"
#include "support/hex.h"
#include "support/wait_until.h"
#include "tests/sim/raw_client.h"

using namespace plcsim;
using namespace plcsim_test;
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

// A Multiple Service Packet of the given requests to the Message Router.
Bytes Packet(const std::vector<Bytes>& requests) {
    ByteWriter w;
    w.u16(static_cast<uint16_t>(requests.size()));
    size_t offset = 2 + requests.size() * 2;
    for (const auto& request : requests) {
        w.u16(static_cast<uint16_t>(offset));
        offset += request.size();
    }
    for (const auto& request : requests) {
        w.bytes(request);
    }
    return MrRequest(CIP_SVC_MULTIPLE_SERVICE_PACKET, Hex("2002 2401"), w.to_vector());
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
    EXPECT_EQ(db.GetInt("Value"), 42);
    EXPECT_EQ(db.GetInt("Buffer[7]"), 7);
    EXPECT_EQ(db.GetInt("Buffer[8]"), -1);
    EXPECT_EQ(db.GetInt("Buffer[9]"), -1);
    EXPECT_EQ(db.GetReal("Motor1.Speed"), 1.0);
    EXPECT_EQ(db.GetInt("Small"), 5);
    EXPECT_EQ(db.GetInt("Word"), 1234);
    EXPECT_EQ(db.WriteCount(), 4u);
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

// ---- Fragmented services and reply room over TCP -------------------------------------------

namespace {

constexpr uint8_t kReadFragmented = 0x52;
constexpr uint8_t kWriteFragmented = 0x53;
constexpr uint32_t kBigElements = 1000;  // DINT[1000]: 4000 bytes
constexpr size_t kBigBytes = kBigElements * 4;

// Symbolic path of "Big": 0x91, length 3, the name, one pad byte.
const Bytes kBigPath = Hex("9103 426967 00");

Bytes ReadFragment(uint16_t count, uint32_t offset) {
    ByteWriter w;
    w.u16(count).u32(offset);
    return MrRequest(kReadFragmented, kBigPath, w.to_vector());
}

// A Write Tag Fragmented of Big: DINT, the element count, the byte offset and the bytes.
Bytes WriteFragment(uint32_t offset, const uint8_t* bytes, size_t size) {
    ByteWriter w;
    w.u16(kLogixTypeDint).u16(kBigElements).u32(offset).bytes(bytes, size);
    return MrRequest(kWriteFragmented, kBigPath, w.to_vector());
}

// Reply of a fragment with room for `room` value bytes: service 0xD2, status 0x06 while bytes
// follow, DINT type, the rest when it fits, else the room down to a 4-byte boundary.
Bytes FragmentReply(const Bytes& all, size_t offset, size_t room) {
    const size_t rest = all.size() - offset;
    const size_t end = offset + (rest <= room ? rest : room / 4 * 4);
    Bytes reply = {0xD2, 0x00, end < all.size() ? CIP_STATUS_PARTIAL_TRANSFER : CIP_STATUS_SUCCESS,
                   0x00, 0xC4, 0x00};
    reply.insert(reply.end(), all.begin() + offset, all.begin() + end);
    return reply;
}

ForwardOpenFields LargeConnection() {
    ForwardOpenFields large;
    large.large = true;
    large.params = 0x42000000 | 4002;
    return large;
}

class PlcsimLogixTest : public ::testing::Test {
  protected:
    void SetUp() override { Start({}); }

    void Start(SimConfig config) {
        config.port = 0;
        plc = std::make_unique<LogixController>(config);
        nlohmann::json values = nlohmann::json::array();
        for (uint32_t i = 0; i < kBigElements; ++i) {
            values.push_back(static_cast<int32_t>(i * 0x01010101u + 0x100));
        }
        plc->DefineTag({"Big", "DINT", {kBigElements}, values, {}});
        ASSERT_TRUE(plc->Sim().Start());
        client = std::make_unique<RawClient>(plc->Sim().Port());
        handle = client->Register();
    }

    // The tag's bytes as stored.
    Bytes BigBytes() const {
        Bytes bytes;
        for (uint32_t i = 0; i < kBigElements; ++i) {
            const auto element = plc->Tags().GetBytes("Big[" + std::to_string(i) + "]");
            bytes.insert(bytes.end(), element->begin(), element->end());
        }
        return bytes;
    }

    // The Message Router reply of a connected request.
    Bytes Connected(uint32_t otId, const Bytes& request) {
        const Bytes reply = client->Connected(handle, otId, ++sequence, request);
        return reply.size() >= EIP_UNIT_DATA_FRONT_SIZE
                   ? Bytes(reply.begin() + EIP_UNIT_DATA_FRONT_SIZE, reply.end())
                   : Bytes{};
    }

    std::unique_ptr<LogixController> plc;
    std::unique_ptr<RawClient> client;
    uint32_t handle = 0;
    uint16_t sequence = 0;
};

}  // namespace

TEST_F(PlcsimLogixTest, ReadTagFragmentedAnswersEveryOffsetOfA4000ByteArray) {
    const Bytes all = BigBytes();
    // Unconnected: 504 bytes of reply, 498 for values after the headers.
    for (uint32_t offset = 0; offset < kBigBytes; ++offset) {
        ASSERT_EQ(client->Unconnected(handle, ReadFragment(kBigElements, offset)),
                  FragmentReply(all, offset, 498))
            << "offset " << offset;
    }
    // A 4002-byte connection: 3994 bytes of room, 3992 value bytes, then the last 8.
    const uint32_t otId = OpenConnection(*client, handle, LargeConnection());
    EXPECT_EQ(Connected(otId, ReadFragment(kBigElements, 0)), FragmentReply(all, 0, 3994));
    EXPECT_EQ(Connected(otId, ReadFragment(kBigElements, 3992)), FragmentReply(all, 3992, 3994));
    // Past the end.
    EXPECT_EQ(client->Unconnected(handle, ReadFragment(kBigElements, kBigBytes)),
              Hex("D200 FF01 0421"));
    EXPECT_TRUE(plc->Sim().ProtocolErrors().empty());
}

TEST_F(PlcsimLogixTest, WriteTagFragmentedWritesEachFragmentAtItsOffset) {
    Bytes pattern(kBigBytes);
    for (size_t i = 0; i < pattern.size(); ++i) {
        pattern[i] = static_cast<uint8_t>(i * 13 + 5);
    }
    const Bytes done = Hex("D3000000");
    // Fragments of odd sizes at odd offsets, the last one inside a Multiple Service Packet
    // together with a fragmented read of what it wrote.
    size_t offset = 0;
    for (size_t size : {1u, 3u, 401u, 450u}) {
        while (offset + size <= 3000) {
            ASSERT_EQ(client->Unconnected(handle, WriteFragment(static_cast<uint32_t>(offset),
                                                                &pattern[offset], size)),
                      done)
                << offset;
            offset += size;
        }
    }
    const Bytes packet =
        Packet({WriteFragment(static_cast<uint32_t>(offset), &pattern[offset], kBigBytes - offset),
                ReadFragment(kBigElements, 3996)});
    const Bytes reply = Connected(OpenConnection(*client, handle, LargeConnection()), packet);
    Bytes expected = Hex("8A000000 0200 0600 0A00");
    expected.insert(expected.end(), done.begin(), done.end());
    const Bytes tail = FragmentReply(pattern, 3996, 4);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(reply, expected);
    EXPECT_EQ(BigBytes(), pattern);
    // A fragment running past the end, and one starting there.
    const uint8_t four[4] = {};
    EXPECT_EQ(CipStatus(client->Unconnected(handle, WriteFragment(3998, four, 4))),
              std::make_pair(CIP_STATUS_TOO_MUCH_DATA, uint16_t{0}));
    EXPECT_EQ(client->Unconnected(handle, WriteFragment(kBigBytes, four, 4)),
              Hex("D300 FF01 0421"));
    EXPECT_EQ(BigBytes(), pattern);
}

TEST_F(PlcsimLogixTest, RepliesLargerThanTheConnectionAnswerPartialTransfer) {
    ForwardOpenFields small;
    small.params = 0x4000 | 100;
    const uint32_t otId = OpenConnection(*client, handle, small);
    const Bytes read100 = MrRequest(CIP_SVC_READ_TAG, kBigPath, Count(100));  // 400 value bytes
    const Bytes partial = {0xCC, 0x00, CIP_STATUS_PARTIAL_TRANSFER, 0x00};
    EXPECT_EQ(Connected(otId, read100), partial);
    // The identity reply (about 40 bytes) does not fit a 20-byte connection either.
    small.params = 0x4000 | 20;
    small.serial = 0x0043;
    EXPECT_EQ(Connected(OpenConnection(*client, handle, small), kIdentityRequest),
              (Bytes{0x81, 0x00, CIP_STATUS_PARTIAL_TRANSFER, 0x00}));
    // Inside a packet only the request that does not fit is refused.
    const Bytes reply =
        Connected(otId, Packet({read100, MrRequest(CIP_SVC_READ_TAG, kBigPath, Count(1))}));
    Bytes expected = {0x8A, 0x00, CIP_STATUS_EMBEDDED_SERVICE_ERROR, 0x00};
    for (const Bytes& part : {Hex("0200 0600 0A00"), partial, Hex("CC000000 C400 00010000")}) {
        expected.insert(expected.end(), part.begin(), part.end());
    }
    EXPECT_EQ(reply, expected);
}

TEST_F(PlcsimLogixTest, ReplyWithOriginToTargetIdOptionAnswersWithTheGrantedId) {
    SimConfig config;
    config.replyWithOtConnectionId = true;
    Start(config);
    const uint32_t otId = OpenConnection(*client, handle, {});
    const Bytes reply = client->Connected(handle, otId, 1, kIdentityRequest);
    ASSERT_GE(reply.size(), EIP_UNIT_DATA_FRONT_SIZE);
    EXPECT_EQ(GetLittleEndian32(&reply[36]), otId);
}

// ---- Definitions, moving values, command line ----------------------------------------------

// Tags are found by name in any letter case among thousands, also after removals.
TEST(PlcsimTagDatabaseTest, FindsTagsAmongThousandsInAnyCaseAfterRemovals) {
    LogixTagDatabase tags;
    std::string error;
    for (int i = 0; i < 3000; ++i) {
        ASSERT_TRUE(tags.Define({"Tag" + std::to_string(i), "DINT", {}, i, {}}, error)) << error;
    }
    for (int i = 0; i < 3000; i += 2) {
        ASSERT_TRUE(tags.Remove("TAG" + std::to_string(i)));
    }
    for (int i = 0; i < 3000; ++i) {
        EXPECT_EQ(tags.GetInt("tag" + std::to_string(i)),
                  i % 2 != 0 ? std::optional<int64_t>(i) : std::nullopt)
            << i;
    }
}

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

TEST(LogixTagDefinitions, CounterMovesFromAWrittenValueAndRampStaysWithinItsBounds) {
    LogixTagDatabase db;
    const LogixTagDefinition counter{
        "Count", "DINT", {}, 5, {LogixAnimation::Kind::Counter, 3, 0, 0, 1}};
    const LogixTagDefinition ramp{
        "Level", "REAL", {}, {}, {LogixAnimation::Kind::Ramp, 7.5, 10, 20, 1}};
    std::string error;
    ASSERT_TRUE(db.Define(counter, error)) << error;
    ASSERT_TRUE(db.Define(ramp, error)) << error;
    EXPECT_TRUE(tb_test::WaitUntil([&] { return db.GetInt("Count") != 5; }));
    EXPECT_EQ((*db.GetInt("Count") - 5) % 3, 0);
    ASSERT_TRUE(db.SetInt("Count", 1000));
    EXPECT_GE(*db.GetInt("Count"), 1000);
    EXPECT_EQ((*db.GetInt("Count") - 1000) % 3, 0);
    std::set<double> seen;
    EXPECT_TRUE(tb_test::WaitUntil([&] {
        const double v = *db.GetReal("Level");
        EXPECT_GE(v, 10.0);
        EXPECT_LT(v, 20.0);
        seen.insert(v);
        return seen.size() >= 3;
    }));
}

TEST(LogixTagConfig, ParsesCommandLineDefinitions) {
    LogixTagDefinition d;
    std::string error;
    ASSERT_TRUE(ParseLogixTagOption("Buffer:INT[10]=1,2,3", d, error)) << error;
    EXPECT_EQ(d.name, "Buffer");
    EXPECT_EQ(d.type, "INT");
    EXPECT_EQ(d.dims, (std::vector<uint32_t>{10}));
    EXPECT_EQ(d.value, nlohmann::json({1, 2, 3}));
    ASSERT_TRUE(ParseLogixTagOption("Level:REAL=2.5@ramp:0:100:0.5:20", d, error)) << error;
    EXPECT_EQ(d.value, 2.5);
    EXPECT_EQ(d.animation.kind, LogixAnimation::Kind::Ramp);
    EXPECT_EQ(d.animation.max, 100);
    EXPECT_EQ(d.animation.step, 0.5);
    EXPECT_EQ(d.animation.periodMs, 20u);
    ASSERT_TRUE(ParseLogixTagOption("Count:DINT@counter", d, error)) << error;
    EXPECT_EQ(d.animation.kind, LogixAnimation::Kind::Counter);
    ASSERT_TRUE(ParseLogixTagOption("Msg:STRING=a@b=c", d, error)) << error;
    EXPECT_EQ(d.value, "a@b=c");
    ASSERT_TRUE(ParseLogixTagOption("Grid:DINT[3,4]", d, error)) << error;
    EXPECT_EQ(d.dims, (std::vector<uint32_t>{3, 4}));
    ASSERT_TRUE(ParseLogixTagOption("M:MOTOR={\"Speed\":1.5}", d, error)) << error;
    EXPECT_EQ(d.value["Speed"], 1.5);
    for (const char* bad :
         {"NoType", "X:DINT[0]", "X:DINT[2", "X:DINT@wobble", "X:DINT@counter:x", "X:DINT=zz"}) {
        EXPECT_FALSE(ParseLogixTagOption(bad, d, error)) << bad;
    }
}

TEST(LogixTagConfig, LoadsJsonFileAndReportsBadOnes) {
    const std::string path = ::testing::TempDir() + "logix_tags_test.json";
    std::vector<LogixTagDefinition> tags;
    std::string error;
    const auto load = [&](const std::string& text) {
        std::ofstream(path) << text;
        return LoadLogixTagFile(path, tags, error);
    };
    ASSERT_TRUE(load(R"({"tags": [{"name": "A", "type": "DINT", "value": 4},
                                  {"name": "B", "type": "REAL", "dims": [3], "value": [1.5],
                                   "ramp": {"min": 0, "max": 10, "step": 1, "periodMs": 50}}]})"))
        << error;
    ASSERT_EQ(tags.size(), 2u);
    EXPECT_EQ(tags[1].dims, (std::vector<uint32_t>{3}));
    EXPECT_EQ(tags[1].animation.kind, LogixAnimation::Kind::Ramp);
    EXPECT_EQ(tags[1].animation.periodMs, 50u);
    EXPECT_FALSE(load(R"([{"name": "A", "type": "DINT", "colour": "red"}])"));
    EXPECT_NE(error.find("unknown field \"colour\""), std::string::npos);
    EXPECT_FALSE(load("{not json"));
    EXPECT_NE(error.find("not valid JSON"), std::string::npos);
    EXPECT_FALSE(LoadLogixTagFile(path + ".missing", tags, error));
    std::remove(path.c_str());
}

TEST(LogixCommandLine, DemoTagsUnlessTagsAreGivenAndBadInputIsRefused) {
    PlcSimulator sim(SimConfig{});
    LogixOutage outage;
    std::string error;
    // The options applied to a fresh database: its tag count, or -1 when they were refused.
    LogixTagDatabase tags[5];
    const auto apply = [&](const LogixCliOptions& options, int db) {
        return ApplyLogixOptions(options, tags[db], sim, outage, error) ? int(tags[db].TagCount())
                                                                        : -1;
    };
    EXPECT_EQ(apply(LogixCliOptions{}, 0), int(LogixDemoTags().size())) << error;
    LogixCliOptions options;
    options.tags = {"Speed:REAL=1.5", "Count:DINT@counter"};
    EXPECT_EQ(apply(options, 1), 2) << error;
    EXPECT_EQ(tags[1].GetReal("Speed"), 1.5);
    LogixCliOptions none;
    none.noDemoTags = true;
    EXPECT_EQ(apply(none, 2), 0) << error;
    options.tags = {"Speed:REAL", "speed:DINT"};
    EXPECT_EQ(apply(options, 3), -1);
    EXPECT_NE(error.find("already defined"), std::string::npos);
    none.dropTagReply = "0";
    EXPECT_EQ(apply(none, 4), -1);
    EXPECT_NE(error.find("--drop-tag-reply"), std::string::npos);
}

TEST(LogixCommandLine, OutageTakesStartDownAndAPeriodLongerThanTheOutage) {
    for (const char* good : {"1000:500", "0:100:1000"}) {
        LogixOutage outage;
        EXPECT_TRUE(outage.Parse(good) && outage.Enabled()) << good;
    }
    for (const char* bad : {"1000", "1000:0", "0:500:400", "a:b"}) {
        EXPECT_FALSE(LogixOutage().Parse(bad)) << bad;
    }
    SimConfig config;
    config.port = 0;
    PlcSimulator sim(config);
    ASSERT_TRUE(sim.Start());
    LogixOutage outage;
    ASSERT_TRUE(outage.Parse("0:1"));
    outage.Poll(sim);
    EXPECT_FALSE(sim.IsRunning());
    EXPECT_TRUE(tb_test::WaitUntil([&] {
        outage.Poll(sim);
        return sim.IsRunning();
    }));
    EXPECT_FALSE(outage.Enabled());
    sim.Stop();
}

// ---- The PLC5 data table behind Execute PCCC -----------------------------------------------

namespace {

// Execute PCCC to the PCCC object with requester ID 07 0000 11223344, then the command.
const std::string kPcccFront = "4B02 2067 2401 07 0000 11223344 ";

class PcccSimTest : public ::testing::Test {
  protected:
    // The reply bytes of an Execute PCCC request given as hex (CMD onwards).
    Bytes Execute(const std::string& command) {
        return plc.Sim().Router().Execute(View(Hex(kPcccFront + command)), nullptr, 1);
    }

    PcccController plc{SimConfig{}};
};

}  // namespace

// The reply echoes the requester ID and the TNS. A bad address is refused with STS F0 and its
// extended status (01 illegal field value, 06 unusable address, 09 data too large, 11 illegal
// data type), which is not a protocol error; a malformed command with STS 10 (recorded).
TEST_F(PcccSimTest, CommandsAreAnsweredOrRefusedByteForByte) {
    ASSERT_TRUE(plc.Table().SetInt(7, 3, 0x1234));
    ASSERT_TRUE(plc.Table().DefineFile(300, PCCC_DATA_TYPE_INTEGER, 4));
    ASSERT_TRUE(plc.Table().SetInt(300, 1, 7));
    const std::string kReply = "CB000000 07 0000 11223344 ";
    const struct {
        const char* what;
        const char* command;
        const char* reply;  // after the requester ID
        bool protocolError;
    } cases[] = {
        {"typed read", "0F00 3412 A2 02 07 89 03 00", "4F00 3412 3412", false},
        {"two elements, 3-byte file", "0F00 0100 A2 04 FF2C01 89 00 00", "4F00 0100 0000 0700",
         false},
        {"past the end", "0F00 0900 A2 02 07 89 40 00", "4FF0 0900 06", false},
        {"no file", "0F00 0900 A2 02 15 89 00 00", "4FF0 0900 06", false},
        {"N read as F", "0F00 0900 A2 04 07 8A 00 00", "4FF0 0900 11", false},
        {"0 bytes", "0F00 0900 A2 00 07 89 00 00", "4FF0 0900 01", false},
        {"too long", "0F00 0900 A2 FA 07 89 00 00", "4FF0 0900 09", false},
        {"write past the end", "0F00 0900 AA 02 07 89 40 00 0100", "4FF0 0900 06", false},
        {"cut inside the address", "0F00 0100 A2 02 07", "4F10 0100", true},
        {"another command", "0E00 0100 A2 02 07 89 00 00", "4E10 0100", true},
        {"another function", "0F00 0100 A1 02 07 89 00 00", "4F10 0100", true},
        {"read with trailing bytes", "0F00 0100 A2 02 07 89 00 00 09", "4F10 0100", true},
        {"write shorter than its size", "0F00 0100 AA 02 07 89 00 00 01", "4F10 0100", true},
        {"masked write without value", "0F00 0100 AB 02 03 85 00 00 0100", "4F10 0100", true},
    };
    for (const auto& c : cases) {
        const size_t errors = plc.Sim().ProtocolErrors().size();
        EXPECT_EQ(Execute(c.command), Hex(kReply + c.reply)) << c.what;
        EXPECT_EQ(plc.Sim().ProtocolErrors().size(), errors + (c.protocolError ? 1 : 0)) << c.what;
    }
    EXPECT_EQ(plc.Table().GetInt(7, 0), 0) << "nothing was written";
}

TEST_F(PcccSimTest, MaskedWriteTouchesOnlyTheMaskedBits) {
    ASSERT_TRUE(plc.Table().SetInt(3, 0, 0x00F0));
    EXPECT_EQ(Execute("0F00 0200 AB 02 03 85 00 00 0F01 05FF"),
              Hex("CB000000 07 0000 11223344 4F00 0200"));
    // bits 0-3 and 8 from the value (0101 and 1), the rest kept: 0x01F5.
    EXPECT_EQ(plc.Table().GetInt(3, 0), 0x01F5);
}

TEST_F(PcccSimTest, WrongServicePathOrRequesterIdIsACipError) {
    const auto status = [this](const std::string& request) {
        return plc.Sim().Router().Execute(View(Hex(request)), nullptr, 1).at(2);
    };
    EXPECT_EQ(status("4C02 2067 2401 07 0000 11223344 0F00 0100 A2 02 07 89 00 00"),
              CIP_STATUS_SERVICE_NOT_SUPPORTED);
    EXPECT_EQ(status("4B02 2067 2402 07 0000 11223344 0F00 0100 A2 02 07 89 00 00"),
              CIP_STATUS_OBJECT_DOES_NOT_EXIST);
    EXPECT_EQ(status("4B02 2067 2401 2000"), CIP_STATUS_NOT_ENOUGH_DATA);
}

TEST(PcccDataTableTest, OnlyKnownFileTypesAndWholeElementsAreAccepted) {
    PcccDataTable table;
    EXPECT_FALSE(table.DefineFile(4, 0x86, 10)) << "timer files are not offered";
    EXPECT_FALSE(table.SetInt(8, 0, 1)) << "an INT into a REAL file";
    EXPECT_FALSE(table.SetInt(7, 64, 1)) << "past the end";
    EXPECT_FALSE(table.GetInt(12, 0).has_value());
    EXPECT_TRUE(table.SetDint(9, 63, -1));
    EXPECT_EQ(table.GetDint(9, 63), -1);
}
