// The tagbridge and plcsim programs as processes, configured and read through the
// HTTP front only: add a PLC, add tags, poll, write, restart with the stored
// configuration, and the token.

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <string>

#include "front/front_test_support.h"
#include "support/child_process.h"

using nlohmann::json;
using tb_test::ChildProcess;
using tb_test::SseReader;
using tb_test::url_encode;
using tb_test::WaitUntil;

namespace {

const char* kHost = "127.0.0.1";
const std::string kPlc = "line1";
const std::string kEmTags = "/line1/EM Tags";

// The first group of `pattern` once the program has printed a match.
std::optional<std::string> wait_for_match(ChildProcess& process, const std::string& pattern) {
    const std::regex re(pattern);
    std::smatch match;
    std::string text;
    const bool found = WaitUntil(
        [&] {
            text = process.Output();
            return std::regex_search(text, match, re);
        },
        std::chrono::seconds(60));
    if (!found)
        return std::nullopt;
    return match[1].str();
}

class HttpEndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tagbridge-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        work_ = pattern;
        sim_ = std::make_unique<ChildProcess>(
            TB_PLCSIM_BIN,
            std::vector<std::string>{"--port", "0", "--tag", "Count:DINT@counter:1:100", "--tag",
                                     "Level:REAL@ramp:0:100:0.5:100", "--tag", "Setpoint:DINT=5"});
        ASSERT_TRUE(sim_->started());
        const auto port = wait_for_match(*sim_, R"(listening on [0-9.]+:([0-9]+))");
        ASSERT_TRUE(port) << sim_->Output();
        sim_port_ = std::stoi(*port);
    }

    void TearDown() override {
        link_.reset();
        sim_.reset();
        std::filesystem::remove_all(work_);
    }

    // Starts tagbridge on an ephemeral port with the test's data directory.
    void start_link(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--listen", "127.0.0.1:0", "--data-dir", work_ + "/data"};
        args.insert(args.end(), extra.begin(), extra.end());
        link_ = std::make_unique<ChildProcess>(TB_TAGBRIDGE_BIN, args);
        ASSERT_TRUE(link_->started());
        const auto port =
            wait_for_match(*link_, R"(HTTP front listening on http://127\.0\.0\.1:([0-9]+))");
        ASSERT_TRUE(port) << link_->Output();
        http_port_ = std::stoi(*port);
    }

    httplib::Client client() const {
        httplib::Client c(kHost, http_port_);
        c.set_read_timeout(std::chrono::seconds(90));
        if (!token_.empty())
            c.set_bearer_token_auth(token_);
        return c;
    }

    // POSTs to an action; the parsed reply (status 200 asserted by the callers through rows).
    json invoke(const std::string& path, const json& params, int* status = nullptr) {
        auto result = client().Post(("/api/invoke?path=" + url_encode(path)).c_str(), params.dump(),
                                    "application/json");
        if (!result)
            return json{{"error", "no answer"}};
        if (status)
            *status = result->status;
        return json::parse(result->body, nullptr, false);
    }

    std::optional<json> node(const std::string& path) {
        auto result = client().Get(("/api/node?path=" + url_encode(path)).c_str());
        if (!result || result->status != 200)
            return std::nullopt;
        return json::parse(result->body);
    }

    bool wait_node(const std::string& path) {
        return WaitUntil([&] { return node(path).has_value(); }, std::chrono::seconds(60));
    }

    void add_plc_with_tags() {
        const json added = invoke("/addplc", {{"Alias", kPlc},
                                              {"Host", "127.0.0.1"},
                                              {"Port", sim_port_},
                                              {"Slot", 0},
                                              {"Protocol Family", "CIP/EIP"}});
        ASSERT_EQ(added["rows"], json::parse(R"([[true, "success!"]])")) << added.dump();
        ASSERT_TRUE(wait_node(kEmTags + "/Add Tags")) << link_->Output();
        const json tags = json::array({{{"Tag Alias", "Count"}, {"Tag Name", "Count"}},
                                       {{"Tag Alias", "Level"}, {"Tag Name", "Level"}},
                                       {{"Tag Alias", "Setpoint"}, {"Tag Name", "Setpoint"}}});
        const json rows = invoke(kEmTags + "/Add Tags", {{"Tags(json)", tags.dump()}})["rows"];
        ASSERT_EQ(
            rows,
            json::parse(R"([["Count","success!"],["Level","success!"],["Setpoint","success!"]])"));
    }

    void start_polling(int interval_ms) {
        const json started = invoke(kEmTags + "/Start Polling", {{"Interval(ms)", interval_ms}});
        ASSERT_EQ(started["rows"], json::parse(R"([[true, "success!"]])")) << started.dump();
    }

    // Values of `tag` seen on the event stream until `count` of them arrived.
    std::vector<json> watch_values(const std::string& tag, size_t count) {
        const std::string path = kEmTags + "/Read Tags List/" + tag;
        SseReader events(kHost, http_port_, "/api/events?path=" + url_encode(path),
                         token_.empty() ? httplib::Headers{}
                                        : httplib::Headers{{"Authorization", "Bearer " + token_}});
        events.wait_for(
            [&](const auto& messages) {
                size_t n = 0;
                for (const auto& m : messages)
                    n += m.event == "value";
                return n >= count;
            },
            std::chrono::seconds(60));
        std::vector<json> values;
        for (const auto& m : events.events("value"))
            values.push_back(json::parse(m.data)["value"]);
        return values;
    }

    std::string work_;
    std::unique_ptr<ChildProcess> sim_;
    std::unique_ptr<ChildProcess> link_;
    int sim_port_ = 0;
    int http_port_ = 0;
    std::string token_;
};

