// Device tag operations: add, edit, remove, write, reset, subtags, export and persistence, with
// the messages a user sees.

#include <gtest/gtest.h>

#include "device/device_test_support.h"
#include "strata_sdk/sdk.h"
#include "tag/eip_tag.h"

namespace tb_device_test {
namespace {

class DeviceTagsTest : public DeviceFixture {
  protected:
    void SetUp() override {
        DeviceFixture::SetUp();
        plc.Define("Count", "DINT", 7);
        plc.Define("Speed", "REAL", 1.5);
        device = AddPlc();
        ASSERT_NE(device, nullptr);
    }
    static std::string IOTag(const std::string& alias, int dataLen, const std::string& extra = "") {
        return "{\"Tag Alias\":\"" + alias + "\",\"Tag Name\":\"" + alias +
               "\",\"DataLen\":" + std::to_string(dataLen) + extra + "}";
    }
    int Request(const std::string& op, const std::string& json) {
        lastMessage.clear();
        if (op == "add") {
            return AddTag(device, json);
        }
        if (op == "edit") {
            return EditTag(device, json);
        }
        if (op == "write") {
            return WriteTag(device, json);
        }
        return device->RemoveTag(Json(json), 1, lastAlias, lastMessage);
    }

    EipDevice* device = nullptr;
};

// The refusals the actions' own tests do not already reach (duplicates, unknown tags, read-only
// writes and unknown removals are pinned there).
TEST_F(DeviceTagsTest, RefusedRequestsChangeNothingAndSayWhy) {
    ASSERT_EQ(0, AddExplicitTag(device, "Cnt", "Count"));
    ASSERT_EQ(0, AddExplicitTag(device, "Spd", "Speed", "R"));
    struct Refusal {
        const char* op;
        const char* json;
        const char* message;
    };
    const Refusal refusals[] = {
        {"add", R"({"Tag Alias":"C2","Tag Name":"Count"})", "Inserted \"Tag Name\" already exists"},
        {"add", R"(["not", "a map"])", "Invalid json format."},
        {"add", R"({"Tag Alias":"Bad","Tag Name":"9Count["})", "Invalid \"Tag Name\" format."},
        {"edit", R"({"Tag Name":"Count"})", "\"Tag Alias\" not inserted."},
        {"write", R"({"Tag Alias":"Cnt","value":1.5})", "Invalid \"value\" format."},
        {"write", R"({"Tag Alias":"Nope","value":1})", "Tag does not exist."},
        {"write", R"({"value":1})", "\"Tag Alias\" not inserted."},
        {"write", R"({"Tag Alias":"Cnt"})", "Invalid json format."},
        {"remove", "[1]", "Invalid json format."},
    };
    for (const Refusal& refusal : refusals) {
        EXPECT_NE(0, Request(refusal.op, refusal.json)) << refusal.op << " " << refusal.json;
        EXPECT_EQ(refusal.message, lastMessage) << refusal.op << " " << refusal.json;
    }
    EXPECT_EQ(2u, device->ListTagInfos(1).size());
    EXPECT_EQ(2u, rec.Events("created").size());
    EXPECT_TRUE(rec.Events("removed").empty());
    EXPECT_EQ(7, plc.Tags().GetInt("Count").value_or(0));
}

// A rename keeps the tag name and takes the new description (the actions' tests pin the nodes).
TEST_F(DeviceTagsTest, EditReplacesTheTagAndResetRemovesEveryTagOfTheKind) {
    ASSERT_EQ(0, AddExplicitTag(device, "Cnt", "Count"));
    ASSERT_EQ(0, AddExplicitTag(device, "Spd", "Speed"));
    ASSERT_EQ(0, AddTag(device, IOTag("In1", 8), 2)) << lastMessage;
    ASSERT_EQ(0,
              EditTag(device, R"({"Tag Alias":"Cnt","New Tag Alias":"Counter","Description":"d"})"))
        << lastMessage;
    auto tag = device->FindTagByAlias("Counter", 1);
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ("Count", tag->GetInfo().tagName);
    EXPECT_EQ("d", tag->GetInfo().description);
    EXPECT_EQ(kRwFlagDefaultExplicit, tag->GetInfo().rwFlag);
    // Reset empties only the folder it is invoked on.
    EXPECT_EQ(0, device->ResetTag(1));
    EXPECT_TRUE(device->ListTagInfos(1).empty());
    EXPECT_EQ(1u, device->ListTagInfos(2).size());
}

// Subtags follow every operation, and the export lists them with their tag.
TEST_F(DeviceTagsTest, IOTagSubtagsFollowEveryOperationAndAreExported) {
    ASSERT_EQ(0, AddTag(device,
                        IOTag("In1", 8,
                              R"(,"Subtags":[{"Alias":"A","Offset":0,"InnerType":"INT",)"
                              R"("DataLen":2},{"Alias":"B","Offset":6,"InnerType":"DINT",)"
                              R"("DataLen":4},{"Alias":"C","Offset":4}])"),
                        2))
        << lastMessage;
    EXPECT_EQ(", but failed subtags - \"B\", \"C\"", lastMessage);
    auto subs = rec.CreatedSubTags("In1");
    ASSERT_EQ(2u, subs.size());
    EXPECT_EQ("Data", subs[0].alias);
    EXPECT_EQ(8, subs[0].dataLen);
    EXPECT_EQ("A", subs[1].alias);
    std::string text;
    ASSERT_EQ(0, device->ExportTags(2, text));
    EXPECT_EQ(
        "[{\"Tag Alias\":\"In1\", \"Tag Name\":\"In1\", \"OutputType\":\"DEFAULT\", "
        "\"RW Flag\":\"I\", \"DataLen\":8, \"Description\":\"\"\n,\"Subtags\":[{\"Alias\":\"A\", "
        "\"Offset\":0, \"InnerType\":\"INT\", \"DataLen\":2}]}]",
        text);
    EXPECT_EQ(0, device->AddSubTag("In1", {"S", 2, kInnerTypeInt, 2}, true));
    EXPECT_NE(0, device->AddSubTag("Nope", {"S", 0, kInnerTypeInt, 2}, true));
    EXPECT_EQ(0, device->EditSubTag("In1", "S", {"S2", 4, kInnerTypeDint, 4}, true));
    EXPECT_EQ((std::vector<std::string>{"S", "S2"}), rec.Events("subCreated"));
    EXPECT_EQ((std::vector<std::string>{"S"}), rec.Events("subRemoved"));
    ASSERT_EQ(0, device->RemoveTag(Json(R"({"Tag Alias":" In1 ","Subtags":["A","Z"]})"), 2,
                                   lastAlias, lastMessage));
    EXPECT_EQ(", but failed subtags - \"Z\"", lastMessage);
    EXPECT_EQ((std::vector<std::string>{"S", "A"}), rec.Events("subRemoved"));
    // An edit that shrinks the data keeps only the subtags that still fit.
    ASSERT_EQ(0, EditTag(device, R"({"Tag Alias":"In1","DataLen":4})", 2));
    EXPECT_EQ(", but failed subtags - \"S2\"", lastMessage);
    auto tag = device->FindTagByAlias("In1", 2);
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(4, tag->GetSubTagInfo("Data").dataLen);
    EXPECT_EQ(0, tag->GetSubTagInfo("Data").offset);
    EXPECT_EQ("", tag->GetSubTagInfo("S2").alias);
}

TEST_F(DeviceTagsTest, PersistedTagsAreReplayedOnceAndResumePolling) {
    using kestrel::strata_sdk::NodePath;
    const NodePath list("/PLC1/EM Tags/Read Tags List");
    device->AddPersistenceTagStr(list / "Cnt", R"({"Tag Alias":"Cnt","Tag Name":"Count"})");
    device->AddPersistenceTagStr(list / "Cnt", R"({"Tag Alias":"Cnt","Tag Name":"Speed"})");
    device->AddPersistenceTagStr(list / "Broken", "{not json");
    device->AddPersistenceTagStr(list / "Ghost", R"({"Tag Alias":"Ghost","Tag Name":"Gone"})");
    device->AddPersistenceTagStr(NodePath("/PLC1/IO Tags/In1"), IOTag("In1", 8));
    device->AddPersistenceSubTagStr(NodePath("/PLC1/IO Tags/In1/A"), {"A", 2, kInnerTypeInt, 2});
    device->AddPersistenceSubTagStr(NodePath("/PLC1/IO Tags/In1/Data"),
                                    {"Data", 0, kInnerTypeSint, 8});
    device->SetExplicitPollingState(10, false);
    device->CreatePersistenceTag();
    auto cnt = device->FindTagByAlias("Cnt", 1);
    ASSERT_NE(cnt, nullptr);
    EXPECT_EQ("Count", cnt->GetInfo().tagName);
    // A stored tag the PLC does not know is kept, untested, and says why.
    auto ghost = device->FindTagByAlias("Ghost", 1);
    ASSERT_NE(ghost, nullptr);
    EXPECT_FALSE(ghost->IsTested());
    EXPECT_EQ("Could not find Tag from PLC.", rec.Status("Ghost"));
    EXPECT_EQ(nullptr, device->FindTagByAlias("Broken", 1));
    EXPECT_TRUE(log.Contains("Failed to parse persistence tag: {not json"));
    auto in1 = device->FindTagByAlias("In1", 2);
    ASSERT_NE(in1, nullptr);
    EXPECT_EQ(2, in1->GetSubTagInfo("A").offset);
    EXPECT_EQ(0, device->GetExplicitPollingStopped());
    EXPECT_TRUE(WaitUntil([&] { return rec.Value("Cnt") == Dint(7); }));
    const size_t created = rec.Events("created").size();
    device->CreatePersistenceTag();
    EXPECT_EQ(created, rec.Events("created").size());
}

}  // namespace
}  // namespace tb_device_test
