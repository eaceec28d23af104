#include "family/pccc_files.h"

#include <cctype>
#include <iterator>

#include "family/pccc_tagdata.h"
#include "family/pccc_wire.h"

namespace {

// Status bits of the control word (word 0) and the two value words of T, C and R elements.
constexpr PcccField kTimerFields[] = {
    {"PRE", 1, -1, false}, {"ACC", 2, -1, false}, {"EN", 0, 15, false},
    {"TT", 0, 14, true},   {"DN", 0, 13, true},
};
constexpr PcccField kCounterFields[] = {
    {"PRE", 1, -1, false}, {"ACC", 2, -1, false}, {"CU", 0, 15, false}, {"CD", 0, 14, false},
    {"DN", 0, 13, true},   {"OV", 0, 12, true},   {"UN", 0, 11, true},  {"UA", 0, 10, false},
};
constexpr PcccField kControlFields[] = {
    {"LEN", 1, -1, false}, {"POS", 2, -1, false}, {"EN", 0, 15, false}, {"EU", 0, 14, false},
    {"DN", 0, 13, true},   {"EM", 0, 12, true},   {"ER", 0, 11, true},  {"UL", 0, 10, false},
    {"IN", 0, 9, false},   {"FD", 0, 8, true},
};

constexpr uint8_t kWord = 2;
constexpr uint8_t kThreeWords = 6;

constexpr PcccFileKind kFileKinds[] = {
    {"O", PCCC_DATA_TYPE_OUTPUT, kWord, 0, true, false, nullptr, 0},
    {"I", PCCC_DATA_TYPE_INPUT, kWord, 1, true, true, nullptr, 0},
    {"S", PCCC_DATA_TYPE_STATUS, kWord, 2, true, false, nullptr, 0},
    {"B", PCCC_DATA_TYPE_BIT, kWord, -1, true, false, nullptr, 0},
    {"T", PCCC_DATA_TYPE_TIMER, kThreeWords, -1, false, false, kTimerFields,
     std::size(kTimerFields)},
    {"C", PCCC_DATA_TYPE_COUNTER, kThreeWords, -1, false, false, kCounterFields,
     std::size(kCounterFields)},
    {"R", PCCC_DATA_TYPE_CONTROL, kThreeWords, -1, false, false, kControlFields,
     std::size(kControlFields)},
    {"N", PCCC_DATA_TYPE_INTEGER, kWord, -1, true, false, nullptr, 0},
    {"F", PCCC_DATA_TYPE_FLOAT, 4, -1, false, false, nullptr, 0},
    {"ST", PCCC_DATA_TYPE_STRING, PCCC_STRING_ELEMENT_BYTES, -1, false, false, nullptr, 0},
    {"A", PCCC_DATA_TYPE_ASCII, kWord, -1, true, false, nullptr, 0},
    {"L", PCCC_DATA_TYPE_LONG, 4, -1, false, false, nullptr, 0},
};

bool SameLetters(const std::string& text, const char* letters) {
    size_t i = 0;
    for (; i < text.size() && letters[i] != '\0'; ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) != letters[i]) {
            return false;
        }
    }
    return i == text.size() && letters[i] == '\0';
}

// Data bytes one typed read answers: a PLC-5 at most 244 (in whole words and floats: 240), an
// SLC 5/03 and later 236, a MicroLogix 1100 or 1400 234.
constexpr PcccControllerKind kControllerKinds[] = {
    {PlcType::kPlc5, 240, true},
    {PlcType::kSlc500, 236, false},
    {PlcType::kMicroLogix, 234, true},
};

struct StatusText {
    uint8_t code;
    const char* text;
};

constexpr StatusText kStsTexts[] = {
    {0x10, "illegal command or format"},
    {0x20, "host has a problem and will not communicate"},
    {0x30, "remote node host is missing, disconnected or shut down"},
    {0x40, "host could not complete the function due to a hardware fault"},
    {0x50, "addressing problem or memory protect rungs"},
    {0x60, "function not allowed due to command protection selection"},
    {0x70, "processor is in program mode"},
    {0x80, "compatibility mode file missing or communication zone problem"},
    {0x90, "remote node cannot buffer the command"},
    {0xB0, "remote node problem due to download"},
};

constexpr StatusText kExtStsTexts[] = {
    {0x01, "a field has an illegal value"},
    {0x02, "fewer levels in the address than the minimum"},
    {0x03, "more levels in the address than the system supports"},
    {0x04, "symbol not found"},
    {0x05, "symbol is of improper format"},
    {0x06, "address does not point to something usable (no such file or element)"},
    {0x07, "file is the wrong size"},
    {0x08, "situation changed since the command started"},
    {0x09, "data or file is too large"},
    {0x0A, "transaction size plus word address is too large"},
    {0x0B, "access denied, improper privilege"},
    {0x0C, "resource is not available"},
    {0x0D, "resource is already available"},
    {0x0E, "command cannot be executed"},
    {0x0F, "histogram overflow"},
    {0x10, "no access"},
    {0x11, "illegal data type"},
    {0x12, "invalid parameter or invalid data"},
    {0x13, "address reference exists to a deleted area"},
    {0x14, "command execution failure for an unknown reason"},
    {0x15, "data conversion error"},
};

template <size_t N>
const char* Lookup(const StatusText (&table)[N], uint8_t code) {
    for (const StatusText& entry : table) {
        if (entry.code == code) {
            return entry.text;
        }
    }
    return nullptr;
}

std::string HexByte(uint8_t value) {
    static const char kDigits[] = "0123456789ABCDEF";
    return std::string("0x") + kDigits[value >> 4] + kDigits[value & 0x0F];
}

}  // namespace

const PcccFileKind* FindFileKind(const std::string& letters) {
    for (const PcccFileKind& kind : kFileKinds) {
        if (SameLetters(letters, kind.letters)) {
            return &kind;
        }
    }
    return nullptr;
}

const PcccFileKind* FindFileKind(uint16_t type) {
    for (const PcccFileKind& kind : kFileKinds) {
        if (kind.type == type) {
            return &kind;
        }
    }
    return nullptr;
}

const PcccField* FindField(const PcccFileKind& kind, const std::string& name) {
    for (size_t i = 0; i < kind.fieldCount; ++i) {
        if (SameLetters(name, kind.fields[i].name)) {
            return &kind.fields[i];
        }
    }
    return nullptr;
}

const PcccControllerKind& ControllerKindOf(PlcType type) {
    for (const PcccControllerKind& kind : kControllerKinds) {
        if (kind.type == type) {
            return kind;
        }
    }
    return kControllerKinds[0];
}

std::string PcccStatusText(uint8_t sts, uint8_t extSts) {
    const bool extended = sts == PCCC_STS_EXTENDED;
    const char* text = extended ? Lookup(kExtStsTexts, extSts) : Lookup(kStsTexts, sts & 0xF0);
    std::string codes = "STS " + HexByte(sts) + (extended ? ", EXT STS " + HexByte(extSts) : "");
    return (text != nullptr ? std::string(text) : std::string("unknown status")) + " (" + codes +
           ")";
}
