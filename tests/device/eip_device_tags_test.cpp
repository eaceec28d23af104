// Device tag operations: add, edit, remove, write, reset, subtags, export and
// persistence, with the messages a user sees.

#include <gtest/gtest.h>

#include "device_fixture.h"
#include "strata_sdk/sdk.h"

namespace tb_device_test {
namespace {

class DeviceTagsTest : public DeviceFixture {
  protected:
    void SetUp() override {
        DeviceFixture::SetUp();
        plc.Define("Count", "DINT", 7);
        plc.Define("Speed", "REAL", 1.5);
        plc.Define("Motor1", "MOTOR");
        plc.Define("Label", "STRING", "abc");
        device = AddPlc();
        ASSERT_NE(device, nullptr);
    }
    std::string IOTag(const std::string& alias, int dataLen, const std::string& extra = "") {
        return "{\"Tag Alias\":\"" + alias + "\",\"Tag Name\":\"" + alias +
               "\",\"DataLen\":" + std::to_string(dataLen) + extra + "}";
    }

    EipDevice* device = nullptr;
};

TEST_F(DeviceTagsTest, AddedTagLearnsItsTypeAndLengthFromThePlc) {
    ASSERT_EQ(0, AddEMTag(device, "Cnt", "Count"));
    EXPECT_EQ("Cnt", lastAlias);
    EXPECT_EQ("", lastMessage);
    EipTag* tag = device->FindTagByAlias("Cnt", 1);
    ASSERT_NE(tag, nullptr);
    EXPECT_TRUE(tag->IsTested());
    EXPECT_EQ(EIP_INNER_TYPE_DINT, tag->GetInfo().innerType);
    EXPECT_EQ(4, tag->GetInfo().dataLen);
    ASSERT_EQ(1u, rec.Created().size());
    EXPECT_EQ("Cnt", rec.Created()[0].alias);
    EXPECT_TRUE(device->IsTagAliasExist("Cnt", 1));
    EXPECT_FALSE(device->IsTagAliasExist("Cnt", 2));
}

TEST_F(DeviceTagsTest, AddingAnAliasTwiceIsRefused) {
    ASSERT_EQ(0, AddEMTag(device, "Cnt", "Count"));
    EXPECT_NE(0, AddEMTag(device, "Cnt", "Speed"));
    EXPECT_EQ("Inserted \"Tag Alias\" already exists", lastMessage);
    EXPECT_EQ("Cnt", lastAlias);
    EXPECT_NE(0, AddEMTag(device, "Cnt2", "Count"));
    EXPECT_EQ("Inserted \"Tag Name\" already exists", lastMessage);
    EXPECT_EQ(1u, rec.Created().size());
}

TEST_F(DeviceTagsTest, AddFailuresCarryTheirMessages) {
    EXPECT_NE(0, AddTag(device, R"({"Tag Name":"Count"})"));
    EXPECT_EQ("\"Tag Alias\" not inserted.", lastMessage);
    EXPECT_EQ("Unknown", lastAlias);
    EXPECT_NE(0, AddTag(device, R"(["not", "a map"])"));
    EXPECT_EQ("Invalid json format.", lastMessage);
    EXPECT_NE(0, AddTag(device, R"({"Tag Alias":"A","Tag Name":"Count","RW Flag":"RX"})"));
    EXPECT_EQ("Invalid \"RW Flag\"", lastMessage);
    EXPECT_NE(0, AddEMTag(device, "Bad", "9Count["));
    EXPECT_EQ("Invalid \"Tag Name\" format.", lastMessage);
    EXPECT_NE(0, AddEMTag(device, "Ghost", "NoSuchTag"));
    EXPECT_EQ("Could not find Tag from PLC.", lastMessage);
    EXPECT_EQ(nullptr, device->FindTagByAlias("Ghost", 1));
    EXPECT_TRUE(rec.Created().empty());
}

TEST_F(DeviceTagsTest, RestoredTagUnknownToThePlcIsKeptUntested) {
    ASSERT_EQ(0, AddTag(device, R"({"Tag Alias":"Ghost","Tag Name":"NoSuchTag"})", 1, true));
    EipTag* tag = device->FindTagByAlias("Ghost", 1);
    ASSERT_NE(tag, nullptr);
    EXPECT_FALSE(tag->IsTested());
}

TEST_F(DeviceTagsTest, UserStructureDropsItsWriteBitAndSaysSo) {
    ASSERT_EQ(0, AddEMTag(device, "M", "Motor1"));
    EXPECT_EQ("struct (currently supporting raw data only)", lastMessage);
    EipTag* tag = device->FindTagByAlias("M", 1);
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(EIP_RW_FLAG_READ, tag->GetInfo().rwFlag);
    EXPECT_EQ(EIP_INNER_TYPE_STRUCTURE, tag->GetInfo().innerType);
}

TEST_F(DeviceTagsTest, WritesReachThePlcAndRefusalsAreExplained) {
    ASSERT_EQ(0, AddEMTag(device, "Cnt", "Count"));
    ASSERT_EQ(0, AddEMTag(device, "Spd", "Speed", "R"));
    ASSERT_EQ(0, WriteTag(device, R"({"Tag Alias":"Cnt","value":123456})")) << lastMessage;
    EXPECT_EQ(123456, plc.Tags().GetInt("Count").value_or(0));
    std::string message;
    auto test = TestConnection(device);
    ASSERT_EQ(0, device->WriteTagByAlias(test.get(), "Cnt", Json("-2"), 1, message)) << message;
    EXPECT_EQ(-2, plc.Tags().GetInt("Count").value_or(0));
    EXPECT_NE(0, WriteTag(device, R"({"Tag Alias":"Spd","value":2.5})"));
    EXPECT_EQ("Tag is not writeable", lastMessage);
    EXPECT_NE(0, WriteTag(device, R"({"Tag Alias":"Cnt","value":1.5})"));
    EXPECT_EQ("Invalid \"value\" format.", lastMessage);
    EXPECT_NE(0, WriteTag(device, R"({"Tag Alias":"Nope","value":1})"));
    EXPECT_EQ("Tag does not exist.", lastMessage);
    EXPECT_NE(0, WriteTag(device, R"({"value":1})"));
    EXPECT_EQ("\"Tag Alias\" not inserted.", lastMessage);
    EXPECT_NE(0, WriteTag(device, R"({"Tag Alias":"Cnt"})"));
    EXPECT_EQ("Invalid json format.", lastMessage);
    EXPECT_NE(0, device->WriteTagByAlias(nullptr, "Cnt", Json("5"), 1, message));
    EXPECT_EQ("Writing Tag failed.", message);
    EXPECT_EQ(-2, plc.Tags().GetInt("Count").value_or(0));
}

TEST_F(DeviceTagsTest, IOTagGetsADataSubtagAndItsListedSubtags) {
    ASSERT_EQ(0,
              AddTag(device,
                     IOTag("In1", 8,
                           R"(,"Subtags":[{"Alias":"A","Offset":0,"InnerType":"INT","DataLen":2},)"
                           R"({"Alias":"B","Offset":6,"InnerType":"DINT","DataLen":4},)"
                           R"({"Alias":"C","Offset":4}])"),
                     2))
        << lastMessage;
    EXPECT_EQ(", but failed subtags - \"B\", \"C\"", lastMessage);
    auto subs = rec.CreatedSubTags("In1");
    ASSERT_EQ(2u, subs.size());
    EXPECT_EQ("Data", subs[0].alias);
    EXPECT_EQ(8, subs[0].dataLen);
    EXPECT_EQ(EIP_INNER_TYPE_SINT, subs[0].innerType);
    EXPECT_EQ("A", subs[1].alias);
    EipTag* tag = device->FindTagByAlias("In1", 2);
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(EIP_RW_FLAG_IO, tag->GetInfo().rwFlag);
    EXPECT_EQ(EIP_INNER_TYPE_SINT, tag->GetInfo().innerType);
}

TEST_F(DeviceTagsTest, SubtagOperationsNotifyTheTreeAndKeepDataFixed) {
    ASSERT_EQ(0, AddTag(device, IOTag("In1", 8), 2)) << lastMessage;
    EXPECT_EQ(0, device->AddSubTag("In1", {"S", 0, EIP_INNER_TYPE_INT, 2}, true));
    EXPECT_NE(0, device->AddSubTag("In1", {"S", 0, EIP_INNER_TYPE_INT, 2}, true));
    EXPECT_NE(0, device->AddSubTag("In1", {"Far", 6, EIP_INNER_TYPE_DINT, 4}, true));
    EXPECT_NE(0, device->AddSubTag("Nope", {"S", 0, EIP_INNER_TYPE_INT, 2}, true));
    EXPECT_TRUE(log.Contains("PLC1: Tag alias does not exist - Nope"));
    EXPECT_EQ(0, device->EditSubTag("In1", "S", {"S2", 2, EIP_INNER_TYPE_DINT, 4}, true));
    EXPECT_EQ(0, device->EditSubTag("In1", "Data", {"Data", 1, EIP_INNER_TYPE_INT, 2}, true));
    EXPECT_EQ(0, device->RemoveSubTag("In1", "Data", true));
    EXPECT_NE(0, device->RemoveSubTag("In1", "S", true));
    EXPECT_EQ(0, device->RemoveSubTag("In1", "S2", true));
    EXPECT_EQ((std::vector<std::string>{"S", "S2"}), rec.SubCreated());
    EXPECT_EQ((std::vector<std::string>{"S", "S2"}), rec.SubRemoved());
    EipTag* tag = device->FindTagByAlias("In1", 2);
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(8, tag->GetSubTagInfo("Data").dataLen);
    EXPECT_EQ(0, tag->GetSubTagInfo("Data").offset);
}

TEST_F(DeviceTagsTest, ImportSubtagsAddsTheValidOnesAndReportsFailure) {
    ASSERT_EQ(0, AddTag(device, IOTag("In1", 8), 2)) << lastMessage;
    std::string message;
    EXPECT_NE(0, device->ImportSubTags("In1", Json("{}"), message));
    EXPECT_EQ("Invalid json format.", message);
    EXPECT_EQ(0, device->ImportSubTags("In1", Json("[]"), message));
    EXPECT_NE(
        0,
        device->ImportSubTags(
            "In1", Json(R"([{"Alias":"A","Offset":0,"InnerType":"INT","DataLen":2},{"Offset":2}])"),
            message));
    EXPECT_EQ("Importing Subtag failed.", message);
    EXPECT_EQ(0, device->ImportSubTags(
                     "In1", Json(R"([{"Alias":"B","Offset":2,"InnerType":"DINT","DataLen":4}])"),
                     message));
    std::string text;
    ASSERT_EQ(0, device->ExportSubTags("In1", text));
    EXPECT_EQ(
        "[{\"Alias\":\"A\", \"Offset\":0, \"InnerType\":\"INT\", \"DataLen\":2},\n"
        "{\"Alias\":\"B\", \"Offset\":2, \"InnerType\":\"DINT\", \"DataLen\":4}]",
        text);
}

TEST_F(DeviceTagsTest, ExportSubtagsExplainsMissingTagsAndSubtags) {
    ASSERT_EQ(0, AddTag(device, IOTag("In1", 8), 2)) << lastMessage;
    std::string text;
    EXPECT_EQ(-1, device->ExportSubTags("Nope", text));
    EXPECT_EQ("Tag does not exist.", text);
    EXPECT_EQ(-1, device->ExportSubTags("In1", text));
    EXPECT_EQ("Subtags does not exist.", text);
}

TEST_F(DeviceTagsTest, ExportTagsWritesTheDocumentedText) {
    std::string text;
    EXPECT_EQ(-1, device->ExportTags(1, text));
    EXPECT_EQ("Tag does not exist.", text);
    ASSERT_EQ(0,
              AddTag(device, R"({"Tag Alias":"Cnt","Tag Name":"Count","Description":"counter"})"));
    ASSERT_EQ(0, AddEMTag(device, "Spd", "Speed", "R"));
    ASSERT_EQ(0, device->ExportTags(1, text));
    EXPECT_EQ(
        "[{\"Tag Alias\":\"Cnt\", \"Tag Name\":\"Count\", \"OutputType\":\"DEFAULT\", \"RW "
        "Flag\":\"RW\", "
        "\"DataLen\":4, \"Description\":\"counter\"},\n"
        "{\"Tag Alias\":\"Spd\", \"Tag Name\":\"Speed\", \"OutputType\":\"DEFAULT\", \"RW "
        "Flag\":\"R_\", "
        "\"DataLen\":4, \"Description\":\"\"}]",
        text);
    ASSERT_EQ(
        0, AddTag(device,
                  IOTag("In1", 4,
                        R"(,"Subtags":[{"Alias":"A","Offset":0,"InnerType":"INT","DataLen":2}])"),
                  2));
    ASSERT_EQ(0, device->ExportTags(2, text));
    EXPECT_EQ(
        "[{\"Tag Alias\":\"In1\", \"Tag Name\":\"In1\", \"OutputType\":\"DEFAULT\", \"RW "
        "Flag\":\"I\", "
        "\"DataLen\":4, \"Description\":\"\"\n,\"Subtags\":[{\"Alias\":\"A\", \"Offset\":0, "
        "\"InnerType\":\"INT\", \"DataLen\":2}]}]",
        text);
}

TEST_F(DeviceTagsTest, RemoveTagRemovesTagsOrSubtagsWithItsMessages) {
    ASSERT_EQ(0, AddEMTag(device, "Cnt", "Count"));
    ASSERT_EQ(
        0, AddTag(device,
                  IOTag("In1", 8,
                        R"(,"Subtags":[{"Alias":"A","Offset":0,"InnerType":"INT","DataLen":2}])"),
                  2));
    std::string alias, message;
    EXPECT_NE(0, device->RemoveTag(Json("[1]"), 1, alias, message));
    EXPECT_EQ("Invalid json format.", message);
    EXPECT_NE(0, device->RemoveTag(Json("{}"), 1, alias, message));
    EXPECT_EQ("\"Tag Alias\" not inserted.", message);
    EXPECT_NE(0, device->RemoveTag(Json(R"({"Tag Alias":"Nope"})"), 1, alias, message));
    EXPECT_EQ("Removing Tag failed.", message);
    EXPECT_EQ(0, device->RemoveTag(Json(R"({"Tag Alias":"In1","Subtags":["A","Z"]})"), 2, alias,
                                   message));
    EXPECT_EQ(", but failed subtags - \"Z\"", message);
    EXPECT_EQ((std::vector<std::string>{"A"}), rec.SubRemoved());
    EXPECT_EQ(0, device->RemoveTag(Json(R"({"Tag Alias":" Cnt "})"), 1, alias, message));
    EXPECT_EQ("Cnt", alias);
    EXPECT_EQ(nullptr, device->FindTagByAlias("Cnt", 1));
    EXPECT_EQ((std::vector<std::string>{"Cnt"}), rec.Removed());
}

TEST_F(DeviceTagsTest, EditTagReplacesTheTagAndRefusesDuplicates) {
    ASSERT_EQ(0, AddEMTag(device, "Cnt", "Count"));
    ASSERT_EQ(0, AddEMTag(device, "Spd", "Speed"));
    EXPECT_NE(0, EditTag(device, R"({"Tag Alias":"Nope","Tag Name":"Count"})"));
    EXPECT_EQ("Tag does not exist.", lastMessage);
    EXPECT_NE(0, EditTag(device, R"({"Tag Name":"Count"})"));
    EXPECT_EQ("\"Tag Alias\" not inserted.", lastMessage);
    EXPECT_NE(0, EditTag(device, R"({"Tag Alias":"Cnt","New Tag Alias":"Spd"})"));
    EXPECT_EQ("Inserted \"New Tag Alias\" already exists", lastMessage);
    EXPECT_NE(0, EditTag(device, R"({"Tag Alias":"Cnt","Tag Name":"Speed"})"));
    EXPECT_EQ("Inserted \"Tag Name\" already exists", lastMessage);
    ASSERT_EQ(0,
              EditTag(device, R"({"Tag Alias":"Cnt","New Tag Alias":"Counter","Description":"d"})"))
        << lastMessage;
    EXPECT_EQ(nullptr, device->FindTagByAlias("Cnt", 1));
    EipTag* tag = device->FindTagByAlias("Counter", 1);
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ("Count", tag->GetInfo().tagName);
    EXPECT_EQ("d", tag->GetInfo().description);
    EXPECT_EQ(EIP_RW_FLAG_DEFAULT_EM, tag->GetInfo().rwFlag);
    EXPECT_EQ((std::vector<std::string>{"Cnt"}), rec.Removed());
    EXPECT_EQ("Counter", rec.Created().back().alias);
}

TEST_F(DeviceTagsTest, EditOfAnIOTagKeepsTheSubtagsThatStillFit) {
    ASSERT_EQ(0,
              AddTag(device,
                     IOTag("In1", 8,
                           R"(,"Subtags":[{"Alias":"A","Offset":0,"InnerType":"INT","DataLen":2},)"
                           R"({"Alias":"B","Offset":4,"InnerType":"DINT","DataLen":4}])"),
                     2));
    ASSERT_EQ(0, EditTag(device, R"({"Tag Alias":"In1","DataLen":4})", 2));
    EXPECT_EQ(", but failed subtags - \"B\"", lastMessage);
    EipTag* tag = device->FindTagByAlias("In1", 2);
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(4, tag->GetSubTagInfo("Data").dataLen);
    EXPECT_EQ("A", tag->GetSubTagInfo("A").alias);
    EXPECT_EQ("", tag->GetSubTagInfo("B").alias);
}

TEST_F(DeviceTagsTest, ResetTagRemovesEveryTagOfTheKind) {
    ASSERT_EQ(0, AddEMTag(device, "Cnt", "Count"));
    ASSERT_EQ(0, AddEMTag(device, "Spd", "Speed"));
    ASSERT_EQ(0, AddTag(device, IOTag("In1", 8), 2));
    EXPECT_EQ(0, device->ResetTag(1));
    EXPECT_TRUE(device->ListTagInfos(1).empty());
    EXPECT_EQ(1u, device->ListTagInfos(2).size());
    EXPECT_EQ((std::vector<std::string>{"Cnt", "Spd"}), rec.Removed());
}

TEST_F(DeviceTagsTest, PersistedTagsAreReplayedOnceTheDeviceIsConnected) {
    using kestrel::strata_sdk::NodePath;
    const NodePath list("/PLC1/EM Tags/Read Tags List");
    device->AddPersistenceTagStr(list / "Cnt", R"({"Tag Alias":"Cnt","Tag Name":"Count"})");
    device->AddPersistenceTagStr(list / "Cnt", R"({"Tag Alias":"Cnt","Tag Name":"Speed"})");
    device->AddPersistenceTagStr(list / "Broken", "{not json");
    device->AddPersistenceTagStr(list / "Ghost", R"({"Tag Alias":"Ghost","Tag Name":"Gone"})");
    device->AddPersistenceTagStr(NodePath("/PLC1/IO Tags/In1"), IOTag("In1", 8));
    device->AddPersistenceSubTagStr(NodePath("/PLC1/IO Tags/In1/A"),
                                    {"A", 2, EIP_INNER_TYPE_INT, 2});
    device->AddPersistenceSubTagStr(NodePath("/PLC1/IO Tags/In1/Data"),
                                    {"Data", 0, EIP_INNER_TYPE_SINT, 8});
    device->CreatePersistenceTag();
    EipTag* cnt = device->FindTagByAlias("Cnt", 1);
    ASSERT_NE(cnt, nullptr);
    EXPECT_EQ("Count", cnt->GetInfo().tagName);
    EXPECT_NE(device->FindTagByAlias("Ghost", 1), nullptr);
    EXPECT_EQ("Could not find Tag from PLC.", rec.Status("Ghost"));
    EXPECT_EQ(nullptr, device->FindTagByAlias("Broken", 1));
    EXPECT_TRUE(log.Contains("Failed to parse persistence tag: {not json"));
    EipTag* in1 = device->FindTagByAlias("In1", 2);
    ASSERT_NE(in1, nullptr);
    EXPECT_EQ(2, in1->GetSubTagInfo("A").offset);
    // Replayed once: a second call finds nothing left to add.
    const size_t created = rec.Created().size();
    device->CreatePersistenceTag();
    EXPECT_EQ(created, rec.Created().size());
}

TEST_F(DeviceTagsTest, PersistedPollingIntervalResumesPolling) {
    ASSERT_EQ(0, AddEMTag(device, "Cnt", "Count"));
    device->SetEMPollingState(10, false);
    device->CreatePersistenceTag();
    EXPECT_EQ(0, device->GetEMPollingStopped());
    EXPECT_TRUE(WaitUntil([&] { return rec.Value("Cnt") == Dint(7); }));
}

}  // namespace
}  // namespace tb_device_test
