#pragma once
// A link wired as the process wires it, driven through its actions as users drive them: invoke
// with JSON parameters, the message of each answered row, and the nodes and values it shows.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "device/link_harness.h"
#include "strata_sdk/sdk.h"
#include "support/wait_until.h"

namespace tb_test {

// A result stream for calling a handler directly: records what it was sent.
class CapturingStream : public kestrel::strata_sdk::IActionResultStream {
  public:
    void send(const kestrel::strata_sdk::ActionResult& result) override {
        ++sends_;
        rows_ = result.rows();
    }
    void close() override { closed_ = true; }
    bool is_closed() const override { return closed_; }
    const std::vector<std::vector<kestrel::strata_sdk::Variant>>& Rows() const { return rows_; }
    // The message of the single values row sent once.
    std::string Message() const {
        EXPECT_EQ(1, sends_);
        return rows_.size() == 1 && rows_[0].size() == 2 && rows_[0][1].is_string()
                   ? rows_[0][1].as_string()
                   : std::string();
    }

  private:
    int sends_ = 0;
    bool closed_ = false;
    std::vector<std::vector<kestrel::strata_sdk::Variant>> rows_;
};

class ActionLink {
  public:
    // dataDir "" keeps nothing; the same directory again restores what the last link stored.
    explicit ActionLink(const std::string& dataDir = "") : running_(dataDir) {}

    // True once the link runs and offers "Add PLC".
    bool Ready() {
        return running_.Running() && WaitUntil([this] { return Exists("/addplc"); });
    }

    kestrel::strata_sdk::Link& Link() { return running_.Link(); }
    EipManager& Registry() { return running_.Registry(); }
    LinkContext& Context() { return running_.Context(); }
    bool Exists(const std::string& path) { return Link().responder()->node_exists(path); }

    kestrel::strata_sdk::InvokeResult Invoke(const std::string& path,
                                             const std::string& json = "{}") {
        return InvokeWith(path, kestrel::strata_sdk::json::from_json_string(json));
    }

    kestrel::strata_sdk::InvokeResult InvokeWith(const std::string& path,
                                                 const kestrel::strata_sdk::Variant& params) {
        kestrel::strata_sdk::InvokeResult result =
            Link().broker().invoke_and_wait(kestrel::strata_sdk::NodePath(path), params);
        EXPECT_TRUE(result.ok()) << path << ": " << result.error_text;
        return result;
    }

    // A tag folder's action ("/PLC1/EM Tags/Add Tags") with its "Tags(json)" parameter; the
    // message of each tag.
    std::vector<std::string> Tags(const std::string& path, const std::string& tagsJson) {
        kestrel::strata_sdk::Variant params = kestrel::strata_sdk::Variant::new_map();
        params["Tags(json)"] = tagsJson;
        return Messages(InvokeWith(path, params));
    }

    // The second column of every row: the message of each tag, or of the action.
    static std::vector<std::string> Messages(const kestrel::strata_sdk::InvokeResult& result) {
        std::vector<std::string> messages;
        for (const auto& row : result.rows) {
            messages.push_back(row.size() == 2 && row[1].is_string() ? row[1].as_string() : "");
        }
        return messages;
    }

    // Adds a PLC on loopback and waits for its tag folders; the message of the answer.
    std::string AddPlc(const std::string& alias, uint16_t port,
                       const std::string& family = "CIP/EIP",
                       const std::string& host = "127.0.0.1") {
        const std::vector<std::string> messages =
            Messages(Invoke("/addplc", "{\"Alias\":\"" + alias + "\",\"Host\":\"" + host +
                                           "\",\"Protocol Family\":\"" + family +
                                           "\",\"Port\":" + std::to_string(port) + "}"));
        if (messages != std::vector<std::string>{"success!"}) {
            return messages.empty() ? "no answer" : messages[0];
        }
        const bool shown = WaitUntil([&] {
            return Exists("/" + alias + "/EM Tags/Start Polling") &&
                   Exists("/" + alias + "/IO Tags/Add Tags");
        });
        return shown ? messages[0] : "no nodes for " + alias;
    }

    // The value of a node; null when it has none or does not exist.
    kestrel::strata_sdk::Variant Value(const std::string& path) {
        const auto node = Link().broker().describe(kestrel::strata_sdk::NodePath(path));
        return node ? node->at("value") : kestrel::strata_sdk::Variant();
    }

    // The message of a PLC's Start Polling.
    std::string StartPolling(const std::string& plc, int intervalMs) {
        return Single(Messages(Invoke("/" + plc + "/EM Tags/Start Polling",
                                      "{\"Interval(ms)\":" + std::to_string(intervalMs) + "}")));
    }
    // Writes a value (JSON text) to a tag of a PLC through Write Tags; the message.
    std::string Write(const std::string& plc, const std::string& tag, const std::string& value) {
        return Single(Tags("/" + plc + "/EM Tags/Write Tags",
                           "[{\"Tag Alias\":\"" + tag + "\",\"value\":" + value + "}]"));
    }
    // The polled value of a tag of a PLC as JSON text ("null" until it has one).
    std::string ValueText(const std::string& plc, const std::string& tag) {
        return kestrel::strata_sdk::json::to_json_string(
            Value("/" + plc + "/EM Tags/Read Tags List/" + tag));
    }

  private:
    static std::string Single(const std::vector<std::string>& messages) {
        return messages.size() == 1 ? messages[0] : "no single answer";
    }

    tb_device_test::RunningLink running_;
};

}  // namespace tb_test
