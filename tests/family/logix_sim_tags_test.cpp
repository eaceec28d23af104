// The simulated Logix controller's tag database and tag services, driven with request bytes.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/byte_codec.h"
#include "sim/logix_cli.h"
#include "sim/logix_services.h"
#include "sim/logix_tag_config.h"
#include "sim/logix_tags.h"
#include "support/wait_until.h"

using namespace plcsim;

namespace {

using Bytes = std::vector<uint8_t>;

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
    ByteView View() const { return ByteView{bytes.data(), bytes.size()}; }
};

Bytes Count(uint16_t n) {
    return {static_cast<uint8_t>(n & 0xFF), static_cast<uint8_t>(n >> 8)};
}

ByteView View(const Bytes& b) {
    return ByteView{b.data(), b.size()};
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

LogixTagDefinition Def(const std::string& name, const std::string& type, nlohmann::json value = {},
                       std::vector<uint32_t> dims = {}) {
    LogixTagDefinition d;
    d.name = name;
    d.type = type;
    d.value = std::move(value);
    d.dims = std::move(dims);
    return d;
}

class LogixTagsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const LogixTagDefinition& d : LogixDemoTags()) {
            std::string error;
            ASSERT_TRUE(db.Define(d, error)) << error;
        }
    }
    LogixReply Read(const Path& path, uint16_t count = 1, size_t room = 500) {
        const Bytes data = Count(count);
        return db.ReadTag(path.View(), View(data), room);
    }
    LogixReply Write(const Path& path, const Bytes& data) {
        return db.WriteTag(path.View(), View(data));
    }
    LogixTagDatabase db;
};

}  // namespace

// ---- Read Tag ----------------------------------------------------------------------------------

TEST_F(LogixTagsTest, ReadsElementaryTagsWithTheirTypeCodes) {
    LogixReply r = Read(Path().Sym("Value"));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.data, (Bytes{0xC4, 0x00, 0xA0, 0x86, 0x01, 0x00}));  // 100000
    r = Read(Path().Sym("Small"));
    EXPECT_EQ(r.data, (Bytes{0xC2, 0x00, 0xF9}));  // -7
    r = Read(Path().Sym("Word"));
    EXPECT_EQ(r.data, (Bytes{0xC3, 0x00, 0xD2, 0x04}));
    r = Read(Path().Sym("Level"));
    EXPECT_EQ(r.data, (Bytes{0xCA, 0x00, 0x00, 0x00, 0x48, 0x41}));
    r = Read(Path().Sym("Flag"));
    EXPECT_EQ(r.data, (Bytes{0xC1, 0x00, 0x01}));
}

TEST_F(LogixTagsTest, TagNamesAreCaseInsensitive) {
    EXPECT_TRUE(Read(Path().Sym("VALUE")).ok());
    EXPECT_TRUE(Read(Path().Sym("motor1").Sym("SPEED")).ok());
}

TEST_F(LogixTagsTest, ReadsElementRangesOfArrays) {
    LogixReply r = Read(Path().Sym("Buffer").Idx(2), 3);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.data, (Bytes{0xC4, 0x00, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0}));
    // Without an index the range starts at element 0.
    r = Read(Path().Sym("Buffer"), 10);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.data.size(), 2u + 40u);
    // Up to the last element, not past it.
    EXPECT_TRUE(Read(Path().Sym("Buffer").Idx(7), 3).ok());
    r = Read(Path().Sym("Buffer").Idx(7), 4);
    EXPECT_EQ(r.status, kLogixStatusGeneralError);
    EXPECT_EQ(r.extStatus, kLogixExtBeyondEnd);
    // An index past the array addresses nothing.
    EXPECT_EQ(Read(Path().Sym("Buffer").Idx(10)).status, CIP_STATUS_PATH_DESTINATION_UNKNOWN);
}

