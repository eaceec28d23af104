#include "sim/logix_tags.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>

#include "eip/cip_wire.h"
#include "sim/logix_structures.h"

namespace plcsim {

namespace {

// Request path segments of a symbolic tag address.
constexpr uint8_t kSegSymbol = 0x91;
constexpr uint8_t kSegElement8 = 0x28;
constexpr uint8_t kSegElement16 = 0x29;
constexpr uint8_t kSegElement32 = 0x2A;
constexpr size_t kMaxDims = 3;
// Fragments of a fragmented read end on this byte boundary of the room.
constexpr size_t kFragmentAlignment = 4;

// The first slot of a name's hash in the tag index: the name hash's low bits take in only the low
// bits of each character (the digits of "Tag1".."Tag4999" differ in four), its high bits all of
// them, so they are folded in.
size_t FirstSlot(size_t hash, size_t mask) {
    return (hash ^ (hash >> 32)) & mask;
}

// Tag names are ASCII: upper-casing them needs no locale.
char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
}

std::string Upper(std::string text) {
    for (char& c : text) {
        c = AsciiUpper(c);
    }
    return text;
}

using Kind = LogixValueKind;
const LogixType kBool{"BOOL", kLogixTypeBool, 0, 1, Kind::Bool, {}};
const LogixType kSint{"SINT", kLogixTypeSint, 0, 1, Kind::Signed, {}};
const LogixType kInt{"INT", kLogixTypeInt, 0, 2, Kind::Signed, {}};
const LogixType kDint{"DINT", kLogixTypeDint, 0, 4, Kind::Signed, {}};
const LogixType kLint{"LINT", kLogixTypeLint, 0, 8, Kind::Signed, {}};
const LogixType kUsint{"USINT", kLogixTypeUsint, 0, 1, Kind::Unsigned, {}};
const LogixType kUint{"UINT", kLogixTypeUint, 0, 2, Kind::Unsigned, {}};
const LogixType kUdint{"UDINT", kLogixTypeUdint, 0, 4, Kind::Unsigned, {}};
const LogixType kUlint{"ULINT", kLogixTypeUlint, 0, 8, Kind::Unsigned, {}};
const LogixType kReal{"REAL", kLogixTypeReal, 0, 4, Kind::Float, {}};
const LogixType kLreal{"LREAL", kLogixTypeLreal, 0, 8, Kind::Float, {}};
const LogixType kDword{"DWORD", kLogixTypeDword, 0, 4, Kind::Bits, {}};
const LogixType kString{
    "STRING",           kLogixTypeStructure,
    kLogixStringHandle, kLogixStringSize,
    Kind::Structure,    {{"LEN", &kDint, 0, 0}, {"DATA", &kSint, 4, kLogixStringChars}}};
const LogixType kMotor{"MOTOR",
                       kLogixTypeStructure,
                       kLogixMotorHandle,
                       116,
                       Kind::Structure,
                       {{"Running", &kBool, 0, 0},
                        {"Mode", &kSint, 1, 0},
                        {"Faults", &kInt, 2, 0},
                        {"Count", &kDint, 4, 0},
                        {"Speed", &kReal, 8, 0},
                        {"Setpoints", &kReal, 12, 4},
                        {"Name", &kString, 28, 0}}};
// TIMER, COUNTER and CONTROL as controllers are reported to lay them out (12 bytes each): a
// DINT holding the status bits from bit 31 down, then two DINTs.
const LogixType kTimer{"TIMER",
                       kLogixTypeStructure,
                       kLogixTimerHandle,
                       12,
                       Kind::Structure,
                       {{"CTL", &kDint, 0, 0},
                        {"PRE", &kDint, 4, 0},
                        {"ACC", &kDint, 8, 0},
                        {"EN", &kBool, 0, 0, 31},
                        {"TT", &kBool, 0, 0, 30},
                        {"DN", &kBool, 0, 0, 29}}};
const LogixType kCounter{"COUNTER",
                         kLogixTypeStructure,
                         kLogixCounterHandle,
                         12,
                         Kind::Structure,
                         {{"CTL", &kDint, 0, 0},
                          {"PRE", &kDint, 4, 0},
                          {"ACC", &kDint, 8, 0},
                          {"CU", &kBool, 0, 0, 31},
                          {"CD", &kBool, 0, 0, 30},
                          {"DN", &kBool, 0, 0, 29},
                          {"OV", &kBool, 0, 0, 28},
                          {"UN", &kBool, 0, 0, 27}}};
const LogixType kControl{"CONTROL",
                         kLogixTypeStructure,
                         kLogixControlHandle,
                         12,
                         Kind::Structure,
                         {{"CTL", &kDint, 0, 0},
                          {"LEN", &kDint, 4, 0},
                          {"POS", &kDint, 8, 0},
                          {"EN", &kBool, 0, 0, 31},
                          {"EU", &kBool, 0, 0, 30},
                          {"DN", &kBool, 0, 0, 29},
                          {"EM", &kBool, 0, 0, 28},
                          {"ER", &kBool, 0, 0, 27},
                          {"UL", &kBool, 0, 0, 26},
                          {"IN", &kBool, 0, 0, 25},
                          {"FD", &kBool, 0, 0, 24}}};
// Status bits of the first DINT of a TIMER and a COUNTER.
constexpr uint32_t kTimerEnable = 1u << 31;
constexpr uint32_t kTimerTiming = 1u << 30;
constexpr uint32_t kTimerDone = 1u << 29;
constexpr uint32_t kCounterUp = 1u << 31;
constexpr uint32_t kCounterDone = 1u << 29;
constexpr uint32_t kCounterOverflow = 1u << 28;

// A bit member seen as a one-byte BOOL: bit `bit` of the host at `host`, LSB first.
uint8_t LoadBit(const uint8_t* host, int bit) {
    return static_cast<uint8_t>((host[bit / 8] >> (bit % 8)) & 1);
}

void StoreBit(uint8_t* host, int bit, bool value) {
    const uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
    host[bit / 8] = value ? (host[bit / 8] | mask) : (host[bit / 8] & ~mask);
}

// A TON over `elapsedMs`: while EN the accumulator counts milliseconds up to PRE, then DN; TT
// while it counts. Without EN the timer is reset. A restarting timer that was done starts over,
// as one whose rung holds "XIO Timer.DN" does.
void RunTimer(uint8_t* timer, int64_t elapsedMs, bool restart) {
    ByteReader r(timer, kTimer.size);
    uint32_t status = r.u32();
    const int32_t preset = static_cast<int32_t>(r.u32());
    int64_t accumulated = static_cast<int32_t>(r.u32());
    if (restart && (status & kTimerDone) != 0) {
        accumulated = 0;
    }
    status &= ~(kTimerTiming | kTimerDone);
    if ((status & kTimerEnable) == 0) {
        accumulated = 0;
    } else if (accumulated < preset) {
        accumulated = std::min<int64_t>(preset, accumulated + elapsedMs);
    }
    if ((status & kTimerEnable) != 0) {
        status |= accumulated >= preset ? kTimerDone : kTimerTiming;
    }
    ByteWriter w(timer, kTimer.size);
    w.u32(status).u32(static_cast<uint32_t>(preset)).u32(static_cast<uint32_t>(accumulated));
}

// A CTU counting `pulses` rising edges: ACC up (wrapping like a DINT, with OV), DN at PRE.
void RunCounter(uint8_t* counter, int64_t pulses) {
    ByteReader r(counter, kCounter.size);
    uint32_t status = r.u32() | (pulses > 0 ? kCounterUp : 0);
    const int32_t preset = static_cast<int32_t>(r.u32());
    const int64_t sum = int64_t{static_cast<int32_t>(r.u32())} + pulses;
    const int32_t accumulated = static_cast<int32_t>(static_cast<uint32_t>(sum));
    status = sum != accumulated ? status | kCounterOverflow : status;
    status = accumulated >= preset ? status | kCounterDone : status & ~kCounterDone;
    ByteWriter w(counter, kCounter.size);
    w.u32(status).u32(static_cast<uint32_t>(preset)).u32(static_cast<uint32_t>(accumulated));
}

size_t StringCapacity(const LogixType& type) {
    return type.members[1].arrayLength;
}

const LogixMember* FindMember(const LogixType& type, const std::string& name) {
    for (const LogixMember& member : type.members) {
        if (NameEqual{}(member.name, name)) {
            return &member;
        }
    }
    return nullptr;
}

// The dimensions of an array being addressed: at most kMaxDims, held without allocation.
class Dims {
  public:
    Dims() = default;
    template <typename Iterator>
    Dims(Iterator first, Iterator last) {
        for (; first != last && count_ < kMaxDims; ++first) {
            values_[count_++] = *first;
        }
    }
    const uint32_t* begin() const { return values_; }
    const uint32_t* end() const { return values_ + count_; }
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    uint32_t operator[](size_t i) const { return values_[i]; }
    void clear() { count_ = 0; }

