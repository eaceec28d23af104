#pragma once

// The data table of plcsim's PCCC controller: numbered files of one type each (O, I, S, B, T,
// C, R, N, F, ST, A, L), as a PLC-5, an SLC 500 or a MicroLogix holds them. The kind decides
// which file types exist, the largest transfer answered and which status words are read-only.
// Timers run while enabled (time base 0.01 s) and counters count the rising edges of their
// CU and CD bits, as the TON, CTU and CTD instructions of a running program would.
//
// Threads: every method may be called from any thread; the files, the timers' clock and the
// kind's rules are guarded by the table's own mutex.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/byte_codec.h"

namespace plcsim {

// Wire values of the data table as the typed logical commands address it, from the DF1
// manual's file types and the controllers' reference manuals (plcsim's own copy: it answers
// the client as an independent controller would).
//
// Timer, counter and control elements are three 16-bit words; the sub-element field of an
// address selects the word a transfer starts at:
// | word | T (timer)           | C (counter)                       | R (control)                  |
// | 0    | EN 15, TT 14, DN 13 | CU 15, CD 14, DN 13, OV 12, UN 11 | EN 15, EU 14, DN 13, EM 12,  |
// |      |                     |                                   | ER 11, UL 10, IN 9, FD 8     |
// | 1    | .PRE                | .PRE                              | .LEN                         |
// | 2    | .ACC                | .ACC                              | .POS                         |

// File type byte of a typed logical address.
constexpr uint8_t PCCC_FILE_TYPE_OUTPUT = 0x82;
constexpr uint8_t PCCC_FILE_TYPE_INPUT = 0x83;
constexpr uint8_t PCCC_FILE_TYPE_STATUS = 0x84;
constexpr uint8_t PCCC_FILE_TYPE_BIT = 0x85;
constexpr uint8_t PCCC_FILE_TYPE_TIMER = 0x86;
constexpr uint8_t PCCC_FILE_TYPE_COUNTER = 0x87;
constexpr uint8_t PCCC_FILE_TYPE_CONTROL = 0x88;
constexpr uint8_t PCCC_FILE_TYPE_INTEGER = 0x89;
constexpr uint8_t PCCC_FILE_TYPE_FLOAT = 0x8A;
// The DF1 manual's "output / input logical by slot" codes; controllers answer them with the
// same O and I files.
constexpr uint8_t PCCC_FILE_TYPE_OUTPUT_BY_SLOT = 0x8B;
constexpr uint8_t PCCC_FILE_TYPE_INPUT_BY_SLOT = 0x8C;
constexpr uint8_t PCCC_FILE_TYPE_STRING = 0x8D;
constexpr uint8_t PCCC_FILE_TYPE_ASCII = 0x8E;
constexpr uint8_t PCCC_FILE_TYPE_LONG = 0x91;  // MicroLogix

// Bytes of one element.
constexpr uint16_t kPcccWordBytes = 2;       // O, I, S, B, N, A (two characters)
constexpr uint16_t kPcccLongBytes = 4;       // F, L
constexpr uint16_t kPcccStructureBytes = 6;  // T, C, R: three words
constexpr uint16_t kPcccStringBytes = 84;    // ST: length word and 82 characters

// Words of a timer, counter or control element (the sub-element field).
constexpr uint8_t kPcccStatusWord = 0;
constexpr uint8_t kPcccPresetWord = 1;       // .PRE, or .LEN of a control element
constexpr uint8_t kPcccAccumulatorWord = 2;  // .ACC, or .POS of a control element

// Bits of word 0.
constexpr uint8_t kPcccTimerEnableBit = 15;       // EN
constexpr uint8_t kPcccTimerTimingBit = 14;       // TT
constexpr uint8_t kPcccTimerDoneBit = 13;         // DN
constexpr uint8_t kPcccCounterUpBit = 15;         // CU
constexpr uint8_t kPcccCounterDownBit = 14;       // CD
constexpr uint8_t kPcccCounterDoneBit = 13;       // DN
constexpr uint8_t kPcccCounterOverflowBit = 12;   // OV
constexpr uint8_t kPcccCounterUnderflowBit = 11;  // UN

// Largest byte size one typed read or write may carry; above it the controller answers
// STS 0xF0 with EXT STS 0x09 (data too large).
constexpr uint16_t kPcccReplyLimitPlc5 = 240;
constexpr uint16_t kPcccReplyLimitSlc500 = 236;      // SLC 5/05
constexpr uint16_t kPcccReplyLimitMicroLogix = 234;  // MicroLogix 1100 / 1400: 117 words

// EXT STS (after STS 0xF0) for a write to a field the controller protects.
constexpr uint8_t PCCC_EXT_PROTECTION_VIOLATION = 0x1E;

enum class PcccPlcType { kPlc5, kSlc500, kMicroLogix };

// "plc5", "slc500", "micrologix" (the command-line and JSON spelling); nullopt otherwise.
std::optional<PcccPlcType> ParsePcccPlcType(const std::string& text);
// The Identity product name plcsim presents for the kind.
std::string PcccProductName(PcccPlcType type);

// One data file: its type code and the bytes of all its elements.
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

// The file, type, element and sub-element (word inside the element) of a typed address.
struct PcccAddress {
    uint16_t file = 0;
    uint8_t type = 0;
    uint16_t element = 0;
    uint16_t subElement = 0;
};

class PcccDataTable {
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // The kind's default files, all zero except timer T4:0, which runs from power-up with a
    // preset of 10 s: O0 and I1 (32 words), S2, B3, T4, C5, N7, F8 and L9 (where the kind has
    // L) with 64 elements, R6 with 16, ST10 with 8 and A11 with 16.
    explicit PcccDataTable(PcccPlcType type = PcccPlcType::kPlc5,
                           Clock clock = std::chrono::steady_clock::now);

