// The shared helpers: trimming (number texts: the conversion tables in tests/tag), the link's error
// category, the log line layout and levels. (Byte order: through ByteReader and ByteWriter.)

#include <gtest/gtest.h>

#include <string>

#include "action/link_errors.h"
#include "common/eip_log.h"
#include "common/eip_utils.h"
#include "support/log_capture.h"

namespace {

namespace sdk = kestrel::strata_sdk;
using link_error::GetCategory;

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
