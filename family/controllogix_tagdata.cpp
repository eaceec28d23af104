#include "family/controllogix_tagdata.h"

#include <cctype>

#include "common/byte_codec.h"
#include "common/eip_log.h"

namespace {

// Segment types of a CIP request path.
constexpr uint8_t kSegmentAnsiSymbol = 0x91;
constexpr uint8_t kSegmentMember8 = 0x28;
constexpr uint8_t kSegmentMember16 = 0x29;
constexpr uint8_t kSegmentMember32 = 0x2A;
// The symbol length travels in one byte.
constexpr size_t kMaxSymbolLength = 255;
// Path size byte + longest path + element count.
constexpr size_t kMaxEncodedBytes = 1 + ControlLogixTagData::kMaxRequestPathBytes + 2;

bool IsSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// One element segment: the shortest form that holds the index.
void WriteElement(ByteWriter& out, uint32_t index) {
    if (index <= 0xFF) {
        out.u8(kSegmentMember8).u8(static_cast<uint8_t>(index));
    } else if (index <= 0xFFFF) {
        out.u8(kSegmentMember16).u8(0x00).u16(static_cast<uint16_t>(index));
    } else {
        out.u8(kSegmentMember32).u8(0x00).u32(index);
    }
}

// Encoded address from path bytes and an element count; empty when the path does not fit.
std::vector<uint8_t> Address(ByteView path, uint16_t count) {
    if (path.size % 2 != 0 || path.size > ControlLogixTagData::kMaxRequestPathBytes) {
        return {};
    }
    ByteWriter out(kMaxEncodedBytes);
    out.u8(static_cast<uint8_t>(path.size / 2)).bytes(path).u16(count);
    return out.ok() ? out.to_vector() : std::vector<uint8_t>{};
}

// One left-to-right pass over a Logix tag name, writing the encoded address:
//
//   offset  size      field
//   0       1         path size in 16-bit words
//   1       2 x size  request path: per name element one segment
//                       symbol of n chars : 0x91, n, chars, 0x00 pad when n is odd
//                       index 0..255      : 0x28, index
//                       index 256..65535  : 0x29, 0x00, index (16-bit LE)
//                       index 65536..2^32-1 : 0x2A, 0x00, index (32-bit LE)
//   end-2   2         element count (16-bit LE)
//
// A symbol character opens a symbol segment; '.' closes it; '[' closes it and starts the
// indexes, one element segment per dimension separated by ','; ']' ends them. The last index
// may be a range "first~last", which must end the name. A dot followed by nothing but digits
// ends the name with a bit number (Status.5), which is no path segment.
class LogixPathEncoder {
  public:
    explicit LogixPathEncoder(const std::string& name) : name(name) {}

    // False on a malformed name or a path that does not fit.
    bool Encode() {
        pathSize = out.reserve_u8();
        size_t i = 0;
        while (i < name.size() && IsSpace(name[i])) {
            ++i;
        }
        for (; i < name.size(); ++i) {
            if (!Step(i)) {
                return false;
            }
        }
        // A name that ends inside brackets would silently address the whole array instead of
        // the element the user typed, so it is refused.
        if (inBracket || !CloseSymbol()) {
            return false;
        }
        const size_t pathBytes = out.size() - 1;
        // An empty name addresses nothing.
        if (pathBytes == 0 || pathBytes > ControlLogixTagData::kMaxRequestPathBytes) {
            return false;
        }
        if (elementCount == 0) {
            elementCount = 1;
        }
        out.patch_u8(pathSize, static_cast<uint8_t>(pathBytes / 2));
        out.u16(elementCount);
        return out.ok();
    }

    uint16_t ElementCount() const { return elementCount; }
    std::vector<uint8_t> Bytes() const { return out.to_vector(); }
    int32_t BitIndex() const { return bitIndex; }
    bool EndsWithIndex() const { return endsWithIndex; }
    size_t LastIndexCount() const { return lastIndexCount; }
    uint32_t LastIndex() const { return lastIndex; }
    // Path bytes before the last bracket's segments (all of them when the name ends otherwise).
    std::vector<uint8_t> ArrayPath() const {
        const ByteView bytes = out.view();
        const size_t end = endsWithIndex ? lastBracketStart : bytes.size - 2;
        return std::vector<uint8_t>(bytes.begin() + 1, bytes.begin() + end);
    }

  private:
    bool Step(size_t i) {
        const char c = name[i];
        if (bitIndex >= 0) {
            // The bit number and the white space after it, read at the dot.
            return true;
        }
        if (done) {
            // Only trailing white space may follow a range.
            return IsSpace(c);
        }
        switch (c) {
            case '.':
                return Dot(i);
            case '[':
                return OpenBracket(i);
            case ',':
                return Comma(i);
            case '~':
                return Tilde(i);
            case ']':
                return CloseBracket(i);
            default:
                return Other(c);
        }
    }

