#include "family/logix_structure.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <utility>

#include "common/eip_utils.h"
#include "family/controllogix_tagdata.h"
#include "tag/eip_tag.h"
#include "tag/elementary_value.h"

using kestrel::strata_sdk::Variant;

namespace {

// Structures nested deeper than this are refused: a template that holds itself has no end.
constexpr int kMaxNesting = 8;
// Values one decode produces at most: members of a hostile template may overlap, and each
// overlap multiplies what nested arrays decode.
constexpr size_t kMaxValues = size_t{1} << 20;
constexpr uint32_t kBoolWordBits = ControlLogixTagData::kBoolWordBits;
constexpr uint32_t kBoolWordBytes = kBoolWordBits / 8;
constexpr uint32_t kStringLengthBytes = 4;

std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

std::string Join(const std::string& path, const std::string& name) {
    return path.empty() ? name : path + "." + name;
}

std::string Indexed(const std::string& path, size_t index) {
    return path + "[" + std::to_string(index) + "]";
}

std::string Reason(const std::string& path, const std::string& why) {
    return path.empty() ? why : path + ": " + why;
}

bool SameName(const std::string& a, const std::string& b) {
    return EipTagData::IsEqualIgnoreCase(a, b);
}

// What one member holds: `count` elements of `elementSize` bytes from `offset`, each an atomic
// value, a structure, or (boolWords) 32 BOOLs; or one bit of its host.
struct MemberShape {
    uint8_t atomic = 0;
    std::shared_ptr<const LogixTemplate> structure;
    bool array = false;
    bool boolWords = false;
    uint32_t count = 1;
    uint32_t elementSize = 0;

    uint64_t Extent() const { return uint64_t{count} * elementSize; }
};

// An element the link reads as a number, or a BOOL byte; other atomic codes have no value.
bool IsValueAtomic(uint8_t atomic) {
    return IsNumberType(atomic) || atomic == kInnerTypeBool;
}

bool ShapeOf(const LogixTemplateMember& member, const LogixTemplateLookup& lookup,
             const std::string& path, MemberShape& out, std::string& reason) {
    out = MemberShape{};
    out.array = (member.type & LOGIX_SYMBOL_DIMS_MASK) != 0;
    out.count = out.array ? member.info : 1;
    if ((member.type & LOGIX_SYMBOL_STRUCTURE) != 0) {
        const uint16_t id = member.type & LOGIX_SYMBOL_TEMPLATE_MASK;
        out.structure = lookup ? lookup(id) : nullptr;
        if (!out.structure) {
            reason = Reason(path, "template " + Hex(id) + " is not known");
            return false;
        }
        out.elementSize = out.structure->structureSize;
        if (out.elementSize == 0) {
            reason = Reason(path, "template " + Hex(id) + " has no size");
            return false;
        }
        return true;
    }
    out.atomic = static_cast<uint8_t>(member.type & LOGIX_SYMBOL_ATOMIC_MASK);
    if (!IsValueAtomic(out.atomic)) {
        reason = Reason(path, "type " + Hex(out.atomic) + " is not supported");
        return false;
    }
    // A controller holds BOOL arrays in 32-bit words; the member counts the words.
    out.boolWords = out.atomic == kInnerTypeBitarray;
    out.elementSize = static_cast<uint32_t>(EipTag::GetInnerTypeLength(out.atomic));
    return true;
}

// Whether `size` bytes from `offset` lie within `available` bytes.
bool Within(uint64_t offset, uint64_t size, size_t available) {
    return offset <= available && size <= available - offset;
}

// The byte and bit mask of bit `bit` of a little-endian host at offset.
struct BitPlace {
    uint64_t byte = 0;
    uint8_t mask = 0;
};
BitPlace PlaceOf(uint64_t offset, uint32_t bit) {
    return BitPlace{offset + bit / 8, static_cast<uint8_t>(1u << (bit % 8))};
}

// The member of the template named `name` (letter case ignored) that a client may reach.
const LogixTemplateMember* FindMember(const LogixTemplate& structure,
                                      const std::vector<bool>& hidden, const std::string& name) {
    for (size_t i = 0; i < structure.members.size(); ++i) {
        if (!hidden[i] && SameName(structure.members[i].name, name)) {
            return &structure.members[i];
        }
    }
    return nullptr;
}

// The non-BOOL member at the BOOL's offset: the host of its bit.
const LogixTemplateMember* HostOf(const LogixTemplate& structure, const LogixTemplateMember& bit) {
    for (const LogixTemplateMember& member : structure.members) {
        if (!member.IsBit() && member.offset == bit.offset) {
            return &member;
        }
    }
    return nullptr;
}

// ---- Decoding ----------------------------------------------------------------------------------

class Decoder {
  public:
    Decoder(ByteView bytes, const LogixTemplateLookup& lookup, std::string& reason)
        : bytes_(bytes), lookup_(lookup), reason_(reason) {}

