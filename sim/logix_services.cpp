#include "sim/logix_services.h"

#include <stdexcept>
#include <string>

#include "sim/logix_tag_config.h"

namespace plcsim {

namespace {

// Message Router reply header: service, reserved, general status, additional status size.
constexpr size_t kReplyHeaderSize = 4;
constexpr size_t kMaxEmbeddedRequests = 512;
constexpr uint8_t kSvcWriteTagFragmented = 0x53;
// Multiple Service Packet data: the request count, then one 16-bit offset per request.
constexpr size_t kPacketCountSize = 2;
constexpr size_t kPacketOffsetSize = 2;

bool IsEncodingRefusal(uint8_t status) {
    return status == CIP_STATUS_PATH_SEGMENT_ERROR || status == CIP_STATUS_NOT_ENOUGH_DATA ||
           status == CIP_STATUS_TOO_MUCH_DATA || status == CIP_STATUS_INVALID_PARAMETER_VALUE;
}

CipReplyStatus StatusOf(const LogixReply& reply) {
    return reply.extStatus ? CipReplyStatus::Of(reply.status, *reply.extStatus)
                           : CipReplyStatus::Of(reply.status);
}

// Offset of embedded request i of a Multiple Service Packet whose table holds count offsets;
// the end of the data for i == count. The caller checked that the table is there.
size_t EmbeddedOffset(ByteView data, uint16_t count, uint16_t i) {
    if (i == count) {
        return data.size;
    }
    ByteReader reader(data);
    reader.skip(kPacketCountSize + size_t{i} * kPacketOffsetSize);
    return reader.u16();
}

}  // namespace

LogixTagServices::LogixTagServices(PlcSimulator& sim, LogixTagDatabase& tags)
    : sim_(sim), tags_(tags) {
    sim_.Router().RegisterSymbolicService(
        [this](const CipRequest& r, ByteWriter& out) { return Symbolic(r, out); });
    sim_.Router().RegisterClassService(
        CIP_CLASS_MESSAGE_ROUTER,
        [this](const CipRequest& r, ByteWriter& out) { return MultipleServicePacket(r, out); });
    // The tags are also what the class-1 producer sends.
    sim_.Io().SetTagSource([this](const std::string& name) { return tags_.GetBytes(name); });
}

LogixTagServices::~LogixTagServices() {
    sim_.Io().SetTagSource(nullptr);
}

size_t LogixTagServices::ReplyLimit(const CipRequest& request) {
    if (request.connection != nullptr &&
        request.connection->toConnectionSize > kSequenceCountSize) {
        return request.connection->toConnectionSize - kSequenceCountSize;
    }
    return kUnconnectedReplyLimit;
}

CipReplyStatus LogixTagServices::Refuse(uint8_t status, const std::string& what) const {
    sim_.NoteProtocolError(what);
    return CipReplyStatus::Of(status);
}

CipReplyStatus LogixTagServices::TagService(uint8_t service, ByteView path, ByteView data,
                                            size_t replyRoom, ByteWriter& out) const {
    LogixReply reply;
    switch (service) {
        case CIP_SVC_READ_TAG:
        case CIP_SVC_READ_TAG_FRAGMENTED:
            reply =
                tags_.ReadTag(path, data, replyRoom, service == CIP_SVC_READ_TAG_FRAGMENTED, out);
            break;
        case CIP_SVC_WRITE_TAG:
        case kSvcWriteTagFragmented:
            reply = tags_.WriteTag(path, data, service == kSvcWriteTagFragmented);
            break;
        case CIP_SVC_READ_MODIFY_WRITE_TAG:
            reply = tags_.ReadModifyWrite(path, data);
            break;
        default:
            return CipReplyStatus::Of(CIP_STATUS_SERVICE_NOT_SUPPORTED);
    }
    if (IsEncodingRefusal(reply.status)) {
        sim_.NoteProtocolError("tag service " + std::to_string(service) +
                               " refused with general status " + std::to_string(reply.status));
    }
    return StatusOf(reply);
}

CipReplyStatus LogixTagServices::Symbolic(const CipRequest& request, ByteWriter& out) const {
    const size_t limit = ReplyLimit(request);
    return TagService(request.service, request.path, request.data,
                      limit > kReplyHeaderSize ? limit - kReplyHeaderSize : 0, out);
}

void LogixTagServices::Embedded(ByteView request, const CipRequest& outer, size_t room,
                                ByteWriter& out) const {
    uint8_t service = 0;
    ByteView path;
    ByteView data;
    const CipReplyStatus partial = CipReplyStatus::Of(CIP_STATUS_PARTIAL_TRANSFER);
    if (MessageRouter::DecodeRequest(request, service, path, data) &&
        (service == CIP_SVC_READ_TAG || service == CIP_SVC_READ_TAG_FRAGMENTED) &&
        path.at(0) == CIP_SEG_ANSI_SYMBOL) {
        // Reads are told their room so that a value too large is refused (or, fragmented, cut
        // where a controller cuts it); they write their values straight into the reply.
        MessageRouter::EncodeWritten(service, out, [&](ByteWriter& values) {
            const CipReplyStatus status = TagService(
                service, path, data, room > kReplyHeaderSize ? room - kReplyHeaderSize : 0, values);
            const size_t statusSize = kReplyHeaderSize + size_t{status.extCount} * 2;
            return statusSize > room ? partial : status;
        });
        return;
    }
    // Any other service is answered aside first: what does not fit is not sent.
    ByteWriter reply;
    sim_.Router().Execute(request, outer.connection, outer.sessionHandle, reply);
    if (reply.size() > room) {
        MessageRouter::EncodeStatus(service, partial, out);
    } else {
        out.bytes(reply.view());
    }
}

// Multiple Service Packet request data (reply data has the same layout with the replies):
// | size  | content                                          |
// | 2     | N, number of embedded requests                   |
// | 2 × N | offset of each request, counted from the N field |
// | ...   | the embedded Message Router requests, in order   |
// The reply's general status is 0x1E (embedded service error) when any embedded reply failed.
CipReplyStatus LogixTagServices::MultipleServicePacket(const CipRequest& request,
                                                       ByteWriter& out) const {
    LogicalPath target;
    if (request.service != CIP_SVC_MULTIPLE_SERVICE_PACKET) {
        return CipReplyStatus::Of(CIP_STATUS_SERVICE_NOT_SUPPORTED);
    }
    if (!ParseLogicalPath(request.path, target) || !target.hasInstance || target.instanceId != 1 ||
        target.hasAttribute) {
        return CipReplyStatus::Of(CIP_STATUS_PATH_DESTINATION_UNKNOWN);
    }
    ByteReader r(request.data);
    const uint16_t count = r.u16();
    if (!r.ok() || !r.need(size_t{count} * kPacketOffsetSize)) {
        return Refuse(CIP_STATUS_NOT_ENOUGH_DATA, "multiple service packet shorter than its table");
    }
    if (count > kMaxEmbeddedRequests) {
        return Refuse(CIP_STATUS_INVALID_PARAMETER_VALUE, "multiple service packet count too big");
    }
    const size_t tableEnd = kPacketCountSize + size_t{count} * kPacketOffsetSize;
    for (uint16_t i = 0; i < count; ++i) {
        const size_t offset = EmbeddedOffset(request.data, count, i);
        if (offset < tableEnd || offset + 2 > EmbeddedOffset(request.data, count, i + 1)) {
            return Refuse(CIP_STATUS_INVALID_PARAMETER_VALUE,
                          "multiple service packet offset " + std::to_string(i) + " is wrong");
        }
    }

    const size_t limit = ReplyLimit(request);
    if (limit < kReplyHeaderSize + tableEnd + size_t{count} * kReplyHeaderSize) {
        return CipReplyStatus::Of(kCipStatusReplyDataTooLarge);
    }
    // Room for the embedded replies: what is left once the header, the table and a bare
    // header for each later reply are set aside.
    size_t room = limit - kReplyHeaderSize - tableEnd;
    const size_t start = out.size();
    out.u16(count).zeros(size_t{count} * kPacketOffsetSize);
    bool anyFailed = false;
    for (uint16_t i = 0; i < count; ++i) {
        const size_t reserved = (size_t{count} - i - 1) * kReplyHeaderSize;
        const size_t offset = EmbeddedOffset(request.data, count, i);
        const ByteView embedded{request.data.data + offset,
                                EmbeddedOffset(request.data, count, i + 1) - offset};
        const size_t replyStart = out.size();
        out.patch_u16(ByteWriter::Slot{start + kPacketCountSize + size_t{i} * kPacketOffsetSize, 2},
                      static_cast<uint16_t>(replyStart - start));
        Embedded(embedded, request, room - reserved, out);
        anyFailed = anyFailed || out.view().at(replyStart + 2) != CIP_STATUS_SUCCESS;
        room -= out.size() - replyStart;
    }
    return CipReplyStatus::Of(anyFailed ? CIP_STATUS_EMBEDDED_SERVICE_ERROR : CIP_STATUS_SUCCESS);
}

LogixController::LogixController(SimConfig config)
    : sim_(std::move(config)), services_(sim_, tags_), browse_(sim_, tags_) {
    // The demo tags' types, so that a test can define any demo tag.
    for (const LogixTypeDefinition& type : LogixDemoTypes()) {
        std::string error;
        tags_.DefineType(type, error);
    }
}

LogixController::~LogixController() {
    sim_.Stop();
}

void LogixController::DefineTag(const LogixTagDefinition& definition) {
    std::string error;
    if (!tags_.Define(definition, error)) {
        throw std::invalid_argument(error);
    }
}

}  // namespace plcsim
