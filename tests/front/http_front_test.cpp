// The HTTP front against an in-process link with synthetic nodes and actions.

#include "sdk/http_front.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <httplib.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>

#include "front/front_test_support.h"
#include "strata_sdk/sdk.h"
#include "support/test_link.h"

namespace sdk = kestrel::strata_sdk;
using nlohmann::json;
using tb_test::SseReader;
using tb_test::WaitUntil;

namespace {

const char* kHost = "127.0.0.1";

class HttpFrontTest : public ::testing::Test {
  protected:
    void SetUp() override {
        link_ = tb_test::MakeLink("", [this](sdk::LinkOptions& options) {
            options.set_log_level(sdk::LogLevel::warn).set_history_points(history_);
        });
        ASSERT_TRUE(link_->non_blocking_run());
        build_tree();
        ASSERT_TRUE(link_->broker().wait_idle());
    }

    void TearDown() override {
        front_.reset();
        {
            std::lock_guard<std::mutex> lock(held_mutex_);
            held_streams_.clear();
        }
        link_->stop();
        link_->join();
    }

    void start_front(sdk::HttpFrontOptions options = {}) {
        options.host = kHost;
        options.port = 0;
        front_ = std::make_unique<sdk::HttpFront>(link_->broker(), options);
        std::string error;
        ASSERT_TRUE(front_->start(error)) << error;
        ASSERT_GT(front_->port(), 0);
    }

    httplib::Client client() const {
        httplib::Client c(kHost, front_->port());
        c.set_read_timeout(std::chrono::seconds(30));
        return c;
    }

    httplib::Result post(const std::string& path, const std::string& body,
                         const httplib::Headers& headers = {}) {
        return client().Post(("/api/invoke?path=" + tb_test::url_encode(path)).c_str(), headers,
                             body, "application/json");
    }

    httplib::Result get_node(const std::string& path, const httplib::Headers& headers = {}) {
        return client().Get(("/api/node?path=" + tb_test::url_encode(path)).c_str(), headers);
    }

    void set_value(const std::string& path, sdk::Variant value) {
        link_->responder()->set_value(path, value);
    }

    void build_tree() {
        auto responder = link_->responder();
        sdk::NodeBuilder plc("/");
        plc.make_node("Line%2F1", "node")
            .display_name("Line/1")
            .config("$host", "127.0.0.1")
            .config("$port", 44818u)
            .config("$$$isit", "plc");
        plc.make_node("other", "node").display_name("Other");
        plc.make_node("addplc", "node").display_name("Add PLC").action(add_plc_action());
        responder->create_node(plc);

        sdk::NodeBuilder children("/Line%2F1");
        children.make_node("temp")
            .display_name("Temperature")
            .type(sdk::ValueType::Number)
            .value(21.5);
        children.make_node("Add Tags").display_name("Add Tags").action(add_tags_action());
        children.make_node("boom").display_name("Boom").action(simple_action(
            [](auto&, const sdk::Variant&) { throw std::runtime_error("the handler exploded"); }));
        children.make_node("hang").display_name("Hang").action(
            simple_action([this](auto& stream, const sdk::Variant&) {
                std::lock_guard<std::mutex> lock(held_mutex_);
                held_streams_.push_back(stream);  // never answers while the test holds it
            }));
        children.make_node("quiet").display_name("Quiet").action(
            simple_action([](auto&, const sdk::Variant&) {}));  // answers nothing
        children.make_node("count").display_name("Count").action(
            simple_action([this](auto& stream, const sdk::Variant&) {
                ++count_calls_;
                sdk::ActionValuesResult result;
                result.add_value(true).add_value("counted");
                stream->send(result);
            }));
        responder->create_node(children);

        sdk::NodeBuilder other("/other");
        other.make_node("level").display_name("Level").type(sdk::ValueType::Int).value(int64_t{0});
        responder->create_node(other);
    }

    using Body =
        std::function<void(const std::shared_ptr<sdk::IActionResultStream>&, const sdk::Variant&)>;
    static sdk::Action simple_action(Body body) {
        sdk::Action action(
            sdk::PermissionLevel::Write,
            [body](const std::shared_ptr<sdk::IActionResultStream>& stream, const sdk::NodePath&,
                   const sdk::Variant& params, const std::error_code&) { body(stream, params); });
        action.add_column(sdk::ActionColumn("Success", sdk::ValueType::Bool))
            .add_column(sdk::ActionColumn("message", sdk::ValueType::String));
        return action;
    }