    // Largest byte size one read or write may carry.
    uint16_t TransferLimit() const;

    // Adds (or replaces) a file of count zeroed elements. False for a type the kind lacks.
    bool DefineFile(uint16_t fileNumber, uint8_t type, uint16_t elementCount);

    // Reads byteCount bytes from the address on; they may run into the following elements.
    PcccStatus Read(const PcccAddress& address, uint16_t byteCount, std::vector<uint8_t>& out);
    // Writes the bytes at the address; masked: mask bytes then as many value bytes, each
    // 16-bit word becoming (old & ~mask) | (value & mask).
    PcccStatus Write(const PcccAddress& address, ByteView bytes, bool masked);

    // Test helpers: an element's value (a word of a T, C or R element with subElement);
    // nullopt for an address the table does not hold.
    bool SetInt(uint16_t file, uint16_t element, int16_t value, uint16_t subElement = 0);
    bool SetReal(uint16_t file, uint16_t element, float value);
    bool SetDint(uint16_t file, uint16_t element, int32_t value);
    std::optional<int16_t> GetInt(uint16_t file, uint16_t element, uint16_t subElement = 0);
    std::optional<float> GetReal(uint16_t file, uint16_t element);
    std::optional<int32_t> GetDint(uint16_t file, uint16_t element);

  private:
    // The byte offset of an access, or a refusal. The caller holds the mutex.
    PcccStatus Locate(const PcccAddress& address, size_t byteCount, size_t& offset) const;
    bool IsReadOnly(const PcccAddress& address, size_t offset, size_t byteCount) const;
    // Brings every enabled timer up to now. The caller holds the mutex.
    void RunTimers();
    // What a write of element words does beyond storing them: a timer whose EN falls resets,
    // a counter whose CU or CD rises counts. The caller holds the mutex.
    void ApplyInstructions(PcccFile& file, size_t firstElement, size_t lastElement,
                           const std::vector<uint16_t>& statusBefore);
    // The word of one element; nullptr when the table does not hold it. The caller holds the
    // mutex.
    uint8_t* Storage(uint16_t file, uint16_t element, uint16_t subElement, size_t count);

    const PcccPlcType type_;
    const Clock clock_;
    std::mutex mutex_;
    std::map<uint16_t, PcccFile> files_;
    std::chrono::steady_clock::time_point lastTick_;
};

}  // namespace plcsim