  private:
    uint32_t values_[kMaxDims] = {};
    size_t count_ = 0;
};

// Product of the dimensions; the tag size limit keeps it within 32 bits.
template <typename DimList>
uint32_t ElementTotal(const DimList& dims) {
    uint32_t total = 1;
    for (uint32_t d : dims) {
        total *= d;
    }
    return total;
}

// The largest tag the controller holds (16 MiB), whatever its dimensions.
constexpr uint64_t kMaxTagBytes = uint64_t{1} << 24;

// Bytes of a tag of these dimensions; above kMaxTagBytes (or a dimension of 0) it stops
// multiplying and answers kMaxTagBytes + 1, so that no product overflows.
uint64_t TagBytesOf(const std::vector<uint32_t>& dims, const LogixType& type) {
    uint64_t total = type.size;
    for (uint32_t d : dims) {
        if (d == 0 || total * d > kMaxTagBytes) {  // both factors below 2^32: no overflow
            return kMaxTagBytes + 1;
        }
        total *= d;
    }
    return total;
}

// ---- Element values ---------------------------------------------------------------------------

// An element's bytes (1, 2, 4 or 8, little-endian) as one unsigned number, and back.
uint64_t LoadBits(const uint8_t* in, size_t size) {
    ByteReader r(in, size);
    uint64_t bits = 0;
    for (size_t i = 0; i < size; ++i) {
        bits |= uint64_t{r.u8()} << (8 * i);
    }
    return bits;
}

void StoreBits(uint64_t bits, size_t size, uint8_t* out) {
    ByteWriter w(out, size);
    for (size_t i = 0; i < size; ++i) {
        w.u8(static_cast<uint8_t>(bits >> (8 * i)));
    }
}

// The largest value of an unsigned type of this many bytes, and of a signed one.
uint64_t UnsignedMax(size_t size) {
    return size >= 8 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << (8 * size)) - 1;
}

uint64_t SignedMax(size_t size) {
    return UnsignedMax(size) >> 1;
}

// Whether a value lies in the range of an integer type (BOOL holds 0 or 1).
bool FitsUnsigned(const LogixType& type, uint64_t value) {
    switch (type.kind) {
        case Kind::Bool:
            return value <= 1;
        case Kind::Signed:
            return value <= SignedMax(type.size);
        case Kind::Unsigned:
        case Kind::Bits:
            return value <= UnsignedMax(type.size);
        default:
            return false;
    }
}

bool FitsSigned(const LogixType& type, int64_t value) {
    if (value >= 0) {
        return FitsUnsigned(type, static_cast<uint64_t>(value));
    }
    // -value - 1 cannot overflow; a signed type reaches -(max + 1).
    return type.kind == Kind::Signed && static_cast<uint64_t>(-(value + 1)) <= SignedMax(type.size);
}

// An integer element as int64_t: a signed type is sign-extended, an unsigned one taken as is
// (a ULINT above the int64_t range wraps; callers check with LoadBits first).
int64_t GetInteger(const LogixType& type, const uint8_t* in) {
    const uint64_t bits = LoadBits(in, type.size);
    if (type.kind == Kind::Bool) {
        return bits != 0 ? 1 : 0;
    }
    const unsigned unused = static_cast<unsigned>(64 - 8 * type.size);
    if (type.kind == Kind::Signed && unused > 0) {
        return static_cast<int64_t>(bits << unused) >> unused;
    }
    return static_cast<int64_t>(bits);
}

// Writes an integer into one element, wrapping to the type's width.
void PutInteger(const LogixType& type, int64_t value, uint8_t* out) {
    const uint64_t bits = static_cast<uint64_t>(value);
    StoreBits(type.kind == Kind::Bool ? (bits & 1) : bits, type.size, out);
}

