#include "sim/pccc_services.h"

#include <string>

#include "family/pccc_wire.h"

namespace plcsim {

namespace {

// An address number: one byte, or 0xFF and a 16-bit value.
uint16_t ReadNumber(ByteReader& r) {
    const uint8_t first = r.u8();
    return first == PCCC_NUMBER_ESCAPE ? r.u16() : first;
}

// Typed logical address with three levels, after FNC:
// | size   | field                                  |
// | 1      | byte size of the transfer              |
// | 1 or 3 | file number                            |
// | 1      | file type                              |
// | 1 or 3 | element                                |
// | 1 or 3 | sub-element (word inside the element)  |
PcccAddress ReadAddress(ByteReader& r, uint8_t& byteSize) {
    PcccAddress a;
    byteSize = r.u8();
    a.file = ReadNumber(r);
    a.type = r.u8();
    a.element = ReadNumber(r);
    a.subElement = ReadNumber(r);
    return a;
}

// PCCC reply from CMD on:
// | size | value                         |
// | 1    | CMD | 0x40                    |
// | 1    | STS                           |
// | 2    | TNS, echoed                   |
// | n    | read data (success only)      |
// | 1    | EXT STS (STS 0xF0 only)       |
std::vector<uint8_t> EncodeCommandReply(uint8_t command, uint16_t tns, PcccStatus status,
                                        const std::vector<uint8_t>& data = {}) {
    ByteWriter w;
    w.u8(command | PCCC_CMD_REPLY_BIT).u8(status.sts).u16(tns);
    if (status.ok()) {
        w.bytes(data);
    } else if (status.sts == PCCC_STS_EXTENDED) {
        w.u8(status.extSts);
    }
    return w.to_vector();
}

}  // namespace

PcccServices::PcccServices(PlcSimulator& sim, PcccDataTable& table) : sim_(sim), table_(table) {
    sim_.Router().RegisterClass(CIP_CLASS_PCCC,
                                [this](const CipRequest& r) { return ExecutePccc(r); });
}

// Command (CMD onwards): CMD, STS, TNS, FNC, address, then the function's data.
std::vector<uint8_t> PcccServices::Command(ByteView command) const {
    ByteReader r(command);
    const uint8_t cmd = r.u8();
    r.skip(1);  // STS of a request
    const uint16_t tns = r.u16();
    const uint8_t function = r.u8();
    uint8_t byteSize = 0;
    const PcccAddress address = ReadAddress(r, byteSize);
    const ByteView data = r.rest();
    auto refuse = [&](const std::string& what) {
        sim_.NoteProtocolError("PCCC: " + what);
        return EncodeCommandReply(cmd, tns, PcccStatus{PCCC_STS_ILLEGAL_COMMAND, 0});
    };
    if (!r.ok()) {
        return refuse("command shorter than its address");
    }
    if (cmd != PCCC_CMD_TYPED) {
        return refuse("command " + std::to_string(cmd) + " not supported");
    }
    switch (function) {
        case PCCC_FNC_TYPED_READ: {
            if (!data.empty()) {
                return refuse("typed read with trailing bytes");
            }
            std::vector<uint8_t> out;
            const PcccStatus status = table_.Read(address, byteSize, out);
            return EncodeCommandReply(cmd, tns, status, out);
        }
        case PCCC_FNC_TYPED_WRITE:
        case PCCC_FNC_MASKED_WRITE: {
            const bool masked = function == PCCC_FNC_MASKED_WRITE;
            if (data.size != size_t{byteSize} * (masked ? 2 : 1)) {
                return refuse("write of " + std::to_string(data.size) + " bytes for byte size " +
                              std::to_string(byteSize));
            }
            return EncodeCommandReply(cmd, tns, table_.Write(address, data, masked));
        }
        default:
            return refuse("function " + std::to_string(function) + " not supported");
    }
}

// Execute PCCC request data: requester ID (length byte included), then the PCCC command.
// The reply data echoes the requester ID before the PCCC reply.
CipReply PcccServices::ExecutePccc(const CipRequest& request) const {
    LogicalPath path;
    if (!ParseLogicalPath(request.path, path) || path.hasAttribute) {
        return CipReply::Error(CIP_STATUS_PATH_SEGMENT_ERROR);
    }
    if (!path.hasInstance || path.instanceId != 1) {
        return CipReply::Error(CIP_STATUS_OBJECT_DOES_NOT_EXIST);
    }
    if (request.service != CIP_SVC_EXECUTE_PCCC) {
        return CipReply::Error(CIP_STATUS_SERVICE_NOT_SUPPORTED);
    }
    ByteReader r(request.data);
    const uint8_t idLength = r.u8();
    if (idLength < 1 || !r.skip(idLength - 1u)) {
        sim_.NoteProtocolError("Execute PCCC: requester ID longer than the request");
        return CipReply::Error(CIP_STATUS_NOT_ENOUGH_DATA);
    }
    ByteWriter reply;
    reply.bytes(request.data.data, idLength).bytes(Command(r.rest()));
    return CipReply::Success(reply.to_vector());
}

PcccController::PcccController(SimConfig config, PcccPlcType type)
    : table_(type), sim_(std::move(config)), services_(sim_, table_) {}

PcccController::~PcccController() {
    sim_.Stop();
}

}  // namespace plcsim
