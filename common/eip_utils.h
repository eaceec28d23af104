#pragma once

// Shared configuration records of a PLC, its identity, its tags and subtags, plus the
// byte-order and text helpers every other subsystem uses.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// Protocol family of a PLC and of its tags. Shown as "PCCC" / "CIP/EIP".
enum ProtocolFamily : int32_t {
    kFamilyPccc = 0,
    kFamilyCip = 1,
};

// Presentation of a tag's value. UNKNOWN is never valid in a stored tag.
enum OutputType : int32_t {
    kOutputTypeUnknown = 0,
    kOutputTypeDefault = 1,
};

// RW flag bits of TagInfo::rwFlag. I never combines with R or W in a valid tag.
constexpr uint8_t kRwFlagRead = 0x01;
constexpr uint8_t kRwFlagWrite = 0x02;
constexpr uint8_t kRwFlagIo = 0x04;
// Defaults for a tag added without an RW flag.
constexpr uint8_t kRwFlagDefaultExplicit = kRwFlagRead | kRwFlagWrite;
constexpr uint8_t kRwFlagDefaultIo = kRwFlagIo;

// CIP elementary data-type codes of one element, as the controller reports them.
constexpr int32_t kInnerTypeBool = 0xC1;         // 193
constexpr int32_t kInnerTypeSint = 0xC2;         // 194
constexpr int32_t kInnerTypeInt = 0xC3;          // 195
constexpr int32_t kInnerTypeDint = 0xC4;         // 196
constexpr int32_t kInnerTypeLint = 0xC5;         // 197
constexpr int32_t kInnerTypeUsint = 0xC6;        // 198
constexpr int32_t kInnerTypeUint = 0xC7;         // 199
constexpr int32_t kInnerTypeUdint = 0xC8;        // 200
constexpr int32_t kInnerTypeUlint = 0xC9;        // 201
constexpr int32_t kInnerTypeReal = 0xCA;         // 202
constexpr int32_t kInnerTypeLreal = 0xCB;        // 203
constexpr int32_t kInnerTypeString = 0xD0;       // 208
constexpr int32_t kInnerTypeBitarray = 0xD3;     // 211, DWORD: how a controller holds BOOL arrays
constexpr int32_t kInnerTypeString2 = 0xD5;      // 213
constexpr int32_t kInnerTypeShortString = 0xDA;  // 218
constexpr int32_t kInnerTypeStructure = 0x2A0;   // 672

// Elementary integer types: the ones whose bits a tag may address (Status.5).
constexpr bool IsIntegerType(int32_t innerType) {
    return (innerType >= kInnerTypeSint && innerType <= kInnerTypeUlint);
}
// Elementary types whose values are numbers: the integers, REAL, LREAL and the DWORD words a
// controller holds BOOL arrays in.
constexpr bool IsNumberType(int32_t innerType) {
    return IsIntegerType(innerType) || innerType == kInnerTypeReal ||
           innerType == kInnerTypeLreal || innerType == kInnerTypeBitarray;
}

// Structure handle of the controller's standard STRING structure (32-bit length followed by
// at most 82 characters); the only structure that can be written.
constexpr uint16_t kStringStructHandle = 0x0FCE;
constexpr int32_t kStringStructMaxChars = 82;
// Bytes of one STRING: the 32-bit length and the characters, padded to 88.
constexpr uint32_t kStringStructSize = 88;

// Tag kind passed alongside tag records: 1 is an explicit-message tag, anything else I/O.
constexpr int8_t kTagKindExplicit = 1;
constexpr int8_t kTagKindIo = 0;

constexpr uint16_t kDefaultTcpPort = 44818;

// Kind of a PCCC controller: the reply limit of its typed reads and the files it has. Shown and
// stored as "PLC-5", "SLC 500", "MicroLogix".
enum class PlcType : uint8_t {
    kPlc5 = 0,
    kSlc500 = 1,
    kMicroLogix = 2,
};
// PCCC requests a PLC has outstanding at once by default, and at most (1: one at a time).
constexpr uint8_t kDefaultRequestsInFlight = 4;
constexpr uint8_t kMaxRequestsInFlight = 16;