double GetFloat(const LogixType& type, const uint8_t* in) {
    if (type.size == 4) {
        return ByteReader(in, 4).f32();
    }
    const uint64_t bits = LoadBits(in, 8);
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void PutFloat(const LogixType& type, double value, uint8_t* out) {
    if (type.size == 4) {
        ByteWriter(out, 4).f32(static_cast<float>(value));
        return;
    }
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    StoreBits(bits, 8, out);
}

double GetNumber(const LogixType& type, const uint8_t* in) {
    if (type.kind == Kind::Float) {
        return GetFloat(type, in);
    }
    if (type.kind == Kind::Unsigned || type.kind == Kind::Bits) {
        return static_cast<double>(LoadBits(in, type.size));
    }
    return static_cast<double>(GetInteger(type, in));
}

void PutNumber(const LogixType& type, double value, uint8_t* out) {
    if (type.kind == Kind::Float) {
        PutFloat(type, value, out);
    } else {
        PutInteger(type, static_cast<int64_t>(std::llround(value)), out);
    }
}

void PutStringValue(const LogixType& type, const std::string& text, uint8_t* out) {
    ByteWriter w(out, type.size);
    w.u32(static_cast<uint32_t>(text.size())).bytes(text);
    w.zeros(w.remaining());
}

bool ApplyJson(const LogixType& type, const std::vector<uint32_t>& dims,
               const nlohmann::json& value, uint8_t* out, std::string& error);

// Sets one element (no dimensions) from a JSON value.
bool ApplyElementJson(const LogixType& type, const nlohmann::json& value, uint8_t* out,
                      std::string& error) {
    if (value.is_null()) {
        return true;
    }
    if (IsLogixStringType(type)) {
        if (!value.is_string() || value.get<std::string>().size() > StringCapacity(type)) {
            error = "a " + type.name + " value must be a text of at most " +
                    std::to_string(StringCapacity(type)) + " characters";
            return false;
        }
        PutStringValue(type, value.get<std::string>(), out);
        return true;
    }
    if (type.IsStructure()) {
        if (!value.is_object()) {
            error = "a " + type.name + " value must be an object of member values";
            return false;
        }
        for (const auto& item : value.items()) {
            const LogixMember* member = FindMember(type, item.key());
            if (member == nullptr) {
                error = type.name + " has no member " + item.key();
                return false;
            }
            if (member->bit >= 0) {
                const nlohmann::json& bit = item.value();
                if (!bit.is_boolean() && !(bit.is_number_integer() && (bit == 0 || bit == 1))) {
                    error =
                        "member " + member->name + ": value " + bit.dump() + " does not fit BOOL";
                    return false;
                }
                StoreBit(out + member->offset, member->bit, bit == true || bit == 1);
                continue;
            }
            std::vector<uint32_t> memberDims;
            if (member->arrayLength != 0) {
                memberDims.push_back(member->arrayLength);
            }
            if (!ApplyJson(*member->type, memberDims, item.value(), out + member->offset, error)) {
                return false;
            }
        }
        return true;
    }
    if (type.kind == Kind::Float && value.is_number()) {
        PutFloat(type, value.get<double>(), out);
        return true;
    }
    if (value.is_boolean() && type.kind == Kind::Bool) {
        PutInteger(type, value.get<bool>() ? 1 : 0, out);
        return true;
    }
    // JSON keeps integers above the int64_t range as unsigned: ULINT reaches 2^64 - 1.
    if (value.is_number_unsigned() && FitsUnsigned(type, value.get<uint64_t>())) {
        StoreBits(value.get<uint64_t>(), type.size, out);
        return true;
    }
    if (value.is_number_integer() && FitsSigned(type, value.get<int64_t>())) {
        PutInteger(type, value.get<int64_t>(), out);
        return true;
    }
    error = "value " + value.dump() + " does not fit " + type.name;
    return false;
}

void Flatten(const nlohmann::json& value, std::vector<const nlohmann::json*>& out) {
    if (value.is_array()) {
        for (const auto& item : value) {
            Flatten(item, out);
        }
    } else {
        out.push_back(&value);
    }
}

// The elements of an array value in row-major order, nested or flat; false with a reason when it
// is not an array or holds more than `capacity` of them.
bool ArrayElements(const nlohmann::json& value, size_t capacity,
                   std::vector<const nlohmann::json*>& out, std::string& error) {
    if (!value.is_array()) {
        error = "an array value must be a JSON array";
        return false;
    }
    Flatten(value, out);
    if (out.size() > capacity) {
        error = "more values than array elements";
        return false;
    }
    return true;
}

bool ApplyJson(const LogixType& type, const std::vector<uint32_t>& dims,
               const nlohmann::json& value, uint8_t* out, std::string& error) {
    if (dims.empty()) {
        return ApplyElementJson(type, value, out, error);
    }
    if (value.is_null()) {
        return true;
    }
    std::vector<const nlohmann::json*> elements;
    if (!ArrayElements(value, ElementTotal(dims), elements, error)) {
        return false;
    }
    for (size_t i = 0; i < elements.size(); ++i) {
        if (!ApplyElementJson(type, *elements[i], out + i * type.size, error)) {
            return false;
        }
    }
    return true;
}

// The value of a BOOL array, one bool (or 0 or 1) per element, into the bits of its words:
// element k is bit k % 32 of word k / 32, so bit k % 8 of byte k / 8.
bool ApplyBoolArrayJson(const nlohmann::json& value, std::vector<uint8_t>& words,
                        std::string& error) {
    if (value.is_null()) {
        return true;
    }
    std::vector<const nlohmann::json*> bits;
    if (!ArrayElements(value, words.size() * 8, bits, error)) {
        return false;
    }
    for (size_t k = 0; k < bits.size(); ++k) {
        const nlohmann::json& bit = *bits[k];
        if (bit.is_null()) {
            continue;
        }
        const bool number = bit.is_number_integer() && (bit == 0 || bit == 1);
        if (!bit.is_boolean() && !number) {
            error = "value " + bit.dump() + " does not fit BOOL";
            return false;
        }
        if (bit.is_boolean() ? bit.get<bool>() : bit == 1) {
            words.at(k / 8) |= static_cast<uint8_t>(1u << (k % 8));
        }
    }
    return true;
}

// Words of a BOOL array of n elements: n rounded up to a multiple of 32, in words.
uint32_t WordsOfBools(uint32_t n) {
    return n / kLogixBoolsPerWord + (n % kLogixBoolsPerWord != 0 ? 1 : 0);
}

constexpr const char* kProgramPrefix = "PROGRAM:";
constexpr size_t kProgramPrefixSize = 8;

bool IsProgramScoped(const std::string& name) {
    return name.size() >= kProgramPrefixSize &&
           std::equal(kProgramPrefix, kProgramPrefix + kProgramPrefixSize, name.begin(),
                      [](char prefix, char c) { return prefix == AsciiUpper(c); });
}

// "PROGRAM:NAME" of a program tag's upper-cased name, or "" for a controller tag.
std::string ScopeOf(const std::string& upperName) {
    return IsProgramScoped(upperName) ? upperName.substr(0, upperName.find('.')) : std::string();
}

bool ValidIdentifier(const std::string& name) {
    if (name.empty() || name.size() > 40 ||
        !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    });
}

