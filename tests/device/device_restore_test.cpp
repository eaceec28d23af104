// The restore hands each stored PLC to its own engine: with stored PLCs that never answer, the
// broker's dispatch thread stays free and the process stops at once.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "device/device_test_support.h"
#include "device/link_harness.h"
#include "strata_sdk/sdk.h"
#include "support/child_process.h"

namespace {

namespace fs = std::filesystem;
namespace sdk = kestrel::strata_sdk;
using sdk::NodePath;
using tb_device_test::SilentPlc;
using tb_device_test::WaitUntil;
using namespace std::chrono_literals;

constexpr int kSilentPlcs = 5;
// A silent PLC holds each connect step for this long: whatever waits for one cannot answer
// sooner.
constexpr auto kRegisterTimeout = 2s;

class RestoreSilentPlcsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tagbridge-silent-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern + "/data";
        StoreSilentPlcs();
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(fs::path(dir_).parent_path(), ec);
    }

    std::unique_ptr<sdk::Link> NewLink() {
        sdk::LinkOptions options("Tagbridge");
        options.set_data_dir(dir_);
        return std::make_unique<sdk::Link>(std::move(options), sdk::LinkType::Responder, "1.4.6");
    }

    static sdk::NodeBuilder Stored(const NodePath& parent, const std::string& name,
                                   const std::string& marker) {
        sdk::NodeBuilder b(parent);
        b.make_node(name).serializable(sdk::SerializationMode::Stored);
        if (!marker.empty()) {
            b.config("$$$isit", marker);
        }
        return b;
    }

    // Five PLCs, each with a polled tag, on ports where nothing ever answers.
    void StoreSilentPlcs() {
        auto link = NewLink();
        std::promise<void> connected;
        link->set_on_connected_handler([&](const std::error_code&) { connected.set_value(); });
        ASSERT_TRUE(link->non_blocking_run());
        ASSERT_EQ(connected.get_future().wait_for(60s), std::future_status::ready);
        for (int i = 0; i < kSilentPlcs; ++i) {
            const std::string alias = "silent" + std::to_string(i);
            auto plc = Stored(NodePath("/"), alias, "plc");
            plc.config("$host", "127.0.0.1").config("$port", int64_t(silent_[i].Port()));
            plc.config("$slot", 0).config("$protocol family", "CIP/EIP");
            auto em = Stored(NodePath("/") / alias, "EM Tags", "emtags");
            em.config("$Polling Interval", 1000);
            auto list = Stored(NodePath("/") / alias / "EM Tags", "Read Tags List", "");
            auto tag = Stored(NodePath("/") / alias / "EM Tags" / "Read Tags List", "t", "tag");
            tag.config("$Tag Name", "Speed").config("$RW Flag", "R_");
            tag.config("$OutputType", "DEFAULT").config("$Description", "").config("$DataLen", 4);
            for (const auto& builder : {plc, em, list, tag}) {
                std::promise<std::error_code> done;
                link->responder()->create_node(
                    builder, [&](const std::vector<sdk::NodeInfo>&, const std::error_code& ec) {
                        done.set_value(ec);
                    });
                auto result = done.get_future();
                ASSERT_EQ(result.wait_for(60s), std::future_status::ready);
                ASSERT_FALSE(result.get());
            }
        }
        link->stop();
        link->join();
    }

    bool AllSilentPlcsContacted() {
        for (auto& plc : silent_) {
            if (plc.Clients() == 0) {
                return false;
            }
        }
        return true;
    }

    std::string dir_;
    SilentPlc silent_[kSilentPlcs];
};

TEST_F(RestoreSilentPlcsTest, AnInvocationAnswersWhileTheStoredPlcsConnect) {
    tb_device_test::LogCapture log{0};
    std::promise<std::chrono::steady_clock::time_point> restoreStarted;
    tb_device_test::RunningLink running(
        dir_, [&] { restoreStarted.set_value(std::chrono::steady_clock::now()); });
    ASSERT_TRUE(running.Running());
    const auto start = restoreStarted.get_future().get();
    const auto answer =
        running.Link().broker().invoke_and_wait(NodePath("/addplc"), sdk::Variant::new_map(), 30s);
    const auto answered = std::chrono::steady_clock::now();
    EXPECT_TRUE(answer.ok()) << answer.error_text;
    EXPECT_LT(answered - start, kRegisterTimeout) << "the invocation waited for a silent PLC";
    EXPECT_TRUE(WaitUntil([&] { return AllSilentPlcsContacted(); }));
}

TEST_F(RestoreSilentPlcsTest, SigtermEndsTheProcessWhileTheStoredPlcsConnect) {
    tb_test::ChildProcess tagbridge(TAGBRIDGE_BINARY,
                                    {"--data-dir", dir_, "--listen", "127.0.0.1:0"});
    ASSERT_TRUE(tagbridge.WaitForOutput("EipLink - EIP link connected!")) << tagbridge.Output();
    ASSERT_TRUE(WaitUntil([&] { return AllSilentPlcsContacted(); })) << tagbridge.Output();
    tagbridge.Signal(SIGTERM);
    const auto status = tagbridge.Wait(kRegisterTimeout);
    ASSERT_TRUE(status.has_value()) << "still running after SIGTERM:\n" << tagbridge.Output();
    EXPECT_TRUE(WIFEXITED(*status)) << tagbridge.Output();
}

}  // namespace
