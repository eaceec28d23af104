#pragma once

// How the simulated Logix controller lays out a user structure (a UDT) or a string type from
// its definition, and the structure handle it gives it.
//
// Threads: pure functions, no state.

#include <cstdint>
#include <functional>
#include <string>

#include "sim/logix_tags.h"

namespace plcsim {

// Prefix of the hidden SINT members that hold a structure's BOOL members as bits.
constexpr const char* kLogixHiddenHostPrefix = "ZZZZZZZZZZ";

// Lays the definition out into `out` as a controller does:
// - consecutive BOOL members share a hidden SINT host "ZZZZZZZZZZ<TYPE><n>" (n: the host's
//   index among the members), eight to a host, bit 0 first; the BOOL's member info is its bit;
// - every other member starts at a multiple of its alignment: its size for an elementary type
//   (SINT 1, INT 2, DINT/REAL 4, LINT/LREAL 8), 4 for a structure or an array (8 when it holds
//   an 8-byte member); a BOOL array is held in DWORD words;
// - the structure's size is rounded up to its largest alignment (at least 4);
// - a string type of n characters is DINT LEN at 0 and SINT DATA[n] at 4.
// The handle is a CRC-16 of the layout, moved on while `templateTaken` says its low 12 bits (the
// template instance) are taken. `find` looks member types up. False with a reason.
bool LayOutLogixStructure(const LogixTypeDefinition& definition,
                          const std::function<const LogixType*(const std::string&)>& find,
                          const std::function<bool(uint16_t)>& templateTaken, LogixType& out,
                          std::string& error);

}  // namespace plcsim