TEST_F(LogixTagsTest, MultiDimensionalArraysTakeOneIndexPerDimension) {
    ASSERT_TRUE(db.SetInt("Grid[1,2]", 77));
    LogixReply r = Read(Path().Sym("Grid").Idx(1).Idx(2));
    EXPECT_EQ(r.data, (Bytes{0xC3, 0x00, 77, 0}));
    // Row 1 from column 2 to the end of the tag: 2 + 4 more elements.
    EXPECT_TRUE(Read(Path().Sym("Grid").Idx(1).Idx(2), 6).ok());
    EXPECT_FALSE(Read(Path().Sym("Grid").Idx(1).Idx(2), 7).ok());
    // One index for a two-dimensional array is a malformed path.
    EXPECT_EQ(Read(Path().Sym("Grid").Idx(1)).status, CIP_STATUS_PATH_SEGMENT_ERROR);
    EXPECT_EQ(Read(Path().Sym("Grid").Idx(3).Idx(0)).status, CIP_STATUS_PATH_DESTINATION_UNKNOWN);
}

TEST_F(LogixTagsTest, ReadsStructuresMembersAndStrings) {
    LogixReply r = Read(Path().Sym("Motor1"));
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.data.size(), 4u + 116u);
    EXPECT_EQ(Bytes(r.data.begin(), r.data.begin() + 4), (Bytes{0xA0, 0x02, 0x2D, 0x1B}));

    r = Read(Path().Sym("Motor1").Sym("Speed"));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(ByteReader(r.data).u16(), kLogixTypeReal);
    EXPECT_FLOAT_EQ(ByteReader(r.data.data() + 2, 4).f32(), 1450.5f);

    r = Read(Path().Sym("Motor1").Sym("Name"));
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.data.size(), 4u + 88u);
    EXPECT_EQ(Bytes(r.data.begin(), r.data.begin() + 10),
              (Bytes{0xA0, 0x02, 0xCE, 0x0F, 6, 0, 0, 0, 'P', 'u'}));

    r = Read(Path().Sym("Motor1").Sym("Setpoints").Idx(1), 3);
    EXPECT_TRUE(r.ok());
    EXPECT_FALSE(Read(Path().Sym("Motor1").Sym("Setpoints").Idx(1), 4).ok());
    r = Read(Path().Sym("Message").Sym("LEN"));
    EXPECT_EQ(r.data, (Bytes{0xC4, 0x00, 17, 0, 0, 0}));
    EXPECT_EQ(db.GetString("Message"), "hello from plcsim");
    EXPECT_EQ(db.GetString("Motor1.Name"), "Pump 1");
}

TEST_F(LogixTagsTest, UnknownTagsAndMembersAreDestinationUnknown) {
    EXPECT_EQ(Read(Path().Sym("Missing")).status, CIP_STATUS_PATH_DESTINATION_UNKNOWN);
    EXPECT_EQ(Read(Path().Sym("Motor1").Sym("Torque")).status, CIP_STATUS_PATH_DESTINATION_UNKNOWN);
    EXPECT_EQ(Read(Path().Sym("Value").Sym("X")).status, CIP_STATUS_PATH_DESTINATION_UNKNOWN);
    EXPECT_EQ(Read(Path().Sym("Value").Idx(0)).status, CIP_STATUS_PATH_SEGMENT_ERROR);
}

TEST_F(LogixTagsTest, MalformedPathsAndDataAreRefused) {
    // Symbol length beyond the path, unknown segment type, empty path, missing pad byte.
    const Bytes cut = {0x91, 0x09, 'V', 'a', 'l'};
    const Bytes count = Count(1);
    EXPECT_EQ(db.ReadTag(View(cut), View(count), 500).status, CIP_STATUS_PATH_SEGMENT_ERROR);
    const Bytes logical = {0x20, 0x6B, 0x24, 0x01};
    EXPECT_EQ(db.ReadTag(View(logical), View(count), 500).status, CIP_STATUS_PATH_SEGMENT_ERROR);
    EXPECT_EQ(db.ReadTag(ByteView{}, View(count), 500).status, CIP_STATUS_PATH_SEGMENT_ERROR);
    const Bytes noPad = {0x91, 0x03, 'a', 'b', 'c'};
    EXPECT_EQ(db.ReadTag(View(noPad), View(count), 500).status, CIP_STATUS_PATH_SEGMENT_ERROR);
    // Read Tag data is exactly the element count.
    const Path value = Path().Sym("Value");
    const Bytes shortData = {0x01};
    const Bytes longData = {0x01, 0x00, 0x00};
    EXPECT_EQ(db.ReadTag(value.View(), View(shortData), 500).status, CIP_STATUS_NOT_ENOUGH_DATA);
    EXPECT_EQ(db.ReadTag(value.View(), View(longData), 500).status, CIP_STATUS_TOO_MUCH_DATA);
    EXPECT_EQ(Read(value, 0).status, CIP_STATUS_INVALID_PARAMETER_VALUE);
}