    bool Dot(size_t i) {
        if (!inSymbol || inBracket) {
            return false;
        }
        if (BitNumberFollows(i + 1)) {
            return CloseSymbol() && BitNumber(i + 1);
        }
        // A dot directly after ']' closes nothing: the member symbol follows.
        if (symbolLength == 0) {
            return true;
        }
        inSymbol = false;
        return CloseSymbol();
    }

    // Digits, then at most white space, up to the end: no symbol starts with a digit.
    bool BitNumberFollows(size_t begin) const {
        size_t end = begin;
        while (end < name.size() && IsDigit(name[end])) {
            ++end;
        }
        while (end < name.size() && IsSpace(name[end])) {
            ++end;
        }
        return end == name.size() && begin < name.size() && IsDigit(name[begin]);
    }

    bool BitNumber(size_t begin) {
        size_t end = begin;
        while (end < name.size() && IsDigit(name[end])) {
            ++end;
        }
        const int64_t value = EipTagData::ParseNumber(name.data() + begin, end - begin);
        if (value < 0 || value > ControlLogixTagData::kMaxBitIndex) {
            eiplog::Error("ParseTagName", name + ": bit number \"" +
                                              name.substr(begin, end - begin) +
                                              "\" is not a bit of an integer (0 to 63)");
            return false;
        }
        bitIndex = static_cast<int32_t>(value);
        return true;
    }

    bool OpenBracket(size_t i) {
        if (!inSymbol || inBracket) {
            return false;
        }
        if (!CloseSymbol()) {
            return false;
        }
        inBracket = true;
        rangeSeen = false;
        indexStart = i + 1;
        lastBracketStart = out.size();
        lastIndexCount = 0;
        return true;
    }

    // Ends one index of several (Grid[1,2]); a range may only be the last.
    bool Comma(size_t i) {
        if (!inSymbol || !inBracket || rangeSeen) {
            return false;
        }
        const int64_t value = Number(indexStart, i);
        if (value < 0) {
            return false;
        }
        AddIndex(static_cast<uint32_t>(value));
        indexStart = i + 1;
        return out.ok();
    }

    bool Tilde(size_t i) {
        if (!inSymbol || !inBracket || rangeSeen) {
            return false;
        }
        const int64_t first = Number(indexStart, i);
        if (first < 0) {
            return false;
        }
        firstIndex = static_cast<uint32_t>(first);
        rangeStart = i + 1;
        rangeSeen = true;
        return true;
    }

    bool CloseBracket(size_t i) {
        if (!inSymbol || !inBracket) {
            return false;
        }
        const int64_t value = Number(rangeSeen ? rangeStart : indexStart, i);
        if (value < 0) {
            return false;
        }
        if (rangeSeen) {
            const int64_t count = value - firstIndex;
            // The element count travels in 16 bits.
            if (count < 0 || count + 1 > 0xFFFF) {
                return false;
            }
            elementCount = static_cast<uint16_t>(count + 1);
            inSymbol = false;
            done = true;
        } else {
            firstIndex = static_cast<uint32_t>(value);
            elementCount = 1;
        }
        AddIndex(firstIndex);
        inBracket = false;
        endsWithIndex = true;
        symbolLength = 0;
        return out.ok();
    }

    void AddIndex(uint32_t index) {
        WriteElement(out, index);
        lastIndex = index;
        ++lastIndexCount;
    }

    bool Other(char c) {
        if (inBracket) {
            // Digits are collected by position and read at ',', '~' or ']'.
            return IsDigit(c);
        }
        if (symbolLength == 0) {
            out.u8(kSegmentAnsiSymbol);
            symbolLengthSlot = out.reserve_u8();
            inSymbol = true;
            endsWithIndex = false;
        }
        if (symbolLength == kMaxSymbolLength) {
            return false;
        }
        out.u8(static_cast<uint8_t>(c));
        ++symbolLength;
        return out.ok();
    }

    // Writes the open symbol segment's length and its pad byte; nothing when none is open.
    bool CloseSymbol() {
        if (symbolLength == 0) {
            return true;
        }
        out.patch_u8(symbolLengthSlot, static_cast<uint8_t>(symbolLength));
        if (symbolLength % 2 != 0) {
            out.u8(0x00);
        }
        symbolLength = 0;
        return out.ok();
    }

    // The index between begin and end; -1, logged with the reason, when it is not a number
    // the 32-bit element segment carries.
    int64_t Number(size_t begin, size_t end) const {
        const int64_t value = EipTagData::ParseNumber(name.data() + begin, end - begin);
        if (value < 0) {
            eiplog::Error("ParseTagName", name + ": element index \"" +
                                              name.substr(begin, end - begin) +
                                              "\" is not a number from 0 to 4294967295");
        }
        return value;
    }