    bool Structure(const LogixTemplate& structure, uint64_t base, const std::string& path,
                   int depth, Variant& out) {
        if (depth > kMaxNesting) {
            return Fail(path, "structures nested too deep");
        }
        if (!Count(path)) {
            return false;
        }
        LogixStringLayout layout;
        if (logix_structure::StringLayoutOf(structure, layout)) {
            std::string text;
            if (!logix_structure::DecodeString(Slice(base, layout.size), layout, text, reason_)) {
                return Fail(path, reason_);
            }
            out = Variant(std::move(text));
            return true;
        }
        out = Variant::new_map();
        const std::vector<bool> hidden = structure.HiddenMembers();
        for (size_t i = 0; i < structure.members.size(); ++i) {
            const LogixTemplateMember& member = structure.members[i];
            if (hidden[i]) {
                continue;
            }
            Variant value;
            if (!Member(member, base, Join(path, member.name), depth, value)) {
                return false;
            }
            out[member.name] = std::move(value);
        }
        return true;
    }

  private:
    bool Member(const LogixTemplateMember& member, uint64_t base, const std::string& path,
                int depth, Variant& out) {
        const uint64_t offset = base + member.offset;
        if (member.IsBit()) {
            const BitPlace place = PlaceOf(offset, member.info);
            if (!Within(place.byte, 1, bytes_.size)) {
                return Fail(path, "beyond the structure's bytes");
            }
            out = Variant((bytes_.at(place.byte) & place.mask) != 0);
            return Count(path);
        }
        MemberShape shape;
        if (!ShapeOf(member, lookup_, path, shape, reason_)) {
            return false;
        }
        if (!Within(offset, shape.Extent(), bytes_.size)) {
            return Fail(path, "beyond the structure's bytes");
        }
        if (shape.boolWords) {
            return BoolWords(offset, shape.count, path, out);
        }
        if (!shape.array) {
            return Element(shape, offset, path, depth, out);
        }
        out = Variant::new_array();
        for (uint32_t i = 0; i < shape.count; ++i) {
            Variant element;
            if (!Element(shape, offset + uint64_t{i} * shape.elementSize, Indexed(path, i), depth,
                         element)) {
                return false;
            }
            out.as_array().push_back(std::move(element));
        }
        return true;
    }

    bool BoolWords(uint64_t offset, uint32_t words, const std::string& path, Variant& out) {
        out = Variant::new_array();
        for (uint64_t bit = 0; bit < uint64_t{words} * kBoolWordBits; ++bit) {
            const BitPlace place = PlaceOf(offset, static_cast<uint32_t>(bit));
            out.as_array().emplace_back((bytes_.at(place.byte) & place.mask) != 0);
            if (!Count(path)) {
                return false;
            }
        }
        return true;
    }

