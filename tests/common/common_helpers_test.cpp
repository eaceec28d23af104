// The shared helpers: byte order, trimming and number texts; the link's error
// messages; the log line layout and levels.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "action/link_errors.h"
#include "common/eip_log.h"
#include "common/eip_utils.h"
#include "support/log_capture.h"

namespace {

namespace sdk = kestrel::strata_sdk;
using link_error::GetCategory;

// Little-endian fields round-trip (floats keep their bit pattern, sign of zero and NaN
// included); the socket address port is the one big-endian field.
TEST(ByteOrder, LittleEndianRoundTripsAndBigEndianPutsHighByteFirst) {
    uint8_t b[4] = {};
    PutLittleEndian32(0x01020304, b);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 4), (std::vector<uint8_t>{4, 3, 2, 1}));
    for (uint32_t value : {0u, 0x80u, 0xFFFFu, 0x12345678u, 0xFFFFFFFFu, 0x80000000u}) {
        PutLittleEndian32(value, b);
        EXPECT_EQ(GetLittleEndian32(b), value);
        PutLittleEndian16(static_cast<uint16_t>(value), b);
        EXPECT_EQ(GetLittleEndian16(b), static_cast<uint16_t>(value));
    }
    std::vector<uint8_t> v = {0x99};
    PutLittleEndian16(0x0102, v);
    EXPECT_EQ(v, (std::vector<uint8_t>{0x99, 0x02, 0x01}));
    PutBigEndian16(0x08AE, b);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 2), (std::vector<uint8_t>{0x08, 0xAE}));
    PutLittleEndianFloat(1.0f, b);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 4), (std::vector<uint8_t>{0, 0, 0x80, 0x3F}));
    for (float value : {-0.0f, 3.14159f, -1e30f, std::numeric_limits<float>::denorm_min(),
                        std::numeric_limits<float>::infinity()}) {
        PutLittleEndianFloat(value, b);
        EXPECT_EQ(std::signbit(GetLittleEndianFloat(b)), std::signbit(value));
        EXPECT_EQ(GetLittleEndianFloat(b), value);
    }
    PutLittleEndianFloat(std::numeric_limits<float>::quiet_NaN(), b);
    EXPECT_TRUE(std::isnan(GetLittleEndianFloat(b)));
    uint8_t overlap[6] = {1, 2, 3, 4, 5, 6};
    ByteMove(overlap + 1, overlap, 4);
    EXPECT_EQ(std::vector<uint8_t>(overlap, overlap + 6), (std::vector<uint8_t>{1, 1, 2, 3, 4, 6}));
}

TEST(TrimString, RemovesOnlySpacesAtBothEnds) {
    const std::pair<std::string, std::string> cases[] = {{"  Tank 1 level   ", "Tank 1 level"},
                                                         {"\t value \t", "\t value \t"},
                                                         {" x\n ", "x\n"},
                                                         {"", ""},
                                                         {"     ", ""},
                                                         {" a", "a"}};
    for (auto [text, trimmed] : cases) {
        TrimSpaces(text);
        EXPECT_EQ(text, trimmed);
    }
}

TEST(IsRealNumberStr, AcceptsOnlyPlainSignedDecimalsWithSpacesAround) {
    for (const char* yes : {"-1.5", " -1.5", "-1.5 ", "  +42  ", ".5", "0", "007.250"}) {
        EXPECT_TRUE(IsRealNumberStr(yes)) << yes;
    }
    for (const char* no :
         {"", "   ", "1.", "1e3", "1.2.3", "--1", "- 1", "1 2", "0x10", "\t1", "nan", "+"}) {
        EXPECT_FALSE(IsRealNumberStr(no)) << no;
    }
    EXPECT_FALSE(IsRealNumberStr(nullptr));
}

// The messages themselves are the table in action/link_errors.cpp; here, the category around it.
TEST(LinkErrorCategory, CodesOutsideTheTableAreUnknownAndErrorCodesCarryTheMessage) {
    for (int code : {10000, 10053, 0, -1, 9013, 20001}) {
        EXPECT_EQ(GetCategory().message(code), "<Unknown error>") << code;
    }
    std::error_code ec = link_error::kPlcNotConnected;
    EXPECT_EQ(ec.value(), 10008);
    EXPECT_EQ(ec.message(), "PLC is not connected.");
}

// Info and error lines (": INFO - " or ": ERROR - ", the operation, the message) need debug level
// 0, traces (": " operation " - " message) level 3; link errors carry their code and message and
// follow the log level.
TEST(EipLog, LinesAreWrittenOnlyAtTheirLevels) {
    tb_test::LogCapture log;
    sdk::set_debug_level(0);
    eiplog::Info("main", "Start Tagbridge");
    eiplog::Error("op", "bad");
    eiplog::Trace("op", "hidden");
    EXPECT_TRUE(log.Contains(": INFO - main: Start Tagbridge"));
    EXPECT_TRUE(log.Contains(": ERROR - op: bad"));
    EXPECT_FALSE(log.Contains("hidden"));
    EXPECT_FALSE(eiplog::TraceOn());
    sdk::set_debug_level(-1);
    eiplog::Info("main", "silent");
    EXPECT_FALSE(log.Contains("silent"));
    sdk::set_debug_level(3);
    EXPECT_TRUE(eiplog::TraceOn());
    eiplog::Trace("QueueProcess", "seen");
    EXPECT_TRUE(log.Contains(": QueueProcess - seen"));
    EXPECT_EQ(eiplog::Text("Socket FD = ", 7, ", port ", 44818u), "Socket FD = 7, port 44818");

    sdk::set_log_level(sdk::LogLevel::info);
    eiplog::LinkError(sdk::LogLevel::error, link_error::kTagNotExist, "plc1: t9");
    EXPECT_TRUE(log.Contains("(10015): Tag does not exist. - plc1: t9"));
    eiplog::LinkError(sdk::LogLevel::error, std::make_error_code(std::errc::connection_refused),
                      "connect");
    EXPECT_TRUE(log.Contains("(" + std::to_string(static_cast<int>(std::errc::connection_refused)) +
                             "): "));
    sdk::set_log_level(sdk::LogLevel::fatal);
    eiplog::LinkError(sdk::LogLevel::error, link_error::kAddTag, "not written");
    EXPECT_FALSE(log.Contains("not written"));
}

}  // namespace
