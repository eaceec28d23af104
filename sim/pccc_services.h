#pragma once

// plcsim's PCCC controller (a PLC-5, an SLC 500 or a MicroLogix): its data table served through
// CIP Execute PCCC (service 0x4B of the PCCC object, class 0x67, instance 1) with the protected
// typed logical read (0xA2), write (0xAA) and masked write (0xAB) with three address fields.
// An address the table refuses is answered as a controller does: CIP success carrying PCCC
// STS 0xF0 and an EXT STS; a malformed command gets STS 0x10 and is recorded as a protocol
// error. Requests pipelined on one session are answered in order, each echoing its TNS.
//
// PcccController bundles a simulator with a data table and these services, which is what tests
// start; the plcsim program plugs the services into its controller beside the Logix tags.
//
// Threads: handlers run on the simulator's session threads; PcccDataTable guards its files with
// its own mutex, PcccServices keeps no state besides the two references set at construction.

#include <cstdint>
#include <vector>

#include "common/byte_codec.h"
#include "sim/pccc_data_table.h"
#include "sim/plc_simulator.h"

namespace plcsim {

class PcccServices {
  public:
    // Registers the PCCC object on sim's router. Both objects must outlive the simulator's
    // sessions (stop the simulator before destroying them).
    PcccServices(PlcSimulator& sim, PcccDataTable& table);

    CipReply ExecutePccc(const CipRequest& request) const;

  private:
    // Runs one PCCC command (CMD onwards); the reply bytes from CMD on.
    std::vector<uint8_t> Command(ByteView command) const;

    PlcSimulator& sim_;
    PcccDataTable& table_;
};

// A simulated PCCC controller: the simulator, its data table and the PCCC services.
class PcccController {
  public:
    explicit PcccController(SimConfig config, PcccPlcType type = PcccPlcType::kPlc5);
    ~PcccController();
    PcccController(const PcccController&) = delete;
    PcccController& operator=(const PcccController&) = delete;

    PlcSimulator& Sim() { return sim_; }
    PcccDataTable& Table() { return table_; }

  private:
    PcccDataTable table_;
    PlcSimulator sim_;
    PcccServices services_;
};

}  // namespace plcsim
