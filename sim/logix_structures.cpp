#include "sim/logix_structures.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace plcsim {

namespace {

constexpr size_t kStructureAlignment = 4;
constexpr uint32_t kBitsPerHost = 8;

size_t AlignUp(size_t offset, size_t alignment) {
    return (offset + alignment - 1) / alignment * alignment;
}

size_t AlignmentOf(const LogixType& type) {
    if (!type.IsStructure()) {
        return type.size;
    }
    size_t alignment = kStructureAlignment;
    for (const LogixMember& member : type.members) {
        alignment = std::max(alignment, AlignmentOf(*member.type));
    }
    return alignment;
}

// CRC-16/ARC (polynomial 0xA001, reflected) over text.
uint16_t Crc16(const std::string& text) {
    uint16_t crc = 0;
    for (unsigned char c : text) {
        crc ^= c;
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                                 : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

bool ValidMemberName(const std::string& name) {
    return !name.empty() && name.size() <= 40 &&
           (std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_') &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
           });
}

LogixTypeDefinition StringMembers(const LogixTypeDefinition& definition) {
    LogixTypeDefinition out = definition;
    out.members = {{"LEN", "DINT", 0}, {"DATA", "SINT", definition.stringLength}};
    return out;
}

// The handle: a CRC of the name and each member's name, type, offset, length and bit.
uint16_t HandleOf(const LogixType& type, const std::function<bool(uint16_t)>& templateTaken) {
    std::string layout = type.name;
    for (const LogixMember& member : type.members) {
        layout += ";" + member.name + ":" + member.type->name + ":" +
                  std::to_string(member.offset) + ":" + std::to_string(member.arrayLength) + ":" +
                  std::to_string(member.bit);
    }
    uint16_t handle = Crc16(layout);
    while ((handle & kLogixTemplateMask) == 0 || templateTaken(handle & kLogixTemplateMask)) {
        handle = static_cast<uint16_t>((handle & ~kLogixTemplateMask) |
                                       ((handle + 1) & kLogixTemplateMask));
    }
    return handle;
}

}  // namespace

bool LayOutLogixStructure(const LogixTypeDefinition& given,
                          const std::function<const LogixType*(const std::string&)>& find,
                          const std::function<bool(uint16_t)>& templateTaken, LogixType& out,
                          std::string& error) {
    const LogixTypeDefinition definition = given.stringLength != 0 ? StringMembers(given) : given;
    const LogixType* boolType = find("BOOL");
    const LogixType* hostType = find("SINT");
    const LogixType* wordType = find("DWORD");
    out = LogixType{given.name, kLogixTypeStructure, 0, 0, LogixValueKind::Structure, {}};
    if (definition.members.empty()) {
        error = "type " + given.name + " needs members or a string length";
        return false;
    }
    std::set<std::string> names;
    size_t offset = 0;
    size_t alignment = kStructureAlignment;
    size_t hostOffset = 0;
    uint32_t hostBits = kBitsPerHost;  // no open host
    for (const LogixMemberDefinition& member : definition.members) {
        std::string upper = member.name;
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        const LogixType* type = find(member.type);
        if (!ValidMemberName(member.name) || !names.insert(upper).second) {
            error = "type " + given.name + ": member name \"" + member.name +
                    "\" is invalid or repeated";
            return false;
        }
        if (type == nullptr) {
            error = "type " + given.name + ": member " + member.name + " has unknown type \"" +
                    member.type + "\"";
            return false;
        }
        if (type == boolType && member.arrayLength == 0) {
            if (hostBits == kBitsPerHost) {
                hostOffset = offset++;
                hostBits = 0;
                out.members.push_back(
                    {kLogixHiddenHostPrefix + given.name + std::to_string(out.members.size()),
                     hostType, hostOffset, 0});
            }
            out.members.push_back({member.name, boolType, hostOffset, 0, int(hostBits++)});
            continue;
        }
        hostBits = kBitsPerHost;
        uint32_t length = member.arrayLength;
        if (type == boolType) {  // a BOOL array: in 32-bit words
            type = wordType;
            length = (length + kLogixBoolsPerWord - 1) / kLogixBoolsPerWord;
        }
        size_t memberAlignment = AlignmentOf(*type);
        if (length != 0) {
            memberAlignment = std::max(memberAlignment, kStructureAlignment);
        }
        alignment = std::max(alignment, memberAlignment);
        offset = AlignUp(offset, memberAlignment);
        out.members.push_back({member.name, type, offset, length});
        offset += type->size * std::max<uint32_t>(length, 1);
    }
    out.size = AlignUp(offset, alignment);
    out.handle = HandleOf(out, templateTaken);
    return true;
}

}  // namespace plcsim