TEST_F(LogixTagsTest, ReplyLargerThanTheRoomIsAPartialTransferRefusal) {
    EXPECT_TRUE(Read(Path().Sym("Buffer"), 10, 42).ok());
    EXPECT_EQ(Read(Path().Sym("Buffer"), 10, 41).status, CIP_STATUS_PARTIAL_TRANSFER);
}

// ---- Write Tag ---------------------------------------------------------------------------------

TEST_F(LogixTagsTest, WritesElementsAndRanges) {
    EXPECT_TRUE(Write(Path().Sym("Value"), WriteData(0xC4, 1, {0x2A, 0, 0, 0})).ok());
    EXPECT_EQ(db.GetInt("Value"), 42);
    EXPECT_TRUE(Write(Path().Sym("Buffer").Idx(8), WriteData(0xC4, 2, Bytes(8, 0xFF))).ok());
    EXPECT_EQ(db.GetInt("Buffer[8]"), -1);
    EXPECT_EQ(db.GetInt("Buffer[9]"), -1);
    EXPECT_EQ(db.GetInt("Buffer[7]"), 7);
    EXPECT_TRUE(
        Write(Path().Sym("Motor1").Sym("Speed"), WriteData(0xCA, 1, {0x00, 0x00, 0x80, 0x3F}))
            .ok());
    EXPECT_EQ(db.GetReal("Motor1.Speed"), 1.0);
    EXPECT_EQ(db.WriteCount(), 3u);
}

TEST_F(LogixTagsTest, OddValueLengthTakesOnePadByte) {
    EXPECT_TRUE(Write(Path().Sym("Small"), WriteData(0xC2, 1, {0x05})).ok());
    EXPECT_TRUE(Write(Path().Sym("Small"), WriteData(0xC2, 1, {0x06, 0x00})).ok());
    EXPECT_EQ(db.GetInt("Small"), 6);
    // A second extra byte, or a pad that is not zero, is too much data.
    EXPECT_EQ(Write(Path().Sym("Small"), WriteData(0xC2, 1, {0x06, 0x00, 0x00})).status,
              CIP_STATUS_TOO_MUCH_DATA);
    EXPECT_EQ(Write(Path().Sym("Small"), WriteData(0xC2, 1, {0x06, 0x01})).status,
              CIP_STATUS_TOO_MUCH_DATA);
    EXPECT_EQ(Write(Path().Sym("Word"), WriteData(0xC3, 1, {0x06})).status,
              CIP_STATUS_NOT_ENOUGH_DATA);
    EXPECT_EQ(db.GetInt("Word"), 1234);
}

TEST_F(LogixTagsTest, WrongTypeOrRangeIsRefusedAndChangesNothing) {
    LogixReply r = Write(Path().Sym("Value"), WriteData(0xC3, 1, {1, 0}));
    EXPECT_EQ(r.status, kLogixStatusGeneralError);
    EXPECT_EQ(r.extStatus, kLogixExtTypeMismatch);
    r = Write(Path().Sym("Message"), WriteData(kLogixTypeStructure, 1, Bytes(88, 0), 0x1234));
    EXPECT_EQ(r.extStatus, kLogixExtTypeMismatch);
    r = Write(Path().Sym("Buffer").Idx(9), WriteData(0xC4, 2, Bytes(8, 1)));
    EXPECT_EQ(r.extStatus, kLogixExtBeyondEnd);
    EXPECT_EQ(Write(Path().Sym("Nope"), WriteData(0xC4, 1, Bytes(4, 1))).status,
              CIP_STATUS_PATH_DESTINATION_UNKNOWN);
    EXPECT_EQ(Write(Path().Sym("Value"), {0xC4}).status, CIP_STATUS_NOT_ENOUGH_DATA);
    EXPECT_EQ(db.GetInt("Value"), 100000);
    EXPECT_EQ(db.GetInt("Buffer[9]"), 9);
    EXPECT_EQ(db.WriteCount(), 0u);
}

