// The Tagbridge process: parses the command line through the link SDK, runs the broker link,
// waits for SIGINT or SIGTERM, then stops the link and every PLC device. SIGHUP reopens the
// log file, for log rotation.

#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "common/eip_log.h"
#include "device/eip_manager.h"
#include "link/eip_link.h"
#include "link/link_context.h"
#include "link/plc_metrics.h"
#include "mqtt/mqtt_bridge.h"
#include "strata_sdk/sdk.h"

namespace sdk = kestrel::strata_sdk;

namespace {

constexpr const char* kLinkName = "Tagbridge";
constexpr const char* kSdkVersion = "1.4.6";
constexpr int kResponderLinkType = 2;

// Taken by the main thread with sigwait(): blocked before any thread starts, so every thread
// inherits the mask and no handler ever interrupts one.
sigset_t HandledSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&set, signal);
    }
    return set;
}

// Returns on SIGINT or SIGTERM. A rotated log file is reopened under its name on SIGHUP; when
// that fails the old file is kept.
void WaitForStopSignal(const sigset_t& signals, const std::string& logFile) {
    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0 || signal != SIGHUP) {
            return;
        }
        if (logFile.empty()) {
            continue;
        }
        if (sdk::set_log_file(logFile)) {
            eiplog::Info("main", "Reopened the log file " + logFile);
        } else {
            eiplog::Error("main", "Cannot reopen the log file " + logFile + ": " +
                                      std::strerror(errno) + "; writing to the old one");
        }
    }
}

// A second stop signal during shut-down ends the process the way it would have without us.
void RestoreStopSignals() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
}

// The MQTT side says its death first, while the tree still stands. The link is stopped next so
// that no SDK callback can reach a device being destroyed; the registry destroys its devices
// after releasing its lock.
void Shutdown(sdk::Link& link, EipManager& registry, tbmqtt::MqttBridge* mqtt) {
    if (mqtt) {
        mqtt->Stop();
    }
    link.stop();
    link.join();
    registry.RemoveAll();
}

}  // namespace

int main(int argc, char** argv) {
    eiplog::Info("main", "Start Tagbridge");
    const sigset_t signals = HandledSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

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

    // The process owns the broker link and the PLC registry; the node tree, the actions and the
    // restore reach them through the context, which outlives the stopped link.
    EipManager registry;
    LinkContext context(link, registry);
    EipLink eipLink(context);
    link.set_on_initialized_handler([&eipLink](const std::string& name, const std::error_code& ec) {
        eipLink.initialize(name, ec);
    });
    link.set_on_connected_handler([&eipLink](const std::error_code& ec) { eipLink.connected(ec); });
    link.set_on_disconnected_handler(
        [&eipLink](const std::error_code& ec) { eipLink.disconnected(ec); });

    // Set before the link runs (and with it the HTTP front), read by scrapes afterwards.
    std::unique_ptr<tbmqtt::MqttBridge> mqtt;
    link.set_metrics_source([&registry, &mqtt](sdk::MetricsText& out) {
        WritePlcMetrics(registry.CollectStats(), out);
        if (mqtt) {
            mqtt->WriteMetrics(out);
        }
    });

    // Started before the link runs, so that it sees every node as it is created or restored.
    if (mqttOptions) {
        mqtt = std::make_unique<tbmqtt::MqttBridge>(link.broker(), *mqttOptions);
        if (!mqtt->Start(mqttError)) {
            std::cerr << kLinkName << ": " << mqttError << "\n";
            Shutdown(link, registry, nullptr);
            return 1;
        }
    }

    if (!link.non_blocking_run()) {
        // The SDK has logged why (node store unusable, console address taken): without a link
        // there is nothing to run.
        Shutdown(link, registry, mqtt.get());
        return 1;
    }
    WaitForStopSignal(signals, link.options().log_file());
    eiplog::Info("sighandler", "Exit Tagbridge");
    RestoreStopSignals();
    Shutdown(link, registry, mqtt.get());

    eiplog::Info("main", "exit success!!");
    std::exit(0);
}
