#include "family/pccc_tagdata.h"

#include <cctype>
#include <cstdio>

#include "common/eip_log.h"
#include "common/eip_utils.h"

namespace {

constexpr const char* kParseOperation = "ParseTagName";

struct PcccFileType {
    const char* letters;
    uint16_t dataType;
    uint16_t dataLen;
};

// Timers, counters, control, status and I/O files are not offered.
constexpr PcccFileType kFileTypes[] = {
    {"B", PCCC_DATA_TYPE_BIT, 2},   {"N", PCCC_DATA_TYPE_INTEGER, 2},
    {"F", PCCC_DATA_TYPE_FLOAT, 4}, {"ST", PCCC_DATA_TYPE_STRING, PCCC_STRING_ELEMENT_BYTES},
    {"L", PCCC_DATA_TYPE_LONG, 4},
};

const PcccFileType* FindFileType(const std::string& letters) {
    for (const PcccFileType& type : kFileTypes) {
        if (EipTagData::IsEqualIgnoreCase(letters, type.letters)) {
            return &type;
        }
    }
    return nullptr;
}

// Scanner states of a data-table address "<file type><file number>:<element>[/<sub-element>]".
enum ScanState : int {
    kStart = 0,
    kFileType = 1,
    kFileNumber = 2,
    kElement = 3,
    kSubElement = 4,
};

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

// Address bytes (PCCC typed logical address with three levels):
//
//   size    field
//   1       byte size of one element (data_len: 2, 4 or 84)
//   1 or 3  file number   (below 255: one byte; else 0xFF then 16-bit LE)
//   1       file type     (data_type)
//   1 or 3  element number, same form
//   1       sub-element number (low byte)
bool PcccTagData::ParseTagName(const std::string& address, const std::string& tagAlias) {
    const size_t length =
        address.find('\0') == std::string::npos ? address.size() : address.find('\0');
    size_t i = 0;
    while (i < length && std::isspace(static_cast<unsigned char>(address[i]))) {
        ++i;
    }
    ScanState state = kStart;
    size_t mark = i;
    uint16_t file = 0;
    uint16_t element = 0;
    uint16_t subelement = 0;
    std::string fileType;
    // File, element and subelement numbers travel in 16 bits: larger ones are refused.
    auto number = [&](size_t begin, size_t end) -> int32_t {
        const int64_t value = ParseNumber(address.data() + begin, end - begin);
        return value > 0xFFFF ? -1 : static_cast<int32_t>(value);
    };
    const bool trace = eiplog::TraceOn();
    for (; i < length; ++i) {
        const char c = address[i];
        if (trace) {
            eiplog::Trace(kParseOperation,
                          std::string("PLC5Parse: char ") + std::to_string(static_cast<int>(c)) +
                              " idx " + std::to_string(i) + " state " + std::to_string(state) +
                              " offset " + address.substr(mark, length - mark));
        }
        switch (state) {
            case kStart:
                state = kFileType;
                break;
            case kFileType:
                if (c >= '0' && c <= '9') {
                    fileType = address.substr(mark, i - mark);
                    if (trace) {
                        eiplog::Trace(kParseOperation,
                                      "PLC5Parse: DATATYPE offset " + std::to_string(mark));
                        eiplog::Trace(kParseOperation, "PLC5Parse: DATATYPE length " +
                                                           std::to_string(fileType.size()) +
                                                           " string " + fileType);
                    }
                    mark = i;
                    state = kFileNumber;
                }
                break;
            case kFileNumber:
                if (c == ':') {
                    const int32_t value = number(mark, i);
                    if (trace) {
                        eiplog::Trace(kParseOperation,
                                      "PLC5Parse: FILENUM offset " + std::to_string(mark));
                        eiplog::Trace(kParseOperation,
                                      "PLC5Parse: FILENUM value " + std::to_string(value));
                    }
                    if (value < 0) {
                        return false;
                    }
                    file = static_cast<uint16_t>(value);
                    mark = i + 1;
                    state = kElement;
                }
                break;
            case kElement:
                if (c == '/') {
                    const int32_t value = number(mark, i);
                    if (value < 0) {
                        return false;
                    }
                    element = static_cast<uint16_t>(value);
                    mark = i + 1;
                    state = kSubElement;
                }
                break;
            case kSubElement:
                break;
        }
    }

    // The last number runs to the end of the text.
    const int32_t last = number(mark, length);
    if (state == kElement) {
        if (last < 0) {
            return false;
        }
        element = static_cast<uint16_t>(last);
    } else if (state == kSubElement) {
        if (last < 0) {
            return false;
        }
        subelement = static_cast<uint16_t>(last);
    } else {
        eiplog::Error(kParseOperation, "PLC5Parse: malformed address [address: '" + address +
                                           "'] [parse state: " + std::to_string(state) + "]");
        return false;
    }

    const PcccFileType* type = FindFileType(fileType);
    if (type == nullptr) {
        eiplog::Error(kParseOperation, "PLC5Parse: unsupported file type specifier [address: '" +
                                           address + "'] [file type: " + fileType + "]");
        return false;
    }
    if (type->dataType == PCCC_DATA_TYPE_STRING) {
        eiplog::Info(kParseOperation, "PLC5Parse: Setting max string length to " +
                                          std::to_string(PCCC_STRING_ELEMENT_BYTES));
    }

    // A failed parse leaves the previous address whole; only a good one replaces it.
    file_num = file;
    element_num = element;
    subelement_num = subelement;
    data_type = type->dataType;
    data_len = type->dataLen;
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
