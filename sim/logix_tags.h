#pragma once

// The tag database of the simulated Logix controller: tags of every elementary type (BOOL, SINT,
// INT, DINT, LINT, USINT, UINT, UDINT, ULINT, REAL, LREAL, DWORD), the STRING structure, the
// predefined TIMER, COUNTER and CONTROL (timers run, counters count), the MOTOR structure and
// user structures and string types defined at run time, as scalars or arrays of up to three
// dimensions, addressed by symbolic
// request paths with members and element indices, read and written the way a controller's Read
// Tag, Write Tag and Read-Modify-Write Tag services do, with the controller's error statuses. A
// BOOL array is held as a controller holds it: in 32-bit words (DWORD), addressed by word.
// Numeric tags can move by themselves (a counter or a ramp) so that polling shows changing
// values.
//
// Threads: the simulator's event loop runs the tag services while tests define tags and read
// values back; one mutex guards the whole database (tags, their index, values, counters, user
// types, the reused path segments). No call runs a callback.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/byte_codec.h"

namespace plcsim {

// ---- Logix data types and statuses ------------------------------------------------------------

constexpr uint16_t kLogixTypeBool = 0xC1;
constexpr uint16_t kLogixTypeSint = 0xC2;
constexpr uint16_t kLogixTypeInt = 0xC3;
constexpr uint16_t kLogixTypeDint = 0xC4;
constexpr uint16_t kLogixTypeLint = 0xC5;
constexpr uint16_t kLogixTypeUsint = 0xC6;
constexpr uint16_t kLogixTypeUint = 0xC7;
constexpr uint16_t kLogixTypeUdint = 0xC8;
constexpr uint16_t kLogixTypeUlint = 0xC9;
constexpr uint16_t kLogixTypeReal = 0xCA;
constexpr uint16_t kLogixTypeLreal = 0xCB;
// A 32-bit bit string: the element of a BOOL array, whose bit k sits in word k / 32.
constexpr uint16_t kLogixTypeDword = 0xD3;
constexpr uint32_t kLogixBoolsPerWord = 32;
// A structured value: the 16-bit structure handle follows the type code on the wire.
constexpr uint16_t kLogixTypeStructure = 0x02A0;
constexpr uint16_t kLogixStringHandle = 0x0FCE;
constexpr uint16_t kLogixMotorHandle = 0x1B2D;
// Handles of the predefined structures (their template instance is the low 12 bits).
constexpr uint16_t kLogixTemplateMask = 0x0FFF;
constexpr uint16_t kLogixTimerHandle = 0x0F83;
constexpr uint16_t kLogixCounterHandle = 0x0F82;
constexpr uint16_t kLogixControlHandle = 0x0F81;
constexpr size_t kLogixStringChars = 82;
constexpr size_t kLogixStringSize = 88;  // 4-byte LEN, 82 characters, 2 bytes of padding

// Read-Modify-Write Tag (1756-PM020): a mask size that is not 1, 2, 4, 8 or 12 bytes, or larger
// than the element (a bit beyond its width).
constexpr uint8_t kLogixStatusBadMaskSize = 0x03;
constexpr uint16_t kLogixLargestMask = 12;
// General status 0xFF of the Logix tag services carries one of these additional statuses.
constexpr uint8_t kLogixStatusGeneralError = 0xFF;
constexpr uint16_t kLogixExtOffsetBeyondEnd = 0x2104;
constexpr uint16_t kLogixExtBeyondEnd = 0x2105;
constexpr uint16_t kLogixExtTypeMismatch = 0x2107;

// The answer of one tag service: general status, optional additional status word, reply data.
struct LogixReply {
    uint8_t status = 0;
    std::optional<uint16_t> extStatus;
    std::vector<uint8_t> data;

    static LogixReply Error(uint8_t status) { return LogixReply{status, std::nullopt, {}}; }
    static LogixReply Error(uint8_t status, uint16_t ext) { return LogixReply{status, ext, {}}; }
    bool ok() const { return status == 0; }
};

struct LogixType;

struct LogixMember {
    std::string name;
    const LogixType* type = nullptr;
    size_t offset = 0;
    uint32_t arrayLength = 0;  // 0 for a single element
    // A BOOL held as a bit of a hidden host member: the bit's number in the host (LSB first),
    // offset is the host's. -1 for a member of its own.
    int bit = -1;
};

// How the bytes of an element are read as a value.
enum class LogixValueKind { Bool, Signed, Unsigned, Bits, Float, Structure };

struct LogixType {
    std::string name;  // BOOL, SINT, ..., DWORD, STRING, MOTOR
    uint16_t code = 0;
    uint16_t handle = 0;  // structures only
    size_t size = 0;      // bytes of one element
    LogixValueKind kind = LogixValueKind::Structure;
    std::vector<LogixMember> members;

