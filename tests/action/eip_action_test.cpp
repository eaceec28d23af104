// The broker actions end to end: each test invokes actions through the SDK, exactly as the HTTP
// front does, against a link wired as the process wires it and an in-process Logix controller.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "action/eip_action.h"
#include "action/link_errors.h"
#include "device/device_test_support.h"
#include "device/eip_manager.h"
#include "device/link_harness.h"
#include "link/eip_link.h"
#include "node/eip_node.h"
#include "strata_sdk/sdk.h"
#include "support/action_link.h"
#include "support/node_config.h"

namespace sdk = kestrel::strata_sdk;
using tb_device_test::SimPlc;
using tb_device_test::WaitUntil;
using namespace std::chrono_literals;

namespace {

std::string Msg(int code) {
    return link_error::Message(code);
}

using tb_test::CapturingStream;

sdk::Variant Interval(int64_t ms) {
    sdk::Variant params = sdk::Variant::new_map();
    params["Interval(ms)"] = ms;
    return params;
}

sdk::Variant Listen(int64_t ms, int64_t udpPort) {
    sdk::Variant params = Interval(ms);
    params["UDP Port"] = udpPort;
    return params;
}

class ActionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(plc.Started());
        plc.Define("Counter", "DINT", 5);
        plc.Define("Level", "REAL", 1.5);
        plc.Define("Small", "SINT", 1);
        plc.Define("Word", "INT", 2);
        plc.Define("Flag", "BOOL", false);
        plc.Define("Name", "STRING", "pump");
        plc.Define("Other", "DINT", 7);

        ASSERT_TRUE(actions.Ready());
        link = &actions.Link();
    }

    bool Exists(const std::string& path) { return actions.Exists(path); }
    sdk::InvokeResult Invoke(const std::string& actionPath, const sdk::Variant& params) {
        return actions.InvokeWith(actionPath, params);
    }
    sdk::InvokeResult Invoke(const std::string& actionPath, const char* jsonParams = "{}") {
        return actions.Invoke(actionPath, jsonParams);
    }

    // The single row of a values result: [success, message].
    std::pair<bool, std::string> Values(const sdk::InvokeResult& result) {
        if (result.rows.size() != 1 || result.rows[0].size() != 2) {
            ADD_FAILURE() << "expected one row of two values, got " << result.rows.size();
            return {false, ""};
        }
        const auto& row = result.rows[0];
        return {row[0].as_bool(), row[1].is_string() ? row[1].as_string() : ""};
    }

    std::vector<std::pair<std::string, std::string>> Table(const sdk::InvokeResult& result) {
        std::vector<std::pair<std::string, std::string>> table;
        for (const auto& row : result.rows) {
            EXPECT_EQ(2u, row.size());
            if (row.size() == 2) {
                table.emplace_back(row[0].as_string(), row[1].as_string());
            }
        }
        return table;
    }

    sdk::Variant AddPlcParams(const std::string& alias = "PLC1") {
        sdk::Variant params = sdk::Variant::new_map();
        params["Alias"] = alias;
        params["Host"] = "127.0.0.1";
        params["Port"] = static_cast<int64_t>(plc.Sim().Port());
        return params;
    }

    // Adds PLC1 and waits for the action set of a stopped PLC.
    bool AddPlc() {
        auto [ok, text] = Values(Invoke("/addplc", AddPlcParams()));
        EXPECT_EQ("success!", text);
        return ok && WaitUntil([this] { return Exists("/PLC1/EM Tags/Start Polling"); }) &&
               WaitUntil([this] { return Exists("/PLC1/IO Tags/Start Listening"); });
    }

    sdk::Variant NodeValue(const std::string& path) {
        auto node = link->broker().node_info(sdk::NodePath(path));
        return node ? node->value : sdk::Variant("<no node>");
    }
    sdk::Variant Config(const std::string& path, const std::string& key) {
        return tb_test::NodeConfig(link->broker(), sdk::NodePath(path), key);
    }

    // The aliases Export Tags lists for a folder (none when it answers a failure).
    std::set<std::string> ExportedAliases(const std::string& folder) {
        auto [ok, text] = Values(Invoke("/PLC1/" + folder + "/Export Tags"));
        std::set<std::string> aliases;
        const sdk::Variant tags = ok ? sdk::json::from_json_string(text) : sdk::Variant();
        if (ok) {
            for (const auto& tag : tags.as_array()) {
                aliases.insert(tag.at("Tag Alias").as_string());
            }
        }
        return aliases;
    }

    sdk::InvokeResult TagsAction(const std::string& folderAction, const std::string& tagsJson) {
        sdk::Variant params = sdk::Variant::new_map();
        params["Tags(json)"] = tagsJson;
        return Invoke("/PLC1/" + folderAction, params);
    }

    tb_device_test::LogCapture log;
    SimPlc plc;
    tb_test::ActionLink actions;
    sdk::Link* link = nullptr;
};

