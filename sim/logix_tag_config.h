#pragma once

// Tag definitions of the simulated Logix controller from outside: a JSON file, the command
// line, or the built-in demo set that plcsim serves when given none.
//
// JSON file: an array of tag objects, or {"types": [...], "tags": [...]}. A type object defines
// a user structure or a string type (members in order, laid out as a controller does):
//   {"name": "RECIPE", "members": [{"name": "Temp", "type": "REAL"},
//                                  {"name": "Steps", "type": "DINT", "length": 4},
//                                  {"name": "Ready", "type": "BOOL"}]}
//   {"name": "STRING32", "string": 32}
// A tag object:
//   {"name": "Speed", "type": "REAL", "dims": [10], "value": [1.5, 2.5],
//    "counter": {"step": 1, "periodMs": 100}}            (or)
//    "ramp": {"min": 0, "max": 100, "step": 0.5, "periodMs": 100}}
// "type" is an elementary type (BOOL, SINT, INT, DINT, LINT, USINT, UINT, UDINT, ULINT, REAL,
// LREAL, DWORD), STRING, MOTOR, TIMER, COUNTER, CONTROL or a defined type; a structure's value
// is an object of member values (a TIMER runs while "EN" is true, with "counter" it starts over
// once done; a COUNTER with "counter" counts "step" up every period); "dims", "value", "counter"
// and "ramp" are optional. A BOOL array (one dimension) takes its bits as "value": [true, false,
// 1].
//
// Command line (--tag, repeatable):
//   NAME:TYPE[DIMS][=VALUE][@counter[:STEP[:PERIOD_MS]]][@ramp:MIN:MAX[:STEP[:PERIOD_MS]]]
//   Count:DINT@counter          Level:REAL@ramp:0:100:0.5:100      Buffer:INT[10]=1,2,3
//   Grid:DINT[3,4]              Message:STRING=hello world          Flag:BOOL=1
//   Flags:BOOL[64]=1,0,1        Stamp:LINT=-9007199254740993        Huge:ULINT=18446744073709551615
//   Motor1:MOTOR={"Speed":12.5,"Running":true}  Timer1:TIMER={"PRE":5000,"EN":true}
//   Label:STRING32=hello                         Count1:COUNTER={"PRE":100}@counter:1:1000
// VALUE is JSON (a list of numbers without brackets is taken as an array); for STRING it is the
// text itself, for a structure that is not JSON too (a custom string type).
// Types on the command line (--type, repeatable): a type object as above.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/logix_tags.h"

namespace plcsim {

bool ParseLogixTagJson(const nlohmann::json& object, LogixTagDefinition& out, std::string& error);
bool ParseLogixTypeJson(const nlohmann::json& object, LogixTypeDefinition& out, std::string& error);
// The file's tags, and its types into `types` when given (a file with types and no `types` to
// take them is refused).
bool LoadLogixTagFile(const std::string& path, std::vector<LogixTagDefinition>& out,
                      std::string& error, std::vector<LogixTypeDefinition>* types = nullptr);
bool ParseLogixTagOption(const std::string& text, LogixTagDefinition& out, std::string& error);
// The tags plcsim serves when none are given: a moving counter and ramp, one tag of each type,
// arrays, a MOTOR, a running TIMER, a counting COUNTER and a custom string (of the demo types).
std::vector<LogixTagDefinition> LogixDemoTags();
std::vector<LogixTypeDefinition> LogixDemoTypes();

}  // namespace plcsim
