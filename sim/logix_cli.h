#pragma once

// plcsim's command-line options of the simulated Logix controller: its tags (JSON file,
// --tag definitions or the demo set), faults on the tag poll replies, and planned outages that
// stop and restart the whole controller.
//
// Threads: everything here runs on plcsim's main thread.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "sim/logix_tags.h"
#include "sim/plc_simulator.h"

namespace plcsim {

struct LogixCliOptions {
    std::vector<std::string> tags;
    std::vector<std::string> types;
    std::vector<std::string> tagSeries;
    std::string tagsFile;
    bool noDemoTags = false;
    std::string dropTagReply;
    std::string delayTagReply;
    std::string closeOnTagReply;
    std::string outage;
};

// Adds the options (and a help footer describing the tag syntax) to the app.
void AddLogixOptions(CLI::App& app, LogixCliOptions& options);

// Stops the controller for a while, once or periodically, as a power loss would.
class LogixOutage {
  public:
    using Clock = std::chrono::steady_clock;
    // "START_MS:DOWN_MS[:EVERY_MS]"; false for malformed text.
    bool Parse(const std::string& text);
    bool Enabled() const { return enabled; }
    // Stops or restarts the simulator when due.
    void Poll(PlcSimulator& simulator);
    // How long until Poll has something to do (0 when due); none when it never will.
    std::optional<std::chrono::nanoseconds> TimeToNextChange() const;

  private:
    bool enabled = false;
    std::chrono::milliseconds start{0};
    std::chrono::milliseconds down{0};
    std::chrono::milliseconds every{0};
    Clock::time_point origin = Clock::now();
    bool isDown = false;
    Clock::time_point nextChange = Clock::now();
};

// Defines the tags and arms the tag reply faults. False with a one-line reason on bad input.
bool ApplyLogixOptions(const LogixCliOptions& options, LogixTagDatabase& tags,
                       PlcSimulator& simulator, LogixOutage& outage, std::string& error);

}  // namespace plcsim