// A controller tag name, or "Program:NAME.Tag" for a tag of program NAME.
bool ValidTagName(const std::string& name) {
    if (!IsProgramScoped(name)) {
        return ValidIdentifier(name);
    }
    const size_t dot = name.find('.');
    return dot != std::string::npos &&
           ValidIdentifier(name.substr(kProgramPrefixSize, dot - kProgramPrefixSize)) &&
           ValidIdentifier(name.substr(dot + 1));
}

}  // namespace

// FNV-1a over the upper-cased characters.
size_t NameHash::operator()(const std::string& name) const {
    size_t hash = 14695981039346656037ull;
    for (char c : name) {
        hash = (hash ^ static_cast<unsigned char>(AsciiUpper(c))) * 1099511628211ull;
    }
    return hash;
}

bool NameEqual::operator()(const std::string& a, const std::string& b) const {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return AsciiUpper(x) == AsciiUpper(y);
           });
}

bool IsLogixStringType(const LogixType& type) {
    return type.IsStructure() && type.members.size() == 2 && type.members[0].name == "LEN" &&
           type.members[0].type == &kDint && type.members[1].name == "DATA" &&
           type.members[1].type == &kSint && type.members[1].arrayLength != 0;
}

const LogixType* FindLogixType(const std::string& name) {
    static const LogixType* const kTypes[] = {
        &kBool, &kSint,  &kInt,   &kDint,   &kLint,  &kUsint, &kUint,    &kUdint,  &kUlint,
        &kReal, &kLreal, &kDword, &kString, &kMotor, &kTimer, &kCounter, &kControl};
    const std::string wanted = Upper(name);
    for (const LogixType* type : kTypes) {
        if (type->name == wanted) {
            return type;
        }
    }
    return nullptr;
}

// ---- Definitions -------------------------------------------------------------------------------

const LogixType* LogixTagDatabase::FindTypeLocked(const std::string& name) const {
    if (const LogixType* type = FindLogixType(name)) {
        return type;
    }
    for (const auto& type : userTypes_) {
        if (NameEqual{}(type->name, name)) {
            return type.get();
        }
    }
    return nullptr;
}

const LogixType* LogixTagDatabase::FindType(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return FindTypeLocked(name);
}

const LogixType* LogixTagDatabase::TypeOfTemplate(uint16_t instance) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return TypeOfTemplateLocked(instance);
}

const LogixType* LogixTagDatabase::TypeOfTemplateLocked(uint16_t instance) const {
    for (const char* name : {"STRING", "MOTOR", "TIMER", "COUNTER", "CONTROL"}) {
        const LogixType* type = FindLogixType(name);
        if ((type->handle & kLogixTemplateMask) == instance) {
            return type;
        }
    }
    for (const auto& type : userTypes_) {
        if ((type->handle & kLogixTemplateMask) == instance) {
            return type.get();
        }
    }
    return nullptr;
}

bool LogixTagDatabase::DefineType(const LogixTypeDefinition& definition, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ValidIdentifier(definition.name) || FindTypeLocked(definition.name) != nullptr) {
        error = "type name \"" + definition.name + "\" is invalid or taken";
        return false;
    }
    auto type = std::make_unique<LogixType>();
    const auto find = [this](const std::string& name) { return FindTypeLocked(name); };
    const auto taken = [this](uint16_t instance) {
        return TypeOfTemplateLocked(instance) != nullptr;
    };
    if (!LayOutLogixStructure(definition, find, taken, *type, error)) {
        return false;
    }
    userTypes_.push_back(std::move(type));
    return true;
}

bool LogixTagDatabase::Define(const LogixTagDefinition& definition, std::string& error) {
    const LogixType* type = FindType(definition.type);
    if (!ValidTagName(definition.name)) {
        error = "invalid tag name \"" + definition.name + "\"";
        return false;
    }
    if (type == nullptr) {
        error = "unknown type \"" + definition.type + "\" of tag " + definition.name;
        return false;
    }
    // A controller holds a BOOL array (of one dimension only) in 32-bit words.
    const bool boolArray = type->kind == Kind::Bool && !definition.dims.empty();
    if (boolArray && definition.dims.size() != 1) {
        error = "tag " + definition.name + ": a BOOL array has one dimension";
        return false;
    }
    const std::vector<uint32_t> dims =
        boolArray ? std::vector<uint32_t>{WordsOfBools(definition.dims[0])} : definition.dims;
    type = boolArray ? &kDword : type;
    if (dims.size() > kMaxDims || TagBytesOf(dims, *type) > kMaxTagBytes) {
        error = "tag " + definition.name +
                " needs one to three dimensions of at least 1 element and at most " +
                std::to_string(kMaxTagBytes) + " bytes in all";
        return false;
    }
    if (definition.animation.kind != LogixAnimation::Kind::None &&
        ((!type->IsNumeric() && type != &kCounter && type != &kTimer) ||
         definition.animation.periodMs == 0)) {
        error = "tag " + definition.name +
                ": only numeric, TIMER and COUNTER tags with a period above 0 can move";
        return false;
    }
    Tag tag;
    tag.name = definition.name;
    tag.type = type;
    tag.dims = dims;
    tag.storage.assign(ElementTotal(dims) * type->size, 0);
    tag.animation = definition.animation;
    if (boolArray ? !ApplyBoolArrayJson(definition.value, tag.storage, error)
                  : !ApplyJson(*type, tag.dims, definition.value, tag.storage.data(), error)) {
        error = "tag " + definition.name + ": " + error;
        return false;
    }
    RestartAnimation(tag);

    std::lock_guard<std::mutex> lock(mutex_);
    const std::string key = definition.name;
    tag.instance = nextInstance_;
    const auto added = tags_.emplace(key, std::move(tag));
    if (!added.second) {
        error = "tag " + definition.name + " is already defined";
        return false;
    }
    instances_[nextInstance_++] = key;
    Index(added.first->second);
    return true;
}