    const std::string& name;
    ByteWriter out{kMaxEncodedBytes};
    ByteWriter::Slot pathSize;
    ByteWriter::Slot symbolLengthSlot;
    size_t symbolLength = 0;
    size_t indexStart = 0;
    size_t rangeStart = 0;
    size_t lastBracketStart = 0;
    size_t lastIndexCount = 0;
    uint32_t firstIndex = 0;
    uint32_t lastIndex = 0;
    uint16_t elementCount = 0;
    int32_t bitIndex = -1;
    bool inSymbol = false;
    bool inBracket = false;
    bool rangeSeen = false;
    bool endsWithIndex = false;
    bool done = false;
};

}  // namespace

bool ControlLogixTagData::ParseTagName(const std::string& name, const std::string& tagAlias) {
    LogixPathEncoder encoder(name);
    if (!encoder.Encode()) {
        return false;
    }
    encodedAddress = encoder.Bytes();
    elementCount = encoder.ElementCount();
    bitIndex = encoder.BitIndex();
    endsWithIndex = encoder.EndsWithIndex();
    lastIndexCount = encoder.LastIndexCount();
    lastIndex = encoder.LastIndex();
    arrayPath = encoder.ArrayPath();
    boolArray = false;
    firstWord = 0;
    bits = TagBits{};
    alias = tagAlias;
    return true;
}

bool ControlLogixTagData::UseBitOfElement(uint8_t wordBytes) {
    if (bitIndex < 0 || static_cast<uint32_t>(bitIndex) >= uint32_t{wordBytes} * 8) {
        return false;
    }
    bits = TagBits{static_cast<uint32_t>(bitIndex), 1, wordBytes};
    return true;
}

// BOOL element k lies in bit k mod 32 of word k / 32: Flags[37] is read as word 1 (the
// address Flags[1], count 1) and bit 5 of it; Flags[32~95] as words 1 and 2; Flags as all of
// its words from word 0.
bool ControlLogixTagData::UseBoolArrayWords(uint32_t arrayLength) {
    const bool indexed = EndsWithSingleIndex();
    if (bitIndex >= 0 || (endsWithIndex && !indexed) || (!indexed && arrayLength == 0)) {
        return false;
    }
    // The index segment holds the first element of a range too.
    const uint64_t first = indexed ? lastIndex : 0;
    const uint64_t count = indexed ? elementCount : arrayLength;
    if (count == 0 || (arrayLength != 0 && first + count > arrayLength)) {
        return false;
    }
    const uint64_t lastWord = (first + count - 1) / kBoolWordBits;
    const uint32_t wordCount = static_cast<uint32_t>(lastWord - first / kBoolWordBits + 1);
    if (wordCount > 0xFFFF) {
        return false;
    }
    firstWord = static_cast<uint32_t>(first / kBoolWordBits);
    ByteWriter path(kMaxRequestPathBytes + 8);
    path.bytes(arrayPath.data(), arrayPath.size());
    if (indexed) {
        WriteElement(path, firstWord);
    }
    std::vector<uint8_t> address = Address(path.view(), static_cast<uint16_t>(wordCount));
    if (!path.ok() || address.empty()) {
        return false;
    }
    const std::vector<uint8_t> before = std::move(encodedAddress);
    encodedAddress = std::move(address);
    boolArray = true;
    // Every word a write addresses must fit a request path too.
    if (WordPath(wordCount - 1).empty()) {
        encodedAddress = before;
        boolArray = false;
        return false;
    }
    elementCount = static_cast<uint16_t>(wordCount);
    bits = TagBits{static_cast<uint32_t>(first % kBoolWordBits), static_cast<uint32_t>(count),
                   kBoolWordBits / 8};
    return true;
}

std::vector<uint8_t> ControlLogixTagData::ArrayAddress() const {
    if (!EndsWithSingleIndex()) {
        return {};
    }
    return Address(ByteView{arrayPath.data(), arrayPath.size()}, 1);
}

std::vector<uint8_t> ControlLogixTagData::WordPath(uint32_t word) const {
    if (!boolArray) {
        return encodedAddress.size() < 2
                   ? std::vector<uint8_t>{}
                   : std::vector<uint8_t>(encodedAddress.begin(), encodedAddress.end() - 2);
    }
    ByteWriter path(kMaxRequestPathBytes + 8);
    path.bytes(arrayPath.data(), arrayPath.size());
    WriteElement(path, firstWord + word);
    std::vector<uint8_t> address = Address(path.view(), 1);
    if (!path.ok() || address.empty()) {
        return {};
    }
    address.resize(address.size() - 2);
    return address;
}

int32_t ControlLogixTagData::FillData(bool forRead, uint8_t* buffer, uint16_t offset,
                                      uint16_t capacity) const {
    // A tag whose name never parsed has no address to send.
    if (encodedAddress.empty()) {
        return -1;
    }
    // Write Tag supplies its own type and element count after the path.
    const size_t length = forRead ? encodedAddress.size() : encodedAddress.size() - 2;
    if (buffer == nullptr || size_t{offset} + length > capacity) {
        eiplog::Error("FillData", "FillData: buffer to short");
        return -1;
    }
    ByteMove(buffer + offset, encodedAddress.data(), static_cast<uint32_t>(length));
    return static_cast<int32_t>(length);
}
