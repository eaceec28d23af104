#pragma once

// Logix symbolic tag names (Line1.Motors[3].Speed, Grid[1,2], Buffer[10~19], Status.5) turned
// into the CIP request path and element count of Read Tag / Write Tag.

#include "family/eip_tagdata.h"

class ControlLogixTagData : public EipTagData {
  public:
    // The request path must fit its one-byte word count.
    static constexpr size_t kMaxRequestPathBytes = 510;
    // A bit number after the last dot (Status.5) reaches at most the top bit of a LINT.
    static constexpr uint32_t kMaxBitIndex = 63;
    // A BOOL array is held in 32-bit words.
    static constexpr uint32_t kBoolWordBits = 32;

    // Read Tag carries the whole encoded address; Write Tag (forRead false) leaves out the
    // trailing element count because it supplies type and count itself.
    int32_t FillData(bool forRead, uint8_t* buffer, uint16_t offset,
                     uint16_t capacity) const override;
    bool ParseTagName(const std::string& name, const std::string& alias) override;

    // The bit number the name ends with (Status.5, Words[3].7); -1 when it has none.
    int32_t GetBitIndex() const { return bitIndex; }
    // True when the name ends with one index or range (Flags[37], Flags[32~63]): the element a
    // BOOL array would hold as a bit of a word.
    bool EndsWithSingleIndex() const { return endsWithIndex && lastIndexCount == 1; }
    // The name's bit taken from an element of wordBytes bytes; false when the name has no bit
    // number or it lies beyond the element's width.
    bool UseBitOfElement(uint8_t wordBytes);
    // The name addresses a BOOL array the controller holds in 32-bit words, arrayLength bits
    // long (0 when unknown): the path is re-encoded to the words holding the bits. False when
    // the name cannot address such an array or its bits lie beyond arrayLength.
    bool UseBoolArrayWords(uint32_t arrayLength);
    // Read Tag address (path size, path, count 1) of the array the name's last index selects
    // from; empty unless EndsWithSingleIndex.
    std::vector<uint8_t> ArrayAddress() const;
    // Path size and path of word `word` (counted from the first word the tag's bits use).
    std::vector<uint8_t> WordPath(uint32_t word) const;

  private:
    int32_t bitIndex = -1;
    bool endsWithIndex = false;
    size_t lastIndexCount = 0;
    uint32_t lastIndex = 0;
    // Path bytes before the last bracket's element segments (the whole path when the name does
    // not end with one).
    std::vector<uint8_t> arrayPath;
    bool boolArray = false;
    uint32_t firstWord = 0;
};
