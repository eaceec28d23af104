// The simulated Logix controller's tag database and tag services, driven with request bytes.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <set>
#include <string>
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

// ---- Read Tag and Write Tag ------------------------------------------------------------------

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
        {Path().Sym("Value"), 1, 0, {0xC4, 0x00, 0xA0, 0x86, 0x01, 0x00}, 6},
        {Path().Sym("Small"), 1, 0, {0xC2, 0x00, 0xF9}, 3},
        {Path().Sym("Word"), 1, 0, {0xC3, 0x00, 0xD2, 0x04}, 4},
        {Path().Sym("Flag"), 1, 0, {0xC1, 0x00, 0x01}, 3},
        {Path().Sym("VALUE"), 1, 0},
        {Path().Sym("motor1").Sym("SPEED"), 1, 0, {0xCA, 0x00, 0x00, 0x50, 0xB5, 0x44}, 6},
        {Path().Sym("Buffer").Idx(2), 3, 0, {0xC4, 0x00, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0}, 14},
        {Path().Sym("Buffer").Idx(7), 3, 0, {}, 14},  // up to the last element, not past it
        {Path().Sym("Buffer").Idx(7), 4, kLogixStatusGeneralError, {}, 0, kLogixExtBeyondEnd},
        {Path().Sym("Buffer").Idx(10), 1, kUnknown},
        {Path().Sym("Buffer"), 10, 0, {0xC4, 0x00, 0, 0, 0, 0, 1, 0}, 42, std::nullopt, 42},
        {Path().Sym("Buffer"), 10, CIP_STATUS_PARTIAL_TRANSFER, {}, 0, std::nullopt, 41},
        {Path().Sym("Grid").Idx(1).Idx(2), 1, 0, {0xC3, 0x00, 77, 0}, 4},
        {Path().Sym("Grid").Idx(1).Idx(2), 6, 0},  // row 1 from column 2 to the end of the tag
        {Path().Sym("Grid").Idx(1).Idx(2), 7, kRefused},
        {Path().Sym("Grid").Idx(1), 1, kSegment},
        {Path().Sym("Grid").Idx(3).Idx(0), 1, kUnknown},
        {Path().Sym("Motor1"), 1, 0, {0xA0, 0x02, 0x2D, 0x1B}, 4 + 116},
        {Path().Sym("Motor1").Sym("Name"),
         1,
         0,
         {0xA0, 0x02, 0xCE, 0x0F, 6, 0, 0, 0, 'P', 'u'},
         92},
        {Path().Sym("Motor1").Sym("Setpoints").Idx(1), 4, kRefused},
        {Path().Sym("Message").Sym("LEN"), 1, 0, {0xC4, 0x00, 17, 0, 0, 0}, 6},
        {Path().Sym("Missing"), 1, kUnknown},
        {Path().Sym("Motor1").Sym("Torque"), 1, kUnknown},
        {Path().Sym("Value").Idx(0), 1, kSegment},
        {Path().Sym("Value"), 0, CIP_STATUS_INVALID_PARAMETER_VALUE},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.path.bytes) + " x" + std::to_string(c.count));
        const LogixReply r = Read(c.path, c.count, c.room);
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
}

TEST_F(LogixTagsTest, MalformedPathsAndDataAreRefused) {
    // Symbol length beyond the path, unknown segment type, empty path, missing pad byte.
    const Bytes count = Count(1);
    for (const Bytes& path : {Bytes{0x91, 0x09, 'V', 'a', 'l'}, Bytes{0x20, 0x6B, 0x24, 0x01},
                              Bytes{}, Bytes{0x91, 0x03, 'a', 'b', 'c'}}) {
        EXPECT_EQ(db.ReadTag(View(path), View(count), 500).status, CIP_STATUS_PATH_SEGMENT_ERROR);
    }
    // Read Tag data is exactly the element count.
    const Path value = Path().Sym("Value");
    const Bytes shortData = {0x01};
    const Bytes longData = {0x01, 0x00, 0x00};
    EXPECT_EQ(db.ReadTag(value.View(), View(shortData), 500).status, CIP_STATUS_NOT_ENOUGH_DATA);
    EXPECT_EQ(db.ReadTag(value.View(), View(longData), 500).status, CIP_STATUS_TOO_MUCH_DATA);
}

