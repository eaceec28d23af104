#pragma once

// Tag definitions of the simulated Logix controller from outside: a JSON file, the command
// line, or the built-in demo set that plcsim serves when given none.
//
// JSON file: an array of tag objects, or {"tags": [...]}. A tag object:
//   {"name": "Speed", "type": "REAL", "dims": [10], "value": [1.5, 2.5],
//    "counter": {"step": 1, "periodMs": 100}}            (or)
//    "ramp": {"min": 0, "max": 100, "step": 0.5, "periodMs": 100}}
// "type" is an elementary type (BOOL, SINT, INT, DINT, LINT, USINT, UINT, UDINT, ULINT, REAL,
// LREAL, DWORD), STRING or MOTOR; "dims", "value", "counter" and "ramp" are optional. A BOOL
// array (one dimension) takes its bits as "value": [true, false, 1].
//
// Command line (--tag, repeatable):
//   NAME:TYPE[DIMS][=VALUE][@counter[:STEP[:PERIOD_MS]]][@ramp:MIN:MAX[:STEP[:PERIOD_MS]]]
//   Count:DINT@counter          Level:REAL@ramp:0:100:0.5:100      Buffer:INT[10]=1,2,3
//   Grid:DINT[3,4]              Message:STRING=hello world          Flag:BOOL=1
//   Flags:BOOL[64]=1,0,1        Stamp:LINT=-9007199254740993        Huge:ULINT=18446744073709551615
//   Motor1:MOTOR={"Speed":12.5,"Running":true}
// VALUE is JSON (a list of numbers without brackets is taken as an array); for STRING it is the
// text itself.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/logix_tags.h"

namespace plcsim {

bool ParseLogixTagJson(const nlohmann::json& object, LogixTagDefinition& out, std::string& error);
bool LoadLogixTagFile(const std::string& path, std::vector<LogixTagDefinition>& out,
                      std::string& error);
bool ParseLogixTagOption(const std::string& text, LogixTagDefinition& out, std::string& error);
// The tags plcsim serves when none are given: a moving counter and ramp, one tag of each type,
// arrays and a MOTOR.
std::vector<LogixTagDefinition> LogixDemoTags();

}  // namespace plcsim
