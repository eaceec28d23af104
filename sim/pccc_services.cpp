#include "sim/pccc_services.h"

#include <cstring>
#include <string>

#include "family/pccc_tagdata.h"
#include "family/pccc_wire.h"

namespace plcsim {

namespace {

constexpr uint16_t kDefaultElements = 64;
constexpr uint16_t kDefaultStringElements = 8;
constexpr size_t kWordBytes = 2;
// Largest read or write one command may carry (a PLC5 answers at most 244 data bytes).
constexpr uint16_t kMaxTransferBytes = 240;

// Bytes of one element of a file type; 0 for a type the table does not hold.
uint16_t ElementBytes(uint8_t type) {
    switch (type) {
        case PCCC_DATA_TYPE_BIT:
        case PCCC_DATA_TYPE_INTEGER:
            return 2;
        case PCCC_DATA_TYPE_FLOAT:
        case PCCC_DATA_TYPE_LONG:
            return 4;
        case PCCC_DATA_TYPE_STRING:
            return PCCC_STRING_ELEMENT_BYTES;
        default:
            return 0;
    }
}

PcccStatus Extended(uint8_t extSts) {
    return PcccStatus{PCCC_STS_EXTENDED, extSts};
}

// An address number: one byte, or 0xFF and a 16-bit value.
uint16_t ReadNumber(ByteReader& r) {
    const uint8_t first = r.u8();
    return first == PCCC_NUMBER_ESCAPE ? r.u16() : first;
}

// Typed logical address with three levels (after FNC).
struct Address {
    uint8_t byteSize = 0;
    uint16_t file = 0;
    uint8_t type = 0;
    uint16_t element = 0;
    uint16_t subElement = 0;
};

Address ReadAddress(ByteReader& r) {
    Address a;
    a.byteSize = r.u8();
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

PcccDataTable::PcccDataTable() {
    DefineFile(3, PCCC_DATA_TYPE_BIT, kDefaultElements);
    DefineFile(7, PCCC_DATA_TYPE_INTEGER, kDefaultElements);
    DefineFile(8, PCCC_DATA_TYPE_FLOAT, kDefaultElements);
    DefineFile(9, PCCC_DATA_TYPE_LONG, kDefaultElements);
    DefineFile(10, PCCC_DATA_TYPE_STRING, kDefaultStringElements);
}

bool PcccDataTable::DefineFile(uint16_t fileNumber, uint8_t type, uint16_t elementCount) {
    const uint16_t elementBytes = ElementBytes(type);
    if (elementBytes == 0) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    files[fileNumber] =
        PcccFile{type, elementBytes, std::vector<uint8_t>(size_t{elementBytes} * elementCount)};
    return true;
}

PcccStatus PcccDataTable::Locate(uint16_t file, uint8_t type, uint16_t element, uint16_t subElement,
                                 size_t byteCount, size_t& offset) const {
    const auto found = files.find(file);
    if (found == files.end()) {
        return Extended(PCCC_EXT_UNUSABLE_ADDRESS);
    }
    if (found->second.type != type) {
        return Extended(PCCC_EXT_ILLEGAL_DATA_TYPE);
    }
    if (byteCount == 0) {
        return Extended(PCCC_EXT_ILLEGAL_FIELD_VALUE);
    }
    if (byteCount > kMaxTransferBytes) {
        return Extended(PCCC_EXT_DATA_TOO_LARGE);
    }
    offset = size_t{element} * found->second.elementBytes + size_t{subElement} * kWordBytes;
    if (offset + byteCount > found->second.bytes.size()) {
        return Extended(PCCC_EXT_UNUSABLE_ADDRESS);
    }
    return PcccStatus{};
}

PcccStatus PcccDataTable::Read(uint16_t file, uint8_t type, uint16_t element, uint16_t subElement,
                               uint16_t byteCount, std::vector<uint8_t>& out) const {
    std::lock_guard<std::mutex> lock(mutex);
    size_t offset = 0;
    const PcccStatus status = Locate(file, type, element, subElement, byteCount, offset);
    if (status.ok()) {
        const std::vector<uint8_t>& bytes = files.at(file).bytes;
        out.assign(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                   bytes.begin() + static_cast<std::ptrdiff_t>(offset + byteCount));
    }
    return status;
}

PcccStatus PcccDataTable::Write(uint16_t file, uint8_t type, uint16_t element, uint16_t subElement,
                                ByteView bytes, bool masked) {
    const size_t count = masked ? bytes.size / 2 : bytes.size;
    if (masked && (bytes.size % (2 * kWordBytes)) != 0) {
        return Extended(PCCC_EXT_ILLEGAL_FIELD_VALUE);
    }
    std::lock_guard<std::mutex> lock(mutex);
    size_t offset = 0;
    const PcccStatus status = Locate(file, type, element, subElement, count, offset);
    if (!status.ok()) {
        return status;
    }
    uint8_t* target = files.at(file).bytes.data() + offset;
    if (!masked) {
        std::memcpy(target, bytes.data, count);
        return status;
    }
    ByteReader masks(bytes.data, count);
    ByteReader values(bytes.data + count, count);
    for (size_t word = 0; word < count / kWordBytes; ++word) {
        const uint16_t mask = masks.u16();
        const uint16_t value = values.u16();
        const uint16_t old = GetLittleEndian16(target + word * kWordBytes);
        PutLittleEndian16(static_cast<uint16_t>((old & ~mask) | (value & mask)),
                          target + word * kWordBytes);
    }
    return status;
}

namespace {

// Where the `count` bytes of one element of a file start; nullptr when the file does not hold
// elements of that size or the element lies beyond its end. The caller holds the table's mutex.
template <typename Files>
auto ElementStorage(Files& files, uint16_t file, uint16_t element, size_t count)
    -> decltype(files.begin()->second.bytes.data()) {
    const auto found = files.find(file);
    if (found == files.end() || found->second.elementBytes != count) {
        return nullptr;
    }
    const size_t offset = size_t{element} * count;
    if (offset + count > found->second.bytes.size()) {
        return nullptr;
    }
    return found->second.bytes.data() + offset;
}

}  // namespace

bool PcccDataTable::SetBytes(uint16_t file, uint16_t element, const uint8_t* bytes, size_t count) {
    std::lock_guard<std::mutex> lock(mutex);
    uint8_t* target = ElementStorage(files, file, element, count);
    if (target == nullptr) {
        return false;
    }
    std::memcpy(target, bytes, count);
    return true;
}

bool PcccDataTable::GetBytes(uint16_t file, uint16_t element, uint8_t* bytes, size_t count) const {
    std::lock_guard<std::mutex> lock(mutex);
    const uint8_t* source = ElementStorage(files, file, element, count);
    if (source == nullptr) {
        return false;
    }
    std::memcpy(bytes, source, count);
    return true;
}

bool PcccDataTable::SetInt(uint16_t file, uint16_t element, int16_t value) {
    uint8_t bytes[2];
    PutLittleEndian16(static_cast<uint16_t>(value), bytes);
    return SetBytes(file, element, bytes, sizeof bytes);
}

bool PcccDataTable::SetReal(uint16_t file, uint16_t element, float value) {
    uint8_t bytes[4];
    PutLittleEndianFloat(value, bytes);
    return SetBytes(file, element, bytes, sizeof bytes);
}

bool PcccDataTable::SetDint(uint16_t file, uint16_t element, int32_t value) {
    uint8_t bytes[4];
    PutLittleEndian32(static_cast<uint32_t>(value), bytes);
    return SetBytes(file, element, bytes, sizeof bytes);
}

std::optional<int16_t> PcccDataTable::GetInt(uint16_t file, uint16_t element) const {
    uint8_t bytes[2];
    if (!GetBytes(file, element, bytes, sizeof bytes)) {
        return std::nullopt;
    }
    return static_cast<int16_t>(GetLittleEndian16(bytes));
}

std::optional<float> PcccDataTable::GetReal(uint16_t file, uint16_t element) const {
    uint8_t bytes[4];
    if (!GetBytes(file, element, bytes, sizeof bytes)) {
        return std::nullopt;
    }
    return GetLittleEndianFloat(bytes);
}

std::optional<int32_t> PcccDataTable::GetDint(uint16_t file, uint16_t element) const {
    uint8_t bytes[4];
    if (!GetBytes(file, element, bytes, sizeof bytes)) {
        return std::nullopt;
    }
    return static_cast<int32_t>(GetLittleEndian32(bytes));
}

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
    const Address a = ReadAddress(r);
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
            const PcccStatus status =
                table_.Read(a.file, a.type, a.element, a.subElement, a.byteSize, out);
            return EncodeCommandReply(cmd, tns, status, out);
        }
        case PCCC_FNC_TYPED_WRITE:
        case PCCC_FNC_MASKED_WRITE: {
            const bool masked = function == PCCC_FNC_MASKED_WRITE;
            if (data.size != size_t{a.byteSize} * (masked ? 2 : 1)) {
                return refuse("write of " + std::to_string(data.size) + " bytes for byte size " +
                              std::to_string(a.byteSize));
            }
            return EncodeCommandReply(
                cmd, tns, table_.Write(a.file, a.type, a.element, a.subElement, data, masked));
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

PcccController::PcccController(SimConfig config)
    : sim_(std::move(config)), services_(sim_, table_) {}

PcccController::~PcccController() {
    sim_.Stop();
}

}  // namespace plcsim