    bool IsStructure() const { return kind == LogixValueKind::Structure; }
    bool IsNumeric() const { return !IsStructure(); }
    bool IsInteger() const { return IsNumeric() && kind != LogixValueKind::Float; }
};

// The predefined type of that name (case-insensitive), or null. Names: the elementary types
// BOOL, SINT, INT, DINT, LINT, USINT, UINT, UDINT, ULINT, REAL, LREAL, DWORD; STRING, TIMER,
// COUNTER, CONTROL and the demo structure MOTOR (Running BOOL, Mode SINT, Faults INT, Count DINT,
// Speed REAL, Setpoints REAL[4], Name STRING).
const LogixType* FindLogixType(const std::string& name);

// A string type: a structure of a DINT LEN and a SINT array DATA, of that many characters.
bool IsLogixStringType(const LogixType& type);

// A user structure as defined from outside: members in order, laid out as a controller lays
// them out (see LayOutLogixStructure). A string type gives only stringLength: LEN and DATA.
struct LogixMemberDefinition {
    std::string name;
    std::string type;
    uint32_t arrayLength = 0;  // 0 for a single element
};
struct LogixTypeDefinition {
    std::string name;
    std::vector<LogixMemberDefinition> members;
    uint32_t stringLength = 0;
};

// ---- Tag definitions ---------------------------------------------------------------------------

// A value that moves by itself: every periodMs the value advances by step; a counter wraps like
// the tag's integer type, a ramp restarts at min when it would pass max.
struct LogixAnimation {
    enum class Kind { None, Counter, Ramp };
    Kind kind = Kind::None;
    double step = 1.0;
    double min = 0.0;
    double max = 100.0;
    uint32_t periodMs = 100;
};

struct LogixTagDefinition {
    std::string name;
    std::string type;
    std::vector<uint32_t> dims;  // empty for a single element; up to three dimensions
    // Initial value: a number or bool for numeric types, a string for STRING, an array (nested
    // or flat, row-major) for arrays, an object of member values for structures; null for zeros.
    nlohmann::json value;
    LogixAnimation animation;
};

// One tag as the controller's Symbol object lists it: its instance (numbered from 1 in the
// order of definition) and its name within its scope.
struct LogixSymbolEntry {
    uint32_t instance = 0;
    std::string name;
    const LogixType* type = nullptr;
    std::vector<uint32_t> dims;
};

// Controller tag and member names compare without regard to case.
struct NameHash {
    size_t operator()(const std::string& name) const;
};
struct NameEqual {
    bool operator()(const std::string& a, const std::string& b) const;
};

// ---- The database ------------------------------------------------------------------------------

class LogixTagDatabase {
  public:
    using Clock = std::chrono::steady_clock;

    // Adds a tag; false with a reason when the name is taken or invalid, the type is unknown,
    // the dimensions are wrong, the value does not fit the type, or an animation is asked of a
    // non-numeric type. A BOOL array (one dimension of n) becomes a DWORD array of n / 32 words,
    // n rounded up to a multiple of 32; its value is a JSON array of the bits.
    bool Define(const LogixTagDefinition& definition, std::string& error);
    // Adds a user structure or string type; false with a reason when the name is taken or
    // invalid, a member type is unknown, or a member name repeats. Types stay until the
    // database goes.
    bool DefineType(const LogixTypeDefinition& definition, std::string& error);
    // A predefined or user type by name (case-insensitive), or null.
    const LogixType* FindType(const std::string& name) const;
    // The structure type of a template instance, or null.
    const LogixType* TypeOfTemplate(uint16_t instance) const;
    bool Remove(const std::string& name);
    void Clear();
    std::vector<std::string> TagNames() const;
    size_t TagCount() const;
    // Tags named "Program:NAME.Tag" belong to the scope of program NAME, the others to the
    // controller. The tags of one scope ("" or "Program:NAME") from instance `first` on, in
    // instance order, at most `max` of them.
    std::vector<LogixSymbolEntry> Symbols(const std::string& program, uint32_t first,
                                          size_t max) const;
    // The scopes of the defined program tags, "Program:NAME", in name order.
    std::vector<std::string> Programs() const;

    // Test access by text path, indexed as on the wire: "Count", "Buffer[3]", "Grid[1,2]",
    // "Motor1.Setpoints[2]", "Motor1.Name", "Flags[1]" (word 1 of a BOOL array). The bytes of the
    // one element at the path (an animated tag shows its current value), or nothing for an
    // unknown path.
    std::optional<std::vector<uint8_t>> GetBytes(const std::string& path) const;
    // Integer types; nothing for a ULINT beyond the range of int64_t.
    std::optional<int64_t> GetInt(const std::string& path) const;
    std::optional<double> GetReal(const std::string& path) const;         // REAL, LREAL
    std::optional<std::string> GetString(const std::string& path) const;  // string types
    // Bit `bit` counted from the first bit of the integer element at the path on, through the
    // elements that follow it: GetBit("Flags", 37) is element 37 of a BOOL array.
    std::optional<bool> GetBit(const std::string& path, uint32_t bit) const;
    bool SetBytes(const std::string& path, const std::vector<uint8_t>& bytes);
    bool SetInt(const std::string& path, int64_t value);  // false when out of the type's range
    bool SetReal(const std::string& path, double value);
    bool SetString(const std::string& path, const std::string& value);
    bool SetBit(const std::string& path, uint32_t bit, bool value);
    // Write Tag services that changed a value since the database was made.
    uint64_t WriteCount() const;