TEST_F(HttpEndToEndTest, PlcAddedAndPolledThroughHttpPublishesChangingValues) {
    start_link();
    add_plc_with_tags();
    start_polling(100);
    const auto values = watch_values("Count", 5);
    ASSERT_GE(values.size(), 5u) << link_->Output();
    for (size_t i = 1; i < values.size(); ++i) {
        EXPECT_GE(values[i].get<int64_t>(), values[i - 1].get<int64_t>())
            << "a counter never goes back";
    }
    const auto level = node(kEmTags + "/Read Tags List/Level");
    ASSERT_TRUE(level);
    EXPECT_TRUE((*level)["value"].is_number()) << level->dump();
    EXPECT_EQ((*level)["configs"]["$status"], "OK");
    // While polling runs the folder offers Stop Polling instead of the configuration actions.
    EXPECT_TRUE(node(kEmTags + "/Stop Polling").has_value());
    EXPECT_FALSE(node(kEmTags + "/Add Tags").has_value());
}

TEST_F(HttpEndToEndTest, WriteDataThroughHttpReachesThePlcAndIsReadBack) {
    start_link();
    add_plc_with_tags();
    start_polling(100);
    const json written =
        invoke(kEmTags + "/Write Tags List/Setpoint/Write Data", {{"Value", "42"}});
    ASSERT_EQ(written["rows"], json::parse(R"([[true, "success!"]])")) << written.dump();
    EXPECT_TRUE(WaitUntil(
        [&] {
            const auto setpoint = node(kEmTags + "/Read Tags List/Setpoint");
            return setpoint && (*setpoint)["value"] == 42;
        },
        std::chrono::seconds(30)));
}

TEST_F(HttpEndToEndTest, RestartRestoresThePlcTagsAndPollingFromTheStore) {
    start_link();
    add_plc_with_tags();
    start_polling(100);
    ASSERT_GE(watch_values("Count", 2).size(), 2u);
    link_->Signal(SIGINT);
    const auto status = link_->Wait(std::chrono::seconds(30));
    ASSERT_TRUE(status) << "tagbridge did not stop on SIGINT";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << link_->Output();

    start_link();  // same data directory, nothing configured through HTTP this time
    ASSERT_TRUE(wait_node(kEmTags + "/Read Tags List/Count")) << link_->Output();
    const auto values = watch_values("Count", 3);
    ASSERT_GE(values.size(), 3u) << link_->Output();
    EXPECT_GT(values.back().get<int64_t>(), values.front().get<int64_t>());
    const auto em = node(kEmTags);
    ASSERT_TRUE(em);
    EXPECT_EQ((*em)["configs"]["$Polling Interval"], 100);
}

TEST_F(HttpEndToEndTest, BadRequestsAreAnsweredClearlyAndChangeNothing) {
    start_link();
    int status = 0;
    const json blank = invoke("/addplc", {{"Alias", "   "}, {"Host", "127.0.0.1"}}, &status);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(blank["rows"], json::parse(R"([[false, "\"Alias\" not inserted."]])"))
        << blank.dump();

    auto not_json = client().Post("/api/invoke?path=%2Faddplc", "{\"Alias\":", "application/json");
    ASSERT_TRUE(not_json);
    EXPECT_EQ(not_json->status, 400);
    auto unknown = client().Post("/api/invoke?path=%2Fnowhere", "{}", "application/json");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
    const auto root = node("/");
    ASSERT_TRUE(root);
    EXPECT_EQ((*root)["children"], json::array({"addplc"})) << "no PLC was added";
}

TEST_F(HttpEndToEndTest, WithATokenRequestsWithoutItGet401AndAddNothing) {
    start_link({"--token", "e2e-secret"});
    int status = 0;
    invoke("/addplc", {{"Alias", kPlc}, {"Host", "127.0.0.1"}, {"Port", sim_port_}}, &status);
    EXPECT_EQ(status, 401);
    token_ = "e2e-secret";
    const auto root = node("/");
    ASSERT_TRUE(root);
    EXPECT_EQ((*root)["children"], json::array({"addplc"}));
    add_plc_with_tags();
    start_polling(100);
    EXPECT_GE(watch_values("Count", 2).size(), 2u);
}

}  // namespace