    // Echoes what it was given, so that a test sees the parameters as they arrived; a values
    // result completes the invocation, and what is sent after it is dropped.
    static sdk::Action add_plc_action() {
        sdk::Action action(
            sdk::PermissionLevel::Write,
            [](const std::shared_ptr<sdk::IActionResultStream>& stream, const sdk::NodePath& path,
               const sdk::Variant& params, const std::error_code&) {
                sdk::ActionValuesResult result;
                result.add_value(true).add_value(path.to_string() + " " +
                                                 sdk::json::to_json_string(params));
                stream->send(result);
                EXPECT_TRUE(stream->is_closed());
                stream->send(result);
            });
        action.add_column(sdk::ActionColumn("Success", sdk::ValueType::Bool))
            .add_column(sdk::ActionColumn("message", sdk::ValueType::String));
        return action;
    }

    // Streams one row per tag from another thread in two sends, the last row left open, then
    // closes: a table result waits for close() and keeps every row.
    static sdk::Action add_tags_action() {
        sdk::Action action(
            sdk::PermissionLevel::Write,
            [](const std::shared_ptr<sdk::IActionResultStream>& stream, const sdk::NodePath&,
               const sdk::Variant& params, const std::error_code&) {
                const auto tags = sdk::json::from_json_string(params.at("Tags(json)").as_string());
                std::thread([stream, tags] {
                    const auto& all = tags.as_array();
                    sdk::ActionStreamResult table;
                    for (size_t i = 0; i + 1 < all.size(); ++i) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(20));
                        table.add_value(all[i].at("Tag Alias").as_string())
                            .add_value("success!")
                            .next_row();
                    }
                    stream->send(table);
                    EXPECT_FALSE(stream->is_closed());
                    sdk::ActionStreamResult last;
                    last.add_value(all.back().at("Tag Alias").as_string()).add_value("success!");
                    stream->send(last);
                    stream->close();
                }).detach();
            });
        action.add_column(sdk::ActionColumn("Tag alias", sdk::ValueType::String))
            .add_column(sdk::ActionColumn("Result", sdk::ValueType::String))
            .set_result_kind(sdk::ActionResultKind::Table);
        return action;
    }

    std::size_t history_ = sdk::LinkOptions::kDefaultHistoryPoints;
    std::unique_ptr<sdk::Link> link_;
    std::unique_ptr<sdk::HttpFront> front_;
    std::atomic<int> count_calls_{0};
    std::mutex held_mutex_;
    std::vector<std::shared_ptr<sdk::IActionResultStream>> held_streams_;
};

json body_of(const httplib::Result& result) {
    return json::parse(result->body);
}

// Every error of the front is one JSON object with a one-line reason.
void expect_error(const httplib::Result& result, int status, const std::string& fragment) {
    ASSERT_TRUE(result) << "no answer";
    EXPECT_EQ(result->status, status) << result->body;
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
    const json body = body_of(result);
    ASSERT_TRUE(body.contains("error")) << result->body;
    const std::string reason = body["error"].get<std::string>();
    EXPECT_NE(reason.find(fragment), std::string::npos) << reason;
    EXPECT_EQ(reason.find('\n'), std::string::npos) << reason;
}

// ------------------------------------------------------------------ console files

TEST_F(HttpFrontTest, ServesTheConsolePageAndItsScriptAndStyle) {
    start_front();
    const std::tuple<const char*, const char*, const char*> files[] = {
        {"/", "text/html; charset=utf-8", "<title>Tagbridge console</title>"},
        {"/app.js", "text/javascript; charset=utf-8", "/api/events"},
        {"/style.css", "text/css; charset=utf-8", ""},
    };
    for (const auto& [target, type, content] : files) {
        auto file = client().Get(target);
        ASSERT_TRUE(file) << target;
        EXPECT_EQ(file->status, 200) << target;
        EXPECT_EQ(file->get_header_value("Content-Type"), type);
        EXPECT_NE(file->body.find(content), std::string::npos) << target;
    }
}

// ------------------------------------------------------------------ GET /api/node

