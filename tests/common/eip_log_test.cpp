#include "common/eip_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "action/tesselLink_error_code.h"
#include "support/log_capture.h"

namespace {

namespace sdk = kestrel::strata_sdk;

// Captures the SDK's log lines; the capture restores the levels the tests change.
class LogCapture : public ::testing::Test {
  protected:
    bool Has(const std::string& text) const { return capture_.Contains(text); }

    tb_test::LogCapture capture_;
};

TEST(EipLogCompose, FormatsEachLevel) {
    EXPECT_EQ(eiplog::Compose(eiplog::Level::Info, "main", "Start Tagbridge"),
              ": INFO - main: Start Tagbridge");
    EXPECT_EQ(eiplog::Compose(eiplog::Level::Error, "ConnectToPLC", "plc1: refused"),
              ": ERROR - ConnectToPLC: plc1: refused");
    EXPECT_EQ(eiplog::Compose(eiplog::Level::Trace, "QueueProcess", "plc1: Dequeue data : t1"),
              ": QueueProcess - plc1: Dequeue data : t1");
    EXPECT_EQ(eiplog::Text("Socket FD = ", 7, ", port ", 44818u), "Socket FD = 7, port 44818");
}

TEST_F(LogCapture, InfoAndErrorNeedDebugLevelZero) {
    sdk::set_debug_level(0);
    eiplog::Info("main", "Start Tagbridge");
    eiplog::Error("op", "bad");
    eiplog::Trace("op", "hidden");
    EXPECT_TRUE(Has(": INFO - main: Start Tagbridge"));
    EXPECT_TRUE(Has(": ERROR - op: bad"));
    EXPECT_FALSE(Has("hidden"));
    EXPECT_FALSE(eiplog::TraceOn());

    sdk::set_debug_level(-1);
    eiplog::Info("main", "silent");
    EXPECT_FALSE(Has("silent"));
}

TEST_F(LogCapture, TracesNeedDebugLevelThree) {
    sdk::set_debug_level(3);
    EXPECT_TRUE(eiplog::TraceOn());
    eiplog::Trace("QueueProcess", "seen");
    EXPECT_TRUE(Has(": QueueProcess - seen"));
}

TEST_F(LogCapture, LinkErrorsCarryCodeAndMessage) {
    sdk::set_log_level(sdk::LogLevel::info);
    eiplog::LinkError(sdk::LogLevel::error, tessel::TL_ERR_TAG_NOT_EXIST, "plc1: t9");
    EXPECT_TRUE(Has("(10015): Tag does not exist. - plc1: t9"));
    eiplog::LinkError(sdk::LogLevel::error, std::make_error_code(std::errc::connection_refused),
                      "connect");
    EXPECT_TRUE(Has("(" + std::to_string(static_cast<int>(std::errc::connection_refused)) + "): "));

    sdk::set_log_level(sdk::LogLevel::fatal);
    eiplog::LinkError(sdk::LogLevel::error, tessel::TL_ERR_ADD_TAG, "not written");
    EXPECT_FALSE(Has("not written"));
}

}  // namespace
