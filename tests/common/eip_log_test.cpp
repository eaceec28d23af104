#include "common/eip_log.h"

#include <gtest/gtest.h>

#include <string>

#include "action/tesselLink_error_code.h"
#include "support/log_capture.h"

namespace {

namespace sdk = kestrel::strata_sdk;

TEST(EipLogCompose, FormatsEachLevel) {
    EXPECT_EQ(eiplog::Compose(eiplog::Level::Info, "main", "Start Tagbridge"),
              ": INFO - main: Start Tagbridge");
    EXPECT_EQ(eiplog::Compose(eiplog::Level::Error, "ConnectToPLC", "plc1: refused"),
              ": ERROR - ConnectToPLC: plc1: refused");
    EXPECT_EQ(eiplog::Compose(eiplog::Level::Trace, "QueueProcess", "plc1: Dequeue data : t1"),
              ": QueueProcess - plc1: Dequeue data : t1");
    EXPECT_EQ(eiplog::Text("Socket FD = ", 7, ", port ", 44818u), "Socket FD = 7, port 44818");
}

// Info and error lines need debug level 0, traces level 3; link errors carry their code and
// message and follow the log level.
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

    sdk::set_log_level(sdk::LogLevel::info);
    eiplog::LinkError(sdk::LogLevel::error, tessel::TL_ERR_TAG_NOT_EXIST, "plc1: t9");
    EXPECT_TRUE(log.Contains("(10015): Tag does not exist. - plc1: t9"));
    eiplog::LinkError(sdk::LogLevel::error, std::make_error_code(std::errc::connection_refused),
                      "connect");
    EXPECT_TRUE(log.Contains("(" + std::to_string(static_cast<int>(std::errc::connection_refused)) +
                             "): "));
    sdk::set_log_level(sdk::LogLevel::fatal);
    eiplog::LinkError(sdk::LogLevel::error, tessel::TL_ERR_ADD_TAG, "not written");
    EXPECT_FALSE(log.Contains("not written"));
}

}  // namespace
