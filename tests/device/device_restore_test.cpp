// The restore hands each stored PLC to its own engine: with stored PLCs that never answer, the
// broker's dispatch thread stays free and the process stops at once.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "device/device_test_support.h"
#include "device/link_harness.h"
#include "strata_sdk/sdk.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

namespace sdk = kestrel::strata_sdk;
using sdk::NodePath;
using tb_device_test::SimPlc;
using tb_device_test::StoredNode;
using tb_device_test::StoreNodes;
using tb_device_test::WaitUntil;
using namespace std::chrono_literals;

constexpr int kSilentPlcs = 5;
// A silent PLC holds each connect step for this long: a stop that waited for one would not end
// sooner.
constexpr auto kRegisterTimeout = 2s;

class RestoreSilentPlcsTest : public ::testing::Test {
  protected:
    // Five PLCs, each with a polled tag, on ports where nothing ever answers.
    void SetUp() override {
        std::vector<sdk::NodeBuilder> nodes;
        for (int i = 0; i < kSilentPlcs; ++i) {
            ASSERT_TRUE(silent_[i].Started());
            silent_[i].Silence();
            const std::string alias = "silent" + std::to_string(i);
            auto plc = StoredNode(NodePath("/"), alias, "plc");
            plc.config("$host", "127.0.0.1").config("$port", int64_t(silent_[i].Sim().Port()));
            plc.config("$slot", 0).config("$protocol family", "CIP/EIP");
            auto em = StoredNode(NodePath("/") / alias, "EM Tags", "emtags");
            em.config("$Polling Interval", 1000);
            auto list = StoredNode(NodePath("/") / alias / "EM Tags", "Read Tags List", "");
            auto tag = StoredNode(NodePath("/") / alias / "EM Tags" / "Read Tags List", "t", "tag");
            tag.config("$Tag Name", "Speed").config("$RW Flag", "R_");
            tag.config("$OutputType", "DEFAULT").config("$Description", "").config("$DataLen", 4);
            nodes.insert(nodes.end(), {plc, em, list, tag});
        }
        ASSERT_TRUE(StoreNodes(dir_, nodes));
    }

    bool AllSilentPlcsContacted() {
        for (auto& plc : silent_) {
            if (plc.ConnectionsAccepted() == 0) {
                return false;
            }
        }
        return true;
    }

    // No silent PLC has had a connection given up yet: each is untouched or still holds its
    // first one, waiting for the reply to its first connect step.
    bool NoSilentPlcGivenUp() {
        for (auto& plc : silent_) {
            const auto accepted = plc.ConnectionsAccepted();
            if (accepted > 1 || (accepted == 1 && plc.Sim().ClientCount() != 1)) {
                return false;
            }
        }
        return true;
    }

    tb_test::TempDir data_;
    const std::string dir_ = data_.file("data");
    SimPlc silent_[kSilentPlcs];
};

TEST_F(RestoreSilentPlcsTest, AnInvocationAnswersWhileTheStoredPlcsConnect) {
    tb_device_test::LogCapture log{0};
    std::promise<void> restoreStarted;
    tb_device_test::RunningLink running(dir_, [&] { restoreStarted.set_value(); });
    ASSERT_TRUE(running.Running());
    restoreStarted.get_future().wait();
    const auto answer =
        running.Link().broker().invoke_and_wait(NodePath("/addplc"), sdk::Variant::new_map(), 30s);
    // Waiting behind a silent PLC means waiting until its connect step is given up.
    EXPECT_TRUE(NoSilentPlcGivenUp()) << "the invocation waited for a silent PLC";
    EXPECT_TRUE(answer.ok()) << answer.error_text;
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
