#pragma once

// The simulator's CIP Message Router: decodes a Message Router request (service, request path,
// data), hands it to the handler registered for the object the path names, and encodes the
// reply (service | 0x80, reserved, general status, additional status words, data).
//
// Extension point: other files plug their objects in with RegisterClass (a logical class
// segment at the start of the path, e.g. the Message Router class 0x02 for Multiple Service
// Packet) or RegisterSymbolic (an ANSI symbolic segment 0x91 at the start, Logix tags; a
// symbolic segment followed by a class segment reaches that class, scoped by the symbol). The
// same handlers serve unconnected requests (SendRRData, also embedded in an Unconnected Send)
// and connected ones (SendUnitData on a class-3 connection): CipRequest::connection tells them
// apart. A handler that carries embedded requests (Multiple Service Packet) calls Execute on
// each embedded request and collects the encoded replies.
//
// Threads: handlers are registered before the simulator starts (or at any time: the maps are
// guarded by `mutex`, which is released before a handler runs). Handlers run on the simulator's
// event loop thread (and on a test's thread when it calls Execute or Route); they guard their
// own state.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/byte_codec.h"
#include "eip/cip_wire.h"

namespace plcsim {

// The class-3 connection a connected request arrived on.
struct CipConnection {
    uint32_t otConnectionId = 0;  // granted by the simulator; carried by the client's requests
    uint32_t toConnectionId = 0;  // proposed by the client; carried by the simulator's replies
    uint16_t connectionSerial = 0;
    uint16_t originatorVendorId = 0;
    uint32_t originatorSerial = 0;
    uint32_t otRpiMicroseconds = 0;
    uint32_t toRpiMicroseconds = 0;
    uint16_t otConnectionSize = 0;
    uint16_t toConnectionSize = 0;
    uint32_t sessionHandle = 0;
};

// One decoded Message Router request. The views point into the received message and are valid
// only during the handler call.
struct CipRequest {
    uint8_t service = 0;
    ByteView path;  // request path (EPATH), whole words
    ByteView data;  // request data after the path
    // The class-3 connection for a connected request; null for an unconnected one.
    const CipConnection* connection = nullptr;
    uint32_t sessionHandle = 0;
};

struct CipReply {
    uint8_t generalStatus = CIP_STATUS_SUCCESS;
    std::vector<uint16_t> extStatus;
    std::vector<uint8_t> data;

    static CipReply Success(std::vector<uint8_t> data = {}) {
        CipReply reply;
        reply.data = std::move(data);
        return reply;
    }
    static CipReply Error(uint8_t generalStatus, std::vector<uint16_t> extStatus = {},
                          std::vector<uint8_t> data = {}) {
        CipReply reply;
        reply.generalStatus = generalStatus;
        reply.extStatus = std::move(extStatus);
        reply.data = std::move(data);
        return reply;
    }
};

// The status of a reply whose data a Service wrote straight into the reply buffer.
struct CipReplyStatus {
    uint8_t generalStatus = CIP_STATUS_SUCCESS;
    uint8_t extCount = 0;  // additional status words used in ext
    uint16_t ext[2] = {};

    static CipReplyStatus Of(uint8_t generalStatus) { return CipReplyStatus{generalStatus, 0, {}}; }
    static CipReplyStatus Of(uint8_t generalStatus, uint16_t ext) {
        return CipReplyStatus{generalStatus, 1, {ext, 0}};
    }
};

// A path of 8-bit or 16-bit logical segments: class, instance, then an optional attribute.
struct LogicalPath {
    uint16_t classId = 0;
    uint32_t instanceId = 0;
    bool hasInstance = false;
    uint16_t attributeId = 0;
    bool hasAttribute = false;
};

// Decodes a path made only of logical class / instance / attribute segments (8-bit, 16-bit with
// a pad byte). False for anything else or trailing bytes.
bool ParseLogicalPath(ByteView path, LogicalPath& out);

class MessageRouter {
  public:
    // An object's handler: the whole reply as a value.
    using Handler = std::function<CipReply(const CipRequest&)>;
    // A handler on the hot path: it appends its reply data to `data` (no allocation) and returns
    // the status; a status with additional words comes with no data.
    using Service = std::function<CipReplyStatus(const CipRequest&, ByteWriter& data)>;

    // Requests whose path starts with a logical class segment of classId.
    void RegisterClass(uint16_t classId, Handler handler);
    void RegisterClassService(uint16_t classId, Service service);
    // Requests whose path starts with an ANSI symbolic segment (0x91).
    void RegisterSymbolic(Handler handler);
    void RegisterSymbolicService(Service service);

    // Routes a decoded request. No handler for the path: general status 0x05 (path destination
    // unknown); a path that starts with neither kind of segment: 0x04 (path segment error).
    CipReply Route(const CipRequest& request) const;

    // Decodes one Message Router request from bytes (service, path size in words, path, data),
    // routes it and appends the encoded reply to `out`. A request too short for its path gets
    // general status 0x04 (or 0x26 when the path size is wrong) as a controller answers.
    void Execute(ByteView requestBytes, const CipConnection* connection, uint32_t sessionHandle,
                 ByteWriter& out) const;
    // The same, the reply as a vector (tests and fuzzers).
    std::vector<uint8_t> Execute(ByteView requestBytes, const CipConnection* connection,
                                 uint32_t sessionHandle) const;

    // Splits a Message Router request into service, path and data. False when malformed.
    static bool DecodeRequest(ByteView bytes, uint8_t& service, ByteView& path, ByteView& data);
    // Message Router reply layout:
    // | off | size | field                         |
    // |   0 |    1 | service | 0x80                |
    // |   1 |    1 | reserved (0)                  |
    // |   2 |    1 | general status                |
    // |   3 |    1 | additional status size, words |
    // |   4 |  2*n | additional status words       |
    // |   . |    . | reply data                    |
    static std::vector<uint8_t> EncodeReply(uint8_t requestService, const CipReply& reply);
    static void EncodeReply(uint8_t requestService, const CipReply& reply, ByteWriter& out);
    // Appends a reply of a status and no data.
    static void EncodeStatus(uint8_t requestService, CipReplyStatus status, ByteWriter& out);
    // Appends the reply of a service that writes its own data: the header, then what
    // writeData(out) appends; writeData returns the status. A status with additional words
    // must come with no data (the words follow the header in place of the data).
    template <typename WriteData>
    static void EncodeWritten(uint8_t requestService, ByteWriter& out, WriteData writeData) {
        out.u8(requestService | CIP_SERVICE_REPLY).u8(0);
        const ByteWriter::Slot general = out.reserve_u8();
        const ByteWriter::Slot extCount = out.reserve_u8();
        const CipReplyStatus status = writeData(out);
        out.patch_u8(general, status.generalStatus);
        out.patch_u8(extCount, status.extCount);
        for (uint8_t i = 0; i < status.extCount; ++i) {
            out.u16(status.ext[i]);
        }
    }

  private:
    // What serves an object: a Service or a Handler (the other one empty).
    struct Target {
        Handler handler;
        Service service;
        explicit operator bool() const { return handler || service; }
    };
    // The target of the class segment at the start of path; none when no object is there
    // (malformed when the segment itself is).
    Target ClassTarget(ByteView path, bool& malformed) const;
    // The target of a request's path, or the status that refuses it.
    Target Find(const CipRequest& request, uint8_t& refusal) const;

    mutable std::mutex mutex;
    std::map<uint16_t, Target> classTargets;
    Target symbolicTarget;
};

}  // namespace plcsim