bool LogixTagDatabase::Remove(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = tags_.find(name);
    if (found == tags_.end()) {
        return false;
    }
    instances_.erase(found->second.instance);
    tags_.erase(found);
    Reindex();
    return true;
}

void LogixTagDatabase::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    tags_.clear();
    instances_.clear();
    index_.clear();
    indexed_ = 0;
}

// The index is kept at most half full, so that a probe ends soon on a match or an empty slot.
void LogixTagDatabase::Index(const Tag& tag) {
    if ((indexed_ + 1) * 2 > index_.size()) {
        index_.assign(std::max<size_t>(64, index_.size() * 2), IndexSlot{});
        indexed_ = 0;
        for (const auto& entry : tags_) {
            Place(entry.second);
        }
        return;  // tag is in tags_ already, placed with the others
    }
    Place(tag);
}

void LogixTagDatabase::Place(const Tag& tag) {
    const size_t hash = NameHash{}(tag.name);
    const size_t mask = index_.size() - 1;
    size_t at = FirstSlot(hash, mask);
    while (index_[at].tag != nullptr) {
        at = (at + 1) & mask;
    }
    index_[at] = IndexSlot{hash, &tag};
    ++indexed_;
}

void LogixTagDatabase::Reindex() {
    index_.assign(index_.size(), IndexSlot{});
    indexed_ = 0;
    for (const auto& entry : tags_) {
        Place(entry.second);
    }
}

const LogixTagDatabase::Tag* LogixTagDatabase::FindTag(const std::string& name) const {
    if (index_.empty()) {
        return nullptr;
    }
    const size_t hash = NameHash{}(name);
    const size_t mask = index_.size() - 1;
    for (size_t at = FirstSlot(hash, mask); index_[at].tag != nullptr; at = (at + 1) & mask) {
        if (index_[at].hash == hash && NameEqual{}(index_[at].tag->name, name)) {
            return index_[at].tag;
        }
    }
    return nullptr;
}

std::vector<LogixSymbolEntry> LogixTagDatabase::Symbols(const std::string& program, uint32_t first,
                                                        size_t max) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string scope = Upper(program);
    std::vector<LogixSymbolEntry> out;
    for (auto it = instances_.lower_bound(first); it != instances_.end() && out.size() < max;
         ++it) {
        if (ScopeOf(Upper(it->second)) != scope) {
            continue;
        }
        const Tag& tag = tags_.at(it->second);
        const std::string name = scope.empty() ? tag.name : tag.name.substr(scope.size() + 1);
        out.push_back(LogixSymbolEntry{tag.instance, name, tag.type, tag.dims});
    }
    return out;
}

std::vector<std::string> LogixTagDatabase::Programs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<std::string, std::string> byScope;  // upper-cased scope -> the scope as defined
    for (const auto& entry : tags_) {
        const std::string scope = ScopeOf(Upper(entry.first));
        if (!scope.empty()) {
            byScope.emplace(scope, entry.second.name.substr(0, scope.size()));
        }
    }
    std::vector<std::string> programs;
    for (auto& entry : byScope) {
        programs.push_back(std::move(entry.second));
    }
    return programs;
}

std::vector<std::string> LogixTagDatabase::TagNames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names;
    for (const auto& entry : tags_) {
        names.push_back(entry.second.name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

size_t LogixTagDatabase::TagCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tags_.size();
}

uint64_t LogixTagDatabase::WriteCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writeCount_;
}

// ---- Animation ---------------------------------------------------------------------------------

void LogixTagDatabase::RestartAnimation(Tag& tag) const {
    tag.epoch = Clock::now();
    tag.ranUntil = tag.epoch;
    if (tag.animation.kind != LogixAnimation::Kind::None && tag.type->IsNumeric()) {
        tag.base = GetNumber(*tag.type, tag.storage.data());
    }
}

// Each element of a TIMER tag times while enabled (and starts over once done when animated);
// each of a COUNTER tag with a counter animation counts `step` up every period (a rung pulsing
// CU).
void LogixTagDatabase::RunInstructions(const Tag& tag) const {
    const Clock::time_point now = Clock::now();
    int64_t elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - tag.ranUntil).count();
    const bool timer = tag.type == &kTimer;
    if (!timer) {
        const uint32_t period = tag.animation.periodMs;
        elapsed =
            tag.animation.kind == LogixAnimation::Kind::Counter ? elapsed / period * period : 0;
    }
    tag.ranUntil += std::chrono::milliseconds(elapsed);
    for (size_t at = 0; at + tag.type->size <= tag.storage.size(); at += tag.type->size) {
        if (timer) {
            RunTimer(tag.storage.data() + at, elapsed,
                     tag.animation.kind != LogixAnimation::Kind::None);
        } else {
            const int64_t pulses = elapsed / tag.animation.periodMs;
            RunCounter(tag.storage.data() + at,
                       pulses * static_cast<int64_t>(std::llround(tag.animation.step)));
        }
    }
}

void LogixTagDatabase::Refresh(const Tag& tag) const {
    if (tag.type == &kTimer || tag.type == &kCounter) {
        RunInstructions(tag);
        return;
    }
    const LogixAnimation& a = tag.animation;
    if (a.kind == LogixAnimation::Kind::None) {
        return;
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - tag.epoch).count();
    const int64_t steps = elapsed / a.periodMs;
    const bool integer = tag.type->IsInteger();
    double value = tag.base + a.step * static_cast<double>(steps);
    if (a.kind == LogixAnimation::Kind::Ramp) {
        const double span = a.max - a.min;
        double pos = span > 0 ? std::fmod(tag.base - a.min + a.step * steps, span) : 0.0;
        if (pos < 0) {
            pos += span;
        }
        value = a.min + pos;
    }
    std::vector<uint8_t> element(tag.type->size, 0);
    if (integer && a.kind == LogixAnimation::Kind::Counter) {
        // A counter wraps like the controller's integer arithmetic.
        const uint64_t count =
            static_cast<uint64_t>(std::llround(tag.base)) +
            static_cast<uint64_t>(std::llround(a.step)) * static_cast<uint64_t>(steps);
        PutInteger(*tag.type, static_cast<int64_t>(count), element.data());
    } else {
        PutNumber(*tag.type, value, element.data());
    }
    for (size_t at = 0; at + element.size() <= tag.storage.size(); at += element.size()) {
        std::copy(element.begin(), element.end(), tag.storage.begin() + at);
    }
}

// ---- Paths
// ---------------------------------------------------------------------------------------

