#pragma once
// The tagbridge and plcsim programs run as child processes on ephemeral loopback ports, and
// tagbridge driven through its HTTP API. Needs TB_TAGBRIDGE_BIN and TB_PLCSIM_BIN.

#include <httplib.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "front/front_test_support.h"
#include "support/child_process.h"
#include "support/wait_until.h"

namespace tb_test {

// The first group of `pattern` once the program has printed a match.
inline std::optional<std::string> WaitForMatch(ChildProcess& process, const std::string& pattern) {
    const std::regex re(pattern);
    std::smatch match;
    std::string text;
    const bool found = WaitUntil(
        [&] {
            text = process.Output();
            return std::regex_search(text, match, re);
        },
        std::chrono::seconds(60));
    return found ? std::optional<std::string>(match[1].str()) : std::nullopt;
}

// plcsim on an ephemeral port; `args` give its tags.
class PlcSim {
  public:
    explicit PlcSim(std::vector<std::string> args) {
        args.insert(args.begin(), {"--port", "0"});
        process_ = std::make_unique<ChildProcess>(TB_PLCSIM_BIN, args);
        const auto port = WaitForMatch(*process_, R"(listening on [0-9.]+:([0-9]+))");
        port_ = port ? std::stoi(*port) : 0;
    }
    int port() const { return port_; }

  private:
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
};

// One tagbridge process on `data_dir` and its HTTP API (with a bearer token once one is set).
class Tagbridge {
  public:
    Tagbridge(const std::string& data_dir, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{"--listen", "127.0.0.1:0", "--data-dir", data_dir};
        args.insert(args.end(), extra.begin(), extra.end());
        process_ = std::make_unique<ChildProcess>(TB_TAGBRIDGE_BIN, args);
        const auto port =
            WaitForMatch(*process_, R"(HTTP front listening on http://127\.0\.0\.1:([0-9]+))");
        http_port_ = port ? std::stoi(*port) : 0;
    }
    bool ready() const { return http_port_ != 0; }
    ChildProcess& process() { return *process_; }
    std::string Output() { return process_->Output(); }
    void SetToken(const std::string& token) { token_ = token; }

    // The parsed answer of an action; `status` receives the HTTP status.
    nlohmann::json Invoke(const std::string& path, const nlohmann::json& params,
                          int* status = nullptr) {
        auto result = Client().Post("/api/invoke?path=" + url_encode(path), params.dump(),
                                    "application/json");
        if (status) {
            *status = result ? result->status : 0;
        }
        return result ? nlohmann::json::parse(result->body, nullptr, false)
                      : nlohmann::json{{"error", "no answer"}};
    }
    std::optional<nlohmann::json> Node(const std::string& path) {
        auto result = Client().Get("/api/node?path=" + url_encode(path));
        if (!result || result->status != 200) {
            return std::nullopt;
        }
        return nlohmann::json::parse(result->body);
    }
    // The text of GET /metrics, empty without an answer.
    std::string Metrics() {
        auto result = Client().Get("/metrics");
        return result && result->status == 200 ? result->body : std::string();
    }
    // The value of a tag of `alias`'s "Read Tags List", null until it has one.
    nlohmann::json TagValue(const std::string& alias, const std::string& tag) {
        const auto node = Node("/" + alias + "/EM Tags/Read Tags List/" + tag);
        return node ? node->value("value", nlohmann::json()) : nlohmann::json();
    }
    // Adds a Logix PLC on plcsim's port with the tags ("Add Tags" rows) and polls them.
    bool AddPolledPlc(const std::string& alias, int sim_port, const nlohmann::json& tags,
                      int interval_ms) {
        const nlohmann::json success = nlohmann::json::parse(R"([[true, "success!"]])");
        // An answer without rows (an error, no answer) is a failure, never an exception.
        const auto rowsOf = [](const nlohmann::json& answer) {
            return answer.is_object() ? answer.value("rows", nlohmann::json::array())
                                      : nlohmann::json::array();
        };
        // The front listens before the link has created its root action.
        if (!WaitUntil([&] { return Node("/addplc").has_value(); })) {
            return false;
        }
        const nlohmann::json added = Invoke("/addplc", {{"Alias", alias},
                                                        {"Host", "127.0.0.1"},
                                                        {"Port", sim_port},
                                                        {"Slot", 0},
                                                        {"Protocol Family", "CIP/EIP"}});
        const std::string em = "/" + alias + "/EM Tags";
        if (rowsOf(added) != success ||
            !WaitUntil([&] { return Node(em + "/Add Tags").has_value(); })) {
            return false;
        }
        // In parts, each answered well within the front's time for an action.
        constexpr std::ptrdiff_t kPart = 2000;
        size_t done = 0;
        for (auto part = tags.begin(); part != tags.end();) {
            const auto end = tags.end() - part > kPart ? part + kPart : tags.end();
            const nlohmann::json rows = rowsOf(
                Invoke(em + "/Add Tags", {{"Tags(json)", nlohmann::json(part, end).dump()}}));
            for (const auto& row : rows) {
                if (!row.is_array() || row.size() < 2 || row[1] != "success!") {
                    return false;
                }
            }
            done += rows.size();
            part = end;
        }
        return done == tags.size() &&
               rowsOf(Invoke(em + "/Start Polling", {{"Interval(ms)", interval_ms}})) == success;
    }

  private:
    httplib::Client Client() const {
        httplib::Client c("127.0.0.1", http_port_);
        c.set_read_timeout(std::chrono::seconds(90));
        if (!token_.empty()) {
            c.set_bearer_token_auth(token_);
        }
        return c;
    }

    std::unique_ptr<ChildProcess> process_;
    int http_port_ = 0;
    std::string token_;
};

// "Add Tags" rows of tags whose alias is their name.
inline nlohmann::json TagRows(const std::vector<std::string>& names) {
    nlohmann::json rows = nlohmann::json::array();
    for (const auto& n : names) {
        rows.push_back({{"Tag Alias", n}, {"Tag Name", n}});
    }
    return rows;
}

}  // namespace tb_test