    bool Element(const MemberShape& shape, uint64_t offset, const std::string& path, int depth,
                 Variant& out) {
        if (shape.structure) {
            return Structure(*shape.structure, offset, path, depth + 1, out);
        }
        const ByteView element = Slice(offset, shape.elementSize);
        if (shape.atomic == kInnerTypeBool) {
            out = Variant(element.at(0) != 0);
            return Count(path);
        }
        try {
            out = elementary_value::NumberValue(shape.atomic, element.data, element.size);
        } catch (const std::exception&) {
            // A NaN or infinite REAL has no JSON value.
            out = Variant();
        }
        return Count(path);
    }

    ByteView Slice(uint64_t offset, uint64_t size) const {
        return Within(offset, size, bytes_.size) ? ByteView{bytes_.data + offset, size}
                                                 : ByteView{};
    }

    bool Count(const std::string& path) {
        return ++values_ <= kMaxValues || Fail(path, "more values than a structure may hold");
    }

    bool Fail(const std::string& path, const std::string& why) {
        reason_ = Reason(path, why);
        return false;
    }

    ByteView bytes_;
    const LogixTemplateLookup& lookup_;
    std::string& reason_;
    size_t values_ = 0;
};

// ---- Encoding ----------------------------------------------------------------------------------

// Merges a partial value into the bytes of a structure. A null anywhere leaves what it stands
// for unchanged.
class Encoder {
  public:
    Encoder(std::vector<uint8_t>& bytes, const LogixTemplateLookup& lookup, std::string& reason)
        : bytes_(bytes), lookup_(lookup), reason_(reason) {}

    bool Structure(const Variant& value, const LogixTemplate& structure, uint64_t base,
                   const std::string& path, int depth) {
        if (depth > kMaxNesting) {
            return Fail(path, "structures nested too deep");
        }
        if (value.is_null()) {
            return true;
        }
        LogixStringLayout layout;
        if (logix_structure::StringLayoutOf(structure, layout)) {
            return String(value, layout, base, path);
        }
        if (!value.is_map()) {
            return Fail(path, "expected an object");
        }
        const std::vector<bool> hidden = structure.HiddenMembers();
        for (const auto& [name, memberValue] : value.as_map()) {
            const LogixTemplateMember* member = FindMember(structure, hidden, name);
            if (member == nullptr) {
                return Fail(Join(path, name), "not a member");
            }
            if (!Member(memberValue, *member, base, Join(path, name), depth)) {
                return false;
            }
        }
        return true;
    }

  private:
    bool Member(const Variant& value, const LogixTemplateMember& member, uint64_t base,
                const std::string& path, int depth) {
        const uint64_t offset = base + member.offset;
        if (value.is_null()) {
            return true;
        }
        if (member.IsBit()) {
            return Bit(value, PlaceOf(offset, member.info), path);
        }
        MemberShape shape;
        if (!ShapeOf(member, lookup_, path, shape, reason_)) {
            return false;
        }
        if (!Within(offset, shape.Extent(), bytes_.size())) {
            return Fail(path, "beyond the structure's bytes");
        }
        if (!shape.array && !shape.boolWords) {
            return Element(value, shape, offset, path, depth);
        }
        if (!value.is_array()) {
            return Fail(path, "expected an array");
        }
        const Variant::ArrayType& elements = value.as_array();
        const uint64_t capacity =
            shape.boolWords ? uint64_t{shape.count} * kBoolWordBits : shape.count;
        if (elements.size() > capacity) {
            return Fail(path, "more than " + std::to_string(capacity) + " elements");
        }
        for (size_t i = 0; i < elements.size(); ++i) {
            const bool done =
                elements[i].is_null() ||
                (shape.boolWords
                     ? Bit(elements[i], PlaceOf(offset, static_cast<uint32_t>(i)), Indexed(path, i))
                     : Element(elements[i], shape, offset + uint64_t{i} * shape.elementSize,
                               Indexed(path, i), depth));
            if (!done) {
                return false;
            }
        }
        return true;
    }