// A node with its configs and children, each child described; without a path, the root, whose
// children say which of them can be browsed further (Line/1 holds a value node besides its
// actions; Add PLC holds nothing).
TEST_F(HttpFrontTest, NodeDescribesConfigsValueTypeAndChildren) {
    start_front();
    auto result = get_node("/Line%2F1");
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200) << result->body;
    json node = body_of(result);
    const json children = node["childNodes"];
    node.erase("childNodes");
    EXPECT_EQ(node, json::parse(R"({"action":null,"children":["temp","Add Tags","boom","hang",
        "quiet","count"],"configs":{"$$$isit":"plc","$host":"127.0.0.1","$port":44818},
        "displayName":"Line/1","kind":"node","name":"Line%2F1","path":"/Line%2F1","value":null,
        "valueType":null})"));
    EXPECT_EQ(children[0], json::parse(R"({"action":false,"configs":{},"displayName":"Temperature",
        "hasChildren":false,"kind":"","name":"temp","value":21.5,"valueType":"number"})"));
    EXPECT_EQ(children[1]["action"], true);

    const json root = body_of(client().Get("/api/node"));
    EXPECT_EQ(root["path"], "/");
    EXPECT_EQ(root["childNodes"][0]["hasChildren"], true);
    EXPECT_EQ(root["childNodes"][0]["configs"], node["configs"]);
    EXPECT_EQ(root["childNodes"][2], json::parse(R"({"action":true,"configs":{},
        "displayName":"Add PLC","hasChildren":false,"kind":"node","name":"addplc","value":null,
        "valueType":null})"));
}

// ------------------------------------------------------------------ POST /api/invoke

TEST_F(HttpFrontTest, InvokeHandsTheParametersOverAndAnswersColumnsAndRows) {
    start_front();
    auto result = post("/addplc", R"({"Alias":"Line1","Port":2222,"Protocol Family":"PCCC"})");
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200) << result->body;
    const json body = body_of(result);
    EXPECT_EQ(
        body["columns"],
        json::parse(R"([{"name":"Success","type":"bool"},{"name":"message","type":"string"}])"));
    // The handler sees the node the action hangs on and the parameters as given.
    EXPECT_EQ(
        body["rows"],
        json::parse(
            R"([[true, "/ {\"Alias\":\"Line1\",\"Port\":2222,\"Protocol Family\":\"PCCC\"}"]])"));
    EXPECT_EQ(body_of(post("/addplc", ""))["rows"][0][1], "/ {}") << "an empty body: no parameters";

    const std::string tags =
        R"([{"Tag Alias":"A"},{"Tag Alias":"B"},{"Tag Alias":"C"},{"Tag Alias":"D"}])";
    const json table = body_of(post("/Line%2F1/Add Tags", json({{"Tags(json)", tags}}).dump()));
    EXPECT_EQ(
        table["rows"],
        json::parse(R"([["A","success!"],["B","success!"],["C","success!"],["D","success!"]])"));
    EXPECT_EQ(table["columns"][0]["name"], "Tag alias");
    // A handler that answers nothing completes when it returns.
    const auto quiet = post("/Line%2F1/quiet", "{}");
    ASSERT_TRUE(quiet);
    EXPECT_EQ(quiet->status, 200);
    EXPECT_EQ(body_of(quiet)["rows"], json::array());
}

// Every refusal is one JSON object with a one-line reason, and runs nothing; the front keeps
// serving after each.
TEST_F(HttpFrontTest, BadRequestsAreRefusedWithTheirStatusAndReason) {
    sdk::HttpFrontOptions options;
    options.invoke_timeout = std::chrono::milliseconds(1000);
    options.max_body_bytes = 1024;
    start_front(options);
    const std::string own = "http://" + std::string(kHost) + ":" + std::to_string(front_->port());
    const struct {
        const char* method;
        std::string target;
        std::string body;
        httplib::Headers headers;
        int status;
        const char* reason;
    } cases[] = {
        {"GET", "/nothing/here", "", {}, 404, "no such endpoint"},
        {"GET", "/api/invoke?path=%2Faddplc", "", {}, 404, "no such endpoint"},
        {"GET", "/api/node?path=%2Fno%2Fsuch%2Fnode", "", {}, 404, "no node at /no/such/node"},
        {"POST", "/addplc", "{not json", {}, 400, "body is not JSON"},
        {"POST", "/addplc", "[1,2]", {}, 400, "body must be a JSON object"},
        {"POST", "/addplc", "\"text\"", {}, 400, "body must be a JSON object"},
        {"POST", "/addplc", "42", {}, 400, "body must be a JSON object"},
        {"POST", "/Line%2F1/temp", "{}", {}, 404, "has no action"},
        {"POST", "/Line%2F1/missing", "{}", {}, 404, "no node at /Line%2F1/missing"},
        {"POST", "/Line%2F1/boom", "{}", {}, 500, "the handler exploded"},
        {"POST", "/Line%2F1/hang", "{}", {}, 504, "did not complete within"},
        {"POST", "/Line%2F1/count", json({{"pad", std::string(4096, 'x')}}).dump(), {}, 413, ""},
        {"POST", "/Line%2F1/count", "{}", {{"Origin", "http://evil.example"}}, 403, "cross-site"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target + " " + c.body.substr(0, 20));
        expect_error(std::string(c.method) == "GET" ? client().Get(c.target.c_str())
                                                    : post(c.target, c.body, c.headers),
                     c.status, c.reason);
        auto after = post("/Line%2F1/count", "{}", {{"Origin", own}});
        ASSERT_TRUE(after);
        EXPECT_EQ(after->status, 200);
    }
    EXPECT_EQ(count_calls_.load(), static_cast<int>(std::size(cases)));
}

