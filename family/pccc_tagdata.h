#pragma once

// PCCC data-table addresses (N7:0, F8:3, L9:2, B3:1/4, B3/20, ST10:0, O:0/3, S:1/5, T4:0.ACC,
// T4:0/DN, C5:2.PRE, R6:0.POS, A9:0) turned into the numbers of a typed logical address and
// the part of the element the tag's value is.

#include "family/eip_tagdata.h"

struct PcccFileKind;

// PCCC data type codes of the files B, N, F, ST and L (the others: family/pccc_files.h).
constexpr uint16_t PCCC_DATA_TYPE_BIT = 0x85;      // B
constexpr uint16_t PCCC_DATA_TYPE_INTEGER = 0x89;  // N
constexpr uint16_t PCCC_DATA_TYPE_FLOAT = 0x8A;    // F
constexpr uint16_t PCCC_DATA_TYPE_STRING = 0x8D;   // ST
constexpr uint16_t PCCC_DATA_TYPE_LONG = 0x91;     // L
// Bytes of one ST element: 16-bit length plus 82 characters.
constexpr uint16_t PCCC_STRING_ELEMENT_BYTES = 84;

class PcccTagData : public EipTagData {
  public:
    // Copies the address bytes (element byte size, file, type, element, sub-element) with the
    // sub-element sent as 0. forRead is not used.
    int32_t FillData(bool forRead, uint8_t* buffer, uint16_t offset,
                     uint16_t capacity) const override;
    bool ParseTagName(const std::string& address, const std::string& alias) override;
    std::string Dump() const override;

    // Appends n in the 1-byte (below 255) or 3-byte (0xFF, 16-bit LE) form; returns 1 or 3.
    int AppendNumber(uint16_t n);

    uint16_t GetDataType() const { return data_type; }
    // Bytes of one element of the file.
    uint16_t GetDataLen() const { return data_len; }
    uint16_t GetFileNum() const { return file_num; }
    uint16_t GetElementNum() const { return element_num; }
    // The number after '/' (a bit), or the word of a named field.
    uint16_t GetSubelementNum() const { return subelement_num; }
    // The 16-bit word of the element the value starts in (1 PRE/LEN, 2 ACC/POS, else 0).
    uint16_t GetWordIndex() const { return wordIndex_; }
    // The bit of that word the value is, or -1 for a whole value.
    int GetBit() const { return bit_; }
    // Bytes of the value in the element: 2 for a word or a bit's word, else the element.
    uint16_t GetValueBytes() const;
    // The CIP type the value is reported as (BOOL, INT, DINT, REAL, STRING); 0 before parsing.
    uint16_t GetValueType() const;
    // A field the processor sets (a timer's DN) or the input image: never written.
    bool IsReadOnly() const { return readOnly_; }

  private:
    uint16_t data_type = 0;
    uint16_t data_len = 0;
    uint16_t file_num = 0;
    uint16_t element_num = 0;
    uint16_t subelement_num = 0;
    uint16_t wordIndex_ = 0;
    int bit_ = -1;
    bool wordValue_ = false;
    bool readOnly_ = false;
};