    bool Element(const Variant& value, const MemberShape& shape, uint64_t offset,
                 const std::string& path, int depth) {
        if (shape.structure) {
            return Structure(value, *shape.structure, offset, path, depth + 1);
        }
        if (shape.atomic == kInnerTypeBool) {
            bool set = false;
            if (!BoolOf(value, set, path)) {
                return false;
            }
            bytes_[offset] = set ? 1 : 0;
            return true;
        }
        ByteWriter out(bytes_.data() + offset, shape.elementSize);
        std::string why;
        if (!elementary_value::EncodeNumber(shape.atomic, value, out, why)) {
            return Fail(path, why);
        }
        return out.ok() || Fail(path, "beyond the structure's bytes");
    }

    bool Bit(const Variant& value, BitPlace place, const std::string& path) {
        bool set = false;
        if (!BoolOf(value, set, path)) {
            return false;
        }
        if (!Within(place.byte, 1, bytes_.size())) {
            return Fail(path, "beyond the structure's bytes");
        }
        uint8_t& byte = bytes_[place.byte];
        byte = static_cast<uint8_t>(set ? (byte | place.mask) : (byte & ~place.mask));
        return true;
    }

    bool BoolOf(const Variant& value, bool& out, const std::string& path) {
        elementary_value::WideInteger integer;
        std::string why;
        if (!elementary_value::IntegerElement(kInnerTypeBool, value, integer, why)) {
            return Fail(path, why);
        }
        out = integer.magnitude != 0;
        return true;
    }

    bool String(const Variant& value, const LogixStringLayout& layout, uint64_t base,
                const std::string& path) {
        if (!value.is_string()) {
            return Fail(path, "expected text");
        }
        if (!Within(base, layout.size, bytes_.size())) {
            return Fail(path, "beyond the structure's bytes");
        }
        std::vector<uint8_t> text(bytes_.begin() + base, bytes_.begin() + base + layout.size);
        if (!logix_structure::EncodeString(value.as_string(), layout, text, reason_)) {
            return Fail(path, reason_);
        }
        std::copy(text.begin(), text.end(), bytes_.begin() + base);
        return true;
    }

    bool Fail(const std::string& path, const std::string& why) {
        reason_ = Reason(path, why);
        return false;
    }

    std::vector<uint8_t>& bytes_;
    const LogixTemplateLookup& lookup_;
    std::string& reason_;
};

// ---- Member paths ------------------------------------------------------------------------------

// One step of a member path: a name with an optional index ("Steps[2]"), or a bit number ("5").
struct PathStep {
    std::string name;
    bool indexed = false;
    uint32_t index = 0;
};

bool ParsePath(const std::string& path, std::vector<PathStep>& out) {
    size_t start = 0;
    while (start <= path.size()) {
        const size_t dot = std::min(path.find('.', start), path.size());
        const std::string segment = path.substr(start, dot - start);
        const size_t open = segment.find('[');
        PathStep step;
        step.name = segment.substr(0, open);
        if (open != std::string::npos) {
            const size_t close = segment.size() - 1;
            const int64_t index =
                segment.back() == ']'
                    ? EipTagData::ParseNumber(segment.c_str() + open + 1, close - open - 1)
                    : -1;
            if (index < 0) {
                return false;
            }
            step.indexed = true;
            step.index = static_cast<uint32_t>(index);
        }
        if (step.name.empty()) {
            return false;
        }
        out.push_back(std::move(step));
        start = dot + 1;
    }
    return !out.empty();
}

// Walks a member path step by step, keeping the location reached.
class Locator {
  public:
    Locator(const LogixTemplate& structure, const LogixTemplateLookup& lookup, std::string& reason)
        : current_(&structure), lookup_(lookup), reason_(reason) {
        at_.size = structure.structureSize;
    }

