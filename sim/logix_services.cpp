#include "sim/logix_services.h"

#include <stdexcept>
#include <string>

namespace plcsim {

namespace {

// Message Router reply header: service, reserved, general status, additional status size.
constexpr size_t kReplyHeaderSize = 4;
constexpr size_t kMaxEmbeddedRequests = 512;
constexpr uint8_t kSvcWriteTagFragmented = 0x53;

bool IsEncodingRefusal(uint8_t status) {
    return status == CIP_STATUS_PATH_SEGMENT_ERROR || status == CIP_STATUS_NOT_ENOUGH_DATA ||
           status == CIP_STATUS_TOO_MUCH_DATA || status == CIP_STATUS_INVALID_PARAMETER_VALUE;
}

CipReply ToCipReply(LogixReply reply) {
    std::vector<uint16_t> ext;
    if (reply.extStatus) {
        ext.push_back(*reply.extStatus);
    }
    return CipReply::Error(reply.status, std::move(ext), std::move(reply.data));
}

}  // namespace

LogixTagServices::LogixTagServices(PlcSimulator& sim, LogixTagDatabase& tags)
    : sim_(sim), tags_(tags) {
    sim_.Router().RegisterSymbolic([this](const CipRequest& r) { return Symbolic(r); });
    sim_.Router().RegisterClass(CIP_CLASS_MESSAGE_ROUTER,
                                [this](const CipRequest& r) { return MultipleServicePacket(r); });
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

CipReply LogixTagServices::Refuse(uint8_t status, const std::string& what) const {
    sim_.NoteProtocolError(what);
    return CipReply::Error(status);
}

CipReply LogixTagServices::TagService(uint8_t service, ByteView path, ByteView data,
                                      size_t replyRoom) const {
    LogixReply reply;
    switch (service) {
        case CIP_SVC_READ_TAG:
        case CIP_SVC_READ_TAG_FRAGMENTED:
            reply = tags_.ReadTag(path, data, replyRoom, service == CIP_SVC_READ_TAG_FRAGMENTED);
            break;
        case CIP_SVC_WRITE_TAG:
        case kSvcWriteTagFragmented:
            reply = tags_.WriteTag(path, data, service == kSvcWriteTagFragmented);
            break;
        default:
            return CipReply::Error(CIP_STATUS_SERVICE_NOT_SUPPORTED);
    }
    if (IsEncodingRefusal(reply.status)) {
        sim_.NoteProtocolError("tag service " + std::to_string(service) +
                               " refused with general status " + std::to_string(reply.status));
    }
    return ToCipReply(std::move(reply));
}

CipReply LogixTagServices::Symbolic(const CipRequest& request) const {
    const size_t limit = ReplyLimit(request);
    return TagService(request.service, request.path, request.data,
                      limit > kReplyHeaderSize ? limit - kReplyHeaderSize : 0);
}

std::vector<uint8_t> LogixTagServices::Embedded(ByteView request, const CipRequest& outer,
                                                size_t room) const {
    uint8_t service = 0;
    ByteView path;
    ByteView data;
    std::vector<uint8_t> encoded;
    if (MessageRouter::DecodeRequest(request, service, path, data) &&
        (service == CIP_SVC_READ_TAG || service == CIP_SVC_READ_TAG_FRAGMENTED) &&
        path.at(0) == CIP_SEG_ANSI_SYMBOL) {
        // Reads are told their room so that a value too large is refused (or, fragmented, cut
        // where a controller cuts it).
        const CipReply reply =
            TagService(service, path, data, room > kReplyHeaderSize ? room - kReplyHeaderSize : 0);
        encoded = MessageRouter::EncodeReply(service, reply);
    } else {
        encoded = sim_.Router().Execute(request, outer.connection, outer.sessionHandle);
    }
    if (encoded.size() > room) {
        encoded = MessageRouter::EncodeReply(service, CipReply::Error(CIP_STATUS_PARTIAL_TRANSFER));
    }
    return encoded;
}

// Multiple Service Packet request data (reply data has the same layout with the replies):
// | size  | content                                          |
// | 2     | N, number of embedded requests                   |
// | 2 × N | offset of each request, counted from the N field |
// | ...   | the embedded Message Router requests, in order   |
// The reply's general status is 0x1E (embedded service error) when any embedded reply failed.
CipReply LogixTagServices::MultipleServicePacket(const CipRequest& request) const {
    LogicalPath target;
    if (request.service != CIP_SVC_MULTIPLE_SERVICE_PACKET) {
        return CipReply::Error(CIP_STATUS_SERVICE_NOT_SUPPORTED);
    }
    if (!ParseLogicalPath(request.path, target) || !target.hasInstance || target.instanceId != 1 ||
        target.hasAttribute) {
        return CipReply::Error(CIP_STATUS_PATH_DESTINATION_UNKNOWN);
    }
    ByteReader r(request.data);
    const uint16_t count = r.u16();
    if (!r.ok() || !r.need(size_t{count} * 2)) {
        return Refuse(CIP_STATUS_NOT_ENOUGH_DATA, "multiple service packet shorter than its table");
    }
    if (count > kMaxEmbeddedRequests) {
        return Refuse(CIP_STATUS_INVALID_PARAMETER_VALUE, "multiple service packet count too big");
    }
    std::vector<size_t> offsets(count + 1, request.data.size);
    for (uint16_t i = 0; i < count; ++i) {
        offsets[i] = r.u16();
    }
    const size_t tableEnd = 2 + size_t{count} * 2;
    for (uint16_t i = 0; i < count; ++i) {
        if (offsets[i] < tableEnd || offsets[i] + 2 > offsets[i + 1]) {
            return Refuse(CIP_STATUS_INVALID_PARAMETER_VALUE,
                          "multiple service packet offset " + std::to_string(i) + " is wrong");
        }
    }

    const size_t limit = ReplyLimit(request);
    if (limit < kReplyHeaderSize + tableEnd + size_t{count} * kReplyHeaderSize) {
        return CipReply::Error(kCipStatusReplyDataTooLarge);
    }
    // Room for the embedded replies: what is left once the header, the table and a bare
    // header for each later reply are set aside.
    size_t room = limit - kReplyHeaderSize - tableEnd;
    ByteWriter table;
    ByteWriter replies;
    table.u16(count);
    bool anyFailed = false;
    for (uint16_t i = 0; i < count; ++i) {
        const size_t reserved = (size_t{count} - i - 1) * kReplyHeaderSize;
        const ByteView embedded{request.data.data + offsets[i], offsets[i + 1] - offsets[i]};
        const std::vector<uint8_t> reply = Embedded(embedded, request, room - reserved);
        anyFailed = anyFailed || reply.at(2) != CIP_STATUS_SUCCESS;
        table.u16(static_cast<uint16_t>(tableEnd + replies.size()));
        replies.bytes(reply);
        room -= reply.size();
    }
    table.bytes(replies.view());
    return CipReply::Error(anyFailed ? CIP_STATUS_EMBEDDED_SERVICE_ERROR : CIP_STATUS_SUCCESS, {},
                           table.to_vector());
}

LogixController::LogixController(SimConfig config)
    : sim_(std::move(config)), services_(sim_, tags_), browse_(sim_, tags_) {}

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
