#pragma once

// Browsing a Logix controller: its tag list (Symbol object, class 0x6B) in controller scope and
// in every program scope, and the layout of its user structures (Template object, class 0x6C).
// The encoders and decoders below are shared with plcsim, which answers the same requests; the
// browser runs them over any routed exchange (a short unconnected session in the link).
//
// Threads: LogixBrowser is used by one thread for one browse. LogixTemplateCache is shared by
// the browses of every PLC; its mutex guards the map and is never held across an exchange.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/byte_codec.h"

// ---- Wire values --------------------------------------------------------------------------------

constexpr uint16_t LOGIX_CLASS_SYMBOL = 0x6B;
constexpr uint16_t LOGIX_CLASS_TEMPLATE = 0x6C;
constexpr uint8_t LOGIX_SVC_GET_ATTRIBUTE_LIST = 0x03;
constexpr uint8_t LOGIX_SVC_GET_INSTANCE_ATTRIBUTE_LIST = 0x55;
constexpr uint8_t LOGIX_SVC_READ_TEMPLATE = 0x4C;  // Read Tag's code, on the Template class

// Symbol instance attributes the browse asks for, in this order.
constexpr uint16_t LOGIX_SYMBOL_ATTR_NAME = 1;
constexpr uint16_t LOGIX_SYMBOL_ATTR_TYPE = 2;
constexpr uint16_t LOGIX_SYMBOL_ATTR_DIMENSIONS = 8;
// Template instance attributes, asked in the order 4, 5, 2, 1.
constexpr uint16_t LOGIX_TEMPLATE_ATTR_HANDLE = 1;
constexpr uint16_t LOGIX_TEMPLATE_ATTR_MEMBER_COUNT = 2;
constexpr uint16_t LOGIX_TEMPLATE_ATTR_DEFINITION_WORDS = 4;
constexpr uint16_t LOGIX_TEMPLATE_ATTR_STRUCTURE_SIZE = 5;
// A template definition holds (definition words × 4 − 23) bytes.
constexpr uint32_t LOGIX_TEMPLATE_DEFINITION_OVERHEAD = 23;
// Bytes of one member entry at the front of a template definition.
constexpr size_t LOGIX_TEMPLATE_MEMBER_ENTRY_SIZE = 8;

// Symbol type word (also the member type of a template):
// | bits  | meaning                                                        |
// | 15    | structure                                                      |
// | 13-14 | number of array dimensions (0 to 3)                            |
// | 12    | system tag                                                     |
// | 0-11  | structure: template instance; atomic: type code (0-7), bit (8-10) |
constexpr uint16_t LOGIX_SYMBOL_STRUCTURE = 0x8000;
constexpr uint16_t LOGIX_SYMBOL_DIMS_MASK = 0x6000;
constexpr unsigned LOGIX_SYMBOL_DIMS_SHIFT = 13;
constexpr uint16_t LOGIX_SYMBOL_SYSTEM = 0x1000;
constexpr uint16_t LOGIX_SYMBOL_TEMPLATE_MASK = 0x0FFF;
constexpr uint16_t LOGIX_SYMBOL_ATOMIC_MASK = 0x00FF;

// Atomic type codes of the Logix data types.
constexpr uint8_t LOGIX_ATOMIC_BOOL = 0xC1;
constexpr uint8_t LOGIX_ATOMIC_SINT = 0xC2;
constexpr uint8_t LOGIX_ATOMIC_INT = 0xC3;
constexpr uint8_t LOGIX_ATOMIC_DINT = 0xC4;
constexpr uint8_t LOGIX_ATOMIC_LINT = 0xC5;
constexpr uint8_t LOGIX_ATOMIC_USINT = 0xC6;
constexpr uint8_t LOGIX_ATOMIC_UINT = 0xC7;
constexpr uint8_t LOGIX_ATOMIC_UDINT = 0xC8;
constexpr uint8_t LOGIX_ATOMIC_ULINT = 0xC9;
constexpr uint8_t LOGIX_ATOMIC_REAL = 0xCA;
constexpr uint8_t LOGIX_ATOMIC_LREAL = 0xCB;
constexpr uint8_t LOGIX_ATOMIC_DWORD = 0xD3;

// The name of a program's scope as the controller lists it: "Program:MainProgram".
constexpr const char* LOGIX_PROGRAM_PREFIX = "Program:";

// ---- Records ------------------------------------------------------------------------------------

struct LogixSymbol {
    uint32_t instance = 0;
    std::string name;
    uint16_t type = 0;
    std::array<uint32_t, 3> dims{};

    bool IsStructure() const { return (type & LOGIX_SYMBOL_STRUCTURE) != 0; }
    bool IsSystem() const { return (type & LOGIX_SYMBOL_SYSTEM) != 0; }
    unsigned DimensionCount() const {
        return (type & LOGIX_SYMBOL_DIMS_MASK) >> LOGIX_SYMBOL_DIMS_SHIFT;
    }
    uint16_t TemplateId() const { return type & LOGIX_SYMBOL_TEMPLATE_MASK; }
};

struct LogixTemplateMember {
    std::string name;
    uint16_t info = 0;  // array size, or the bit of a BOOL
    uint16_t type = 0;  // symbol type word
    uint32_t offset = 0;

    // A BOOL held as bit `info` of the member at the same offset (its host).
    bool IsBit() const;
};

struct LogixTemplate {
    uint16_t handle = 0;  // the structure handle Read Tag replies carry
    uint16_t memberCount = 0;
    uint32_t definitionWords = 0;
    uint32_t structureSize = 0;
    std::string name;
    std::vector<LogixTemplateMember> members;

