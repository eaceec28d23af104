#include "sim/forward_open.h"

#include "eip/cip_wire.h"

namespace plcsim {

namespace {

// Network connection parameters of a Large Forward Open: size in the low 16 bits, connection
// type in bits 29-30.
constexpr uint32_t kLargeNcpSizeMask = 0xFFFF;
constexpr uint32_t kLargeNcpTypeMask = 0x60000000;
constexpr uint32_t kLargeNcpPointToPoint = 0x40000000;

}  // namespace

// Forward Open request data (Large Forward Open: both parameter fields 4 bytes):
// | size | field                                   |
// |    2 | priority / tick, time-out ticks         |
// |    4 | O->T connection ID (target chooses)     |
// |    4 | T->O connection ID (originator chooses) |
// |    8 | triad: serial, vendor, originator serial|
// |    4 | time-out multiplier, reserved           |
// |  4+2 | O->T RPI, O->T parameters (4 if large)  |
// |  4+2 | T->O RPI, T->O parameters (4 if large)  |
// |    1 | transport class / trigger               |
// |  1+2w| connection path size (words), path      |
ByteReader ReadForwardOpen(ByteView data, bool large, ForwardOpenRequest& out) {
    ByteReader reader(data);
    auto parameters = [&reader, &out, large](uint32_t& value, uint16_t& size) {
        value = large ? reader.u32() : reader.u16();
        const bool pointToPoint = large
                                      ? (value & kLargeNcpTypeMask) == kLargeNcpPointToPoint
                                      : (value & CIP_NCP_TYPE_MASK) == CIP_NCP_TYPE_POINT_TO_POINT;
        size = static_cast<uint16_t>(value & (large ? kLargeNcpSizeMask : CIP_NCP_SIZE_MASK));
        out.pointToPoint = out.pointToPoint && pointToPoint;
    };
    reader.u8();   // priority / time tick
    reader.u8();   // time-out ticks
    reader.u32();  // proposed O->T ID: a controller chooses its own
    out.toId = reader.u32();
    out.serial = reader.u16();
    out.vendor = reader.u16();
    out.originatorSerial = reader.u32();
    out.timeoutMultiplier = reader.u8();
    reader.skip(3);
    out.pointToPoint = true;
    out.otRpi = reader.u32();
    parameters(out.otParameters, out.otSize);
    out.toRpi = reader.u32();
    parameters(out.toParameters, out.toSize);
    out.transport = reader.u8();
    const uint8_t pathWords = reader.u8();
    out.path = reader.bytes(static_cast<size_t>(pathWords) * 2);
    return reader;
}

std::vector<uint8_t> TriadReply(uint16_t serial, uint16_t vendor, uint32_t originatorSerial) {
    ByteWriter writer;
    writer.u16(serial).u16(vendor).u32(originatorSerial).u8(0).u8(0);
    return writer.to_vector();
}

std::vector<uint8_t> GrantReply(uint32_t otId, uint32_t toId, uint16_t serial, uint16_t vendor,
                                uint32_t originatorSerial, uint32_t otApi, uint32_t toApi) {
    ByteWriter writer;
    writer.u32(otId).u32(toId).u16(serial).u16(vendor).u32(originatorSerial);
    writer.u32(otApi).u32(toApi).u8(0).u8(0);
    return writer.to_vector();
}

}  // namespace plcsim
