#include "sim/logix_browse_objects.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <string>
#include <vector>

#include "sim/logix_services.h"

namespace plcsim {

namespace {

// The Symbol and Template objects of a Logix controller (1756-PM020), with their services and
// the attributes a browse reads.
constexpr uint16_t kClassSymbol = 0x6B;
constexpr uint16_t kClassTemplate = 0x6C;
constexpr uint8_t kServiceGetAttributeList = 0x03;
constexpr uint8_t kServiceGetInstanceAttributeList = 0x55;
constexpr uint8_t kServiceReadTemplate = 0x4C;
constexpr uint16_t kSymbolAttributeName = 1;
constexpr uint16_t kSymbolAttributeType = 2;
constexpr uint16_t kSymbolAttributeDimensions = 8;
constexpr uint16_t kTemplateAttributeHandle = 1;
constexpr uint16_t kTemplateAttributeMemberCount = 2;
constexpr uint16_t kTemplateAttributeDefinitionWords = 4;
constexpr uint16_t kTemplateAttributeStructureSize = 5;
// Read Template fetches (definition words x 4 - 23) bytes.
constexpr uint32_t kTemplateDefinitionOverhead = 23;

// Symbol type word (also the type of a template member):
// | bits  | meaning                                                         |
// | 15    | structure                                                       |
// | 13-14 | number of array dimensions (0 to 3)                             |
// | 12    | system entry                                                    |
// | 0-11  | structure: template instance; elementary: the type code's low byte |
constexpr uint16_t kSymbolStructure = 0x8000;
constexpr unsigned kSymbolDimensionsShift = 13;
constexpr uint16_t kSymbolDimensionsMask = 0x6000;
constexpr uint16_t kSymbolSystem = 0x1000;
constexpr uint16_t kSymbolElementaryMask = 0x00FF;

// Message Router reply header: service, reserved, general status, additional status size.
constexpr size_t kReplyHeaderSize = 4;
constexpr size_t kSequenceCountSize = 2;
// General status of an attribute the object does not have.
constexpr uint8_t kCipStatusAttributeNotSupported = 0x14;
// Symbol entries fetched from the database per step while a reply is filled.
constexpr size_t kSymbolBatch = 64;
// Type words of the controller's own entries: a program and the I/O map.
constexpr uint16_t kProgramSymbolType = kSymbolSystem | 0x68;
constexpr uint16_t kMapSymbolType = kSymbolSystem | 0x69;
constexpr const char* kMapSymbolName = "Map:Local";
constexpr size_t kMaxDimensions = 3;

// One entry of the symbol list as it goes on the wire.
struct SymbolEntry {
    uint32_t instance = 0;
    std::string name;
    uint16_t type = 0;
    std::vector<uint32_t> dims;
};

// Room for the reply data of a request: the connection's size, or the unconnected limit.
size_t ReplyRoom(const CipRequest& request) {
    size_t limit = kUnconnectedReplyLimit;
    if (request.connection != nullptr &&
        request.connection->toConnectionSize > kSequenceCountSize) {
        limit = request.connection->toConnectionSize - kSequenceCountSize;
    }
    return limit > kReplyHeaderSize ? limit - kReplyHeaderSize : 0;
}

// Splits an optional leading symbol segment (a program's scope) off the path.
bool SplitScope(ByteView path, std::string& program, ByteView& rest) {
    ByteReader r(path);
    program.clear();
    if (r.peek_u8() == CIP_SEG_ANSI_SYMBOL) {
        r.u8();
        const uint8_t length = r.u8();
        program = r.str(length);
        if (length % 2 != 0) {
            r.skip(1);
        }
    }
    rest = r.rest();
    return r.ok();
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

// One entry of a Get Instance Attribute List reply (the reply is a run of them): the instance
// (32 bits), then each attribute asked for, in the order asked:
// | attribute | size | value                                          |
// | 1 name    | 2+n  | name length n, name                            |
// | 2 type    | 2    | symbol type word                               |
// | 8 dims    | 12   | three dimensions, 32 bits each (0 when unused) |
// Appends the entry when it fits `room`; false (nothing written) when it does not.
bool AppendSymbol(ByteWriter& w, const SymbolEntry& symbol, const std::vector<uint16_t>& ids,
                  size_t room) {
    size_t size = 4;
    for (uint16_t id : ids) {
        size += id == kSymbolAttributeName   ? 2 + symbol.name.size()
                : id == kSymbolAttributeType ? 2
                                             : 4 * kMaxDimensions;
    }
    if (w.size() + size > room) {
        return false;
    }
    w.u32(symbol.instance);
    for (uint16_t id : ids) {
        if (id == kSymbolAttributeName) {
            w.u16(static_cast<uint16_t>(symbol.name.size())).bytes(symbol.name);
        } else if (id == kSymbolAttributeType) {
            w.u16(symbol.type);
        } else {
            for (size_t d = 0; d < kMaxDimensions; ++d) {
                w.u32(d < symbol.dims.size() ? symbol.dims[d] : 0);
            }
        }
    }
    return true;
}

// Template definition (read in pieces with Read Template):
// | size      | value                                                              |
// | 8 x count | per member: info (16: array size, or the bit of a BOOL in its host),  |
// |           | type word (16), offset in the structure (32; a BOOL: its host's)     |
// | ...       | "NAME;n" and a 0x00 (the type's name is the text before ';')       |
// | ...       | each member's name and a 0x00, in member order                     |
std::vector<uint8_t> TemplateDefinition(const LogixType& type) {
    ByteWriter w;
    for (const LogixMember& member : type.members) {
        w.u16(static_cast<uint16_t>(member.bit >= 0 ? member.bit : member.arrayLength));
        w.u16(LogixBrowseObjects::SymbolType(*member.type, member.arrayLength != 0 ? 1 : 0));
        w.u32(static_cast<uint32_t>(member.offset));
    }
    w.bytes(type.name + ";n").u8(0);
    for (const LogixMember& member : type.members) {
        w.bytes(member.name).u8(0);
    }
    return w.to_vector();
}

// Get Attribute List reply of a template: count, then per attribute its id, status 0 and value
// (4 and 5: 32 bits; 1 and 2: 16 bits); an unknown attribute gets status 0x14 and no value.
std::vector<uint8_t> TemplateAttributes(const LogixType& type, ByteReader& ids, uint16_t count) {
    const size_t definitionBytes = TemplateDefinition(type).size();
    const uint32_t definitionWords =
        static_cast<uint32_t>((definitionBytes + kTemplateDefinitionOverhead + 3) / 4);
    ByteWriter w;
    w.u16(count);
    for (uint16_t i = 0; i < count; ++i) {
        const uint16_t id = ids.u16();
        w.u16(id);
        switch (id) {
            case kTemplateAttributeDefinitionWords:
                w.u16(CIP_STATUS_SUCCESS).u32(definitionWords);
                break;
            case kTemplateAttributeStructureSize:
                w.u16(CIP_STATUS_SUCCESS).u32(static_cast<uint32_t>(type.size));
                break;
            case kTemplateAttributeMemberCount:
                w.u16(CIP_STATUS_SUCCESS).u16(static_cast<uint16_t>(type.members.size()));
                break;
            case kTemplateAttributeHandle:
                w.u16(CIP_STATUS_SUCCESS).u16(type.handle);
                break;
            default:
                w.u16(kCipStatusAttributeNotSupported);
                break;
        }
    }
    return w.to_vector();
}

}  // namespace

LogixBrowseObjects::LogixBrowseObjects(PlcSimulator& sim, const LogixTagDatabase& tags)
    : sim_(sim), tags_(tags) {
    sim_.Router().RegisterClass(kClassSymbol,
                                [this](const CipRequest& r) { return SymbolObject(r); });
    sim_.Router().RegisterClass(kClassTemplate,
                                [this](const CipRequest& r) { return TemplateObject(r); });
}

uint16_t LogixBrowseObjects::TemplateId(const LogixType& type) {
    return type.handle & kLogixTemplateMask;
}

uint16_t LogixBrowseObjects::SymbolType(const LogixType& type, size_t dimensions) {
    const uint16_t dims =
        static_cast<uint16_t>((dimensions << kSymbolDimensionsShift) & kSymbolDimensionsMask);
    if (type.IsStructure()) {
        return kSymbolStructure | dims | TemplateId(type);
    }
    return dims | (type.code & kSymbolElementaryMask);
}

CipReply LogixBrowseObjects::Refuse(uint8_t status, const std::string& what) const {
    sim_.NoteProtocolError(what);
    return CipReply::Error(status);
}

// Request data: attribute count and attribute ids, each 1, 2 or 8. Reply data: entries (see
// AppendSymbol), as many as fit; a BOOL array lists as a DWORD array of its words.
CipReply LogixBrowseObjects::SymbolObject(const CipRequest& request) const {
    std::string program;
    ByteView rest;
    LogicalPath target;
    if (!SplitScope(request.path, program, rest) || !ParseLogicalPath(rest, target) ||
        !target.hasInstance || target.hasAttribute) {
        return Refuse(CIP_STATUS_PATH_SEGMENT_ERROR, "symbol object path is malformed");
    }
    if (request.service != kServiceGetInstanceAttributeList) {
        return CipReply::Error(CIP_STATUS_SERVICE_NOT_SUPPORTED);
    }
    ByteReader r(request.data);
    const uint16_t count = r.u16();
    std::vector<uint16_t> ids;
    for (uint16_t i = 0; i < count && r.ok(); ++i) {
        ids.push_back(r.u16());
    }
    const bool known = std::all_of(ids.begin(), ids.end(), [](uint16_t id) {
        return id == kSymbolAttributeName || id == kSymbolAttributeType ||
               id == kSymbolAttributeDimensions;
    });
    if (ids.empty() || !known || !r.ok() || !r.at_end()) {
        return Refuse(kCipStatusAttributeNotSupported,
                      "symbol list may ask for attributes 1, 2 and 8 only");
    }
    const std::vector<std::string> programs = tags_.Programs();
    if (!program.empty() && std::none_of(programs.begin(), programs.end(),
                                         [&](const auto& p) { return SameName(p, program); })) {
        return CipReply::Error(CIP_STATUS_PATH_DESTINATION_UNKNOWN);
    }

    const size_t room = ReplyRoom(request);
    ByteWriter w;
    uint32_t next = target.instanceId;
    for (;;) {
        const std::vector<LogixSymbolEntry> batch = tags_.Symbols(program, next, kSymbolBatch);
        for (const LogixSymbolEntry& entry : batch) {
            const SymbolEntry symbol{entry.instance, entry.name,
                                     SymbolType(*entry.type, entry.dims.size()), entry.dims};
            if (!AppendSymbol(w, symbol, ids, room)) {
                return CipReply::Error(CIP_STATUS_PARTIAL_TRANSFER, {}, w.to_vector());
            }
        }
        if (batch.size() < kSymbolBatch) {
            break;
        }
        next = batch.back().instance + 1;
    }
    if (program.empty()) {
        std::vector<SymbolEntry> own;
        for (const std::string& name : programs) {
            own.push_back(SymbolEntry{0, name, kProgramSymbolType, {}});
        }
        own.push_back(SymbolEntry{0, kMapSymbolName, kMapSymbolType, {}});
        for (size_t i = 0; i < own.size(); ++i) {
            own[i].instance = kLogixOwnEntriesInstance + static_cast<uint32_t>(i);
            if (own[i].instance >= target.instanceId && !AppendSymbol(w, own[i], ids, room)) {
                return CipReply::Error(CIP_STATUS_PARTIAL_TRANSFER, {}, w.to_vector());
            }
        }
    }
    return CipReply::Success(w.to_vector());
}

// Get Attribute List: attribute count and ids. Read Template: byte offset (32 bits) and count
// (16 bits); the reply holds what fits, with "partial transfer" when the count is not reached.
CipReply LogixBrowseObjects::TemplateObject(const CipRequest& request) const {
    LogicalPath target;
    if (!ParseLogicalPath(request.path, target) || !target.hasInstance || target.hasAttribute) {
        return Refuse(CIP_STATUS_PATH_SEGMENT_ERROR, "template object path is malformed");
    }
    const LogixType* type = target.instanceId <= kLogixTemplateMask
                                ? tags_.TypeOfTemplate(static_cast<uint16_t>(target.instanceId))
                                : nullptr;
    if (type == nullptr) {
        return CipReply::Error(CIP_STATUS_OBJECT_DOES_NOT_EXIST);
    }
    ByteReader r(request.data);
    if (request.service == kServiceGetAttributeList) {
        const uint16_t count = r.u16();
        if (!r.ok() || r.remaining() != size_t{count} * 2) {
            return Refuse(CIP_STATUS_NOT_ENOUGH_DATA, "template attribute list is malformed");
        }
        return CipReply::Success(TemplateAttributes(*type, r, count));
    }
    if (request.service != kServiceReadTemplate) {
        return CipReply::Error(CIP_STATUS_SERVICE_NOT_SUPPORTED);
    }
    const uint32_t offset = r.u32();
    const uint16_t count = r.u16();
    const std::vector<uint8_t> bytes = TemplateDefinition(*type);
    if (!r.ok() || !r.at_end() || offset > bytes.size()) {
        return Refuse(CIP_STATUS_INVALID_PARAMETER_VALUE, "read template offset or size is wrong");
    }
    const size_t wanted = std::min<size_t>(count, bytes.size() - offset);
    const size_t piece = std::min(wanted, ReplyRoom(request));
    std::vector<uint8_t> data(bytes.begin() + offset, bytes.begin() + offset + piece);
    return piece < wanted ? CipReply::Error(CIP_STATUS_PARTIAL_TRANSFER, {}, std::move(data))
                          : CipReply::Success(std::move(data));
}

}  // namespace plcsim
