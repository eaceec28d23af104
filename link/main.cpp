// The Tagbridge process: parses the command line through the link SDK, runs the broker link,
// sleeps until SIGINT (or SIGTERM), then stops the link and every PLC device.

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "common/eip_log.h"
#include "device/eip_manager.h"
#include "link/eip_globals.h"
#include "link/eip_link.h"
#include "mqtt/mqtt_bridge.h"
#include "strata_sdk/sdk.h"

namespace sdk = kestrel::strata_sdk;

namespace {

constexpr const char* kLinkName = "Tagbridge";
constexpr const char* kSdkVersion = "1.4.6";
constexpr int kResponderLinkType = 2;
constexpr useconds_t kRunTickMicros = 10000;

// Written by the signal handler, read by the main loop.
volatile std::sig_atomic_t isLinkRun = 1;

// The stop signals and the actions they had before; the handler puts those back so that a second
// signal during shut-down ends the process the way it would have without us.
constexpr int kStopSignals[] = {SIGINT, SIGTERM};
struct sigaction new_sa;
struct sigaction old_sa[sizeof kStopSignals / sizeof kStopSignals[0]];

// Only async-signal-safe work here: the flag and sigaction. The "Exit Tagbridge" line is
// written by the main thread as soon as it sees the flag.
void sighandler(int signal) {
    isLinkRun = 0;
    for (size_t i = 0; i < sizeof kStopSignals / sizeof kStopSignals[0]; ++i) {
        if (kStopSignals[i] == signal) {
            sigaction(signal, &old_sa[i], nullptr);
        }
    }
}

void InstallStopHandler() {
    new_sa = {};
    new_sa.sa_handler = sighandler;
    sigemptyset(&new_sa.sa_mask);
    for (size_t i = 0; i < sizeof kStopSignals / sizeof kStopSignals[0]; ++i) {
        sigaction(kStopSignals[i], &new_sa, &old_sa[i]);
    }
}

// The MQTT side says its death first, while the tree still stands. The link is stopped next so
// that no SDK callback can reach a device being destroyed; the registry destroys its devices
// after releasing its lock.
void Shutdown(sdk::Link& link, tbmqtt::MqttBridge* mqtt) {
    if (mqtt) {
        mqtt->Stop();
    }
    link.stop();
    link.join();
    delete g_eipManager;
    g_eipManager = nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    eiplog::Info("main", "Start Tagbridge");
    InstallStopHandler();

    sdk::LinkOptions options(kLinkName, sdk::FileConfigLoader());
    tbmqtt::AddMqttOptions(options);
    if (!options.parse(argc, argv, std::cerr)) {
        return 1;
    }
    std::string mqttError;
    const std::optional<tbmqtt::MqttOptions> mqttOptions =
        tbmqtt::MqttOptionsFrom(options, mqttError);
    if (!mqttError.empty()) {
        std::cerr << kLinkName << ": " << mqttError << "\n";
        return 1;
    }

    sdk::Link link(std::move(options), kResponderLinkType, kSdkVersion);
    eiplog::Info("main",
                 std::string("Strata SDK ") + kSdkVersion + " build: " + link.get_version_info());

    g_link = &link;
    g_eipManager = new EipManager;

    EipLink eipLink(link);
    link.set_on_initialized_handler([&eipLink](const std::string& name, const std::error_code& ec) {
        eipLink.initialize(name, ec);
    });
    link.set_on_connected_handler([&eipLink](const std::error_code& ec) { eipLink.connected(ec); });
    link.set_on_disconnected_handler(
        [&eipLink](const std::error_code& ec) { eipLink.disconnected(ec); });

    // Started before the link runs, so that it sees every node as it is created or restored.
    std::unique_ptr<tbmqtt::MqttBridge> mqtt;
    if (mqttOptions) {
        mqtt = std::make_unique<tbmqtt::MqttBridge>(link.broker(), *mqttOptions);
        if (!mqtt->Start(mqttError)) {
            std::cerr << kLinkName << ": " << mqttError << "\n";
            Shutdown(link, nullptr);
            return 1;
        }
    }

    isLinkRun = 1;
    if (!link.non_blocking_run()) {
        // The SDK has logged why (node store unusable, console address taken): without a link
        // there is nothing to run.
        Shutdown(link, mqtt.get());
        return 1;
    }
    while (isLinkRun) {
        usleep(kRunTickMicros);
    }
    eiplog::Info("sighandler", "Exit Tagbridge");
    Shutdown(link, mqtt.get());

    eiplog::Info("main", "exit success!!");
    std::exit(0);
}
