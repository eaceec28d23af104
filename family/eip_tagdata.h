#pragma once

// Encoded address of one tag: the bytes every request for the tag carries, parsed once from the
// user's text when the tag is added or edited so that polling only copies bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Bits of the read value a tag stands for (a bit of an integer, elements of a BOOL array): `count`
// bits from bit `first` of the little-endian value, which the controller holds in elements of
// `wordBytes` bytes. count 0: the tag is the whole value.
struct TagBits {
    uint32_t first = 0;
    uint32_t count = 0;
    uint8_t wordBytes = 0;
};

class EipTagData {
  public:
    EipTagData() = default;
    virtual ~EipTagData() = default;

    // Copies the encoded address into buffer at offset without passing capacity. Returns the
    // number of bytes copied, or -1 (nothing copied) when they do not fit.
    virtual int32_t FillData(bool forRead, uint8_t* buffer, uint16_t offset,
                             uint16_t capacity) const = 0;

    // Parses the user's text; false on malformed text (the caller reports the tag as invalid).
    virtual bool ParseTagName(const std::string& name, const std::string& alias) = 0;

    // The encoded address as two-digit upper-case hex numbers, each followed by one space.
    virtual std::string Dump() const;

    const std::string& GetAlias() const { return alias; }
    uint16_t GetElementCount() const { return elementCount; }
    const std::vector<uint8_t>& GetEncodedAddress() const { return encodedAddress; }
    const TagBits& GetBits() const { return bits; }
    // Elements of a value written to the tag: its bits when it stands for bits.
    uint32_t GetValueCount() const { return bits.count != 0 ? bits.count : elementCount; }

    // Decimal number made of exactly `length` characters: -1 when empty, not wholly a number,
    // negative or above 2^32-1.
    static int64_t ParseNumber(const char* text, size_t length);
    // Same length and equal character by character after upper-casing.
    static bool IsEqualIgnoreCase(const std::string& a, const std::string& b);

  protected:
    std::string alias;
    uint16_t elementCount = 0;
    std::vector<uint8_t> encodedAddress;
    TagBits bits;
};
