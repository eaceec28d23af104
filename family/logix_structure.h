#pragma once

// Values of Logix structures (user types, TIMER / COUNTER / CONTROL, custom strings) decoded
// through their templates (the Template object layout logix_browse reads) and encoded back for a
// write. Pure code: no thread, no lock, no I/O; every byte of a structure value is hostile, so
// every member's offset and size is checked against the bytes before it is read.
//
// Values are broker Variants, what the node tree publishes and a write action hands in:
//   structure            map of member name to value (hidden members left out; a Variant map
//                        sorts its keys, the template's member order is the order to show)
//   string type          text (LEN characters of DATA, clamped to DATA's capacity)
//   array member         array of element values (BOOL array: one bool per bit of its words)
//   BOOL member          bool (its bit of the host member)
//   elementary member    number as the link publishes a tag of that type
// Hidden members: a member that a BOOL member takes as its host (same offset, the BOOL's info
// its bit) when its name starts with "ZZZZZZZZZZ" (a user type's bit host) or the template's
// handle is a predefined one (0x0Fxx: TIMER, COUNTER, CONTROL keep their bits in a host the
// controller names itself).

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
    // For a bit: the path of the host member (the BOOL's hidden host word, the integer, or the
    // BOOL array's word "Flags[1]") relative to the structure; empty otherwise.
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
// takes text too). False, out empty, with a reason naming the member ("Limits.High: expected a
// number") for an unknown member, a hidden one, a value of the wrong kind or out of range, a
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
// is not a bit.
bool BitWrite(const LogixMemberLocation& location, bool value, LogixBitWrite& out,
              std::string& reason);

}  // namespace logix_structure

// Write Tag of a whole structure is ControlLogixConnection::EncodeWriteTag (beside Read Modify
// Write's encoder): 4D <path> A0 02 <handle16> <count16> <bytes>.