    // Read Tag: request path bytes and request data (element count; a fragmented read adds the
    // byte offset). The reply data is the type code, the structure handle of a structure, and
    // the values; a plain read that would pass replyRoom bytes is refused with "partial
    // transfer", a fragmented one answers as many value bytes as fit with that status.
    LogixReply ReadTag(ByteView path, ByteView data, size_t replyRoom,
                       bool fragmented = false) const;
    // The same with the reply data appended to `out` (the reply's own data stays empty).
    LogixReply ReadTag(ByteView path, ByteView data, size_t replyRoom, bool fragmented,
                       ByteWriter& out) const;
    // Write Tag: request path bytes and request data (type, handle of a structure, element
    // count, the byte offset when fragmented, the values: exactly count elements, so that a pad
    // byte after an odd number of value bytes is refused as one byte too many).
    LogixReply WriteTag(ByteView path, ByteView data, bool fragmented = false);
    // Read-Modify-Write Tag: request path bytes and request data (mask size, OR masks, AND
    // masks); the integer element at the path becomes (old | OR) & AND.
    LogixReply ReadModifyWrite(ByteView path, ByteView data);

  private:
    // One element of a request path: a symbol (tag or member name) or an element index.
    struct PathSegment {
        bool isSymbol = false;
        std::string symbol;
        uint32_t index = 0;
    };
    struct Tag {
        std::string name;
        const LogixType* type = nullptr;
        std::vector<uint32_t> dims;
        // Values of all elements; refreshed from the animation before every read.
        mutable std::vector<uint8_t> storage;
        LogixAnimation animation;
        Clock::time_point epoch;
        double base = 0.0;  // value of the first element when the animation (re)started
        uint32_t instance = 0;
        // Timers and counters: the time up to which they have run.
        mutable Clock::time_point ranUntil;
    };
    // What a path addresses: one element of a type at a byte offset of a tag's storage, and how
    // many elements of that type follow from there (itself included).
    struct Location {
        const Tag* tag = nullptr;
        const LogixType* type = nullptr;
        size_t offset = 0;
        uint32_t available = 1;
        int bit = -1;  // a BOOL member: its bit in the host at offset
    };

    static LogixReply ParseWirePath(ByteView path, std::vector<PathSegment>& segments);
    static bool ParseTextPath(const std::string& path, std::vector<PathSegment>& segments);
    LogixReply Resolve(const std::vector<PathSegment>& segments, Location& out) const;
    // A request path parsed and resolved; the caller holds mutex_.
    LogixReply ResolveWire(ByteView path, Location& out) const;
    LogixReply ResolveRange(ByteView path, uint16_t count, uint32_t offset, Location& at) const;
    std::optional<Location> ResolveText(const std::string& path) const;
    // Runs `use` on the element at a text path (refreshed, the lock held) and answers what it
    // answers; false for an unknown path. After a change the tag's animation restarts.
    bool WithElement(const std::string& path,
                     const std::function<bool(const Location&, uint8_t* element)>& use) const;
    bool ChangeElement(const std::string& path,
                       const std::function<bool(const Location&, uint8_t* element)>& change);
    // The writable storage of a located tag; the caller holds mutex_.
    Tag& Writable(const Location& at);
    void Refresh(const Tag& tag) const;
    // Runs the timer or counter instructions of a TIMER or COUNTER tag up to now.
    void RunInstructions(const Tag& tag) const;
    const LogixType* FindTypeLocked(const std::string& name) const;
    const LogixType* TypeOfTemplateLocked(uint16_t instance) const;
    // The index over tags_ (the caller holds mutex_): Index adds a tag just put in tags_,
    // Reindex starts over after a removal, FindTag looks a name up.
    void Index(const Tag& tag);
    void Place(const Tag& tag);
    void Reindex();
    const Tag* FindTag(const std::string& name) const;
    void RestartAnimation(Tag& tag) const;

    mutable std::mutex mutex_;
    // Hashed by name ("Program:NAME.Tag" for a program's tag), case-insensitive as a
    // controller's tag names.
    std::unordered_map<std::string, Tag, NameHash, NameEqual> tags_;
    // The same tags by name in an open-addressed table of a power-of-two size: a lookup costs
    // one probe where the map's buckets and nodes cost several cache misses.
    struct IndexSlot {
        size_t hash = 0;
        const Tag* tag = nullptr;
    };
    std::vector<IndexSlot> index_;
    size_t indexed_ = 0;
    // Tag names by Symbol instance.
    std::map<uint32_t, std::string> instances_;
    uint32_t nextInstance_ = 1;
    // The segments of the request path at hand, reused from request to request.
    mutable std::vector<PathSegment> wireSegments_;
    uint64_t writeCount_ = 0;
    // User structures and string types, in the order defined; never removed, so that tags
    // and members keep pointing at them.
    std::vector<std::unique_ptr<LogixType>> userTypes_;
};

}  // namespace plcsim