TEST_F(LogixTagsTest, StringTakesWholeRecordOrLengthAndItsCharacters) {
    Bytes shortForm = {5, 0, 0, 0, 'w', 'o', 'r', 'l', 'd', 0};  // odd length: pad byte
    EXPECT_TRUE(
        Write(Path().Sym("Message"), WriteData(kLogixTypeStructure, 1, shortForm, 0x0FCE)).ok());
    EXPECT_EQ(db.GetString("Message"), "world");
    // The rest of the record is cleared, not left from the longer old text.
    EXPECT_EQ(db.GetBytes("Message")->at(9), 0);

    Bytes whole(88, 0);
    whole[0] = 2;
    whole[4] = 'o';
    whole[5] = 'k';
    EXPECT_TRUE(
        Write(Path().Sym("Message"), WriteData(kLogixTypeStructure, 1, whole, 0x0FCE)).ok());
    EXPECT_EQ(db.GetString("Message"), "ok");
    // A length that disagrees with the characters sent is refused.
    Bytes lying = {9, 0, 0, 0, 'a', 'b'};
    EXPECT_FALSE(
        Write(Path().Sym("Message"), WriteData(kLogixTypeStructure, 1, lying, 0x0FCE)).ok());
    EXPECT_EQ(db.GetString("Message"), "ok");
}

// ---- Definitions and moving values ---------------------------------------------------------

TEST(LogixTagDefinitions, RefusesBadDefinitionsWithAReason) {
    LogixTagDatabase db;
    std::string error;
    EXPECT_FALSE(db.Define(Def("X", "LREAL"), error));
    EXPECT_NE(error.find("unknown type"), std::string::npos);
    EXPECT_FALSE(db.Define(Def("1X", "DINT"), error));
    EXPECT_FALSE(db.Define(Def("X", "DINT", {}, {0}), error));
    EXPECT_FALSE(db.Define(Def("X", "DINT", {}, {2, 2, 2, 2}), error));
    EXPECT_FALSE(db.Define(Def("X", "SINT", 300), error));
    EXPECT_NE(error.find("does not fit SINT"), std::string::npos);
    EXPECT_FALSE(db.Define(Def("X", "DINT", {1, 2, 3}, {2}), error));
    EXPECT_FALSE(db.Define(Def("X", "STRING", std::string(83, 'a')), error));
    EXPECT_FALSE(db.Define(Def("X", "MOTOR", {{"Torque", 1}}), error));
    LogixTagDefinition moving = Def("X", "STRING");
    moving.animation.kind = LogixAnimation::Kind::Counter;
    EXPECT_FALSE(db.Define(moving, error));
    EXPECT_TRUE(db.Define(Def("X", "DINT"), error));
    EXPECT_FALSE(db.Define(Def("x", "DINT"), error));
    EXPECT_NE(error.find("already defined"), std::string::npos);
    EXPECT_EQ(db.TagCount(), 1u);
}

TEST(LogixTagDefinitions, CounterMovesAndRestartsFromAWrittenValue) {
    LogixTagDatabase db;
    LogixTagDefinition counter = Def("Count", "DINT", 5);
    counter.animation = LogixAnimation{LogixAnimation::Kind::Counter, 3, 0, 0, 1};
    std::string error;
    ASSERT_TRUE(db.Define(counter, error)) << error;
    EXPECT_TRUE(tb_test::WaitUntil([&] { return db.GetInt("Count") != 5; }));
    const int64_t moved = *db.GetInt("Count");
    EXPECT_GT(moved, 5);
    EXPECT_EQ((moved - 5) % 3, 0);
    ASSERT_TRUE(db.SetInt("Count", 1000));
    const int64_t after = *db.GetInt("Count");
    EXPECT_GE(after, 1000);
    EXPECT_EQ((after - 1000) % 3, 0);
}

