#include "family/pccc_tagdata.h"

#include <cctype>
#include <cstdio>

#include "common/eip_log.h"
#include "common/eip_utils.h"
#include "family/pccc_files.h"

namespace {

constexpr const char* kParseOperation = "ParseTagName";
constexpr unsigned kBitsPerWord = 16;

constexpr uint16_t CIP_TYPE_BOOL = 0xC1;
constexpr uint16_t CIP_TYPE_INT = 0xC3;
constexpr uint16_t CIP_TYPE_DINT = 0xC4;
constexpr uint16_t CIP_TYPE_REAL = 0xCA;
constexpr uint16_t CIP_TYPE_STRING = 0xD0;

// Parse states named in the log ("[parse state: N]").
enum ScanState : int {
    kFileType = 1,
    kFileNumber = 2,
    kElement = 3,
    kSubElement = 4,
};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsLetter(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

// The run of characters from i on that pass test.
std::string Run(const std::string& text, size_t& i, bool (*test)(char)) {
    const size_t begin = i;
    while (i < text.size() && test(text[i])) {
        ++i;
    }
    return text.substr(begin, i - begin);
}

// A decimal number of 16 bits made of the whole text; -1 otherwise.
int32_t Number16(const std::string& text) {
    const int64_t value = EipTagData::ParseNumber(text.data(), text.size());
    return value > 0xFFFF ? -1 : static_cast<int32_t>(value);
}

// What an address names, before it replaces the tag data's.
struct Parsed {
    const PcccFileKind* kind = nullptr;
    uint16_t file = 0;
    uint16_t element = 0;
    uint16_t subelement = 0;
    uint16_t word = 0;
    int bit = -1;
    bool readOnly = false;
};

// The part after the element: ".FIELD", "/FIELD" or "/bit".
bool ParseSuffix(char mark, const std::string& name, Parsed& out) {
    const PcccFileKind& kind = *out.kind;
    if (!name.empty() && IsDigit(name[0])) {
        const int32_t value = Number16(name);
        // A bit of a word: of the file's words, or of a T, C or R element's control word.
        if (mark != '/' || value < 0 || static_cast<unsigned>(value) >= kBitsPerWord ||
            (!kind.wordFile && kind.fieldCount == 0)) {
            return false;
        }
        out.subelement = static_cast<uint16_t>(value);
        out.bit = value;
        return true;
    }
    const PcccField* field = FindField(kind, name);
    if (field == nullptr) {
        return false;
    }
    out.word = field->word;
    out.bit = field->bit;
    out.subelement = field->bit >= 0 ? static_cast<uint16_t>(field->bit) : field->word;
    out.readOnly = out.readOnly || field->readOnly;
    return true;
}

}  // namespace

int PcccTagData::AppendNumber(uint16_t n) {
    if (n < 0xFF) {
        encodedAddress.push_back(static_cast<uint8_t>(n));
        return 1;
    }
    encodedAddress.push_back(0xFF);
    PutLittleEndian16(n, encodedAddress);
    return 3;
}

// Address forms: <type>[<file>]:<element>[.<field> | /<field> | /<bit>], the file number left
// out only for O (0), I (1) and S (2); and <B><file>/<bit number in the file> for B files.
//
// Address bytes (PCCC typed logical address with three levels):
//   size    field
//   1       byte size of one element (2, 4, 6 or 84)
//   1 or 3  file number   (below 255: one byte; else 0xFF then 16-bit LE)
//   1       file type
//   1 or 3  element number, same form
//   1       the bit, or the word of a field (low byte)
bool PcccTagData::ParseTagName(const std::string& address, const std::string& tagAlias) {
    const std::string text = address.substr(0, address.find('\0'));
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    const std::string letters = Run(text, i, IsLetter);
    const std::string fileText = Run(text, i, IsDigit);
    const char separator = i < text.size() ? text[i] : '\0';
    auto malformed = [&](int state) {
        eiplog::Error(kParseOperation, "PLC5Parse: malformed address [address: '" + address +
                                           "'] [parse state: " + std::to_string(state) + "]");
        return false;
    };
    if (letters.empty()) {
        return malformed(kFileType);
    }
    if (separator != ':' && !(separator == '/' && !fileText.empty())) {
        return malformed(fileText.empty() ? kFileType : kFileNumber);
    }
    Parsed parsed;
    parsed.kind = FindFileKind(letters);
    if (parsed.kind == nullptr) {
        eiplog::Error(kParseOperation, "PLC5Parse: unsupported file type specifier [address: '" +
                                           address + "'] [file type: " + letters + "]");
        return false;
    }
    const PcccFileKind& kind = *parsed.kind;
    const int32_t file = fileText.empty() ? kind.impliedFile : Number16(fileText);
    if (file < 0) {
        return malformed(kFileNumber);
    }
    parsed.file = static_cast<uint16_t>(file);
    parsed.readOnly = kind.readOnly;
    ++i;
    if (separator == '/') {
        // B3/20: bit 20 of the file, bit 4 of word 1.
        const int32_t fileBit = Number16(text.substr(i));
        if (kind.type != PCCC_DATA_TYPE_BIT || fileBit < 0) {
            return malformed(kSubElement);
        }
        parsed.element = static_cast<uint16_t>(fileBit / kBitsPerWord);
        parsed.bit = fileBit % kBitsPerWord;
        parsed.subelement = static_cast<uint16_t>(parsed.bit);
    } else {
        const int32_t element = Number16(Run(text, i, IsDigit));
        if (element < 0) {
            return malformed(kElement);
        }
        parsed.element = static_cast<uint16_t>(element);
        if (i < text.size() && ((text[i] != '.' && text[i] != '/') ||
                                !ParseSuffix(text[i], text.substr(i + 1), parsed))) {
            return malformed(kSubElement);
        }
    }
    if (kind.type == PCCC_DATA_TYPE_STRING) {
        eiplog::Info(kParseOperation, "PLC5Parse: Setting max string length to " +
                                          std::to_string(PCCC_STRING_ELEMENT_BYTES));
    }

    // A failed parse leaves the previous address whole; only a good one replaces it.
    data_type = kind.type;
    data_len = kind.elementBytes;
    file_num = parsed.file;
    element_num = parsed.element;
    subelement_num = parsed.subelement;
    wordIndex_ = parsed.word;
    bit_ = parsed.bit;
    wordValue_ = kind.wordFile || kind.fieldCount > 0;
    readOnly_ = parsed.readOnly;
    encodedAddress.clear();
    encodedAddress.push_back(static_cast<uint8_t>(data_len));
    AppendNumber(file_num);
    encodedAddress.push_back(static_cast<uint8_t>(data_type));
    AppendNumber(element_num);
    encodedAddress.push_back(static_cast<uint8_t>(subelement_num & 0xFF));
    elementCount = 1;
    alias = tagAlias;
    eiplog::Info(kParseOperation,
                 "PLC5Parse: name: " + alias + ", data_type: " + std::to_string(data_type) +
                     ", data_len: " + std::to_string(data_len) + ", file_num: " +
                     std::to_string(file_num) + ", element_num: " + std::to_string(element_num) +
                     ", subelement_num: " + std::to_string(subelement_num));
    return true;
}

uint16_t PcccTagData::GetValueBytes() const {
    return wordValue_ ? 2 : data_len;
}

uint16_t PcccTagData::GetValueType() const {
    if (bit_ >= 0) {
        return CIP_TYPE_BOOL;
    }
    if (wordValue_) {
        return CIP_TYPE_INT;
    }
    switch (data_type) {
        case PCCC_DATA_TYPE_FLOAT:
            return CIP_TYPE_REAL;
        case PCCC_DATA_TYPE_LONG:
            return CIP_TYPE_DINT;
        case PCCC_DATA_TYPE_STRING:
            return CIP_TYPE_STRING;
        default:
            return 0;
    }
}

int32_t PcccTagData::FillData(bool /*forRead*/, uint8_t* buffer, uint16_t offset,
                              uint16_t capacity) const {
    const size_t length = encodedAddress.size();
    if (buffer == nullptr || length == 0 || size_t{offset} + length > capacity) {
        eiplog::Error("FillData", "FillData: buffer to short");
        return -1;
    }
    ByteMove(buffer + offset, encodedAddress.data(), static_cast<uint32_t>(length));
    // Requests address the whole element; the sub-element only selects a bit of B words.
    buffer[offset + length - 1] = 0;
    return static_cast<int32_t>(length);
}

std::string PcccTagData::Dump() const {
    char type[8];
    std::snprintf(type, sizeof type, "%02X", data_type);
    return EipTagData::Dump() + "type: 0x" + type + " file: " + std::to_string(file_num) +
           " element: " + std::to_string(element_num) +
           " subelement: " + std::to_string(subelement_num);
}
