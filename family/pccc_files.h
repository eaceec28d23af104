#pragma once

// What a PCCC controller holds: its kind (PLC-5, SLC 500, MicroLogix) with the data bytes one
// typed read may answer and the files it has, and the data-table file types with their element
// size and the named fields of timer, counter and control elements.

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/eip_utils.h"

// PCCC file type codes of the files beyond B, N, F, ST and L (family/pccc_tagdata.h).
constexpr uint16_t PCCC_DATA_TYPE_OUTPUT = 0x82;   // O
constexpr uint16_t PCCC_DATA_TYPE_INPUT = 0x83;    // I
constexpr uint16_t PCCC_DATA_TYPE_STATUS = 0x84;   // S
constexpr uint16_t PCCC_DATA_TYPE_TIMER = 0x86;    // T
constexpr uint16_t PCCC_DATA_TYPE_COUNTER = 0x87;  // C
constexpr uint16_t PCCC_DATA_TYPE_CONTROL = 0x88;  // R
constexpr uint16_t PCCC_DATA_TYPE_ASCII = 0x8E;    // A

// A named part of an element: a whole word (bit < 0) or one bit of a word.
struct PcccField {
    const char* name;
    uint8_t word;
    int8_t bit;
    // Set by the processor's instruction; a write would be undone at the next scan.
    bool readOnly;
};

struct PcccFileKind {
    const char* letters;
    uint16_t type;
    uint8_t elementBytes;
    int16_t impliedFile;  // file number when the address leaves it out (O:, I:, S:), else -1
    bool wordFile;        // elements are 16-bit words that /n bits address
    bool readOnly;        // the input image: written by the I/O scan only
    const PcccField* fields;
    size_t fieldCount;
};

// The file kind of a type letter group (case-insensitive) or of a type code; null when unknown.
const PcccFileKind* FindFileKind(const std::string& letters);
const PcccFileKind* FindFileKind(uint16_t type);
// The field of a file kind by name (case-insensitive); null when the kind has none of that name.
const PcccField* FindField(const PcccFileKind& kind, const std::string& name);

struct PcccControllerKind {
    PlcType type;
    uint16_t replyLimitBytes;  // most data bytes one typed read answers
    bool hasLongFiles;
};

const PcccControllerKind& ControllerKindOf(PlcType type);

// Why a PLC refused a command: the reference's text for STS (and EXT STS when STS is 0xF0).
std::string PcccStatusText(uint8_t sts, uint8_t extSts);
