#pragma once

// The Logix tag services of the simulated controller, plugged into the simulator's Message
// Router: Read Tag (0x4C), Write Tag (0x4D), Read-Modify-Write Tag (0x4E), Read Tag Fragmented
// (0x52) and Write Tag Fragmented (0x53) on symbolic request paths, and the Multiple Service
// Packet (0x0A) of the Message Router that carries several of them, connected (class-3
// SendUnitData) or unconnected. A reply never passes the room the transport gives it: the
// T->O connection size of a class-3 connection, or the unconnected message limit.
//
// LogixController bundles a simulator with a tag database and these services, which is what
// tests and the plcsim program start.
//
// Threads: handlers run on the simulator's session threads; the tag database guards its own
// state, this class keeps none besides the two references set at construction.

#include <cstddef>
#include <cstdint>

#include "sim/logix_browse_objects.h"
#include "sim/logix_tags.h"
#include "sim/plc_simulator.h"

namespace plcsim {

// General status of a Multiple Service Packet whose replies cannot fit the reply room at all.
constexpr uint8_t kCipStatusReplyDataTooLarge = 0x11;
// Largest Message Router reply of an unconnected request (service header included).
constexpr size_t kUnconnectedReplyLimit = 504;

class LogixTagServices {
  public:
    // Registers the handlers on sim's router and the tags as the source of its class-1 producer.
    // Both objects must outlive the simulator's sessions (stop the simulator before destroying
    // them).
    LogixTagServices(PlcSimulator& sim, LogixTagDatabase& tags);
    ~LogixTagServices();
    LogixTagServices(const LogixTagServices&) = delete;
    LogixTagServices& operator=(const LogixTagServices&) = delete;

    CipReplyStatus Symbolic(const CipRequest& request, ByteWriter& out) const;
    CipReplyStatus MultipleServicePacket(const CipRequest& request, ByteWriter& out) const;

  private:
    // Runs one Read Tag or Write Tag with replyRoom bytes left for its reply data.
    CipReplyStatus TagService(uint8_t service, ByteView path, ByteView data, size_t replyRoom,
                              ByteWriter& out) const;
    // Appends the encoded reply of one embedded request with `room` bytes left for the whole
    // reply.
    void Embedded(ByteView request, const CipRequest& outer, size_t room, ByteWriter& out) const;
    static size_t ReplyLimit(const CipRequest& request);
    CipReplyStatus Refuse(uint8_t status, const std::string& what) const;

    PlcSimulator& sim_;
    LogixTagDatabase& tags_;
};

// A simulated Logix controller: the simulator, its tag database, the tag services and the
// Symbol and Template objects that let clients browse it.
class LogixController {
  public:
    explicit LogixController(SimConfig config);
    ~LogixController();
    LogixController(const LogixController&) = delete;
    LogixController& operator=(const LogixController&) = delete;

    PlcSimulator& Sim() { return sim_; }
    LogixTagDatabase& Tags() { return tags_; }
    // Defines a tag or throws std::invalid_argument with the reason (for test set-up).
    void DefineTag(const LogixTagDefinition& definition);

  private:
    LogixTagDatabase tags_;
    PlcSimulator sim_;
    LogixTagServices services_;
    LogixBrowseObjects browse_;
};

}  // namespace plcsim
