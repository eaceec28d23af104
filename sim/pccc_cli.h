#pragma once

// plcsim's command-line options of the PCCC controller: which kind it is (PLC-5, SLC 500 or
// MicroLogix), extra or resized data files, and the behaviours of controllers and bridges that
// a client must cope with when it connects (no Identity object, no ListIdentity answer, a zero
// sender context in replies). The JSON tag file may name the kind and files too:
//   {"plcType": "slc500", "pcccFiles": ["N7:500", "T4:10"], "tags": [...]}
//
// Threads: everything here runs on plcsim's main thread, before the simulator starts (the
// fault helpers may be called at any time).

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "sim/pccc_data_table.h"
#include "sim/plc_simulator.h"

namespace plcsim {

struct PcccCliOptions {
    std::string plcType;             // empty: from the tag file, else plc5
    std::vector<std::string> files;  // "N7:500": file letters and number, element count
    bool noIdentityObject = false;
    bool noListIdentity = false;
    bool zeroSenderContext = false;
};

void AddPcccOptions(CLI::App& app, PcccCliOptions& options);

// The kind, from the command line or else the tag file's "plcType" (PLC-5 when neither names
// one); the tag file's "pcccFiles" are added before those of the command line. False with a
// one-line reason on bad input.
bool ResolvePcccOptions(PcccCliOptions& options, const std::string& tagsFile, PcccPlcType& type,
                        std::string& error);
// Defines the files and arms the connection behaviours. False with a one-line reason.
bool ApplyPcccOptions(const PcccCliOptions& options, PcccDataTable& table, PlcSimulator& simulator,
                      std::string& error);

// The Identity object answers every request with "path destination unknown", as a bridge
// without one does.
void HideIdentityObject(PlcSimulator& simulator);
// ListIdentity over TCP goes unanswered.
void IgnoreListIdentity(PlcSimulator& simulator);
// SendRRData replies carry a zero sender context instead of the request's.
void ZeroSenderContext(PlcSimulator& simulator);

}  // namespace plcsim