    // The bytes a Read Template must fetch; 0 when the size is impossible.
    uint32_t DefinitionBytes() const;
    // A Logix string type: a DINT LEN and a SINT array DATA.
    bool IsString() const;
    // Per member, whether the controller keeps it for itself: unnamed, named "ZZZZZZZZZZ..." or
    // "__...", or the host of BOOL members (a user type's hidden SINT, a TIMER's status word).
    std::vector<bool> HiddenMembers() const;
};

// One row of the browse table.
struct LogixBrowseRow {
    std::string name;  // as Add Tags takes it: Tag, Program:Main.Tag, Tag.Member
    std::string type;
    std::string dimensions;  // "", "10", "2,3"
    std::string scope;       // "Controller" or "Program:Main"
    bool readable = false;
};

// ---- Codec --------------------------------------------------------------------------------------

namespace logix_browse {

// Get Instance Attribute List of the Symbol object, from instance `first` on, in the scope of
// `program` ("" for the controller).
std::vector<uint8_t> EncodeSymbolListRequest(const std::string& program, uint32_t first);
// The entries of one reply, appended to out; false when an entry is cut short.
bool DecodeSymbolList(ByteView data, std::vector<LogixSymbol>& out);
// Get Attribute List of a template instance (attributes 4, 5, 2, 1).
std::vector<uint8_t> EncodeTemplateAttributesRequest(uint16_t templateId);
// Fills handle, member count, definition words and structure size; false when one is missing,
// refused or cut short.
bool DecodeTemplateAttributes(ByteView data, LogixTemplate& out);
// Read Template of `count` bytes from `offset`.
std::vector<uint8_t> EncodeReadTemplateRequest(uint16_t templateId, uint32_t offset,
                                               uint16_t count);
// Fills name and members from the whole definition (memberCount entries must be set); false
// when the definition is shorter than its entries and names.
bool DecodeTemplateDefinition(ByteView data, LogixTemplate& inOut);

// Writers of the same layouts, for the simulator.
void WriteSymbolEntry(ByteWriter& w, const LogixSymbol& symbol);
std::vector<uint8_t> EncodeTemplateDefinition(const LogixTemplate& definition);

// The Logix type name of an atomic code ("DINT"), or "0x" and its hex digits.
std::string AtomicTypeName(uint8_t code);
// Case-insensitive: a substring, or a pattern of '*' wildcards over the whole name.
bool MatchesFilter(const std::string& name, const std::string& filter);

}  // namespace logix_browse

// ---- Browser ------------------------------------------------------------------------------------

// Templates per PLC alias and template instance; a cached template serves while the
// controller reports the same handle, size and member count for it.
class LogixTemplateCache {
  public:
    std::shared_ptr<const LogixTemplate> Find(const std::string& alias, uint16_t templateId,
                                              const LogixTemplate& attributes) const;
    void Store(const std::string& alias, uint16_t templateId,
               std::shared_ptr<const LogixTemplate> definition);
    void Drop(const std::string& alias);

  private:
    mutable std::mutex mutex;
    std::map<std::string, std::map<uint16_t, std::shared_ptr<const LogixTemplate>>> byAlias;
};

class LogixBrowser {
  public:
    // Sends one Message Router request to the controller and gives back its reply: service,
    // general status and data. False when no reply came.
    struct Reply {
        uint8_t service = 0;
        uint8_t generalStatus = 0;
        std::vector<uint8_t> data;
    };
    using Exchange = std::function<bool(ByteView request, Reply& reply)>;

    LogixBrowser(Exchange exchange, LogixTemplateCache& cache, std::string alias);

    // The rows of every readable-or-not tag (system and hidden ones left out) matching filter,
    // structures followed by their members. False with a reason when the controller refuses
    // or breaks off the browse.
    bool Browse(const std::string& filter, std::vector<LogixBrowseRow>& rows, std::string& reason);
    // The tag list entry of one tag (Tag, or Program:Main.Tag), names compared ignoring case.
    // False with a reason when the list cannot be read or holds no such tag.
    bool FindSymbol(const std::string& tagName, LogixSymbol& out, std::string& reason);
    // The template of the structure a tag name addresses (Tag, Program:Main.Tag, Tag.Member,
    // Tags[3].Member), walked from the tag's list entry through its members' templates; null
    // with a reason when a part is unknown or no structure.
    std::shared_ptr<const LogixTemplate> StructureOf(const std::string& tagName,
                                                     std::string& reason);
    // The template of one structure type (read once per browser; the definition once per cache
    // while the controller reports the same attributes for it).
    std::shared_ptr<const LogixTemplate> Template(uint16_t templateId, std::string& reason);
    size_t RequestCount() const { return requests; }

  private:
    bool Send(const std::vector<uint8_t>& request, Reply& reply, std::string& reason);
    bool ListSymbols(const std::string& program, std::vector<LogixSymbol>& out,
                     std::string& reason);
    bool ReadDefinition(uint16_t templateId, LogixTemplate& definition, std::string& reason);
    bool AddRows(const LogixSymbol& symbol, const std::string& scope,
                 std::vector<LogixBrowseRow>& rows, std::string& reason);
    bool AddMemberRows(const LogixTemplate& structure, const std::string& prefix,
                       const std::string& scope, int depth, std::vector<LogixBrowseRow>& rows,
                       std::string& reason);
    bool TypeOf(uint16_t type, std::string& name, bool& readable,
                std::shared_ptr<const LogixTemplate>& structure, std::string& reason);

    Exchange exchange;
    LogixTemplateCache& cache;
    std::string alias;
    std::map<uint16_t, std::shared_ptr<const LogixTemplate>> seen;  // this browse's templates
    size_t requests = 0;
};