// ------------------------------------------------------------------ token

// Bearer for programs, Basic (any user) for a browser's login prompt; a wrong token changes
// nothing, on the event stream neither.
TEST_F(HttpFrontTest, WithATokenOnlyRequestsCarryingItAreServed) {
    sdk::HttpFrontOptions options;
    options.token = "s3cret-token";
    start_front(options);
    const auto basic = [](const std::string& password) {
        return httplib::make_basic_authentication_header("anyone", password);
    };
    const std::pair<httplib::Headers, int> cases[] = {
        {{}, 401},
        {{{"Authorization", "Bearer s3cret-tokeN"}}, 401},
        {{{"Authorization", "Bearer s3cret-token-longer"}}, 401},
        {{{"Authorization", "s3cret-token"}}, 401},
        {{basic("wrong")}, 401},
        {{{"Authorization", "Bearer s3cret-token"}}, 200},
        {{basic("s3cret-token")}, 200},
    };
    int served = 0;
    for (const auto& c : cases) {
        const httplib::Headers& headers = c.first;
        SCOPED_TRACE(headers.empty() ? "no token" : headers.begin()->second);
        const std::function<httplib::Result()> requests[] = {
            [&] { return post("/Line%2F1/count", "{}", headers); },
            [&] { return get_node("/", headers); },
            [&] { return client().Get("/", headers); },
        };
        for (const auto& request : requests) {
            auto result = request();
            if (c.second == 401) {
                expect_error(result, 401, "access token");
            } else {
                ASSERT_TRUE(result);
                EXPECT_EQ(result->status, 200);
            }
        }
        served += c.second == 200;
    }
    EXPECT_EQ(count_calls_.load(), served);
    auto prompt = client().Get("/");
    EXPECT_EQ(prompt->get_header_value("WWW-Authenticate").rfind("Basic realm=\"Tagbridge\"", 0),
              0u);
    EXPECT_EQ(post("/Line%2F1/count", "{}")->get_header_value("WWW-Authenticate"),
              "Bearer realm=\"Tagbridge\"");
    SseReader events(kHost, front_->port(), "/api/events?path=%2F");
    ASSERT_TRUE(events.wait_ended());
    EXPECT_EQ(events.status(), 401);
}

// ------------------------------------------------------------------ Host checks

// Every route, as a page of another site would reach it after rebinding its name
// to this address; POST runs the counting action.
struct Route {
    const char* method;
    const char* target;
};
const Route kRoutes[] = {
    {"GET", "/"},
    {"GET", "/app.js"},
    {"GET", "/api/node?path=%2F"},
    {"GET", "/api/events?path=%2F"},
    {"GET", "/api/history?path=%2Fother"},
    {"GET", "/metrics"},
    {"POST", "/api/invoke?path=%2FLine%252F1%2Fcount"},
};

class HttpFrontHostTest : public HttpFrontTest {
  protected:
    // The status of `route` with this Host header; an event stream is read until its
    // answer starts.
    int status_of(const Route& route, const std::string& host, httplib::Headers headers = {}) {
        headers.emplace("Host", host);
        if (std::string(route.target).rfind("/api/events", 0) == 0) {
            SseReader events(kHost, front_->port(), route.target, headers);
            events.wait_connected();
            return events.status();
        }
        auto result = std::string(route.method) == "POST"
                          ? client().Post(route.target, headers, "{}", "application/json")
                          : client().Get(route.target, headers);
        if (result && result->status != 200) {
            expect_error(result, result->status, "");
        }
        return result ? result->status : 0;
    }
    std::string with_port(const std::string& name) const {
        return name + ":" + std::to_string(front_->port());
    }
};