// ---- Add PLC and Remove ------------------------------------------------------------------------

using Row = std::pair<std::string, std::string>;
using Rows = std::vector<Row>;
const std::pair<bool, std::string> kSuccess{true, "success!"};

// Bad parameters create nothing; a good Add PLC makes a stopped Logix PLC in slot 0 by
// default; adding it twice keeps the first device working.
TEST_F(ActionTest, AddPlcChecksItsParametersAndKeepsTheFirstDevice) {
    auto without = [this](const char* key) {
        sdk::Variant params = AddPlcParams();
        params.as_map().erase(key);
        return params;
    };
    sdk::Variant blankAlias = AddPlcParams();
    blankAlias["Alias"] = "   ";
    // Nothing listens on the standard port here: the default port is refused.
    const std::pair<sdk::Variant, std::string> cases[] = {{blankAlias, Msg(10010)},
                                                          {without("Alias"), Msg(10010)},
                                                          {without("Host"), Msg(10011)},
                                                          {without("Port"), Msg(10012)}};
    for (const auto& [params, reason] : cases) {
        EXPECT_EQ(std::make_pair(false, reason), Values(Invoke("/addplc", params)));
    }
    sdk::InvokeResult notAMap =
        link->broker().invoke_and_wait(sdk::NodePath("/addplc"), sdk::Variant("text"));
    EXPECT_NE(std::string::npos, notAMap.error_text.find("not a map")) << notAMap.error_text;
    link->broker().wait_idle();
    EXPECT_FALSE(Exists("/PLC1"));

    ASSERT_TRUE(AddPlc());
    EXPECT_EQ(Config("/PLC1", "$slot"), sdk::Variant(0));
    EXPECT_EQ(Config("/PLC1", "$protocol family"), sdk::Variant("CIP/EIP"));
    EXPECT_EQ(std::make_pair(false, Msg(10012)), Values(Invoke("/addplc", AddPlcParams())));
    EXPECT_EQ((Rows{{"c", "success!"}}),
              Table(TagsAction("EM Tags/Add Tags", R"({"Tag Alias":"c","Tag Name":"Counter"})")));
}

// Remove answers nothing, takes the node and frees the alias, also while polling runs.
TEST_F(ActionTest, RemovePlcDropsTheDeviceAndTheNodeWithoutAnswering) {
    for (bool polling : {false, true}) {
        ASSERT_TRUE(AddPlc());
        if (polling) {
            TagsAction("EM Tags/Add Tags", R"({"Tag Alias":"c","Tag Name":"Counter"})");
            EXPECT_EQ(kSuccess, Values(Invoke("/PLC1/EM Tags/Start Polling", Interval(10))));
            ASSERT_TRUE(WaitUntil([this] { return Exists("/PLC1/EM Tags/Stop Polling"); }));
        }
        EXPECT_TRUE(Invoke("/PLC1/Remove").rows.empty());
        EXPECT_TRUE(WaitUntil([this] { return !Exists("/PLC1"); }));
    }
}

// Add PLC answers once the PLC's nodes and actions exist: an Add Tags sent at once finds its
// action.
TEST_F(ActionTest, AddTagsRightAfterAddPlcFindsItsAction) {
    for (int i = 0; i < 100; ++i) {
        const std::string alias = "P" + std::to_string(i);
        ASSERT_EQ(kSuccess, Values(Invoke("/addplc", AddPlcParams(alias)))) << alias;
        sdk::Variant params = sdk::Variant::new_map();
        params["Tags(json)"] = R"({"Tag Alias":"c","Tag Name":"Counter"})";
        ASSERT_EQ((Rows{{"c", "success!"}}),
                  Table(Invoke("/" + alias + "/EM Tags/Add Tags", params)))
            << alias;
        Invoke("/" + alias + "/Remove");
    }
}

