// The restore of the stored configuration: which announced nodes are collected, the order of the
// walk, the persistence record of a tag, and a restart against a real node store.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "device/eip_device.h"
#include "device/eip_manager.h"
#include "device/link_harness.h"
#include "link/eip_link.h"
#include "strata_sdk/sdk.h"
#include "support/log_capture.h"
#include "support/node_config.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace {

namespace sdk = kestrel::strata_sdk;
using kestrel::strata_sdk::NodePath;
using kestrel::strata_sdk::Variant;
using tb_device_test::StoredNode;
using tb_test::WaitUntil;

constexpr auto kLimit = std::chrono::seconds(60);

std::vector<std::string> QueueTexts(const EipLink::RestoreQueue& queue) {
    std::vector<std::string> out;
    for (const NodePath& p : queue->queue) {
        out.push_back(p.to_string());
    }
    return out;
}

TEST(RestoreWalk, QueuesChildrenBeforeGrandchildrenInKeyOrder) {
    EipLink::Node plc;
    plc.children["IO Tags"].children["io1"].children["s1"];
    plc.children["IO Tags"].children["io1"].children["Data"];
    plc.children["EM Tags"].children["Read Tags List"].children["t1"];

    auto queue = std::make_shared<EipLink::RestoreWalk>();
    queue->queue.push_back(NodePath("/plc"));
    EipLink::WalkNodeList(NodePath("/plc"), plc, queue);

    EXPECT_EQ(QueueTexts(queue),
              (std::vector<std::string>{"/plc", "/plc/EM Tags", "/plc/IO Tags",
                                        "/plc/EM Tags/Read Tags List",
                                        "/plc/EM Tags/Read Tags List/t1", "/plc/IO Tags/io1",
                                        "/plc/IO Tags/io1/Data", "/plc/IO Tags/io1/s1"}));
}

EipLink::NodeInfo StoredTag(const std::string& escapedName) {
    EipLink::NodeInfo info;
    info.path = NodePath("/plc/EM Tags/Read Tags List") / escapedName;
    info.name = escapedName;
    info.configs["$$$isit"] = "tag";
    info.configs["$Tag Name"] = "Tank[1].Level";
    info.configs["$RW Flag"] = "RW";
    info.configs["$OutputType"] = "DEFAULT";
    info.configs["$Description"] = "level";
    info.configs["$DataLen"] = 4;
    return info;
}

// The record a stored tag is replayed from: fixed key order, the unescaped alias, valid JSON
// whatever the texts hold, the PLC5 address only when stored, DataLen as a signed 16-bit number.
TEST(PersistenceRecord, HoldsTheStoredSettingsInFixedOrder) {
    EXPECT_EQ(EipLink::MakePersistenceTagRecord(StoredTag("tank")),
              "{\"Tag Alias\":\"tank\",\"Tag Name\":\"Tank[1].Level\",\"RW Flag\":\"RW\","
              "\"OutputType\":\"DEFAULT\",\"Description\":\"level\",\"DataLen\":4}");
    auto info = StoredTag(sdk::string_escape("line/1 \"hot\""));
    info.configs["$Description"] = "say \"hi\" \\ bye";
    info.configs["$PLC5Address"] = "N7:0";
    const std::string record = EipLink::MakePersistenceTagRecord(info);
    EXPECT_NE(record.find(",\"DataLen\":4,\"PLC5Address\":\"N7:0\"}"), std::string::npos) << record;
    const auto parsed = nlohmann::json::parse(record);  // throws on a broken record
    EXPECT_EQ(parsed["Tag Alias"], "line/1 \"hot\"");
    EXPECT_EQ(parsed["Description"], "say \"hi\" \\ bye");
    EXPECT_EQ(parsed["PLC5Address"], "N7:0");
    for (const auto& [stored, written] : {std::pair{Variant(65535), "\"DataLen\":-1}"},
                                          {Variant("not a number"), "\"DataLen\":0}"}}) {
        auto tag = StoredTag("t");
        tag.configs["$DataLen"] = stored;
        EXPECT_NE(EipLink::MakePersistenceTagRecord(tag).find(written), std::string::npos);
    }
}

// A node store in a temporary directory, and links run on it one after the other.
class RestoreTest : public ::testing::Test {
  protected:
    void SetUp() override { log_ = std::make_unique<tb_test::LogCapture>(0, sdk::LogLevel::info); }

    void TearDown() override {
        link_.reset();
        log_.reset();
    }

    // A stored PLC "plc1" with both folders and one tag, as the link writes them.
    void StorePlc(const std::string& family, const Variant& explicitMarker = Variant("emtags")) {
        auto plc = StoredNode(NodePath("/"), "plc1", "plc");
        plc.config("$host", "127.0.0.1").config("$port", 1).config("$slot", 2);
        plc.config("$protocol family", family).config("$plc type", "SLC 500");
        plc.config("$requests in flight", 2);
        auto em = StoredNode(NodePath("/plc1"), "EM Tags", "");
        em.config("$$$isit", explicitMarker).config("$Polling Interval", 500);
        auto io = StoredNode(NodePath("/plc1"), "IO Tags", "iotags");
        io.config("$Listening Interval", 250).config("$Listening UDP Port", 2222);
        auto list = StoredNode(NodePath("/plc1/EM Tags"), "Read Tags List", "");
        auto tag = StoredNode(NodePath("/plc1/EM Tags/Read Tags List"), "t1", "tag");
        tag.config("$Tag Name", "Speed").config("$RW Flag", "R_").config("$OutputType", "DEFAULT");
        tag.config("$Description", "").config("$DataLen", 4);
        ASSERT_TRUE(tb_device_test::StoreNodes(dir_.path(), {plc, em, io, list, tag}));
    }

