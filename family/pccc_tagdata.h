#pragma once

// PLC5 data-table addresses (N7:0, F8:3, L9:2, B3:1/4, ST10:0) turned into the PCCC typed
// logical address bytes of read and write requests.

#include "family/eip_tagdata.h"

// PCCC data type codes of the supported files.
constexpr uint16_t PCCC_DATA_TYPE_BIT = 0x85;      // B
constexpr uint16_t PCCC_DATA_TYPE_INTEGER = 0x89;  // N
constexpr uint16_t PCCC_DATA_TYPE_FLOAT = 0x8A;    // F
constexpr uint16_t PCCC_DATA_TYPE_STRING = 0x8D;   // ST
constexpr uint16_t PCCC_DATA_TYPE_LONG = 0x91;     // L
// Bytes of one ST element: 16-bit length plus 82 characters.
constexpr uint16_t PCCC_STRING_ELEMENT_BYTES = 84;

class PcccTagData : public EipTagData {
  public:
    // Requests always address sub-element 0: the copied sub-element byte is cleared
    // (the sub-element number selects a bit of B words instead). forRead is not used.
    int32_t FillData(bool forRead, uint8_t* buffer, uint16_t offset,
                     uint16_t capacity) const override;
    bool ParseTagName(const std::string& address, const std::string& alias) override;
    std::string Dump() const override;

    // Appends n in the 1-byte (below 255) or 3-byte (0xFF, 16-bit LE) form; returns 1 or 3.
    int AppendNumber(uint16_t n);

    uint16_t GetDataType() const { return data_type; }
    uint16_t GetDataLen() const { return data_len; }
    uint16_t GetFileNum() const { return file_num; }
    uint16_t GetElementNum() const { return element_num; }
    uint16_t GetSubelementNum() const { return subelement_num; }

  private:
    uint16_t data_type = 0;
    uint16_t data_len = 0;
    uint16_t file_num = 0;
    uint16_t element_num = 0;
    uint16_t subelement_num = 0;
};