// Symbolic request path (after its word count):
// | segment            | bytes                                          |
// | ANSI symbol        | 0x91, n, n characters, 0x00 pad when n is odd |
// | element, 8 bit     | 0x28, index                                    |
// | element, 16 bit    | 0x29, 0x00, index (16 bits)                    |
// | element, 32 bit    | 0x2A, 0x00, index (32 bits)                    |
LogixReply LogixTagDatabase::ParseWirePath(ByteView path, std::vector<PathSegment>& segments) {
    ByteReader r(path);
    while (r.ok() && !r.at_end()) {
        PathSegment segment;
        const uint8_t kind = r.u8();
        if (kind == kSegSymbol) {
            const uint8_t length = r.u8();
            segment.isSymbol = true;
            segment.symbol = r.str(length);
            if (length % 2 != 0) {
                r.skip(1);
            }
            if (length == 0) {
                r.fail();
            }
        } else if (kind == kSegElement8) {
            segment.index = r.u8();
        } else if (kind == kSegElement16) {
            r.skip(1);
            segment.index = r.u16();
        } else if (kind == kSegElement32) {
            r.skip(1);
            segment.index = r.u32();
        } else {
            r.fail();
        }
        segments.push_back(segment);
    }
    if (!r.ok() || segments.empty()) {
        return LogixReply::Error(CIP_STATUS_PATH_SEGMENT_ERROR);
    }
    return LogixReply{};
}

// Text path of the test interface: Name, Name[1], Name[1,2], Name[1][2], Name.Member[3].Member.
bool LogixTagDatabase::ParseTextPath(const std::string& path, std::vector<PathSegment>& segments) {
    size_t i = 0;
    bool expectSymbol = true;
    while (i < path.size()) {
        if (expectSymbol) {
            size_t end = i;
            while (end < path.size() && (std::isalnum(static_cast<unsigned char>(path[end])) ||
                                         path[end] == '_' || path[end] == ':')) {
                ++end;
            }
            if (end == i) {
                return false;
            }
            PathSegment symbol;
            symbol.isSymbol = true;
            symbol.symbol = path.substr(i, end - i);
            segments.push_back(symbol);
            i = end;
            expectSymbol = false;
        } else if (path[i] == '.') {
            ++i;
            expectSymbol = true;
        } else if (path[i] == '[' || (path[i] == ',' && i > 0)) {
            ++i;
            size_t end = i;
            while (end < path.size() && std::isdigit(static_cast<unsigned char>(path[end]))) {
                ++end;
            }
            if (end == i || end - i > 9 || end >= path.size() ||
                (path[end] != ']' && path[end] != ',')) {
                return false;
            }
            PathSegment index;
            index.index = static_cast<uint32_t>(std::stoul(path.substr(i, end - i)));
            segments.push_back(index);
            i = path[end] == ']' ? end + 1 : end;
        } else {
            return false;
        }
    }
    return !segments.empty() && !expectSymbol;
}

LogixReply LogixTagDatabase::Resolve(const std::vector<PathSegment>& segments,
                                     Location& out) const {
    if (segments.empty() || !segments[0].isSymbol) {
        return LogixReply::Error(CIP_STATUS_PATH_SEGMENT_ERROR);
    }
    // A program's tag: the program's scope symbol, then the tag's own symbol.
    size_t i = 1;
    const bool programTag =
        IsProgramScoped(segments[0].symbol) && segments.size() > 1 && segments[1].isSymbol;
    const Tag* found = programTag ? FindTag(segments[0].symbol + "." + segments[1].symbol)
                                  : FindTag(segments[0].symbol);
    if (programTag) {
        i = 2;
    }
    if (found == nullptr) {
        return LogixReply::Error(CIP_STATUS_PATH_DESTINATION_UNKNOWN);
    }
    const Tag& tag = *found;
    Location at{&tag, tag.type, 0, ElementTotal(tag.dims)};
    // The dimensions of the array at hand (none once an element is selected).
    Dims dims(tag.dims.begin(), tag.dims.end());
    while (i < segments.size()) {
        if (!segments[i].isSymbol) {
            // Element indices select one element of the array at hand, all dimensions at once.
            size_t n = 0;
            while (i + n < segments.size() && !segments[i + n].isSymbol) {
                ++n;
            }
            if (dims.empty() || n != dims.size()) {
                return LogixReply::Error(CIP_STATUS_PATH_SEGMENT_ERROR);
            }
            uint32_t linear = 0;
            for (size_t d = 0; d < n; ++d) {
                if (segments[i + d].index >= dims[d]) {
                    return LogixReply::Error(CIP_STATUS_PATH_DESTINATION_UNKNOWN);
                }
                linear = linear * dims[d] + segments[i + d].index;
            }
            at.offset += linear * at.type->size;
            at.available = ElementTotal(dims) - linear;
            dims.clear();
            i += n;
            continue;
        }
        // A member needs one structure element: an array must be indexed first.
        const LogixMember* member = dims.empty() && at.type->IsStructure()
                                        ? FindMember(*at.type, segments[i].symbol)
                                        : nullptr;
        if (member == nullptr) {
            return LogixReply::Error(CIP_STATUS_PATH_DESTINATION_UNKNOWN);
        }
        at.offset += member->offset;
        at.type = member->type;
        at.bit = member->bit;
        at.available = member->arrayLength != 0 ? member->arrayLength : 1;
        dims = member->arrayLength != 0 ? Dims(&member->arrayLength, &member->arrayLength + 1)
                                        : Dims();
        ++i;
    }
    out = at;
    return LogixReply{};
}

LogixReply LogixTagDatabase::ResolveWire(ByteView path, Location& out) const {
    wireSegments_.clear();  // keeps its capacity: no allocation per request
    const LogixReply reply = ParseWirePath(path, wireSegments_);
    return reply.ok() ? Resolve(wireSegments_, out) : reply;
}

std::optional<LogixTagDatabase::Location> LogixTagDatabase::ResolveText(
    const std::string& path) const {
    std::vector<PathSegment> segments;
    Location at;
    if (!ParseTextPath(path, segments) || !Resolve(segments, at).ok()) {
        return std::nullopt;
    }
    return at;
}

// ---- Test access -------------------------------------------------------------------------------

bool LogixTagDatabase::WithElement(
    const std::string& path,
    const std::function<bool(const Location&, uint8_t* element)>& use) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::optional<Location> at = ResolveText(path);
    if (!at) {
        return false;
    }
    Refresh(*at->tag);
    uint8_t* element = at->tag->storage.data() + at->offset;
    if (at->bit >= 0) {
        uint8_t bit = LoadBit(element, at->bit);
        return use(*at, &bit);
    }
    return use(*at, element);
}