// Writes in order: elements and ranges, an odd value length with one zero pad byte, and the
// refusals that change nothing.
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
        {Path().Sym("Motor1").Sym("Speed"), WriteData(0xCA, 1, {0x00, 0x00, 0x80, 0x3F}), 0},
        {Path().Sym("Small"), WriteData(0xC2, 1, {0x05}), 0},
        {Path().Sym("Small"), WriteData(0xC2, 1, {0x06, 0x00}), 0},
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
        const LogixReply r = Write(c.path, c.data);
        EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.path.bytes);
        EXPECT_EQ(r.extStatus, c.ext) << ::testing::PrintToString(c.path.bytes);
    }
    EXPECT_EQ(db.GetInt("Value"), 42);
    EXPECT_EQ(db.GetInt("Buffer[7]"), 7);
    EXPECT_EQ(db.GetInt("Buffer[8]"), -1);
    EXPECT_EQ(db.GetInt("Buffer[9]"), -1);
    EXPECT_EQ(db.GetReal("Motor1.Speed"), 1.0);
    EXPECT_EQ(db.GetInt("Small"), 6);
    EXPECT_EQ(db.GetInt("Word"), 1234);
    EXPECT_EQ(db.WriteCount(), 5u);
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

// ---- Definitions, moving values, command line --------------------------------------------------

TEST(LogixTagDefinitions, RefusesBadDefinitionsWithAReason) {
    LogixTagDatabase db;
    LogixTagDefinition moving = Def("X", "STRING");
    moving.animation.kind = LogixAnimation::Kind::Counter;
    const std::pair<LogixTagDefinition, const char*> bad[] = {
        {Def("X", "LREAL"), "unknown type"},
        {Def("1X", "DINT"), ""},
        {Def("X", "DINT", {}, {0}), ""},
        {Def("X", "DINT", {}, {2, 2, 2, 2}), ""},
        {Def("X", "SINT", 300), "does not fit SINT"},
        {Def("X", "DINT", {1, 2, 3}, {2}), ""},
        {Def("X", "STRING", std::string(83, 'a')), ""},
        {Def("X", "MOTOR", {{"Torque", 1}}), ""},
        {moving, ""},
    };
    std::string error;
    for (const auto& [definition, reason] : bad) {
        EXPECT_FALSE(db.Define(definition, error)) << definition.name << ":" << definition.type;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
    EXPECT_TRUE(db.Define(Def("X", "DINT"), error));
    EXPECT_FALSE(db.Define(Def("x", "DINT"), error));
    EXPECT_NE(error.find("already defined"), std::string::npos);
    EXPECT_EQ(db.TagCount(), 1u);
}

TEST(LogixTagDefinitions, CounterMovesFromAWrittenValueAndRampStaysWithinItsBounds) {
    LogixTagDatabase db;
    LogixTagDefinition counter = Def("Count", "DINT", 5);
    counter.animation = LogixAnimation{LogixAnimation::Kind::Counter, 3, 0, 0, 1};
    LogixTagDefinition ramp = Def("Level", "REAL");
    ramp.animation = LogixAnimation{LogixAnimation::Kind::Ramp, 7.5, 10, 20, 1};
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
    const auto load = [&](const std::string& text, std::vector<LogixTagDefinition>& tags,
                          std::string& error) {
        std::ofstream(path) << text;
        return LoadLogixTagFile(path, tags, error);
    };
    std::vector<LogixTagDefinition> tags;
    std::string error;
    ASSERT_TRUE(load(R"({"tags": [{"name": "A", "type": "DINT", "value": 4},
                                  {"name": "B", "type": "REAL", "dims": [3], "value": [1.5],
                                   "ramp": {"min": 0, "max": 10, "step": 1, "periodMs": 50}}]})",
                     tags, error))
        << error;
    ASSERT_EQ(tags.size(), 2u);
    EXPECT_EQ(tags[1].dims, (std::vector<uint32_t>{3}));
    EXPECT_EQ(tags[1].animation.kind, LogixAnimation::Kind::Ramp);
    EXPECT_EQ(tags[1].animation.periodMs, 50u);
    EXPECT_FALSE(load(R"([{"name": "A", "type": "DINT", "colour": "red"}])", tags, error));
    EXPECT_NE(error.find("unknown field \"colour\""), std::string::npos);
    EXPECT_FALSE(load("{not json", tags, error));
    EXPECT_NE(error.find("not valid JSON"), std::string::npos);
    EXPECT_FALSE(LoadLogixTagFile(path + ".missing", tags, error));
    std::remove(path.c_str());
}

