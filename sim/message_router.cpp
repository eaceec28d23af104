#include "sim/message_router.h"

namespace plcsim {

namespace {

// Reads one logical segment value of the given format (8-bit, or 16-bit after a pad byte).
bool ReadLogicalValue(ByteReader& reader, uint8_t segment, uint8_t base8, uint8_t base16,
                      uint32_t& value) {
    if (segment == base8) {
        value = reader.u8();
        return reader.ok();
    }
    if (segment == base16) {
        reader.skip(1);  // pad byte
        value = reader.u16();
        return reader.ok();
    }
    return false;
}

}  // namespace

bool ParseLogicalPath(ByteView path, LogicalPath& out) {
    out = LogicalPath{};
    ByteReader reader(path);
    uint32_t value = 0;
    if (!ReadLogicalValue(reader, reader.u8(), CIP_SEG_CLASS_8, CIP_SEG_CLASS_16, value)) {
        return false;
    }
    out.classId = static_cast<uint16_t>(value);
    if (reader.at_end()) {
        return true;
    }
    if (!ReadLogicalValue(reader, reader.u8(), CIP_SEG_INSTANCE_8, CIP_SEG_INSTANCE_16, value)) {
        return false;
    }
    out.instanceId = value;
    out.hasInstance = true;
    if (reader.at_end()) {
        return true;
    }
    if (reader.u8() != CIP_SEG_ATTRIBUTE_8) {
        return false;
    }
    out.attributeId = reader.u8();
    out.hasAttribute = reader.ok();
    return reader.ok() && reader.at_end();
}

void MessageRouter::RegisterClass(uint16_t classId, Handler handler) {
    std::lock_guard<std::mutex> lock(mutex);
    classTargets[classId] = Target{std::move(handler), Service()};
}

void MessageRouter::RegisterClassService(uint16_t classId, Service service) {
    std::lock_guard<std::mutex> lock(mutex);
    classTargets[classId] = Target{Handler(), std::move(service)};
}

void MessageRouter::RegisterSymbolic(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex);
    symbolicTarget = Target{std::move(handler), Service()};
}

void MessageRouter::RegisterSymbolicService(Service service) {
    std::lock_guard<std::mutex> lock(mutex);
    symbolicTarget = Target{Handler(), std::move(service)};
}

MessageRouter::Target MessageRouter::ClassTarget(ByteView path, bool& malformed) const {
    ByteReader reader(path);
    uint32_t classId = 0;
    malformed = !ReadLogicalValue(reader, reader.u8(), CIP_SEG_CLASS_8, CIP_SEG_CLASS_16, classId);
    if (malformed) {
        return Target();
    }
    std::lock_guard<std::mutex> lock(mutex);
    auto found = classTargets.find(static_cast<uint16_t>(classId));
    return found != classTargets.end() ? found->second : Target();
}

MessageRouter::Target MessageRouter::Find(const CipRequest& request, uint8_t& refusal) const {
    Target target;
    const uint8_t first = request.path.at(0);
    bool malformed = false;
    if (request.path.empty()) {
        malformed = true;
    } else if (first == CIP_SEG_ANSI_SYMBOL) {
        // A symbol followed by a class segment names that class inside the symbol's scope (a
        // program's Symbol object); otherwise the symbol names a tag.
        const size_t symbolSize = 2 + ((size_t{request.path.at(1)} + 1) & ~size_t{1});
        const uint8_t next = request.path.at(symbolSize);
        if (symbolSize < request.path.size &&
            (next == CIP_SEG_CLASS_8 || next == CIP_SEG_CLASS_16)) {
            target = ClassTarget(
                ByteView{request.path.data + symbolSize, request.path.size - symbolSize},
                malformed);
        } else {
            std::lock_guard<std::mutex> lock(mutex);
            target = symbolicTarget;
        }
    } else if (first == CIP_SEG_CLASS_8 || first == CIP_SEG_CLASS_16) {
        target = ClassTarget(request.path, malformed);
    } else {
        malformed = true;
    }
    refusal = malformed ? CIP_STATUS_PATH_SEGMENT_ERROR
              : !target ? CIP_STATUS_PATH_DESTINATION_UNKNOWN
                        : CIP_STATUS_SUCCESS;
    return target;
}

CipReply MessageRouter::Route(const CipRequest& request) const {
    uint8_t refusal = CIP_STATUS_SUCCESS;
    const Target target = Find(request, refusal);
    if (refusal != CIP_STATUS_SUCCESS) {
        return CipReply::Error(refusal);
    }
    if (target.handler) {
        return target.handler(request);
    }
    ByteWriter data;
    const CipReplyStatus status = target.service(request, data);
    return CipReply::Error(status.generalStatus,
                           std::vector<uint16_t>(status.ext, status.ext + status.extCount),
                           data.to_vector());
}

bool MessageRouter::DecodeRequest(ByteView bytes, uint8_t& service, ByteView& path,
                                  ByteView& data) {
    ByteReader reader(bytes);
    service = reader.u8();
    const uint8_t pathWords = reader.u8();
    path = reader.bytes(static_cast<size_t>(pathWords) * 2);
    data = reader.rest();
    return reader.ok() && (service & CIP_SERVICE_REPLY) == 0;
}

void MessageRouter::Execute(ByteView requestBytes, const CipConnection* connection,
                            uint32_t sessionHandle, ByteWriter& out) const {
    CipRequest request;
    request.connection = connection;
    request.sessionHandle = sessionHandle;
    if (!DecodeRequest(requestBytes, request.service, request.path, request.data)) {
        const uint8_t status =
            requestBytes.size >= 2 ? CIP_STATUS_PATH_SIZE_INVALID : CIP_STATUS_NOT_ENOUGH_DATA;
        EncodeStatus(requestBytes.at(0) & ~CIP_SERVICE_REPLY, CipReplyStatus::Of(status), out);
        return;
    }
    uint8_t refusal = CIP_STATUS_SUCCESS;
    const Target target = Find(request, refusal);
    if (refusal != CIP_STATUS_SUCCESS) {
        EncodeStatus(request.service, CipReplyStatus::Of(refusal), out);
    } else if (target.service) {
        EncodeWritten(request.service, out,
                      [&](ByteWriter& data) { return target.service(request, data); });
    } else {
        EncodeReply(request.service, target.handler(request), out);
    }
}

std::vector<uint8_t> MessageRouter::Execute(ByteView requestBytes, const CipConnection* connection,
                                            uint32_t sessionHandle) const {
    ByteWriter out;
    Execute(requestBytes, connection, sessionHandle, out);
    return out.to_vector();
}

void MessageRouter::EncodeReply(uint8_t requestService, const CipReply& reply, ByteWriter& out) {
    out.u8(requestService | CIP_SERVICE_REPLY)
        .u8(0)
        .u8(reply.generalStatus)
        .u8(static_cast<uint8_t>(reply.extStatus.size()));
    for (uint16_t word : reply.extStatus) {
        out.u16(word);
    }
    out.bytes(reply.data);
}

std::vector<uint8_t> MessageRouter::EncodeReply(uint8_t requestService, const CipReply& reply) {
    ByteWriter writer;
    EncodeReply(requestService, reply, writer);
    return writer.to_vector();
}

void MessageRouter::EncodeStatus(uint8_t requestService, CipReplyStatus status, ByteWriter& out) {
    out.u8(requestService | CIP_SERVICE_REPLY).u8(0).u8(status.generalStatus).u8(status.extCount);
    for (uint8_t i = 0; i < status.extCount; ++i) {
        out.u16(status.ext[i]);
    }
}

}  // namespace plcsim