bool LogixTagDatabase::ChangeElement(
    const std::string& path, const std::function<bool(const Location&, uint8_t* element)>& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::optional<Location> at = ResolveText(path);
    if (!at) {
        return false;
    }
    Tag& tag = Writable(*at);
    Refresh(tag);
    uint8_t* element = tag.storage.data() + at->offset;
    uint8_t bit = at->bit >= 0 ? LoadBit(element, at->bit) : 0;
    if (!change(*at, at->bit >= 0 ? &bit : element)) {
        return false;
    }
    if (at->bit >= 0) {
        StoreBit(element, at->bit, (bit & 1) != 0);
    }
    RestartAnimation(tag);
    return true;
}

LogixTagDatabase::Tag& LogixTagDatabase::Writable(const Location& at) {
    return tags_.at(at.tag->name);
}

std::optional<std::vector<uint8_t>> LogixTagDatabase::GetBytes(const std::string& path) const {
    std::optional<std::vector<uint8_t>> bytes;
    WithElement(path, [&](const Location& at, uint8_t* element) {
        bytes.emplace(element, element + at.type->size);
        return true;
    });
    return bytes;
}

std::optional<int64_t> LogixTagDatabase::GetInt(const std::string& path) const {
    std::optional<int64_t> value;
    WithElement(path, [&](const Location& at, uint8_t* element) {
        const bool wraps = at.type->kind == Kind::Unsigned &&
                           LoadBits(element, at.type->size) > SignedMax(sizeof(int64_t));
        if (at.type->IsInteger() && !wraps) {
            value = GetInteger(*at.type, element);
        }
        return true;
    });
    return value;
}

std::optional<double> LogixTagDatabase::GetReal(const std::string& path) const {
    std::optional<double> value;
    WithElement(path, [&](const Location& at, uint8_t* element) {
        if (at.type->kind == Kind::Float) {
            value = GetFloat(*at.type, element);
        }
        return true;
    });
    return value;
}

std::optional<std::string> LogixTagDatabase::GetString(const std::string& path) const {
    std::optional<std::string> value;
    WithElement(path, [&](const Location& at, uint8_t* element) {
        if (IsLogixStringType(*at.type)) {
            ByteReader r(element, at.type->size);
            const size_t length = std::min<size_t>(r.u32(), StringCapacity(*at.type));
            value = r.str(length);
        }
        return true;
    });
    return value;
}

// The bit lies in the integer elements from the path's on: byte bit / 8 of them, LSB first.
std::optional<bool> LogixTagDatabase::GetBit(const std::string& path, uint32_t bit) const {
    std::optional<bool> value;
    WithElement(path, [&](const Location& at, uint8_t* element) {
        if (at.type->IsInteger() && bit / 8 < size_t{at.available} * at.type->size) {
            value = ((element[bit / 8] >> (bit % 8)) & 1) != 0;
        }
        return true;
    });
    return value;
}

bool LogixTagDatabase::SetBit(const std::string& path, uint32_t bit, bool value) {
    return ChangeElement(path, [&](const Location& at, uint8_t* element) {
        if (!at.type->IsInteger() || bit / 8 >= size_t{at.available} * at.type->size) {
            return false;
        }
        const uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
        element[bit / 8] = value ? (element[bit / 8] | mask) : (element[bit / 8] & ~mask);
        return true;
    });
}

bool LogixTagDatabase::SetBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    return ChangeElement(path, [&](const Location& at, uint8_t* element) {
        if (bytes.size() != at.type->size) {
            return false;
        }
        std::copy(bytes.begin(), bytes.end(), element);
        return true;
    });
}

bool LogixTagDatabase::SetInt(const std::string& path, int64_t value) {
    return ChangeElement(path, [&](const Location& at, uint8_t* element) {
        if (!at.type->IsInteger() || !FitsSigned(*at.type, value)) {
            return false;
        }
        PutInteger(*at.type, value, element);
        return true;
    });
}

bool LogixTagDatabase::SetReal(const std::string& path, double value) {
    return ChangeElement(path, [&](const Location& at, uint8_t* element) {
        if (at.type->kind != Kind::Float) {
            return false;
        }
        PutFloat(*at.type, value, element);
        return true;
    });
}

bool LogixTagDatabase::SetString(const std::string& path, const std::string& value) {
    return ChangeElement(path, [&](const Location& at, uint8_t* element) {
        if (!IsLogixStringType(*at.type) || value.size() > StringCapacity(*at.type)) {
            return false;
        }
        PutStringValue(*at.type, value, element);
        return true;
    });
}

// ---- Tag services ------------------------------------------------------------------------------

// Read Tag request data: element count (16 bits); Read Tag Fragmented adds the byte offset
// (32 bits) of the first value byte wanted.
// Reply data: type code (16 bits), structure handle (16 bits, structures only), the values (from
// the offset on, as many as fit; general status 0x06 while more follow).
LogixReply LogixTagDatabase::ReadTag(ByteView path, ByteView data, size_t replyRoom,
                                     bool fragmented) const {
    ByteWriter values;
    LogixReply reply = ReadTag(path, data, replyRoom, fragmented, values);
    reply.data = values.to_vector();
    return reply;
}