    bool Step(const PathStep& step, bool last) {
        if (current_ == nullptr) {
            return BitOfInteger(step, last);
        }
        // The location is replaced below; its template must outlive this step.
        const std::shared_ptr<const LogixTemplate> hold = at_.structure;
        const LogixTemplate& structure = *current_;
        const LogixTemplateMember* member =
            FindMember(structure, structure.HiddenMembers(), step.name);
        const std::string parent = path_;
        path_ = Join(path_, step.name);
        if (member == nullptr) {
            return Fail("not a member");
        }
        const uint64_t base = uint64_t{at_.offset} + member->offset;
        if (member->IsBit()) {
            return step.indexed ? Fail("not an array")
                                : BoolMember(structure, *member, base, parent);
        }
        MemberShape shape;
        if (!ShapeOf(*member, lookup_, path_, shape, reason_)) {
            return false;
        }
        at_ = LogixMemberLocation{};
        current_ = nullptr;
        if (!step.indexed) {
            at_.type = member->type;
            at_.elements = shape.array ? shape.count : 1;
            // A whole array keeps its elements' template but has no members to step into.
            const bool placed = Place(base, shape.Extent(), shape.structure);
            current_ = shape.array ? nullptr : current_;
            return placed;
        }
        return Element(shape, step.index, base,
                       static_cast<uint16_t>(member->type & ~LOGIX_SYMBOL_DIMS_MASK));
    }

    bool Finish(uint32_t structureSize, LogixMemberLocation& out) {
        if (!Within(at_.offset, at_.size, structureSize)) {
            return Fail("beyond the structure's " + std::to_string(structureSize) + " bytes");
        }
        out = at_;
        return true;
    }

  private:
    // A BOOL member: its bit of the host at the same offset, or of the bytes there.
    bool BoolMember(const LogixTemplate& structure, const LogixTemplateMember& member,
                    uint64_t base, const std::string& parent) {
        const LogixTemplateMember* host = HostOf(structure, member);
        MemberShape hostShape;
        const bool named = host != nullptr && !host->IsBit() &&
                           ShapeOf(*host, lookup_, parent, hostShape, reason_) &&
                           !hostShape.structure && !hostShape.array &&
                           member.info < uint64_t{hostShape.elementSize} * 8;
        at_ = LogixMemberLocation{};
        at_.type = LOGIX_ATOMIC_BOOL;
        current_ = nullptr;
        if (named) {
            at_.bit = member.info;
            at_.hostPath = Join(parent, host->name);
            return Place(base, hostShape.elementSize, nullptr);
        }
        at_.bit = member.info % 8;
        return Place(base + member.info / 8, 1, nullptr);
    }

    bool Element(const MemberShape& shape, uint32_t index, uint64_t base, uint16_t elementType) {
        const uint64_t capacity =
            shape.boolWords ? uint64_t{shape.count} * kBoolWordBits : shape.count;
        path_ = Indexed(path_, index);
        if (!shape.array && !shape.boolWords) {
            return Fail("not an array");
        }
        if (index >= capacity) {
            return Fail("beyond the array's " + std::to_string(capacity) + " elements");
        }
        if (shape.boolWords) {
            at_.type = LOGIX_ATOMIC_BOOL;
            at_.bit = static_cast<int32_t>(index % kBoolWordBits);
            return Place(base + uint64_t{index / kBoolWordBits} * kBoolWordBytes, kBoolWordBytes,
                         nullptr);
        }
        at_.type = elementType;
        return Place(base + uint64_t{index} * shape.elementSize, shape.elementSize,
                     shape.structure);
    }