// A foreign name is refused even with the token, and before the token is asked for; the
// loopback names and the allowed hosts (case-insensitive, with or without a port when given
// without one) are served.
TEST_F(HttpFrontHostTest, ForeignHostNamesAreRefusedOnEveryRouteAndRunNothing) {
    sdk::HttpFrontOptions options;
    options.allowed_hosts = {"plc-gw.example", "Proxy.Example:8443"};
    options.token = "s3cret-token";
    start_front(options);
    const httplib::Headers auth = {{"Authorization", "Bearer s3cret-token"}};
    const std::string foreign[] = {
        with_port("evil.example"),
        with_port("localhost.evil.example"),
        with_port("0.0.0.0"),
        "127.0.0.1:1",
        "localhost",
        "",
        "[::1",
        with_port("127.0.0.1") + "x",
        "proxy.example:8444",
    };
    const std::string served[] = {
        with_port("127.0.0.1"), with_port("localhost"), with_port("LocalHost"),
        with_port("[::1]"),     "plc-gw.example",       with_port("plc-gw.example"),
        "proxy.example:8443",
    };
    for (const auto& route : kRoutes) {
        for (const auto& host : foreign) {
            EXPECT_EQ(status_of(route, host, auth), 421) << route.target << " Host: " << host;
            EXPECT_EQ(status_of(route, host), 421) << route.target << " Host: " << host;
        }
        for (const auto& host : served) {
            EXPECT_EQ(status_of(route, host, auth), 200) << route.target << " Host: " << host;
        }
        EXPECT_EQ(status_of(route, with_port("localhost")), 401) << route.target;
    }
    EXPECT_EQ(count_calls_.load(), static_cast<int>(std::size(served)));
}

// Four actions stalled on four nodes (PLCs) leave the others served; on a stalled node, an
// action that jumps the queue runs at once, and one queued behind whose caller gave up never runs.
TEST_F(HttpFrontTest, StalledActionsHoldOnlyTheirOwnNodesQueue) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> started{0};
    for (int i = 0; i < 4; ++i) {
        sdk::NodeBuilder actions("/");
        actions.make_node("stall" + std::to_string(i), "node")
            .make_child("block")
            .action(simple_action([&](auto& stream, const sdk::Variant&) {
                ++started;
                released.wait();
                stream->send(sdk::ActionValuesResult().add_value(true).add_value("late"));
            }));
        actions.make_node("stop").action(
            simple_action([](auto& stream, const sdk::Variant&) {
                stream->send(sdk::ActionValuesResult().add_value(true).add_value("stopped"));
            }).set_jumps_queue());
        link_->responder()->create_node(actions);
    }
    start_front();
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i)
        callers.emplace_back([this, i] { post("/stall" + std::to_string(i) + "/block", "{}"); });
    ASSERT_TRUE(WaitUntil([&] { return started == 4; }));
    const auto gave_up = link_->broker().invoke_and_wait("/stall0/block", sdk::Variant::new_map(),
                                                         std::chrono::milliseconds(50));
    EXPECT_EQ(gave_up.error, sdk::strata_errc::timed_out);

    const auto status = [](const httplib::Result& result) { return result ? result->status : 0; };
    EXPECT_EQ(status(post("/Line%2F1/count", "{}")), 200);
    EXPECT_EQ(status(post("/stall0/stop", "{}")), 200);

    release.set_value();
    for (auto& caller : callers)
        caller.join();
    // Queued after the given-up one: once it ran, the given-up one was passed over.
    const auto after = link_->broker().invoke_and_wait("/stall0/block", sdk::Variant::new_map());
    EXPECT_FALSE(after.error) << after.error_text;
    EXPECT_EQ(started, 5) << "the given-up action ran";
}

// ------------------------------------------------------------------ GET /api/history

// A value node answers its points, newer than `since` when given; a folder each child's.
TEST_F(HttpFrontTest, HistoryAnswersANodeOrAFolderAndRefusesBadRequests) {
    start_front();
    for (int level = 1; level <= 3; ++level)
        set_value("/other/level", level);
    ASSERT_TRUE(link_->broker().wait_idle());
    auto result = client().Get("/api/history?path=%2Fother");
    ASSERT_TRUE(result && result->status == 200) << (result ? result->body : "no answer");
    const json folder = body_of(result);
    ASSERT_EQ(folder["series"].size(), 1u);
    EXPECT_EQ(folder["series"][0]["path"], "/other/level");
    const json points = folder["series"][0]["points"];
    ASSERT_EQ(points.size(), 4u);  // the value it was made with, then three
    EXPECT_EQ(points[3][1], 3);
    const std::string last = std::to_string(points[3][0].get<int64_t>());
    result = client().Get("/api/history?path=%2Fother%2Flevel&since=" + last);
    ASSERT_TRUE(result && result->status == 200);
    EXPECT_EQ(body_of(result)["series"][0]["points"], json::array());

    const std::tuple<const char*, int, const char*> refused[] = {
        {"/api/history?path=%2Fnope", 404, "no node at /nope"},
        {"/api/history?path=%2Fother&since=yesterday", 400, "since"},
        {"/api/history?path=%2Fother&since=12x", 400, "since"},
        {"/api/history?path=%2Fother&since=", 400, "since"},
    };
    for (const auto& [target, status, reason] : refused)
        expect_error(client().Get(target), status, reason);
}