const char* PlcTypeName(PlcType type);
// The kind of a name as shown (letter case ignored); false for another text.
bool ParsePlcType(const std::string& name, PlcType& type);

// One PLC's connection settings. Persisted as "$host", "$port", "$slot", "$protocol family",
// and for PCCC "$plc type" and "$requests in flight", on the PLC node whose name is the alias.
struct ConnectInfo {
    std::string alias;
    std::string host;
    uint16_t port = kDefaultTcpPort;
    int32_t slot = 0;
    ProtocolFamily family = kFamilyCip;
    // PCCC only: the controller kind and how many requests are outstanding at once.
    PlcType plcType = PlcType::kPlc5;
    uint8_t requestsInFlight = kDefaultRequestsInFlight;
};

// Identity of a PLC as read from the CIP Identity object.
struct ProductInfo {
    std::string productName;
    uint16_t vendorId = 0;
    uint16_t deviceType = 0;
    uint16_t productCode = 0;
    uint8_t majorRevision = 0;
    uint8_t minorRevision = 0;
};

struct LogixStructureInfo;

// One tag's configuration. A fresh record has every number zero and every string empty.
struct TagInfo {
    ProtocolFamily family = kFamilyPccc;
    std::string alias;
    std::string tagName;
    std::string plc5Address;
    OutputType outputType = kOutputTypeUnknown;
    uint8_t rwFlag = 0;
    int32_t innerType = 0;
    uint16_t structHandle = 0;
    int32_t dataLen = 0;
    std::string description;
    uint16_t elementCount = 0;
    // Learned by a Logix test read, never stored: the type of the element whose bits the tag
    // stands for (an integer for Tag.N, BITARRAY for a BOOL array), 0 for a whole value; and
    // the bits a whole BOOL array holds (its words x 32).
    int32_t wordType = 0;
    uint32_t boolArrayLength = 0;
    // Learned by a Logix test read, never stored: the structure the tag's value is, or the
    // structure it is a member of (family/logix_structure_cache.h); null for neither.
    std::shared_ptr<const LogixStructureInfo> structure;
};

// One subtag: a slice of an I/O tag's data.
struct SubTagInfo {
    std::string alias;
    int32_t offset = 0;
    int32_t innerType = 0;
    int32_t dataLen = 0;
};

// Byte-order helpers. They do no bounds checking: the caller guarantees room. Wire parsers and
// encoders use ByteReader / ByteWriter (common/byte_codec.h), which check bounds and call these.
// None depends on the host's byte order.
inline void ByteMove(void* destination, const void* source, uint32_t length) {
    if (length != 0) {
        std::memmove(destination, source, length);
    }
}

inline void PutLittleEndian16(uint16_t value, uint8_t* out) {
    out[0] = static_cast<uint8_t>(value & 0xFF);
    out[1] = static_cast<uint8_t>(value >> 8);
}

inline void PutLittleEndian16(uint16_t value, std::vector<uint8_t>& out) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

inline void PutLittleEndian32(uint32_t value, uint8_t* out) {
    out[0] = static_cast<uint8_t>(value & 0xFF);
    out[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
    out[2] = static_cast<uint8_t>((value >> 16) & 0xFF);
    out[3] = static_cast<uint8_t>(value >> 24);
}

inline void PutLittleEndianFloat(float value, uint8_t* out) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    PutLittleEndian32(bits, out);
}

inline void PutBigEndian16(uint16_t value, uint8_t* out) {
    out[0] = static_cast<uint8_t>(value >> 8);
    out[1] = static_cast<uint8_t>(value & 0xFF);
}

inline uint16_t GetLittleEndian16(const uint8_t* in) {
    return static_cast<uint16_t>(in[0] | (in[1] << 8));
}

inline uint32_t GetLittleEndian32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
           (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

inline float GetLittleEndianFloat(const uint8_t* in) {
    const uint32_t bits = GetLittleEndian32(in);
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Removes leading and trailing spaces (character 32 only; tabs and line ends stay) in place.
void TrimSpaces(std::string& text);

// True when the text, trimmed of spaces, is an optionally signed decimal number without
// exponent: "-1.5", ".5", "+3". False for null, "", "1.", "1e3".
bool IsRealNumberStr(const char* text);
