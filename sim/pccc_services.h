#pragma once

// The simulated PLC5 of plcsim: a data table of B, N, F, L and ST files served through CIP
// Execute PCCC (service 0x4B of the PCCC object, class 0x67, instance 1) with the PCCC typed
// read (0xA2), typed write (0xAA) and masked write (0xAB) commands. An address the table does
// not hold is answered as a PLC5 does: CIP success carrying PCCC STS 0xF0 and an EXT STS;
// a malformed command gets STS 0x10 and is recorded as a protocol error.
//
// PcccController bundles a simulator with a data table and these services, which is what tests
// start; the plcsim program plugs the services into its controller beside the Logix tags.
//
// Threads: handlers run on the simulator's session threads; PcccDataTable guards its files with
// its own mutex, PcccServices keeps no state besides the two references set at construction.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "common/byte_codec.h"
#include "sim/plc_simulator.h"

namespace plcsim {

// One data file: its PCCC type code and the bytes of all its elements.
struct PcccFile {
    uint8_t type = 0;
    uint16_t elementBytes = 0;
    std::vector<uint8_t> bytes;
};

// Outcome of a data-table access: STS, and EXT STS when STS is 0xF0.
struct PcccStatus {
    uint8_t sts = 0;
    uint8_t extSts = 0;
    bool ok() const { return sts == 0; }
};

class PcccDataTable {
  public:
    // The default table: B3, N7, F8 and L9 with 64 elements each and ST10 with 8, all zero.
    PcccDataTable();

    // Adds (or replaces) a file of count zeroed elements. False for a type this table does not
    // know (B 0x85, N 0x89, F 0x8A, ST 0x8D, L 0x91).
    bool DefineFile(uint16_t fileNumber, uint8_t type, uint16_t elementCount);

    // Reads byteCount bytes from the element (and sub-element word) on; they may run into the
    // following elements of the same file.
    PcccStatus Read(uint16_t file, uint8_t type, uint16_t element, uint16_t subElement,
                    uint16_t byteCount, std::vector<uint8_t>& out) const;
    // Writes the bytes at the address; with masks (masked write), each 16-bit word becomes
    // (old & ~mask) | (value & mask), masks and values interleaved as mask words then values.
    PcccStatus Write(uint16_t file, uint8_t type, uint16_t element, uint16_t subElement,
                     ByteView bytes, bool masked);

    // Test helpers: an element's value; nullopt for an address the table does not hold.
    bool SetInt(uint16_t file, uint16_t element, int16_t value);
    bool SetReal(uint16_t file, uint16_t element, float value);
    bool SetDint(uint16_t file, uint16_t element, int32_t value);
    std::optional<int16_t> GetInt(uint16_t file, uint16_t element) const;
    std::optional<float> GetReal(uint16_t file, uint16_t element) const;
    std::optional<int32_t> GetDint(uint16_t file, uint16_t element) const;

  private:
    // The byte range of an access, or a failed status.
    PcccStatus Locate(uint16_t file, uint8_t type, uint16_t element, uint16_t subElement,
                      size_t byteCount, size_t& offset) const;
    bool SetBytes(uint16_t file, uint16_t element, const uint8_t* bytes, size_t count);
    bool GetBytes(uint16_t file, uint16_t element, uint8_t* bytes, size_t count) const;

    mutable std::mutex mutex;
    std::map<uint16_t, PcccFile> files;
};

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

// A simulated PLC5: the simulator, its data table and the PCCC services.
class PcccController {
  public:
    explicit PcccController(SimConfig config);
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