// ---- tag lists ---------------------------------------------------------------------------------

TEST_F(ActionTest, AddTagsReportsEveryElementAndGoesOnAfterAFailure) {
    ASSERT_TRUE(AddPlc());
    EXPECT_EQ((Rows{{"c", "success!"}, {"missing", Msg(10014)}, {"l", "success!"}}),
              Table(TagsAction("EM Tags/Add Tags", R"([
        {"Tag Alias":"c","Tag Name":"Counter"},
        {"Tag Alias":"missing","Tag Name":"NoSuchTag"},
        {"Tag Alias":"l","Tag Name":"Level","RW Flag":"R_"}])")));
    // The read and the write node of a tag are created one after the other.
    EXPECT_TRUE(WaitUntil([this] { return Exists("/PLC1/EM Tags/Read Tags List/c"); }));
    EXPECT_TRUE(WaitUntil([this] { return Exists("/PLC1/EM Tags/Write Tags List/c"); }));
    EXPECT_TRUE(WaitUntil([this] { return Exists("/PLC1/EM Tags/Read Tags List/l"); }));
    EXPECT_FALSE(Exists("/PLC1/EM Tags/Write Tags List/l"));
    EXPECT_EQ((Rows{{"c", Msg(10025)}}),
              Table(TagsAction("EM Tags/Add Tags", R"({"Tag Alias":"c","Tag Name":"Other"})")));
}

TEST_F(ActionTest, TagListFailuresBeforeTheElementsGiveOneFailRow) {
    ASSERT_TRUE(AddPlc());
    EXPECT_EQ((Rows{{"fail!", Msg(10016)}}), Table(TagsAction("EM Tags/Add Tags", "not json")));
    EXPECT_EQ((Rows{{"fail!", Msg(10016)}}), Table(TagsAction("EM Tags/Add Tags", "3")));
    EXPECT_EQ((Rows{{"fail!", Msg(10017)}}), Table(Invoke("/PLC1/EM Tags/Add Tags")));
    EXPECT_EQ((Rows{{"Unknown", Msg(10018)}}),
              Table(TagsAction("EM Tags/Remove Tags", R"({"Tag Name":"Counter"})")));
}

TEST_F(ActionTest, EditTagsRenamesRetargetsAndRefusesDuplicates) {
    ASSERT_TRUE(AddPlc());
    TagsAction("EM Tags/Add Tags", R"([{"Tag Alias":"a","Tag Name":"Counter"},
                                       {"Tag Alias":"b","Tag Name":"Other"}])");
    const std::pair<const char*, std::string> edits[] = {
        {R"({"Tag Alias":"a","New Tag Alias":"a2"})", "success!"},
        {R"({"Tag Alias":"a2","Tag Name":"Word"})", "success!"},
        {R"({"Tag Alias":"a2","New Tag Alias":"b"})", Msg(10023)},
        {R"({"Tag Alias":"a2","Tag Name":"Other"})", Msg(10024)},
        {R"({"Tag Alias":"zz","Tag Name":"Level"})", Msg(10015)},
    };
    for (const auto& [edit, answer] : edits) {
        auto table = Table(TagsAction("EM Tags/Edit Tags", edit));
        ASSERT_EQ(1u, table.size()) << edit;
        EXPECT_EQ(answer, table[0].second) << edit;
    }
    EXPECT_TRUE(WaitUntil([this] { return Exists("/PLC1/EM Tags/Read Tags List/a2"); }));
    EXPECT_TRUE(WaitUntil([this] { return !Exists("/PLC1/EM Tags/Read Tags List/a"); }));
    EXPECT_EQ((std::set<std::string>{"a2", "b"}), ExportedAliases("EM Tags"));
}

