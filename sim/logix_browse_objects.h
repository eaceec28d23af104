#pragma once

// The simulated Logix controller's Symbol object (class 0x6B) and Template object (class 0x6C),
// plugged into the simulator's Message Router so that a client can browse it:
// - Get Instance Attribute List (0x55) of the Symbol object lists the tags of the controller
//   scope, or of a program scope when the path starts with the program's symbol
//   ("Program:MainProgram"). A reply holds the entries that fit the unconnected reply; general
//   status 0x06 (partial transfer) says that more follow from the instance after the last one.
//   After its tags the controller scope lists the controller's own entries, as a controller
//   does: one per program and "Map:Local", all with the system bit set.
// - Get Attribute List (0x03) and Read Template (0x4C) of the Template object describe the
//   structure types (STRING, MOTOR, TIMER, COUNTER, CONTROL and the user types); the template
//   instance is the low 12 bits of the type's structure handle.
// The attribute set is checked strictly (name, type, dimensions) so that tests find encoding
// faults of the client.
//
// Threads: the handlers run on the simulator's session threads; the tag database guards its
// own state, this class keeps only the two references set at construction.

#include <cstddef>
#include <cstdint>

#include "sim/logix_tags.h"
#include "sim/plc_simulator.h"

namespace plcsim {

// Instance of the first of the controller's own entries, listed after every tag.
constexpr uint32_t kLogixOwnEntriesInstance = 0xFF00;

class LogixBrowseObjects {
  public:
    // Registers the two classes on sim's router; both objects must outlive its sessions.
    LogixBrowseObjects(PlcSimulator& sim, const LogixTagDatabase& tags);

    CipReply SymbolObject(const CipRequest& request) const;
    CipReply TemplateObject(const CipRequest& request) const;

    // The template instance of a structure type, and the symbol type word of a type with
    // `dimensions` array dimensions.
    static uint16_t TemplateId(const LogixType& type);
    static uint16_t SymbolType(const LogixType& type, size_t dimensions);

  private:
    CipReply Refuse(uint8_t status, const std::string& what) const;

    PlcSimulator& sim_;
    const LogixTagDatabase& tags_;
};

}  // namespace plcsim
