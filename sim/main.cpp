// plcsim: a simulated EtherNet/IP controller on the command line. Runs until SIGINT or SIGTERM.

#include <pthread.h>
#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "sim/logix_cli.h"
#include "sim/logix_services.h"
#include "sim/pccc_cli.h"
#include "sim/pccc_services.h"
#include "sim/plc_simulator.h"

namespace {

// SIGINT and SIGTERM, blocked in every thread and taken by the main thread's wait.
sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

// Sleeps until a stop signal (true) or until the outage is due (false): no periodic wake-up.
bool WaitForStop(const sigset_t& signals, const plcsim::LogixOutage& outage) {
    const std::optional<std::chrono::nanoseconds> wait = outage.TimeToNextChange();
    int signal = -1;
    if (!wait) {
        signal = sigwaitinfo(&signals, nullptr);
    } else {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(*wait);
        const timespec timeout{static_cast<time_t>(seconds.count()),
                               static_cast<long>((*wait - seconds).count())};
        signal = sigtimedwait(&signals, nullptr, &timeout);
    }
    return signal == SIGINT || signal == SIGTERM;
}

// "N" or "N:MS" -> the nth reply and an optional number of milliseconds.
bool ParseNthWithMs(const std::string& text, int& nth, int& ms) {
    ms = 0;
    char extra = 0;
    return std::sscanf(text.c_str(), "%d:%d%c", &nth, &ms, &extra) >= 1 && nth >= 1 && ms >= 0 &&
           extra == 0;
}

// Every client is a socket: lift the soft limit to the hard one so a fleet of clients fits.
void RaiseOpenFileLimit() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &files) != 0) {
            std::cerr << "plcsim: cannot raise the open file limit: " << std::strerror(errno)
                      << "\n";
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    plcsim::SimConfig config;
    CLI::App app{
        "plcsim: a simulated EtherNet/IP controller for testing the Tagbridge link and any other "
        "EtherNet/IP client: ListIdentity (TCP, and UDP on the same port), ListServices, "
        "sessions, the Identity object, class-3 Forward Open (up to 511 bytes) and Large Forward "
        "Open (0x5B, up to 4002 bytes) / Forward Close, Logix Read / Write Tag, Read / Write Tag "
        "Fragmented (0x52 / 0x53) and Multiple Service Packets, PCCC. One event loop serves "
        "every session.\n"
        "Faults count encapsulation replies from the start: --drop-reply 3 drops the third."};
    app.add_option("--port", config.port, "TCP port of the encapsulation service (0: ephemeral)")
        ->capture_default_str();
    app.add_option("--bind", config.bindAddress, "IPv4 address to listen on")
        ->capture_default_str();
    app.add_option("--slot", config.slot, "backplane slot of the controller")
        ->capture_default_str()
        ->check(CLI::Range(0, 255));
    app.add_option("--vendor", config.identity.vendorId, "Identity vendor ID")
        ->capture_default_str();
    app.add_option("--device-type", config.identity.deviceType, "Identity device type")
        ->capture_default_str();
    app.add_option("--product-code", config.identity.productCode, "Identity product code")
        ->capture_default_str();
    std::string revision = std::to_string(config.identity.majorRevision) + "." +
                           std::to_string(config.identity.minorRevision);
    app.add_option("--revision", revision, "Identity revision MAJOR.MINOR")->capture_default_str();
    app.add_option("--serial", config.identity.serialNumber, "Identity serial number")
        ->capture_default_str();
    app.add_option("--name", config.identity.productName, "Identity product name (max 32 chars)")
        ->capture_default_str();
    app.add_flag("--verbose,-v", config.verbose, "log sessions, connections and refusals");
    app.add_option("--max-connection-size", config.maxConnectionSize,
                   "largest connection size granted, bytes (a Forward Open grants up to 511, a "
                   "Large Forward Open up to 4002); larger requests are refused with 0x01/0x0109 "
                   "and this size")
        ->capture_default_str()
        ->check(CLI::Range(1, 4002));
    app.add_flag(
        "--no-large-forward-open", [&config](int64_t) { config.largeForwardOpen = false; },
        "answer the Large Forward Open (0x5B) with \"service not supported\", as older "
        "firmware does");
    app.add_flag("--reply-with-ot-id", config.replyWithOtConnectionId,
                 "connected replies carry the O->T connection ID instead of the T->O one, as "
                 "some adapters do");
    app.add_flag("--io-grant-sockaddr", config.ioGrantSockaddr,
                 "a class-1 grant names the UDP port the data is sent from (T->O Sockaddr Info "
                 "item), which the consumer may then require");
    std::string family = "logix";
    app.add_option("--family", family,
                   "identity to present: logix, or pccc for a PLC-5, SLC 500 or MicroLogix "
                   "(--plc-type; its product name unless --name is given). Both answer Logix "
                   "tag services and PCCC on the data table O0, I1, S2, B3, T4 (T4:0 runs), C5, "
                   "R6, N7, F8, L9 (not on an SLC 500), ST10 and A11")
        ->check(CLI::IsMember({"logix", "pccc"}))
        ->capture_default_str();

    std::string dropReply, delayReply, splitReply, closeOnReply, wrongConnectionId, wrongSequence;
    std::string refuseForwardOpen;
    app.add_option("--drop-reply", dropReply, "N: send no answer to the nth request");
    app.add_option("--delay-reply", delayReply, "N:MS: answer the nth request MS ms late");
    app.add_option("--split-reply", splitReply,
                   "N[:MS]: send the nth reply in two TCP segments, MS ms apart");
    app.add_option("--close-on-reply", closeOnReply,
                   "N: close the connection instead of the nth reply");
    app.add_option("--wrong-connection-id", wrongConnectionId,
                   "N: the nth connected reply carries another connection ID");
    app.add_option("--wrong-sequence", wrongSequence,
                   "N: the nth connected reply carries another sequence count");
    app.add_option("--refuse-forward-open", refuseForwardOpen,
                   "GEN:EXT: refuse every Forward Open with this general / additional status "
                   "(hex, e.g. 01:0100)");
    plcsim::LogixCliOptions logixOptions;
    plcsim::AddLogixOptions(app, logixOptions);
    plcsim::PcccCliOptions pcccOptions;
    plcsim::AddPcccOptions(app, pcccOptions);
    CLI11_PARSE(app, argc, argv);

    unsigned major = 0;
    unsigned minor = 0;
    char extra = 0;
    if (std::sscanf(revision.c_str(), "%u.%u%c", &major, &minor, &extra) != 2 || major > 255 ||
        minor > 255) {
        std::cerr << "plcsim: --revision must be MAJOR.MINOR, each 0..255\n";
        return 1;
    }
    config.identity.majorRevision = static_cast<uint8_t>(major);
    config.identity.minorRevision = static_cast<uint8_t>(minor);
    plcsim::PcccPlcType pcccType = plcsim::PcccPlcType::kPlc5;
    std::string pcccError;
    if (!plcsim::ResolvePcccOptions(pcccOptions, logixOptions.tagsFile, pcccType, pcccError)) {
        std::cerr << "plcsim: " << pcccError << "\n";
        return 1;
    }
    if (family == "pccc" && app.count("--name") == 0) {
        config.identity.productName = plcsim::PcccProductName(pcccType);
    }

    plcsim::PlcSimulator simulator(config);
    plcsim::LogixTagDatabase logixTags;
    plcsim::LogixTagServices logixServices(simulator, logixTags);
    // A PLC-5 has no tag list to browse: it answers the Symbol object as unknown.
    std::optional<plcsim::LogixBrowseObjects> logixBrowse;
    if (family != "pccc") {
        logixBrowse.emplace(simulator, logixTags);
    }
    plcsim::PcccDataTable pcccTable(pcccType);
    plcsim::PcccServices pcccServices(simulator, pcccTable);
    if (!plcsim::ApplyPcccOptions(pcccOptions, pcccTable, simulator, pcccError)) {
        std::cerr << "plcsim: " << pcccError << "\n";
        return 1;
    }
    plcsim::LogixOutage outage;
    std::string logixError;
    if (!plcsim::ApplyLogixOptions(logixOptions, logixTags, simulator, outage, logixError)) {
        std::cerr << "plcsim: " << logixError << "\n";
        return 1;
    }
    struct FaultOption {
        const std::string& text;
        plcsim::FaultAction action;
        uint16_t command;
    };
    const FaultOption faultOptions[] = {
        {dropReply, plcsim::FaultAction::Drop, 0},
        {delayReply, plcsim::FaultAction::Delay, 0},
        {splitReply, plcsim::FaultAction::Split, 0},
        {closeOnReply, plcsim::FaultAction::Close, 0},
        {wrongConnectionId, plcsim::FaultAction::WrongConnectionId, EIP_CMD_SEND_UNIT_DATA},
        {wrongSequence, plcsim::FaultAction::WrongSequenceCount, EIP_CMD_SEND_UNIT_DATA},
    };
    for (const FaultOption& option : faultOptions) {
        if (option.text.empty()) {
            continue;
        }
        plcsim::Fault fault;
        int ms = 0;
        if (!ParseNthWithMs(option.text, fault.nth, ms)) {
            std::cerr << "plcsim: bad fault option value '" << option.text << "'\n";
            return 1;
        }
        fault.action = option.action;
        fault.command = option.command;
        fault.delay = std::chrono::milliseconds(ms);
        simulator.InjectFault(fault);
    }
    if (!refuseForwardOpen.empty()) {
        unsigned general = 0;
        unsigned ext = 0;
        if (std::sscanf(refuseForwardOpen.c_str(), "%x:%x%c", &general, &ext, &extra) != 2 ||
            general == 0 || general > 0xFF || ext > 0xFFFF) {
            std::cerr << "plcsim: --refuse-forward-open must be GEN:EXT in hex, GEN not 0\n";
            return 1;
        }
        plcsim::ForwardOpenFault fault;
        fault.refuseGeneralStatus = static_cast<uint8_t>(general);
        fault.refuseExtStatus = static_cast<uint16_t>(ext);
        simulator.SetForwardOpenFault(fault);
    }

    RaiseOpenFileLimit();
    // Blocked before the simulator's threads start, so that they inherit the mask.
    const sigset_t stopSignals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    if (!simulator.Start()) {
        std::cerr << "plcsim: cannot start: " << simulator.LastStartError() << "\n";
        return 1;
    }
    std::cout << "plcsim: controller in slot " << config.slot << " listening on "
              << config.bindAddress << ":" << simulator.Port() << std::endl;
    while (!WaitForStop(stopSignals, outage)) {
        outage.Poll(simulator);
    }
    simulator.Stop();
    return 0;
}