    // "Count.5": a bit of an integer member, as the last step.
    bool BitOfInteger(const PathStep& step, bool last) {
        const int64_t bit = EipTagData::ParseNumber(step.name.c_str(), step.name.size());
        const bool integer = at_.bit < 0 && at_.elements == 1 && IsIntegerType(at_.type);
        path_ = Join(path_, step.name);
        if (!last || step.indexed || bit < 0 || !integer) {
            return Fail("not a member");
        }
        if (static_cast<uint64_t>(bit) >= uint64_t{at_.size} * 8) {
            return Fail("bit beyond the member's " + std::to_string(at_.size * 8) + " bits");
        }
        at_.hostPath = path_.substr(0, path_.size() - step.name.size() - 1);
        at_.bit = static_cast<int32_t>(bit);
        at_.type = LOGIX_ATOMIC_BOOL;
        return true;
    }

    bool Place(uint64_t offset, uint64_t size, std::shared_ptr<const LogixTemplate> structure) {
        if (offset > UINT32_MAX || size > UINT32_MAX) {
            return Fail("beyond any structure's bytes");
        }
        at_.offset = static_cast<uint32_t>(offset);
        at_.size = static_cast<uint32_t>(size);
        at_.structure = std::move(structure);
        current_ = at_.structure.get();
        return true;
    }

    bool Fail(const std::string& why) {
        reason_ = Reason(path_, why);
        return false;
    }

    const LogixTemplate* current_;
    const LogixTemplateLookup& lookup_;
    std::string& reason_;
    LogixMemberLocation at_;
    std::string path_;
};

}  // namespace