TEST_F(ActionTest, RemoveAndResetTagsEmptyTheFolder) {
    ASSERT_TRUE(AddPlc());
    TagsAction("EM Tags/Add Tags", R"([{"Tag Alias":"a","Tag Name":"Counter"},
                                       {"Tag Alias":"b","Tag Name":"Other"},
                                       {"Tag Alias":"c","Tag Name":"Level"}])");
    EXPECT_EQ(
        (Rows{{"a", "success!"}, {"zz", Msg(10037)}}),
        Table(TagsAction("EM Tags/Remove Tags", R"([{"Tag Alias":"a"},{"Tag Alias":"zz"}])")));
    EXPECT_EQ((std::set<std::string>{"b", "c"}), ExportedAliases("EM Tags"));
    EXPECT_TRUE(WaitUntil([this] { return !Exists("/PLC1/EM Tags/Read Tags List/a"); }));

    EXPECT_TRUE(Invoke("/PLC1/EM Tags/Reset Tags").rows.empty());
    EXPECT_EQ(std::make_pair(false, Msg(10015)), Values(Invoke("/PLC1/EM Tags/Export Tags")));
    EXPECT_TRUE(WaitUntil([this] { return !Exists("/PLC1/EM Tags/Read Tags List/c"); }));
}

TEST_F(ActionTest, ExportTagsWritesTheTagsByteForByte) {
    ASSERT_TRUE(AddPlc());
    EXPECT_EQ(std::make_pair(false, Msg(10015)), Values(Invoke("/PLC1/EM Tags/Export Tags")));
    TagsAction("EM Tags/Add Tags", R"([{"Tag Alias":"b","Tag Name":"Other","Description":"second"},
                                       {"Tag Alias":"a","Tag Name":"Counter","RW Flag":"R_"}])");
    auto [ok, text] = Values(Invoke("/PLC1/EM Tags/Export Tags"));
    EXPECT_TRUE(ok);
    EXPECT_EQ(
        "[{\"Tag Alias\":\"a\", \"Tag Name\":\"Counter\", \"OutputType\":\"DEFAULT\", "
        "\"RW Flag\":\"R_\", \"DataLen\":4, \"Description\":\"\"},\n"
        "{\"Tag Alias\":\"b\", \"Tag Name\":\"Other\", \"OutputType\":\"DEFAULT\", "
        "\"RW Flag\":\"RW\", \"DataLen\":4, \"Description\":\"second\"}]",
        text);
}

// The controller gives the structure's template: the tag is read and written as an object.
TEST_F(ActionTest, AStructureTagWithItsTemplateKeepsItsWriteBit) {
    plc.Define("Recipe", "MOTOR");  // the simulator's user structure
    ASSERT_TRUE(AddPlc());
    EXPECT_EQ((Rows{{"r", "success!"}}),
              Table(TagsAction("EM Tags/Add Tags", R"({"Tag Alias":"r","Tag Name":"Recipe"})")));
    EXPECT_TRUE(WaitUntil([this] { return Exists("/PLC1/EM Tags/Write Tags List/r"); }));
    EXPECT_EQ(Config("/PLC1/EM Tags/Read Tags List/r", "$RW Flag"), sdk::Variant("RW"));
}

// ---- writes ------------------------------------------------------------------------------------

TEST_F(ActionTest, WriteTagsAndWriteDataReachTheController) {
    ASSERT_TRUE(AddPlc());
    TagsAction("EM Tags/Add Tags", R"([{"Tag Alias":"c","Tag Name":"Counter"},
        {"Tag Alias":"l","Tag Name":"Level"}, {"Tag Alias":"s","Tag Name":"Small"},
        {"Tag Alias":"w","Tag Name":"Word"}, {"Tag Alias":"f","Tag Name":"Flag"},
        {"Tag Alias":"n","Tag Name":"Name"}, {"Tag Alias":"ro","Tag Name":"Other","RW Flag":"R_"}])");
    EXPECT_EQ((Rows{{"c", "success!"},
                    {"l", "success!"},
                    {"s", "success!"},
                    {"w", "success!"},
                    {"f", "success!"},
                    {"ro", Msg(10038)}}),
              Table(TagsAction("EM Tags/Write Tags", R"([{"Tag Alias":"c","value":123456},
        {"Tag Alias":"l","value":2.25}, {"Tag Alias":"s","value":-5},
        {"Tag Alias":"w","value":3000}, {"Tag Alias":"f","value":true},
        {"Tag Alias":"ro","value":1}])")));
    const auto& tags = plc.Tags();
    EXPECT_EQ(std::make_tuple(tags.GetInt("Counter"), tags.GetReal("Level"), tags.GetInt("Small"),
                              tags.GetInt("Word"), tags.GetInt("Flag")),
              std::make_tuple(123456, 2.25, -5, 3000, 1));

    sdk::Variant params = sdk::Variant::new_map();
    params["Value"] = "\"valve\"";
    EXPECT_EQ(kSuccess, Values(Invoke("/PLC1/EM Tags/Write Tags List/n/Write Data", params)));
    EXPECT_EQ("valve", plc.Tags().GetString("Name").value_or(""));
    params["Value"] = "77";
    EXPECT_EQ(kSuccess, Values(Invoke("/PLC1/EM Tags/Write Tags List/c/Write Data", params)));
    EXPECT_EQ(77, plc.Tags().GetInt("Counter").value_or(0));
}

