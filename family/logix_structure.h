#pragma once

// Values of Logix structures (user types, TIMER / COUNTER / CONTROL, custom strings) decoded
// through their templates (the Template object layout logix_browse reads) and encoded back for a
// write. Pure code: no thread, no lock, no I/O; every byte of a structure value is hostile, so
// every member's offset and size is checked against the bytes before it is read.
//
// Values are broker Variants (strata_sdk/variant.h), what the node tree publishes and a write
// action hands in, so that members convert like whole tags (tag/elementary_value.h) and
// sdk::json::to_json_string gives the JSON text:
//   structure            map of member name to value (a Variant map sorts its keys; the
//                        template's member order is the order to show)
//   string type          text (LEN characters of DATA, clamped to DATA's capacity)
//   array member         array of element values
//   BOOL array           one bool per bit of the DWORD words a controller holds it in
//   BOOL member          bool (its bit of the host member)
//   number member        number as the link publishes a tag of that type (a NaN or infinite
//                        REAL, which JSON cannot carry, decodes as null)
// Hidden members (LogixTemplate::HiddenMembers, shared with the browse) are left out and cannot
// be written: unnamed ones, names starting "ZZZZZZZZZZ" or "__", and any member holding BOOL
// members as bits (same offset; a user type's hidden SINT, a TIMER's status word "CTL").
//
// For a write: EncodeStructure gives the merged bytes; ControlLogixConnection::EncodeWriteTag
// builds "4D <path> A0 02 <handle16> <count16> <bytes>" with the handle the value was read with.
// A bit: LocateMember, then BitWrite for ControlLogixConnection::EncodeReadModifyWrite on the
// tag's path plus hostPath.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/byte_codec.h"
#include "family/logix_browse.h"
#include "strata_sdk/variant.h"

// The template of a structure type by its template instance; null when it is not known. The
// caller decides where templates come from (a cache per connection, a browse).
using LogixTemplateLookup =
    std::function<std::shared_ptr<const LogixTemplate>(uint16_t templateId)>;

// Where a string type keeps its text: LEN (DINT) at lengthOffset, DATA (capacity SINTs) at
// dataOffset, in a structure of size bytes.
struct LogixStringLayout {
    uint32_t lengthOffset = 0;
    uint32_t dataOffset = 0;
    uint32_t capacity = 0;
    uint32_t size = 0;
};

// One member path ("Limits.High", "Steps[2]", "Flags[37]", "Status.Running", "Count.5") inside
// the bytes of a structure.
struct LogixMemberLocation {
    uint32_t offset = 0;  // first byte of the value (of its host for a bit)
    uint32_t size = 0;    // bytes of the value (of its host for a bit)
    // Symbol type word of the value: an atomic code, or LOGIX_SYMBOL_STRUCTURE | template; with
    // the array dimension bits when the path names a whole array member.
    uint16_t type = 0;
    uint32_t elements = 1;  // array length for a whole array member, otherwise 1
    int32_t bit = -1;       // bit of the little-endian host for a BOOL / bit, otherwise -1
    // For a bit: the path of its host member relative to the structure (the BOOL's host word,
    // or the integer of "Count.5"); empty otherwise, and for an element of a BOOL array, whose
    // words have no name of their own (write such an element as a BOOL).
    std::string hostPath;
    std::shared_ptr<const LogixTemplate> structure;  // the value's template when a structure
};

// A masked write (Read Modify Write Tag, 0x4E) of one bit: the host member at hostPath, whose
// maskBytes bytes become (value | orMask) & andMask.
struct LogixBitWrite {
    std::string hostPath;
    uint32_t hostOffset = 0;
    uint8_t maskBytes = 0;
    uint64_t orMask = 0;
    uint64_t andMask = ~uint64_t{0};
};

namespace logix_structure {

// The built-in STRING (handle 0x0FCE): LEN at 0, 82 characters at 4, 88 bytes.
LogixStringLayout BuiltInStringLayout();
// The layout of a string type (exactly LEN DINT and DATA SINT[n] inside its size); false for
// any other template.
bool StringLayoutOf(const LogixTemplate& structure, LogixStringLayout& out);
bool IsStringType(const LogixTemplate& structure);
// The text of a string value; false (reason) when the bytes are shorter than the layout.
// A LEN beyond the capacity (or negative) is clamped to the capacity (to 0).
bool DecodeString(ByteView bytes, const LogixStringLayout& layout, std::string& out,
                  std::string& reason);
// Writes text into bytes (size at least layout.size): LEN, the characters, the rest of DATA
// zeroed. False, bytes untouched, with "string too long, N bytes for at most C" when the text
// exceeds the capacity.
bool EncodeString(const std::string& text, const LogixStringLayout& layout,
                  std::vector<uint8_t>& bytes, std::string& reason);

// The structure's value (see the top of this file). False with a reason naming the member when
// the bytes are short of it, a nested template is missing or the nesting is too deep.
bool DecodeStructure(ByteView bytes, const LogixTemplate& structure,
                     const LogixTemplateLookup& lookup, kestrel::strata_sdk::Variant& out,
                     std::string& reason);

// Read-merge for a write: out is the current bytes (exactly the structure's size) with the
// members the partial value names changed (nested maps recursively, arrays element by element
// from index 0, bits in their hosts; a string type takes text; a whole string-type structure
// takes text too; a null anywhere leaves what it stands for unchanged). Values convert as a
// tag's write converts them. False, out empty, with a reason naming the member ("Limits.High:
// number 70000 out of range of 0x00C3", "Nope: not a member", "Label: string too long, 33 bytes
// for at most 32") for an unknown or hidden member, a value of the wrong kind or out of range, a
// text beyond its capacity, an array longer than its member, or current bytes of another size.
bool EncodeStructure(const kestrel::strata_sdk::Variant& partial, ByteView current,
                     const LogixTemplate& structure, const LogixTemplateLookup& lookup,
                     std::vector<uint8_t>& out, std::string& reason);

// Where memberPath lies in the structure's bytes; false with a reason for an unknown member, an
// index on a scalar or beyond the array, a bit beyond an integer's width, a missing template.
bool LocateMember(const LogixTemplate& structure, const std::string& memberPath,
                  const LogixTemplateLookup& lookup, LogixMemberLocation& out, std::string& reason);
// The bytes a Read Tag of the located member returns, cut from the structure's bytes: the
// value's bytes, or one byte 0 / 1 for a bit. False when the structure bytes are too short.
bool CutMember(ByteView structureBytes, const LogixMemberLocation& location,
               std::vector<uint8_t>& out, std::string& reason);
// The masked write that sets (value true) or clears one located bit; false when the location
// is not a bit of a named host of 1, 2, 4 or 8 bytes.
bool BitWrite(const LogixMemberLocation& location, bool value, LogixBitWrite& out,
              std::string& reason);

}  // namespace logix_structure