// ------------------------------------------------------------------ GET /metrics

TEST_F(HttpFrontTest, MetricsCarryTheLinkFamiliesEscapedAndCountEventStreams) {
    sdk::HttpFrontOptions options;
    options.metrics_source = [](sdk::MetricsText& out) {
        out.family("tagbridge_plc_requests_total", "counter", "Requests sent.");
        out.sample("tagbridge_plc_requests_total", 42, {{"plc", "line \"1\"\\a\nb"}});
    };
    start_front(options);
    auto scrape = [this] {
        auto result = client().Get("/metrics");
        EXPECT_TRUE(result && result->status == 200);
        EXPECT_EQ(result->get_header_value("Content-Type").rfind("text/plain; version=0.0.4", 0),
                  0u);
        return result ? result->body : std::string();
    };
    const std::string before = scrape();
    EXPECT_NE(before.find("# TYPE tagbridge_plc_requests_total counter\n"
                          "tagbridge_plc_requests_total{plc=\"line \\\"1\\\"\\\\a\\nb\"} 42\n"),
              std::string::npos)
        << before;
    EXPECT_NE(before.find("\ntagbridge_http_event_streams 0\n"), std::string::npos) << before;
    SseReader events(kHost, front_->port(), "/api/events?path=%2F");
    ASSERT_TRUE(events.wait_connected());
    EXPECT_NE(scrape().find("\ntagbridge_http_event_streams 1\n"), std::string::npos);
}

// ------------------------------------------------------------------ TLS

// A self-signed certificate for 127.0.0.1 made with the openssl command; empty
// when the command is missing.
std::string make_certificate(const std::string& dir) {
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -keyout " + dir +
        "/key.pem -out " + dir + "/cert.pem >/dev/null 2>&1";
    return std::system(command.c_str()) == 0 ? dir : std::string();
}

TEST_F(HttpFrontTest, TlsServesOverHttpsOnlyAndABadCertificateIsRefusedAtStart) {
    char pattern[] = "/tmp/front-tls-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    if (make_certificate(dir).empty())
        GTEST_SKIP() << "no openssl command";
    sdk::HttpFrontOptions options;
    options.tls_cert_file = dir + "/cert.pem";
    options.tls_key_file = dir + "/key.pem";
    options.token = "t0ken";
    start_front(options);
    EXPECT_EQ(front_->url().rfind("https://127.0.0.1:", 0), 0u);
    httplib::SSLClient tls(kHost, front_->port());
    tls.enable_server_certificate_verification(false);
    auto served = tls.Get("/api/node?path=%2F", {{"Authorization", "Bearer t0ken"}});
    ASSERT_TRUE(served);
    EXPECT_EQ(served->status, 200);
    auto plain = client().Get("/api/node?path=%2F", {{"Authorization", "Bearer t0ken"}});
    EXPECT_FALSE(plain && plain->status == 200);
    // TLS 1.2 only with forward-secret AEAD suites.
    const std::pair<const char*, bool> suites[] = {{"ECDHE-RSA-CHACHA20-POLY1305", true},
                                                   {"AES128-GCM-SHA256", false},
                                                   {"ECDHE-RSA-AES128-SHA", false}};
    for (const auto& [suite, accepted] : suites) {
        httplib::SSLClient old(kHost, front_->port());
        old.enable_server_certificate_verification(false);
        SSL_CTX_set_max_proto_version(old.ssl_context(), TLS1_2_VERSION);
        SSL_CTX_set_cipher_list(old.ssl_context(), suite);
        EXPECT_EQ(static_cast<bool>(old.Get("/api/node?path=%2F")), accepted) << suite;
    }

    options.tls_key_file = options.tls_cert_file;  // no key in it
    sdk::HttpFront broken(link_->broker(), options);
    std::string error;
    EXPECT_FALSE(broken.start(error));
    EXPECT_NE(error.find("TLS certificate"), std::string::npos) << error;
    std::filesystem::remove_all(dir);
}

// ------------------------------------------------------------------ GET /api/events