TEST(LogixTagDefinitions, RampStaysWithinItsBounds) {
    LogixTagDatabase db;
    LogixTagDefinition ramp = Def("Level", "REAL");
    ramp.animation = LogixAnimation{LogixAnimation::Kind::Ramp, 7.5, 10, 20, 1};
    std::string error;
    ASSERT_TRUE(db.Define(ramp, error)) << error;
    for (int i = 0; i < 50; ++i) {
        const double v = *db.GetReal("Level");
        EXPECT_GE(v, 10.0);
        EXPECT_LT(v, 20.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
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

    EXPECT_FALSE(ParseLogixTagOption("NoType", d, error));
    EXPECT_FALSE(ParseLogixTagOption("X:DINT[0]", d, error));
    EXPECT_FALSE(ParseLogixTagOption("X:DINT[2", d, error));
    EXPECT_FALSE(ParseLogixTagOption("X:DINT@wobble", d, error));
    EXPECT_FALSE(ParseLogixTagOption("X:DINT@counter:x", d, error));
    EXPECT_FALSE(ParseLogixTagOption("X:DINT=zz", d, error));
}

TEST(LogixTagConfig, LoadsJsonFileAndReportsBadOnes) {
    const std::string path = ::testing::TempDir() + "logix_tags_test.json";
    {
        std::ofstream out(path);
        out << R"({"tags": [{"name": "A", "type": "DINT", "value": 4},
                            {"name": "B", "type": "REAL", "dims": [3], "value": [1.5],
                             "ramp": {"min": 0, "max": 10, "step": 1, "periodMs": 50}}]})";
    }
    std::vector<LogixTagDefinition> tags;
    std::string error;
    ASSERT_TRUE(LoadLogixTagFile(path, tags, error)) << error;
    ASSERT_EQ(tags.size(), 2u);
    EXPECT_EQ(tags[1].dims, (std::vector<uint32_t>{3}));
    EXPECT_EQ(tags[1].animation.kind, LogixAnimation::Kind::Ramp);
    EXPECT_EQ(tags[1].animation.periodMs, 50u);
    {
        std::ofstream out(path);
        out << R"([{"name": "A", "type": "DINT", "colour": "red"}])";
    }
    tags.clear();
    EXPECT_FALSE(LoadLogixTagFile(path, tags, error));
    EXPECT_NE(error.find("unknown field \"colour\""), std::string::npos);
    {
        std::ofstream out(path);
        out << "{not json";
    }
    EXPECT_FALSE(LoadLogixTagFile(path, tags, error));
    EXPECT_NE(error.find("not valid JSON"), std::string::npos);
    EXPECT_FALSE(LoadLogixTagFile(path + ".missing", tags, error));
    std::remove(path.c_str());
}

// ---- Multiple Service Packet through the router
// --------------------------------------------------

