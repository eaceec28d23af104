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
    classHandlers[classId] = std::move(handler);
}

void MessageRouter::RegisterSymbolic(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex);
    symbolicHandler = std::move(handler);
}

MessageRouter::Handler MessageRouter::ClassHandler(ByteView path, bool& malformed) const {
    ByteReader reader(path);
    uint32_t classId = 0;
    malformed = !ReadLogicalValue(reader, reader.u8(), CIP_SEG_CLASS_8, CIP_SEG_CLASS_16, classId);
    if (malformed) {
        return Handler();
    }
    std::lock_guard<std::mutex> lock(mutex);
    auto found = classHandlers.find(static_cast<uint16_t>(classId));
    return found != classHandlers.end() ? found->second : Handler();
}

CipReply MessageRouter::Route(const CipRequest& request) const {
    Handler handler;
    const uint8_t first = request.path.at(0);
    bool malformed = false;
    if (request.path.empty()) {
        return CipReply::Error(CIP_STATUS_PATH_SEGMENT_ERROR);
    }
    if (first == CIP_SEG_ANSI_SYMBOL) {
        // A symbol followed by a class segment names that class inside the symbol's scope (a
        // program's Symbol object); otherwise the symbol names a tag.
        const size_t symbolSize = 2 + ((size_t{request.path.at(1)} + 1) & ~size_t{1});
        const uint8_t next = request.path.at(symbolSize);
        if (symbolSize < request.path.size &&
            (next == CIP_SEG_CLASS_8 || next == CIP_SEG_CLASS_16)) {
            handler = ClassHandler(
                ByteView{request.path.data + symbolSize, request.path.size - symbolSize},
                malformed);
        } else {
            std::lock_guard<std::mutex> lock(mutex);
            handler = symbolicHandler;
        }
    } else if (first == CIP_SEG_CLASS_8 || first == CIP_SEG_CLASS_16) {
        handler = ClassHandler(request.path, malformed);
    } else {
        malformed = true;
    }
    if (malformed) {
        return CipReply::Error(CIP_STATUS_PATH_SEGMENT_ERROR);
    }
    if (!handler) {
        return CipReply::Error(CIP_STATUS_PATH_DESTINATION_UNKNOWN);
    }
    return handler(request);
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

std::vector<uint8_t> MessageRouter::Execute(ByteView requestBytes, const CipConnection* connection,
                                            uint32_t sessionHandle) const {
    CipRequest request;
    request.connection = connection;
    request.sessionHandle = sessionHandle;
    if (!DecodeRequest(requestBytes, request.service, request.path, request.data)) {
        const uint8_t status =
            requestBytes.size >= 2 ? CIP_STATUS_PATH_SIZE_INVALID : CIP_STATUS_NOT_ENOUGH_DATA;
        return EncodeReply(requestBytes.at(0) & ~CIP_SERVICE_REPLY, CipReply::Error(status));
    }
    return EncodeReply(request.service, Route(request));
}

std::vector<uint8_t> MessageRouter::EncodeReply(uint8_t requestService, const CipReply& reply) {
    ByteWriter writer;
    writer.u8(requestService | CIP_SERVICE_REPLY)
        .u8(0)
        .u8(reply.generalStatus)
        .u8(static_cast<uint8_t>(reply.extStatus.size()));
    for (uint16_t word : reply.extStatus) {
        writer.u16(word);
    }
    writer.bytes(reply.data);
    return writer.to_vector();
}

}  // namespace plcsim