LogixReply LogixTagDatabase::ReadTag(ByteView path, ByteView data, size_t replyRoom,
                                     bool fragmented, ByteWriter& out) const {
    ByteReader r(data);
    const uint16_t count = r.u16();
    const uint32_t offset = fragmented ? r.u32() : 0;
    if (!r.ok()) {
        return LogixReply::Error(CIP_STATUS_NOT_ENOUGH_DATA);
    }
    if (!r.at_end()) {
        return LogixReply::Error(CIP_STATUS_TOO_MUCH_DATA);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Location at;
    LogixReply reply = ResolveRange(path, count, offset, at);
    if (!reply.ok()) {
        return reply;
    }
    const size_t valueBytes = size_t{count} * at.type->size;
    const size_t typeBytes = at.type->IsStructure() ? 4 : 2;
    size_t chunk = valueBytes - offset;
    if (typeBytes + chunk > replyRoom) {
        if (!fragmented || replyRoom < typeBytes + kFragmentAlignment) {
            return LogixReply::Error(CIP_STATUS_PARTIAL_TRANSFER);
        }
        // Fragments end on a 4-byte boundary of the room, as a controller fills its replies.
        chunk = (replyRoom - typeBytes) / kFragmentAlignment * kFragmentAlignment;
        reply.status = CIP_STATUS_PARTIAL_TRANSFER;
    }
    Refresh(*at.tag);
    out.u16(at.type->code);
    if (at.bit >= 0) {
        out.u8(LoadBit(at.tag->storage.data() + at.offset, at.bit));
        return reply;
    }
    if (at.type->IsStructure()) {
        out.u16(at.type->handle);
    }
    out.bytes(at.tag->storage.data() + at.offset + offset, chunk);
    return reply;
}

// Write Tag request data: type code (16 bits), structure handle (16 bits, structures only),
// element count (16 bits), (Write Tag Fragmented: byte offset, 32 bits), the values: exactly
// count elements of the type, a byte more is refused as a controller refuses it (the pad byte of
// an Unconnected Send follows the embedded request, it is not part of it). A single STRING may
// be written short: its LEN and just LEN characters, then a zero byte when LEN is odd. A
// fragment writes its bytes at the offset into the count elements.
LogixReply LogixTagDatabase::WriteTag(ByteView path, ByteView data, bool fragmented) {
    ByteReader r(data);
    const uint16_t code = r.u16();
    const uint16_t handle = code == kLogixTypeStructure ? r.u16() : 0;
    const uint16_t count = r.u16();
    const uint32_t offset = fragmented ? r.u32() : 0;
    const ByteView values = r.rest();
    if (!r.ok()) {
        return LogixReply::Error(CIP_STATUS_NOT_ENOUGH_DATA);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Location at;
    LogixReply reply = ResolveRange(path, count, offset, at);
    if (!reply.ok()) {
        return reply;
    }
    if (code != at.type->code || handle != at.type->handle) {
        return LogixReply::Error(kLogixStatusGeneralError, kLogixExtTypeMismatch);
    }
    const size_t valueBytes = size_t{count} * at.type->size;
    size_t needed = fragmented ? std::min(values.size, valueBytes - offset) : valueBytes;
    if (!fragmented && IsLogixStringType(*at.type) && count == 1 && values.size >= 4) {
        const uint32_t length = ByteReader(values).u32();
        const size_t shortBytes = 4 + size_t{length};
        const bool padded =
            shortBytes % 2 == 1 && values.size == shortBytes + 1 && values.at(shortBytes) == 0;
        if (length <= StringCapacity(*at.type) && (values.size == shortBytes || padded)) {
            needed = values.size;
        }
    }
    if (values.size != needed) {
        return LogixReply::Error(values.size < needed ? CIP_STATUS_NOT_ENOUGH_DATA
                                                      : CIP_STATUS_TOO_MUCH_DATA);
    }
    Tag& tag = Writable(at);
    Refresh(tag);
    uint8_t* target = tag.storage.data() + at.offset;
    if (at.bit >= 0) {  // a BOOL member: its bit alone, the host's other bits stay
        StoreBit(target, at.bit, values.at(0) != 0);
    } else if (!fragmented) {
        std::fill(target, target + valueBytes, uint8_t{0});
    }
    if (at.bit < 0) {
        std::copy(values.data, values.data + needed, target + offset);
    }
    RestartAnimation(tag);
    ++writeCount_;
    return reply;
}

// Read-Modify-Write Tag request data (1756-PM020):
// | size | field                                                        |
// | 2    | mask size n: 1, 2, 4, 8 or 12 bytes, at most the element's size |
// | n    | OR masks: each 1 bit sets the element's bit                  |
// | n    | AND masks: each 0 bit resets the element's bit               |
// The integer element at the path becomes (old | OR) & AND over its first n bytes (the masks are
// little-endian like the element, so byte by byte); the reply carries no data.
LogixReply LogixTagDatabase::ReadModifyWrite(ByteView path, ByteView data) {
    ByteReader r(data);
    const uint16_t maskSize = r.u16();
    if (!r.ok()) {
        return LogixReply::Error(CIP_STATUS_NOT_ENOUGH_DATA);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Location at;
    LogixReply reply = ResolveWire(path, at);
    if (!reply.ok()) {
        return reply;
    }
    if (!at.type->IsInteger()) {
        return LogixReply::Error(kLogixStatusGeneralError, kLogixExtTypeMismatch);
    }
    const bool knownSize = maskSize == 1 || maskSize == 2 || maskSize == 4 || maskSize == 8 ||
                           maskSize == kLogixLargestMask;
    if (!knownSize || maskSize > at.type->size) {
        return LogixReply::Error(kLogixStatusBadMaskSize);
    }
    if (r.remaining() != 2 * size_t{maskSize}) {
        return LogixReply::Error(r.remaining() < 2 * size_t{maskSize} ? CIP_STATUS_NOT_ENOUGH_DATA
                                                                      : CIP_STATUS_TOO_MUCH_DATA);
    }
    const ByteView orMasks = r.bytes(maskSize);
    const ByteView andMasks = r.bytes(maskSize);
    Tag& tag = Writable(at);
    Refresh(tag);
    uint8_t* target = tag.storage.data() + at.offset;
    uint8_t bit = at.bit >= 0 ? LoadBit(target, at.bit) : 0;
    uint8_t* element = at.bit >= 0 ? &bit : target;  // a BOOL member: its bit as one byte
    for (size_t i = 0; i < maskSize; ++i) {
        element[i] = static_cast<uint8_t>((element[i] | orMasks.at(i)) & andMasks.at(i));
    }
    if (at.bit >= 0) {
        StoreBit(target, at.bit, (bit & 1) != 0);
    }
    RestartAnimation(tag);
    ++writeCount_;
    return reply;
}

// The elements a tag service acts on: count elements from the path on, and a byte offset
// inside them (0 unless fragmented). The caller holds mutex_.
LogixReply LogixTagDatabase::ResolveRange(ByteView path, uint16_t count, uint32_t offset,
                                          Location& at) const {
    LogixReply reply = ResolveWire(path, at);
    if (!reply.ok()) {
        return reply;
    }
    if (count == 0) {
        return LogixReply::Error(CIP_STATUS_INVALID_PARAMETER_VALUE);
    }
    if (count > at.available) {
        return LogixReply::Error(kLogixStatusGeneralError, kLogixExtBeyondEnd);
    }
    if (offset != 0 && offset >= size_t{count} * at.type->size) {
        return LogixReply::Error(kLogixStatusGeneralError, kLogixExtOffsetBeyondEnd);
    }
    return reply;
}

}  // namespace plcsim