namespace {

// Message Router request: service, path size in words, path, data.
Bytes MrRequest(uint8_t service, const Bytes& path, const Bytes& data) {
    ByteWriter w;
    w.u8(service).u8(static_cast<uint8_t>(path.size() / 2)).bytes(path).bytes(data);
    return w.to_vector();
}

Bytes Msp(const std::vector<Bytes>& requests) {
    ByteWriter body;
    body.u16(static_cast<uint16_t>(requests.size()));
    size_t offset = 2 + 2 * requests.size();
    for (const Bytes& r : requests) {
        body.u16(static_cast<uint16_t>(offset));
        offset += r.size();
    }
    for (const Bytes& r : requests) {
        body.bytes(r);
    }
    return MrRequest(0x0A, {0x20, 0x02, 0x24, 0x01}, body.to_vector());
}

// The embedded replies of an encoded Multiple Service Packet reply.
std::vector<Bytes> SplitReply(const Bytes& reply) {
    ByteReader r(reply.data() + 4, reply.size() - 4);
    const uint16_t n = r.u16();
    std::vector<size_t> offsets;
    for (uint16_t i = 0; i < n; ++i) {
        offsets.push_back(r.u16());
    }
    offsets.push_back(reply.size() - 4);
    std::vector<Bytes> out;
    for (uint16_t i = 0; i < n; ++i) {
        out.emplace_back(reply.begin() + 4 + offsets[i], reply.begin() + 4 + offsets[i + 1]);
    }
    return out;
}

class LogixMspTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const LogixTagDefinition& d : LogixDemoTags()) {
            plc.DefineTag(d);
        }
    }
    Bytes Execute(const Bytes& request, const CipConnection* connection = nullptr) {
        return plc.Sim().Router().Execute(View(request), connection, 1);
    }
    LogixController plc{SimConfig{}};
};

}  // namespace

TEST_F(LogixMspTest, AnswersEachEmbeddedRequestInOrder) {
    const Bytes reply = Execute(Msp({MrRequest(0x4C, Path().Sym("Value").bytes, Count(1)),
                                     MrRequest(0x4C, Path().Sym("Word").bytes, Count(1))}));
    ASSERT_GE(reply.size(), 4u);
    EXPECT_EQ(reply[0], 0x8A);
    EXPECT_EQ(reply[2], 0x00);
    const std::vector<Bytes> parts = SplitReply(reply);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0], (Bytes{0xCC, 0, 0, 0, 0xC4, 0x00, 0xA0, 0x86, 0x01, 0x00}));
    EXPECT_EQ(parts[1], (Bytes{0xCC, 0, 0, 0, 0xC3, 0x00, 0xD2, 0x04}));
    EXPECT_TRUE(plc.Sim().ProtocolErrors().empty());
}

TEST_F(LogixMspTest, OneFailedEmbeddedServiceMarksThePacketButKeepsTheOthers) {
    const Bytes reply =
        Execute(Msp({MrRequest(0x4C, Path().Sym("Missing").bytes, Count(1)),
                     MrRequest(0x4C, Path().Sym("Word").bytes, Count(1)),
                     MrRequest(0x4D, Path().Sym("Word").bytes, WriteData(0xC4, 1, Bytes(4, 0)))}));
    EXPECT_EQ(reply[2], CIP_STATUS_EMBEDDED_SERVICE_ERROR);
    const std::vector<Bytes> parts = SplitReply(reply);
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0], (Bytes{0xCC, 0, 0x05, 0}));
    EXPECT_EQ(parts[1][2], 0x00);
    EXPECT_EQ(parts[2], (Bytes{0xCD, 0, 0xFF, 1, 0x07, 0x21}));
}

TEST_F(LogixMspTest, RepliesNeverPassTheConnectionSize) {
    CipConnection small;
    small.toConnectionSize = 80;  // 78 bytes of reply
    // Two 10-DINT reads: the first reply (46 bytes) takes most of the 68 left after the
    // packet's header and table; the second no longer fits.
    const Bytes reply = Execute(Msp({MrRequest(0x4C, Path().Sym("Buffer").bytes, Count(10)),
                                     MrRequest(0x4C, Path().Sym("Buffer").bytes, Count(10))}),
                                &small);
    ASSERT_LE(reply.size(), 78u);
    const std::vector<Bytes> parts = SplitReply(reply);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].size(), 4u + 42u);
    EXPECT_EQ(parts[1], (Bytes{0xCC, 0, CIP_STATUS_PARTIAL_TRANSFER, 0}));
}