// Writes go over the PLC's own session: a burst of them leaves no session in the controller's
// table.
TEST_F(ActionTest, WritesUseThePlcsSession) {
    ASSERT_TRUE(AddPlc());
    TagsAction("EM Tags/Add Tags", R"({"Tag Alias":"c","Tag Name":"Counter"})");
    const plcsim::SimStats before = plc.Sim().Stats();
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ((Rows{{"c", "success!"}}),
                  Table(TagsAction("EM Tags/Write Tags", R"({"Tag Alias":"c","value":7})")));
    }
    EXPECT_LE(plc.Sim().Stats().sessionsRegistered - before.sessionsRegistered, 1u);
}

TEST_F(ActionTest, WriteDataRefusesMissingAndMalformedValues) {
    ASSERT_TRUE(AddPlc());
    TagsAction("EM Tags/Add Tags", R"({"Tag Alias":"c","Tag Name":"Counter"})");
    const std::string action = "/PLC1/EM Tags/Write Tags List/c/Write Data";
    ASSERT_TRUE(WaitUntil([&] { return Exists(action); }));
    EXPECT_EQ(std::make_pair(false, Msg(10020)), Values(Invoke(action)));
    for (const auto& [value, reason] : {std::pair{"{oops", 10016}, {"{\"a\":1}", 10027}}) {
        sdk::Variant params = sdk::Variant::new_map();
        params["Value"] = value;
        EXPECT_EQ(std::make_pair(false, Msg(reason)), Values(Invoke(action, params))) << value;
    }
}

// ---- polling -----------------------------------------------------------------------------------

TEST_F(ActionTest, StartPollingAndListeningCheckTheirParametersAndTags) {
    ASSERT_TRUE(AddPlc());
    const std::string poll = "/PLC1/EM Tags/Start Polling";
    EXPECT_EQ(std::make_pair(false, Msg(10044)), Values(Invoke(poll, Interval(100))));
    const std::string listen = "/PLC1/IO Tags/Start Listening";
    EXPECT_EQ((Rows{{"fail!", Msg(10052)}}), Table(Invoke(listen, Listen(100, 0))));
    EXPECT_EQ((Rows{{"fail!", Msg(10051)}}), Table(Invoke(listen, Listen(5, 2222))));
    EXPECT_EQ((Rows{{"fail!", Msg(10045)}}), Table(Invoke(listen, Listen(100, 2222))));
    TagsAction("EM Tags/Add Tags", R"({"Tag Alias":"c","Tag Name":"Counter"})");
    EXPECT_EQ(std::make_pair(false, Msg(10051)), Values(Invoke(poll, Interval(9))));
    EXPECT_EQ(std::make_pair(false, Msg(10051)), Values(Invoke(poll, Interval(10001))));
    EXPECT_EQ(kSuccess, Values(Invoke(poll, Interval(10000))));
    // The toggle hides Start Polling while polling runs; a caller that still holds the action
    // (a console opened before the start) reaches the handler directly.
    auto stream = std::make_shared<CapturingStream>();
    EipAction(actions.Context())
        .ExplicitStartPollingNodeAction(stream, sdk::NodePath("/PLC1/EM Tags"), Interval(10), {});
    EXPECT_EQ(Msg(10048), stream->Message());
}

TEST_F(ActionTest, PollingPublishesValuesAndStopRestoresTheStoppedActions) {
    ASSERT_TRUE(AddPlc());
    TagsAction("EM Tags/Add Tags", R"({"Tag Alias":"c","Tag Name":"Counter"})");
    EXPECT_EQ(kSuccess, Values(Invoke("/PLC1/EM Tags/Start Polling", Interval(10))));
    plc.Tags().SetInt("Counter", 4242);
    EXPECT_TRUE(WaitUntil([this] {
        return NodeValue("/PLC1/EM Tags/Read Tags List/c") == sdk::Variant(int64_t{4242});
    }));
    EXPECT_EQ(kSuccess, Values(Invoke("/PLC1/EM Tags/Stop Polling")));
    EXPECT_TRUE(WaitUntil([this] { return Exists("/PLC1/EM Tags/Start Polling"); }));
}

