#pragma once

// The structure types a Logix connection has met: each template read once per connection (one
// controller session), found again by the structure handle a Read Tag reply carries. A handle
// no cached type has is a type the session has not met yet, or a tag database changed under it:
// the tag's type is then walked again from the tag list, and a template whose attributes
// changed is read again.
//
// Threads: a cache belongs to its connection and is used by the one thread the device lets use
// that connection at a time; it has no lock. The records it hands out are immutable and shared.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "family/logix_browse.h"
#include "family/logix_structure.h"

// One structure type: its template and the templates of every structure nested in it.
struct LogixStructureType {
    std::shared_ptr<const LogixTemplate> top;
    std::map<uint16_t, std::shared_ptr<const LogixTemplate>> nested;

    LogixTemplateLookup Lookup() const;
    // The value of bytes holding elements of this structure: one element's object (a string
    // type's text), or an array of them for more than one element. False with a reason.
    bool Decode(ByteView bytes, kestrel::strata_sdk::Variant& out, std::string& reason) const;
    // The bytes a write sends: the current bytes with what value names merged in (an array of
    // values merges element by element from the first). False with a reason naming the member,
    // out empty.
    bool Encode(const kestrel::strata_sdk::Variant& value, ByteView current,
                std::vector<uint8_t>& out, std::string& reason) const;
};

// What a test read learned of the structures behind a Logix tag (never stored).
struct LogixStructureInfo {
    // The tag's value is this structure (one element of it per element read), or null.
    std::shared_ptr<const LogixStructureType> type;
    // A member of a structure tag: the structure's name, its Read Tag address (path and count 1),
    // its type, and where the member lies in it. Empty address when the tag is no such member.
    std::string hostName;
    std::vector<uint8_t> hostAddress;
    std::shared_ptr<const LogixStructureType> host;
    LogixMemberLocation member;
};

class LogixStructureCache {
  public:
    // The type of the structure tagName addresses, whose Read Tag reply carried handle: from the
    // cache, or walked through the controller's tag list and templates. Null with a reason.
    std::shared_ptr<const LogixStructureType> Resolve(const std::string& tagName, uint16_t handle,
                                                      const LogixBrowser::Exchange& exchange,
                                                      std::string& reason);

  private:
    bool AddNested(LogixBrowser& browser, const LogixTemplate& structure, int depth,
                   LogixStructureType& type, std::string& reason);

    std::map<uint16_t, std::shared_ptr<const LogixStructureType>> byHandle;
    // The definitions read on this connection, so that a new type does not read its nested
    // types' definitions again.
    LogixTemplateCache templates;
};