TEST_F(LogixMspTest, MalformedPacketsAreRefusedAndNoted) {
    Bytes request = Msp({MrRequest(0x4C, Path().Sym("Value").bytes, Count(1))});
    request[8] = 0x02;  // first offset points into the table
    Bytes reply = Execute(request);
    EXPECT_EQ(reply[2], CIP_STATUS_INVALID_PARAMETER_VALUE);
    reply = Execute(MrRequest(0x0A, {0x20, 0x02, 0x24, 0x01}, {0x05}));
    EXPECT_EQ(reply[2], CIP_STATUS_NOT_ENOUGH_DATA);
    EXPECT_EQ(plc.Sim().ProtocolErrors().size(), 2u);
    // Other Message Router services and instances are not served.
    EXPECT_EQ(Execute(MrRequest(0x0E, {0x20, 0x02, 0x24, 0x01}, {}))[2],
              CIP_STATUS_SERVICE_NOT_SUPPORTED);
    EXPECT_EQ(Execute(MrRequest(0x0A, {0x20, 0x02, 0x24, 0x02}, Count(0)))[2],
              CIP_STATUS_PATH_DESTINATION_UNKNOWN);
}

TEST_F(LogixMspTest, ReadAndWriteTagAlsoWorkWithoutAPacket) {
    Bytes reply =
        Execute(MrRequest(0x4D, Path().Sym("Value").bytes, WriteData(0xC4, 1, {9, 0, 0, 0})));
    EXPECT_EQ(reply, (Bytes{0xCD, 0, 0, 0}));
    reply = Execute(MrRequest(0x4C, Path().Sym("Value").bytes, Count(1)));
    EXPECT_EQ(reply, (Bytes{0xCC, 0, 0, 0, 0xC4, 0, 9, 0, 0, 0}));
    EXPECT_EQ(Execute(MrRequest(0x4E, Path().Sym("Value").bytes, {}))[2],
              CIP_STATUS_SERVICE_NOT_SUPPORTED);
}

// ---- Command line ------------------------------------------------------------------------------

TEST(LogixCommandLine, DemoTagsUnlessTagsAreGivenAndBadInputIsRefused) {
    PlcSimulator sim(SimConfig{});
    LogixOutage outage;
    std::string error;
    LogixTagDatabase demo;
    ASSERT_TRUE(ApplyLogixOptions(LogixCliOptions{}, demo, sim, outage, error)) << error;
    EXPECT_EQ(demo.TagCount(), LogixDemoTags().size());

    LogixCliOptions given;
    given.tags = {"Speed:REAL=1.5", "Count:DINT@counter"};
    LogixTagDatabase tags;
    ASSERT_TRUE(ApplyLogixOptions(given, tags, sim, outage, error)) << error;
    EXPECT_EQ(tags.TagCount(), 2u);
    EXPECT_EQ(tags.GetReal("Speed"), 1.5);

    LogixCliOptions none;
    none.noDemoTags = true;
    LogixTagDatabase empty;
    ASSERT_TRUE(ApplyLogixOptions(none, empty, sim, outage, error)) << error;
    EXPECT_EQ(empty.TagCount(), 0u);

    LogixCliOptions bad;
    bad.tags = {"Speed:REAL", "speed:DINT"};
    LogixTagDatabase clash;
    EXPECT_FALSE(ApplyLogixOptions(bad, clash, sim, outage, error));
    EXPECT_NE(error.find("already defined"), std::string::npos);
    LogixCliOptions badFault;
    badFault.noDemoTags = true;
    badFault.dropTagReply = "0";
    LogixTagDatabase unused;
    EXPECT_FALSE(ApplyLogixOptions(badFault, unused, sim, outage, error));
    EXPECT_NE(error.find("--drop-tag-reply"), std::string::npos);
}

TEST(LogixCommandLine, OutageTakesStartDownAndOptionalPeriod) {
    LogixOutage outage;
    EXPECT_TRUE(outage.Parse("1000:500"));
    EXPECT_TRUE(outage.Enabled());
    EXPECT_TRUE(LogixOutage().Parse("0:100:1000"));
    EXPECT_FALSE(LogixOutage().Parse("1000"));
    EXPECT_FALSE(LogixOutage().Parse("1000:0"));
    EXPECT_FALSE(LogixOutage().Parse("0:500:400"));  // the period must outlast the outage
    EXPECT_FALSE(LogixOutage().Parse("a:b"));
}

TEST(LogixCommandLine, OutageStopsAndRestartsTheController) {
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