namespace logix_structure {

LogixStringLayout BuiltInStringLayout() {
    return LogixStringLayout{0, kStringLengthBytes, kStringStructMaxChars, kStringStructSize};
}

bool StringLayoutOf(const LogixTemplate& structure, LogixStringLayout& out) {
    if (!structure.IsString()) {
        return false;
    }
    const LogixTemplateMember& length = structure.members[0];
    const LogixTemplateMember& data = structure.members[1];
    const LogixStringLayout layout{length.offset, data.offset, data.info, structure.structureSize};
    const bool fits = length.type == LOGIX_ATOMIC_DINT &&
                      data.type == (LOGIX_ATOMIC_SINT | (1u << LOGIX_SYMBOL_DIMS_SHIFT)) &&
                      Within(layout.lengthOffset, kStringLengthBytes, layout.size) &&
                      Within(layout.dataOffset, layout.capacity, layout.size);
    if (fits) {
        out = layout;
    }
    return fits;
}

bool IsStringType(const LogixTemplate& structure) {
    LogixStringLayout layout;
    return StringLayoutOf(structure, layout);
}

bool DecodeString(ByteView bytes, const LogixStringLayout& layout, std::string& out,
                  std::string& reason) {
    if (bytes.size < layout.size || !Within(layout.lengthOffset, kStringLengthBytes, bytes.size) ||
        !Within(layout.dataOffset, layout.capacity, bytes.size)) {
        reason =
            std::to_string(bytes.size) + " bytes for a string of " + std::to_string(layout.size);
        return false;
    }
    ByteReader r(bytes);
    r.skip(layout.lengthOffset);
    const int32_t declared = r.i32();
    const uint32_t length =
        std::min(static_cast<uint32_t>(std::max(declared, int32_t{0})), layout.capacity);
    out.assign(bytes.data + layout.dataOffset, bytes.data + layout.dataOffset + length);
    return true;
}

// String value bytes:
// | offset       | size     | value                                  |
// | lengthOffset | 4        | LEN: the number of characters (DINT)   |
// | dataOffset   | capacity | DATA: the characters, then zeros       |
bool EncodeString(const std::string& text, const LogixStringLayout& layout,
                  std::vector<uint8_t>& bytes, std::string& reason) {
    if (!elementary_value::TextFits(text.size(), layout.capacity, reason)) {
        return false;
    }
    if (bytes.size() < layout.size ||
        !Within(layout.lengthOffset, kStringLengthBytes, bytes.size()) ||
        !Within(layout.dataOffset, layout.capacity, bytes.size())) {
        reason =
            std::to_string(bytes.size()) + " bytes for a string of " + std::to_string(layout.size);
        return false;
    }
    ByteWriter length(bytes.data() + layout.lengthOffset, kStringLengthBytes);
    length.u32(static_cast<uint32_t>(text.size()));
    ByteWriter data(bytes.data() + layout.dataOffset, layout.capacity);
    data.bytes(text).zeros(layout.capacity - text.size());
    return true;
}

bool DecodeStructure(ByteView bytes, const LogixTemplate& structure,
                     const LogixTemplateLookup& lookup, Variant& out, std::string& reason) {
    if (bytes.size < structure.structureSize) {
        reason = std::to_string(bytes.size) + " bytes for a structure of " +
                 std::to_string(structure.structureSize);
        return false;
    }
    Variant value;
    if (!Decoder(bytes, lookup, reason).Structure(structure, 0, "", 0, value)) {
        return false;
    }
    out = std::move(value);
    return true;
}

bool EncodeStructure(const Variant& partial, ByteView current, const LogixTemplate& structure,
                     const LogixTemplateLookup& lookup, std::vector<uint8_t>& out,
                     std::string& reason) {
    out.clear();
    if (current.size != structure.structureSize) {
        reason = std::to_string(current.size) + " bytes for a structure of " +
                 std::to_string(structure.structureSize);
        return false;
    }
    std::vector<uint8_t> bytes = current.to_vector();
    if (!Encoder(bytes, lookup, reason).Structure(partial, structure, 0, "", 0)) {
        return false;
    }
    out = std::move(bytes);
    return true;
}

bool LocateMember(const LogixTemplate& structure, const std::string& memberPath,
                  const LogixTemplateLookup& lookup, LogixMemberLocation& out,
                  std::string& reason) {
    std::vector<PathStep> steps;
    if (!ParsePath(memberPath, steps)) {
        reason = memberPath + ": not a member path";
        return false;
    }
    Locator locator(structure, lookup, reason);
    for (size_t i = 0; i < steps.size(); ++i) {
        if (!locator.Step(steps[i], i + 1 == steps.size())) {
            return false;
        }
    }
    return locator.Finish(structure.structureSize, out);
}

bool CutMember(ByteView structureBytes, const LogixMemberLocation& location,
               std::vector<uint8_t>& out, std::string& reason) {
    const BitPlace place = PlaceOf(location.offset, static_cast<uint32_t>(location.bit));
    const bool fits = location.bit >= 0
                          ? Within(place.byte, 1, structureBytes.size)
                          : Within(location.offset, location.size, structureBytes.size);
    if (!fits) {
        reason = std::to_string(structureBytes.size) + " bytes end before the member";
        return false;
    }
    if (location.bit >= 0) {
        out.assign(1, (structureBytes.at(place.byte) & place.mask) != 0 ? 1 : 0);
    } else {
        out.assign(structureBytes.data + location.offset,
                   structureBytes.data + location.offset + location.size);
    }
    return true;
}

bool BitWrite(const LogixMemberLocation& location, bool value, LogixBitWrite& out,
              std::string& reason) {
    const uint32_t bytes = location.size;
    if (location.bit < 0 || location.hostPath.empty() ||
        static_cast<uint64_t>(location.bit) >= uint64_t{bytes} * 8) {
        reason = "not a bit of a named host member";
        return false;
    }
    if (bytes != 1 && bytes != 2 && bytes != 4 && bytes != 8) {
        reason = "a host of " + std::to_string(bytes) + " bytes cannot be masked";
        return false;
    }
    const uint64_t all = bytes == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * bytes)) - 1;
    const uint64_t bit = uint64_t{1} << location.bit;
    out.hostPath = location.hostPath;
    out.hostOffset = location.offset;
    out.maskBytes = static_cast<uint8_t>(bytes);
    out.orMask = value ? bit : 0;
    out.andMask = value ? all : all & ~bit;
    return true;
}

}  // namespace logix_structure