// ---- a PLC that is gone ------------------------------------------------------------------------

TEST_F(ActionTest, ActionsOnAnUnreachablePlcAnswerOnceWithTheReason) {
    ASSERT_TRUE(AddPlc());
    TagsAction("EM Tags/Add Tags", R"({"Tag Alias":"c","Tag Name":"Counter"})");
    plc.Sim().Stop();
    ASSERT_TRUE(
        WaitUntil([this] { return NodeValue("/PLC1/ucmmstate") == sdk::Variant("NON-EXIST"); }));
    EXPECT_EQ(std::make_pair(false, Msg(10008)),
              Values(Invoke("/PLC1/EM Tags/Start Polling", Interval(100))));
    EXPECT_EQ((Rows{{"fail!", Msg(10008)}}),
              Table(TagsAction("EM Tags/Add Tags", R"({"Tag Alias":"d","Tag Name":"Other"})")));
}

TEST_F(ActionTest, APlcThatStopsAnsweringMidActionStillAnswersWithTheReason) {
    ASSERT_TRUE(AddPlc());
    // From now on the controller swallows every reply: the action's test connection runs into
    // its time-out, and the invocation still closes with the reason.
    plc.Silence();
    EXPECT_EQ((Rows{{"fail!", Msg(10012)}}),
              Table(TagsAction("EM Tags/Add Tags", R"js([{"Tag Alias":"a","Tag Name":"Counter"},
                                                       {"Tag Alias":"b","Tag Name":"Other"}])js")));
    EXPECT_FALSE(Exists("/PLC1/EM Tags/Read Tags List/a"));
}

TEST_F(ActionTest, ActionsOfAnUnknownPlcSayItDoesNotExist) {
    ASSERT_TRUE(AddPlc());
    // The registry forgets the PLC while its nodes are still shown.
    actions.Registry().RemovePLC("PLC1");
    EXPECT_EQ(std::make_pair(false, Msg(10009)), Values(Invoke("/PLC1/EM Tags/Export Tags")));
    EXPECT_EQ(std::make_pair(false, Msg(10009)),
              Values(Invoke("/PLC1/EM Tags/Start Polling", Interval(100))));
    EXPECT_EQ((Rows{{"fail!", Msg(10009)}}),
              Table(TagsAction("EM Tags/Add Tags", R"({"Tag Alias":"d","Tag Name":"Other"})")));
    EXPECT_TRUE(Invoke("/PLC1/EM Tags/Reset Tags").rows.empty());
}

// ---- subtags of an I/O tag ---------------------------------------------------------------------

class SubTagActionTest : public ActionTest {
  protected:
    void SetUp() override {
        ActionTest::SetUp();
        ASSERT_TRUE(AddPlc());
        ASSERT_EQ((Rows{{"io1", "success!"}}),
                  Table(TagsAction("IO Tags/Add Tags",
                                   R"js({"Tag Alias":"io1","Tag Name":"In","DataLen":8})js")));
        ASSERT_TRUE(WaitUntil([this] { return Exists(kTag + "/Add Subtag"); }));
    }

    // Offset, inner type and length of a subtag as its node shows them.
    std::tuple<sdk::Variant, sdk::Variant, sdk::Variant> SubTag(const std::string& alias) {
        const std::string path = kTag + "/" + alias;
        EXPECT_TRUE(WaitUntil([&] { return Exists(path + "/Edit Subtag"); })) << path;
        return {Config(path, "$Offset"), Config(path, "InnerType"), Config(path, "$DataLen")};
    }

    const std::string kTag = "/PLC1/IO Tags/io1";
};

TEST_F(SubTagActionTest, AddSubtagDefaultsToAnIntAtTheStartAndEditToASint) {
    EXPECT_EQ(kSuccess, Values(Invoke(kTag + "/Add Subtag", R"js({"Alias":"s1"})js")));
    EXPECT_EQ(std::make_tuple(sdk::Variant(0), sdk::Variant("INT"), sdk::Variant(2)), SubTag("s1"));
    EXPECT_EQ(kSuccess,
              Values(Invoke(kTag + "/Add Subtag",
                            R"js({"Alias":"s3","Offset":4,"InnerType":"DINT (4bytes)"})js")));
    EXPECT_EQ(std::make_tuple(sdk::Variant(4), sdk::Variant("DINT"), sdk::Variant(4)),
              SubTag("s3"));
    EXPECT_EQ(kSuccess, Values(Invoke(kTag + "/s3/Edit Subtag", R"js({"Alias":"s2"})js")));
    EXPECT_EQ(std::make_tuple(sdk::Variant(0), sdk::Variant("SINT"), sdk::Variant(1)),
              SubTag("s2"));
    EXPECT_TRUE(WaitUntil([this] { return !Exists(kTag + "/s3"); }));
}

TEST_F(SubTagActionTest, SubtagChecksReportTheirReasons) {
    EXPECT_EQ(std::make_pair(false, Msg(10010)), Values(Invoke(kTag + "/Add Subtag", "{}")));
    EXPECT_EQ(std::make_pair(false, Msg(10030)),
              Values(Invoke(kTag + "/Add Subtag",
                            R"js({"Alias":"far","Offset":6,"InnerType":"DINT (4bytes)"})js")));
    // An EM tag of the same PLC is not an I/O tag.
    TagsAction("EM Tags/Add Tags", R"js({"Tag Alias":"c","Tag Name":"Counter"})js");
    auto stream = std::make_shared<CapturingStream>();
    sdk::Variant params = sdk::Variant::new_map();
    params["Alias"] = "x";
    EipAction(actions.Context())
        .IOAddSubNodeAction(stream, sdk::NodePath("/PLC1/IO Tags/c"), params, {});
    EXPECT_EQ(Msg(10015), stream->Message());
    auto exported = std::make_shared<CapturingStream>();
    EipAction(actions.Context())
        .IOExportSubNodeAction(exported, sdk::NodePath("/PLC1/IO Tags/gone"), params, {});
    EXPECT_EQ(Msg(10015), exported->Message());
}

TEST_F(SubTagActionTest, ImportExportAndRemoveSubtags) {
    EXPECT_EQ(std::make_pair(false, Msg(10046)), Values(Invoke(kTag + "/Export Subtags")));
    sdk::Variant params = sdk::Variant::new_map();
    params["json"] = "42";
    EXPECT_EQ(std::make_pair(false, Msg(10016)), Values(Invoke(kTag + "/Import Subtags", params)));
    params["json"] = R"js([{"Alias":"a","Offset":0,"InnerType":"INT (2bytes)","DataLen":2},
                           {"Alias":"b","Offset":4,"InnerType":"REAL (4bytes)","DataLen":4}])js";
    EXPECT_EQ(kSuccess, Values(Invoke(kTag + "/Import Subtags", params)));
    // An element without an alias fails the import; the ones before it stay.
    params["json"] = R"js([{"Alias":"c","Offset":6,"InnerType":"INT (2bytes)"},{"Offset":2}])js";
    EXPECT_EQ(std::make_pair(false, Msg(10043)), Values(Invoke(kTag + "/Import Subtags", params)));
    EXPECT_TRUE(WaitUntil([this] { return Exists(kTag + "/c"); }));
    auto [ok, exported] = Values(Invoke(kTag + "/Export Subtags"));
    EXPECT_TRUE(ok);
    EXPECT_NE(std::string::npos, exported.find("\"Alias\":\"a\"")) << exported;
    EXPECT_NE(std::string::npos, exported.find("\"Alias\":\"b\"")) << exported;
    EXPECT_EQ(std::string::npos, exported.find("\"Data\"")) << exported;

    ASSERT_TRUE(WaitUntil([this] { return Exists(kTag + "/a/Remove Subtag"); }));
    EXPECT_EQ(kSuccess, Values(Invoke(kTag + "/a/Remove Subtag")));
    EXPECT_TRUE(WaitUntil([this] { return !Exists(kTag + "/a"); }));
    auto [stillOk, after] = Values(Invoke(kTag + "/Export Subtags"));
    EXPECT_EQ(std::string::npos, after.find("\"Alias\":\"a\"")) << after;
}

}  // namespace