    // Runs a link on the store that leaves the restore out, so that the announced nodes stay
    // pending until the test replays them.
    void StartRestoringLink() {
        link_ = std::make_unique<tb_device_test::RunningLink>(
            dir_.path(), [this] { connected_.set_value(); }, false);
        ASSERT_TRUE(link_->Running());
        ASSERT_EQ(connected_.get_future().wait_for(kLimit), std::future_status::ready);
    }

    Variant Config(const NodePath& path, const std::string& key) {
        link_->Link().broker().wait_idle();  // what was queued before the read has run
        return tb_test::NodeConfig(link_->Link().broker(), path, key);
    }

    // A number setting as an integer, -1 when absent or not a number.
    int64_t Number(const NodePath& path, const std::string& key) {
        const Variant v = Config(path, key);
        return v.is_number() ? static_cast<int64_t>(v.as_double()) : -1;
    }

    tb_test::TempDir dir_;
    std::promise<void> connected_;
    std::unique_ptr<tb_device_test::RunningLink> link_;
    std::unique_ptr<tb_test::LogCapture> log_;
};

// The stored settings reach the replayed device and the rebuilt nodes: the next restart reads
// them back.
TEST_F(RestoreTest, ReplaysThePlcAndKeepsItsStoredPollingSettings) {
    StorePlc("CIP/EIP");
    StartRestoringLink();
    link_->Eip().DeserializeNodes();
    ASSERT_TRUE(WaitUntil([&] { return log_->Contains("plc1: PLC node ready"); }, kLimit));
    EXPECT_TRUE(WaitUntil(
        [&] { return link_->Link().responder()->node_exists(NodePath("/plc1/Remove")); }, kLimit));
    EXPECT_NE(link_->Registry().GetPLC("plc1"), nullptr);
    EXPECT_TRUE(link_->Eip().PendingNodes().empty());
    // The PLC node is rebuilt from the replayed device's settings.
    EXPECT_EQ(Config(NodePath("/plc1"), "$host"), Variant("127.0.0.1"));
    EXPECT_EQ(Number(NodePath("/plc1"), "$port"), 1);
    EXPECT_EQ(Number(NodePath("/plc1"), "$slot"), 2);
    EXPECT_EQ(Config(NodePath("/plc1"), "$protocol family"), Variant("CIP/EIP"));
    EXPECT_EQ(Number(NodePath("/plc1/EM Tags"), "$Polling Interval"), 500) << log_->All();
    EXPECT_EQ(Number(NodePath("/plc1/IO Tags"), "$Listening Interval"), 250);
    EXPECT_EQ(Number(NodePath("/plc1/IO Tags"), "$Listening UDP Port"), 2222);
    log_->Clear();
    link_->Eip().connected(std::error_code());
    EXPECT_TRUE(log_->Contains("EIP link connected!"));
    EXPECT_FALSE(log_->Contains("Deserializing")) << "a second connection replays nothing";
    link_.reset();
}

// A damaged marker skips only its node; any family text other than "CIP/EIP" means PCCC, with
// its stored PLC Type and requests in flight; a stored tag whose PLC has left the registry
// (removed meanwhile) says so.
TEST_F(RestoreTest, AnUnregisteredPlcOrADamagedMarkerSkipsOnlyWhatItConcerns) {
    StorePlc("cip/eip", Variant(7));  // "EM Tags" marker is a number
    StartRestoringLink();
    link_->Eip().DeserializeNodes();
    ASSERT_TRUE(WaitUntil([&] { return log_->Contains("plc1: PLC node ready"); }, kLimit));
    EXPECT_TRUE(log_->Contains("not a string"));
    EXPECT_TRUE(log_->Contains("plc Info= plc1 127.0.0.1 1 2 PCCC"));
    const ConnectInfo settings = link_->Registry().GetPLC("plc1")->GetConnectionInfo();
    EXPECT_EQ(settings.plcType, PlcType::kSlc500);
    EXPECT_EQ(settings.requestsInFlight, 2);
    EXPECT_EQ(Config(NodePath("/plc1"), "$plc type"), Variant("SLC 500"));
    link_->Registry().RemovePLC("plc1");
    const NodePath tag("/plc1/EM Tags/Read Tags List/t1");
    auto queue = std::make_shared<EipLink::RestoreWalk>();
    queue->queue.push_back(tag);
    link_->Eip().DeserializeTag(StoredTag("t1"), std::error_code(), queue);
    ASSERT_TRUE(
        WaitUntil([&] { return Config(tag, "$status") == Variant("PLC not found"); }, kLimit));
    // The walk and the creation announcements log on their own threads.
    EXPECT_TRUE(WaitUntil([&] { return log_->Contains("device is not exist - plc1"); }, kLimit));
    link_.reset();
}

}  // namespace