TEST(LogixCommandLine, DemoTagsUnlessTagsAreGivenAndBadInputIsRefused) {
    PlcSimulator sim(SimConfig{});
    LogixOutage outage;
    std::string error;
    const auto apply = [&](const LogixCliOptions& options, LogixTagDatabase& tags) {
        return ApplyLogixOptions(options, tags, sim, outage, error);
    };
    LogixTagDatabase demo;
    ASSERT_TRUE(apply(LogixCliOptions{}, demo)) << error;
    EXPECT_EQ(demo.TagCount(), LogixDemoTags().size());
    LogixCliOptions given;
    given.tags = {"Speed:REAL=1.5", "Count:DINT@counter"};
    LogixTagDatabase tags;
    ASSERT_TRUE(apply(given, tags)) << error;
    EXPECT_EQ(tags.TagCount(), 2u);
    EXPECT_EQ(tags.GetReal("Speed"), 1.5);
    LogixCliOptions none;
    none.noDemoTags = true;
    LogixTagDatabase empty;
    ASSERT_TRUE(apply(none, empty)) << error;
    EXPECT_EQ(empty.TagCount(), 0u);

    LogixCliOptions clash;
    clash.tags = {"Speed:REAL", "speed:DINT"};
    LogixTagDatabase clashing;
    EXPECT_FALSE(apply(clash, clashing));
    EXPECT_NE(error.find("already defined"), std::string::npos);
    none.dropTagReply = "0";
    LogixTagDatabase unused;
    EXPECT_FALSE(apply(none, unused));
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

// ---- Multiple Service Packet through the router ---------------------------------------------

namespace {

// Message Router request: service, path size in words, path, data.
Bytes MrRequest(uint8_t service, const Bytes& path, const Bytes& data) {
    ByteWriter w;
    w.u8(service).u8(static_cast<uint8_t>(path.size() / 2)).bytes(path).bytes(data);
    return w.to_vector();
}

Bytes ReadOne(const std::string& name) {
    return MrRequest(0x4C, Path().Sym(name).bytes, Count(1));
}

}  // namespace

// Packets answered in order, partial transfers inside them and requests without a packet are
// pinned byte for byte by tests/sim; here, the packets refused.
TEST(LogixMessageRouter, MalformedPacketsAreRefusedAndNoted) {
    LogixController plc{SimConfig{}};
    const auto execute = [&plc](const Bytes& request) {
        return plc.Sim().Router().Execute(View(request), nullptr, 1);
    };
    ByteWriter intoTable;  // one request whose offset points into the offset table
    intoTable.u16(1).u16(2).bytes(ReadOne("Value"));
    EXPECT_EQ(execute(MrRequest(0x0A, {0x20, 0x02, 0x24, 0x01}, intoTable.to_vector()))[2],
              CIP_STATUS_INVALID_PARAMETER_VALUE);
    EXPECT_EQ(execute(MrRequest(0x0A, {0x20, 0x02, 0x24, 0x01}, {0x05}))[2],
              CIP_STATUS_NOT_ENOUGH_DATA);
    EXPECT_EQ(plc.Sim().ProtocolErrors().size(), 2u);
    // Other Message Router services and instances are not served.
    EXPECT_EQ(execute(MrRequest(0x0E, {0x20, 0x02, 0x24, 0x01}, {}))[2],
              CIP_STATUS_SERVICE_NOT_SUPPORTED);
    EXPECT_EQ(execute(MrRequest(0x0A, {0x20, 0x02, 0x24, 0x02}, Count(0)))[2],
              CIP_STATUS_PATH_DESTINATION_UNKNOWN);
}
