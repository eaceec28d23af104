// The simulated Logix controller's Message Router on arbitrary request bytes: Multiple Service
// Packets, symbolic paths, Read Tag, Write Tag and Read-Modify-Write data, connected and
// unconnected, on the demo tags and tags of the 64-bit types, a BOOL array and a 3-dimensional
// array.

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/logix_services.h"
#include "sim/logix_tag_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static plcsim::LogixController* plc = [] {
        auto* controller = new plcsim::LogixController(plcsim::SimConfig{});
        for (const plcsim::LogixTagDefinition& d : plcsim::LogixDemoTags()) {
            controller->DefineTag(d);
        }
        controller->DefineTag({"Flags", "BOOL", {64}, nullptr, {}});
        controller->DefineTag({"Cube", "LINT", {2, 3, 4}, nullptr, {}});
        controller->DefineTag({"Huge", "ULINT", {}, nullptr, {}});
        controller->DefineTag({"Precise", "LREAL", {}, nullptr, {}});
        return controller;
    }();
    if (size < 2) {
        return 0;
    }
    // The first byte picks the transport and a small connection size.
    plcsim::CipConnection connection;
    connection.toConnectionSize = static_cast<uint16_t>(data[0] * 2);
    const bool connected = (data[0] & 1) != 0;
    const std::vector<uint8_t> reply = plc->Sim().Router().Execute(
        ByteView{data + 1, size - 1}, connected ? &connection : nullptr, 1);
    const size_t limit = connected && connection.toConnectionSize > 2
                             ? connection.toConnectionSize - 2u
                             : plcsim::kUnconnectedReplyLimit;
    if (reply.size() < 4) {
        __builtin_trap();
    }
    // A successful read or packet never passes the room the transport gives it.
    const bool tagReply = reply[0] == 0x8A || reply[0] == 0xCC;
    if (tagReply && reply[2] == 0 && reply.size() > limit) {
        __builtin_trap();
    }
    return 0;
}
