#include "sim/logix_cli.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "sim/logix_tag_config.h"

namespace plcsim {

namespace {

// Tags one --tag-series may define: the Symbol instances below the controller's own entries.
constexpr unsigned long kMaxTagSeries = 60000;

constexpr const char* kTagHelp =
    "Logix tags:\n"
    "  Without --tag or --tags-file plcsim serves a demo set: Counter (DINT, +1 every second),\n"
    "  Ramp (REAL, 0..100), Flag, Small, Word, Value, Level, Buffer (DINT[10]), Grid (INT[3,4]),\n"
    "  Message (STRING), Motor1 (MOTOR), Program:MainProgram.Step (DINT, +1 every 500 ms),\n"
    "  Program:MainProgram.Setpoint (REAL), a hidden __Trace (DINT), Timer1 (TIMER, enabled,\n"
    "  PRE 10000 ms, starts over once done), Count1 (COUNTER, +1 every second, PRE 100) and\n"
    "  Label (STRING32).\n"
    "  --tag "
    "NAME:TYPE[DIMS][=VALUE][@counter[:STEP[:PERIOD_MS]]][@ramp:MIN:MAX[:STEP[:PERIOD_MS]]]\n"
    "    TYPE: BOOL SINT INT DINT LINT USINT UINT UDINT ULINT REAL LREAL DWORD STRING MOTOR\n"
    "    TIMER COUNTER CONTROL or a --type; a TIMER times while EN (with @counter it starts\n"
    "    over once done), a COUNTER with @counter[:STEP[:PERIOD_MS]] counts up\n"
    "    (Timer1:TIMER={\"PRE\":5000,\"EN\":true}  Count1:COUNTER@counter);\n"
    "    DIMS: [10] or [3,4] (up to 3, row-major, at most 16 MiB in all: a DINT[70001] is\n"
    "    fine); a BOOL array has one dimension and is held in 32-bit words (BOOL[64] is\n"
    "    DWORD[2], Flags[1] addresses bits 32..63);\n"
    "    VALUE: a number, a list 1,2,3 for arrays (bits for a BOOL array), the text of a\n"
    "    STRING, or JSON\n"
    "    ({\"Speed\":12.5} for a MOTOR: Running Mode Faults Count Speed Setpoints[4] Name).\n"
    "    Examples: --tag Count:DINT@counter  --tag Level:REAL@ramp:0:100:0.5:100\n"
    "              --tag Buffer:INT[10]=1,2,3  --tag Message:STRING=hello\n"
    "              --tag Grid:DINT[4,5]  --tag Flags:BOOL[64]=1,0,1  --tag Stamp:LINT=-5\n"
    "              --tag Program:MainProgram.Step:DINT (a tag of program MainProgram)\n"
    "  --tag-series NAME:TYPE:COUNT defines COUNT tags NAME0 ... NAME<COUNT-1> of TYPE.\n"
    "  --tags-file FILE: JSON, "
    "[{\"name\":\"Count\",\"type\":\"DINT\",\"dims\":[10],\"value\":[1,2],\n"
    "    \"counter\":{\"step\":1,\"periodMs\":100}}, ...] or {\"tags\": [...]}; \"ramp\" takes\n"
    "    min, max, step and periodMs; {\"types\": [...], \"tags\": [...]} defines types too.\n"
    "  --type JSON: a user structure {\"name\":\"RECIPE\",\"members\":[{\"name\":\"Temp\",\n"
    "    \"type\":\"REAL\"},{\"name\":\"Steps\",\"type\":\"DINT\",\"length\":4},{\"name\":\"Ok\",\n"
    "    \"type\":\"BOOL\"}]} (BOOLs in hidden SINT hosts) or a string {\"name\":\"STRING32\",\n"
    "    \"string\":32} (DINT LEN, SINT DATA[32]; --tag Label:STRING32=hello).\n"
    "  Tag names are case-insensitive, as in a controller. Unknown tags answer general status\n"
    "  0x05, malformed paths 0x04, wrong types 0xFF/0x2107, ranges past the end 0xFF/0x2105,\n"
    "  a write longer than its type and count 0x15, a Read-Modify-Write mask wider than the\n"
    "  tag 0x03.";

// "NAME:TYPE:COUNT": COUNT tags NAME0 ... of TYPE, appended to out.
bool ParseTagSeries(const std::string& text, std::vector<LogixTagDefinition>& out,
                    std::string& error) {
    const size_t first = text.find(':');
    const size_t second = text.find(':', first == std::string::npos ? first : first + 1);
    char* end = nullptr;
    const unsigned long count =
        second == std::string::npos ? 0 : std::strtoul(text.c_str() + second + 1, &end, 10);
    if (count == 0 || count > kMaxTagSeries || end == nullptr || *end != '\0' || first == 0) {
        error = "--tag-series must be NAME:TYPE:COUNT with COUNT from 1 to " +
                std::to_string(kMaxTagSeries) + ", not '" + text + "'";
        return false;
    }
    for (unsigned long i = 0; i < count; ++i) {
        LogixTagDefinition definition;
        definition.name = text.substr(0, first) + std::to_string(i);
        definition.type = text.substr(first + 1, second - first - 1);
        out.push_back(std::move(definition));
    }
    return true;
}

// "N" or "N:MS".
bool ParseNth(const std::string& text, int& nth, int& ms) {
    ms = 0;
    char extra = 0;
    return std::sscanf(text.c_str(), "%d:%d%c", &nth, &ms, &extra) >= 1 && nth >= 1 && ms >= 0 &&
           extra == 0;
}

}  // namespace

void AddLogixOptions(CLI::App& app, LogixCliOptions& options) {
    app.add_option("--tag", options.tags, "define a Logix tag (see below); repeatable");
    app.add_option("--type", options.types,
                   "define a user structure or string type as a JSON type object; repeatable");
    app.add_option("--tags-file", options.tagsFile, "JSON file of Logix tag definitions");
    app.add_option("--tag-series", options.tagSeries,
                   "NAME:TYPE:COUNT: define COUNT tags NAME0... of TYPE; repeatable");
    app.add_flag("--no-demo-tags", options.noDemoTags, "serve no demo tags when no tag is defined");
    app.add_option("--drop-tag-reply", options.dropTagReply,
                   "N: send no answer to the nth connected tag request (poll)");
    app.add_option("--delay-tag-reply", options.delayTagReply,
                   "N:MS: answer the nth connected tag request MS ms late");
    app.add_option("--close-on-tag-reply", options.closeOnTagReply,
                   "N: close the connection instead of answering the nth connected tag request");
    app.add_option("--outage", options.outage,
                   "START_MS:DOWN_MS[:EVERY_MS]: stop the controller START_MS after start for "
                   "DOWN_MS, then restart it (again every EVERY_MS)");
    app.footer(kTagHelp);
}

bool LogixOutage::Parse(const std::string& text) {
    long s = 0;
    long d = 0;
    long e = 0;
    char extra = 0;
    const int fields = std::sscanf(text.c_str(), "%ld:%ld:%ld%c", &s, &d, &e, &extra);
    if (fields < 2 || fields > 3 || s < 0 || d < 1 || e < 0 || (fields == 3 && e <= d)) {
        return false;
    }
    enabled = true;
    start = std::chrono::milliseconds(s);
    down = std::chrono::milliseconds(d);
    every = std::chrono::milliseconds(fields == 3 ? e : 0);
    origin = Clock::now();
    nextChange = origin + start;
    return true;
}

std::optional<std::chrono::nanoseconds> LogixOutage::TimeToNextChange() const {
    if (!enabled) {
        return std::nullopt;
    }
    return std::max(std::chrono::nanoseconds(0), nextChange - Clock::now());
}

void LogixOutage::Poll(PlcSimulator& simulator) {
    if (!enabled || Clock::now() < nextChange) {
        return;
    }
    if (!isDown) {
        std::printf("plcsim: outage: controller stopped\n");
        std::fflush(stdout);
        simulator.Stop();
        isDown = true;
        nextChange = Clock::now() + down;
        return;
    }
    const bool restarted = simulator.Restart();
    std::printf("plcsim: outage: controller %s\n", restarted ? "back" : "failed to restart");
    std::fflush(stdout);
    isDown = false;
    if (every.count() > 0) {
        nextChange += every - down;
    } else {
        enabled = false;
    }
}

bool ApplyLogixOptions(const LogixCliOptions& options, LogixTagDatabase& tags,
                       PlcSimulator& simulator, LogixOutage& outage, std::string& error) {
    std::vector<LogixTagDefinition> definitions;
    std::vector<LogixTypeDefinition> types;
    if (!options.tagsFile.empty() &&
        !LoadLogixTagFile(options.tagsFile, definitions, error, &types)) {
        return false;
    }
    for (const std::string& text : options.types) {
        LogixTypeDefinition type;
        const nlohmann::json object = nlohmann::json::parse(text, nullptr, false);
        if (!ParseLogixTypeJson(object, type, error)) {
            error = "--type: " + error;
            return false;
        }
        types.push_back(std::move(type));
    }
    for (const std::string& text : options.tagSeries) {
        if (!ParseTagSeries(text, definitions, error)) {
            return false;
        }
    }
    for (const std::string& text : options.tags) {
        LogixTagDefinition definition;
        if (!ParseLogixTagOption(text, definition, error)) {
            return false;
        }
        definitions.push_back(std::move(definition));
    }
    if (definitions.empty() && !options.noDemoTags) {
        definitions = LogixDemoTags();
        for (const LogixTypeDefinition& type : LogixDemoTypes()) {
            if (tags.FindType(type.name) == nullptr) {  // a controller defines them already
                types.push_back(type);
            }
        }
    }
    for (const LogixTypeDefinition& type : types) {
        if (!tags.DefineType(type, error)) {
            return false;
        }
    }
    for (const LogixTagDefinition& definition : definitions) {
        if (!tags.Define(definition, error)) {
            return false;
        }
    }

    struct TagFault {
        const std::string& text;
        FaultAction action;
        const char* name;
    };
    const TagFault faults[] = {
        {options.dropTagReply, FaultAction::Drop, "--drop-tag-reply"},
        {options.delayTagReply, FaultAction::Delay, "--delay-tag-reply"},
        {options.closeOnTagReply, FaultAction::Close, "--close-on-tag-reply"}};
    for (const TagFault& option : faults) {
        if (option.text.empty()) {
            continue;
        }
        Fault fault;
        int ms = 0;
        if (!ParseNth(option.text, fault.nth, ms)) {
            error = std::string(option.name) + ": bad value '" + option.text + "'";
            return false;
        }
        fault.action = option.action;
        fault.command = EIP_CMD_SEND_UNIT_DATA;  // connected requests: the tag polls
        fault.delay = std::chrono::milliseconds(ms);
        simulator.InjectFault(fault);
    }
    if (!options.outage.empty() && !outage.Parse(options.outage)) {
        error = "--outage must be START_MS:DOWN_MS[:EVERY_MS] with EVERY_MS above DOWN_MS";
        return false;
    }
    return true;
}

}  // namespace plcsim
