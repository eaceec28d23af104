// The MQTT options through the link's option parser, the command line and --config.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "mqtt/mqtt_options.h"

namespace {

namespace sdk = kestrel::strata_sdk;

struct Parsed {
    sdk::LinkOptions::ParseOutcome outcome;
    std::optional<tbmqtt::MqttOptions> mqtt;
    std::string error;
};

Parsed Parse(std::vector<std::string> args) {
    args.insert(args.begin(), {"tagbridge", "--data-dir", ::testing::TempDir() + "/mqtt-opts",
                               "--listen", "127.0.0.1:0"});
    std::vector<const char*> argv;
    for (const auto& a : args) {
        argv.push_back(a.c_str());
    }
    sdk::LinkOptions options("Tagbridge");
    tbmqtt::AddMqttOptions(options);
    std::ostringstream out;
    std::ostringstream err;
    Parsed p{options.parse_arguments(static_cast<int>(argv.size()), argv.data(), out, err), {}, {}};
    p.error = err.str();
    if (p.outcome == sdk::LinkOptions::ParseOutcome::Run) {
        p.mqtt = tbmqtt::MqttOptionsFrom(options, p.error);
    }
    return p;
}

TEST(MqttOptions, UrlsGiveHostPortAndTls) {
    const struct {
        const char* url;
        const char* host;
        uint16_t port;
        bool tls;
    } cases[] = {
        {"mqtt://broker.local:1884", "broker.local", 1884, false},
        {"mqtt://10.0.0.5", "10.0.0.5", 1883, false},
        {"mqtts://broker:8884/", "broker", 8884, true},
        {"mqtts://[::1]", "::1", 8883, true},
        {"mqtt://[::1]:1999", "::1", 1999, false},
    };
    for (const auto& c : cases) {
        const Parsed p = Parse({"--mqtt-url", c.url});
        ASSERT_TRUE(p.mqtt) << c.url << ": " << p.error;
        EXPECT_EQ(p.mqtt->host, c.host);
        EXPECT_EQ(p.mqtt->port, c.port);
        EXPECT_EQ(p.mqtt->tls, c.tls);
        EXPECT_EQ(p.mqtt->group, "Tagbridge");
        EXPECT_FALSE(p.mqtt->node.empty()) << "the host name by default";
    }
}

TEST(MqttOptions, BadValuesAreRefusedWithTheOptionNamed) {
    const std::vector<std::vector<std::string>> cases = {
        {"--mqtt-url", "http://broker:1883"},
        {"--mqtt-url", "mqtt://broker:0"},
        {"--mqtt-url", "mqtt://broker:99999"},
        {"--mqtt-url", "mqtt://:1883"},
        {"--mqtt-url", "mqtt://user@broker"},
        {"--mqtt-url", "mqtt://b", "--mqtt-group", "a/b"},
        {"--mqtt-url", "mqtt://b", "--mqtt-node", "n+1"},
        {"--mqtt-url", "mqtt://b", "--mqtt-password-file", "/nonexistent/pw"},
    };
    for (const auto& args : cases) {
        const Parsed p = Parse(args);
        EXPECT_FALSE(p.mqtt) << args.back();
        EXPECT_NE(p.error.find("--mqtt-"), std::string::npos) << p.error;
    }
    EXPECT_FALSE(Parse({}).mqtt) << "without --mqtt-url there is no MQTT";
    EXPECT_TRUE(Parse({}).error.empty());
}

TEST(MqttOptions, ConfigFileGivesTheSameKeysAndTheCommandLineWins) {
    const std::string dir = ::testing::TempDir();
    std::ofstream(dir + "/mqtt-pw") << "s3cret\nignored\n";
    std::ofstream(dir + "/mqtt.json") << "{\"mqtt-url\": \"mqtt://127.0.0.1:1999\", "
                                         "\"mqtt-group\": \"Plant\", \"mqtt-node\": \"line1\", "
                                         "\"mqtt-user\": \"tb\", \"mqtt-password-file\": \""
                                      << dir << "/mqtt-pw\"}";
    const Parsed p = Parse({"--config", dir + "/mqtt.json", "--mqtt-node", "line2"});
    ASSERT_TRUE(p.mqtt) << p.error;
    EXPECT_EQ(p.mqtt->port, 1999);
    EXPECT_EQ(p.mqtt->group, "Plant");
    EXPECT_EQ(p.mqtt->node, "line2");
    EXPECT_EQ(p.mqtt->user, "tb");
    EXPECT_EQ(p.mqtt->password, "s3cret");
}

}  // namespace