// Values and tree changes below the path, as JSON events in their order; nothing from elsewhere.
// (Which values a slow subscriber gets is the broker's, tested there.)
TEST_F(HttpFrontTest, EventStreamDeliversValueAndTreeChangesBelowThePathInOrder) {
    start_front();
    SseReader events(kHost, front_->port(), "/api/events?path=%2FLine%252F1");
    ASSERT_TRUE(events.wait_connected());
    EXPECT_EQ(events.content_type(), "text/event-stream");
    ASSERT_TRUE(events.wait_for([](const auto& m) { return !m.empty(); }));  // the stream is open

    set_value("/other/level", sdk::Variant(int64_t{1}));  // not below the path
    set_value("/Line%2F1/temp", sdk::Variant(22.5));
    sdk::NodeBuilder builder("/Line%2F1");
    builder.make_node("fresh").display_name("Fresh");
    link_->responder()->create_node(builder);
    link_->responder()->update_node(sdk::NodeUpdater("/Line%2F1/fresh").config("$status", "OK"));
    link_->responder()->remove_node("/Line%2F1/fresh");
    std::vector<json> seen;
    ASSERT_TRUE(events.wait_for([&](const auto& messages) {
        seen.clear();
        for (const auto& m : messages) {
            if (m.event == "value" || m.event == "tree")
                seen.push_back(json::parse(m.data));
        }
        return seen.size() >= 4;
    }));
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0]["path"], "/Line%2F1/temp");
    EXPECT_EQ(seen[0]["value"], 22.5);
    EXPECT_GT(seen[0]["ts"].get<int64_t>(), 1600000000000);
    const char* ops[] = {"created", "updated", "removed"};
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(seen[i + 1], json({{"op", ops[i]}, {"path", "/Line%2F1/fresh"}}));
}

// An idle stream gets heartbeat comments; streams beyond the limit get 503 until a place is free.
TEST_F(HttpFrontTest, EventStreamsHaveAHeartbeatAndBeyondTheLimitGet503) {
    sdk::HttpFrontOptions options;
    options.max_event_clients = 1;
    options.heartbeat_interval = std::chrono::milliseconds(100);  // also finds a closed stream
    start_front(options);
    SseReader first(kHost, front_->port(), "/api/events?path=%2Fother");
    ASSERT_TRUE(first.wait_for([](const auto& m) {
        return std::any_of(m.begin(), m.end(), [](const tb_test::SseMessage& message) {
            return message.event == "comment" &&
                   message.data.find("heartbeat") != std::string::npos;
        });
    }));
    expect_error(client().Get("/api/events?path=%2F"), 503, "too many event streams");
    first.stop();  // its place becomes free once the front notices
    EXPECT_TRUE(WaitUntil([this] {
        SseReader probe(kHost, front_->port(), "/api/events?path=%2F");
        return probe.wait_connected();
    }));
}

// An event-stream request on a raw socket whose client reads nothing until the test does.
int OpenSilentStream(uint16_t port, int receive_buffer) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (receive_buffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request =
        "GET /api/events?path=%2F HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        send(fd, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) {
        close(fd);
        return -1;
    }
    return fd;
}

#if defined(__SANITIZE_ADDRESS__)
extern "C" void __sanitizer_purge_allocator();
#endif

// Resident kB once freed memory went back to the system (ASan's quarantine too): what is held.
long ResidentKilobytes() {
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_purge_allocator();
#endif
    malloc_trim(0);
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages >> pages;
    return pages * (sysconf(_SC_PAGESIZE) >> 10);
}

// A client that stops reading must not hold its stream (and a growing queue) forever.
TEST_F(HttpFrontTest, EventStreamOfAClientThatStopsReadingIsClosedAndItsPlaceFreed) {
    sdk::HttpFrontOptions options;
    options.max_event_clients = 1;
    options.max_event_lag = std::chrono::seconds(1);
    start_front(options);
    const int stuck = OpenSilentStream(front_->port(), 4096);
    ASSERT_GE(stuck, 0);
    auto probe_status = [this] {
        SseReader probe(kHost, front_->port(), "/api/events?path=%2Fnone");
        probe.wait_connected();
        return probe.status();
    };
    ASSERT_TRUE(WaitUntil([&] { return probe_status() == 503; }))
        << "the stuck client holds the only place";

    sdk::NodeBuilder many("/other");
    for (int i = 0; i < 200; ++i)
        many.make_node("n" + std::to_string(i));
    link_->responder()->create_node(many);
    int64_t change = 0;
    const bool freed = WaitUntil(
        [&] {
            ++change;
            for (int i = 0; i < 200; ++i)
                set_value("/other/n" + std::to_string(i), sdk::Variant(change));
            return probe_status() == 200;
        },
        std::chrono::seconds(90));
    close(stuck);
    EXPECT_TRUE(freed) << "after " << change << " bursts";
}

// A client that falls further behind than its bound gets a last event saying why.
TEST_F(HttpFrontTest, EventStreamBeyondItsBoundEndsWithAClosedEventSayingWhy) {
    sdk::HttpFrontOptions options;
    options.max_event_backlog = 50;
    start_front(options);
    SseReader events(kHost, front_->port(), "/api/events?path=%2Fother");
    ASSERT_TRUE(events.wait_connected());
    sdk::NodeBuilder many("/other");
    std::vector<std::pair<std::string, sdk::Variant>> burst;
    for (int i = 0; i < 200; ++i) {
        many.make_node("n" + std::to_string(i));
        burst.emplace_back("n" + std::to_string(i), sdk::Variant(i));
    }
    link_->responder()->create_node(many);
    ASSERT_TRUE(WaitUntil([&] {
        link_->responder()->set_values(sdk::NodePath("/other"), burst);
        return events.wait_ended(std::chrono::milliseconds(100));
    }));
    const auto closed = events.events("closed");
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_NE(closed[0].data.find("50 events behind"), std::string::npos) << closed[0].data;
}

// Clients that never read cost at most one pending event per node each, whatever the rate;
// on a slow machine a stream only falls behind when the events are large, hence values of 1 kB.
// Without the link's value history, whose memory is its own.
struct SilentStreamsTest : HttpFrontTest {
    SilentStreamsTest() { history_ = 0; }
};
TEST_F(SilentStreamsTest, SixtyFourSilentStreamsKeepTheMemoryBounded) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer's shadow memory makes resident figures meaningless";
#endif
    start_front();
    sdk::NodeBuilder many("/other");
    for (int i = 0; i < 3000; ++i)
        many.make_node("n" + std::to_string(i)).type(sdk::ValueType::String);
    link_->responder()->create_node(many);
    std::vector<int> silent;
    for (int i = 0; i < 64; ++i)
        silent.push_back(OpenSilentStream(front_->port(), 0));
    ASSERT_TRUE(WaitUntil([&] {
        return client().Get("/metrics")->body.find("tagbridge_http_event_streams 64") !=
               std::string::npos;
    }));
    const long before = ResidentKilobytes();
    long peak = before;
    for (int burst = 0; burst < 10; ++burst) {
        std::vector<std::pair<std::string, sdk::Variant>> values;
        for (int i = 0; i < 3000; ++i)
            values.emplace_back("n" + std::to_string(i),
                                sdk::Variant(std::string(1000, static_cast<char>('a' + burst))));
        link_->responder()->set_values(sdk::NodePath("/other"), std::move(values));
        ASSERT_TRUE(link_->broker().wait_idle());
        peak = std::max(peak, ResidentKilobytes());
    }
    for (int fd : silent)
        close(fd);
    std::printf(
        "[ figure ] 64 silent streams, 3000 nodes x 10 bursts of 1 kB values: RSS %ld MB, "
        "peak %ld MB\n",
        before >> 10, peak >> 10);
    EXPECT_LT(peak - before, 256L << 10) << "KiB grown";
}

TEST_F(HttpFrontTest, StopEndsOpenEventStreamsAndWaitingInvocations) {
    start_front();
    SseReader events(kHost, front_->port(), "/api/events?path=%2F");
    ASSERT_TRUE(events.wait_connected());
    std::thread waiting([this] {
        auto result = post("/Line%2F1/hang", "{}");
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 503);
    });
    ASSERT_TRUE(WaitUntil([this] {
        std::lock_guard<std::mutex> lock(held_mutex_);
        return !held_streams_.empty();
    }));
    front_->stop();
    EXPECT_TRUE(events.wait_ended(std::chrono::seconds(10)));
    waiting.join();
}

// ------------------------------------------------------------------ binding

TEST_F(HttpFrontTest, StartOnAnAddressInUseFailsWithAReason) {
    start_front();
    EXPECT_EQ(front_->url(), "http://127.0.0.1:" + std::to_string(front_->port()));
    sdk::HttpFrontOptions options;
    options.host = kHost;
    options.port = front_->port();
    sdk::HttpFront second(link_->broker(), options);
    std::string error;
    EXPECT_FALSE(second.start(error));
    EXPECT_NE(error.find("cannot listen on 127.0.0.1:" + std::to_string(front_->port())),
              std::string::npos)
        << error;
}

}  // namespace
