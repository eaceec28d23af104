#include "sim/pccc_data_table.h"

#include <algorithm>
#include <cstring>

#include "family/pccc_wire.h"

namespace plcsim {

namespace {

using std::chrono::milliseconds;

// Timers count in hundredths of a second (time base 0.01 s).
constexpr milliseconds kTimerTick{10};
constexpr int32_t kWordMax = 32767;
constexpr int32_t kWordMin = -32768;

// What each kind of controller offers.
struct KindRules {
    uint16_t transferLimit;
    bool hasLongFile;  // plcsim's PLC-5 keeps the L9 file it has always served
    uint16_t statusWords;
    // Status words only the controller writes (operating system and processor catalog,
    // series and revision): the first and how many.
    uint16_t firstReadOnlyStatus;
    uint16_t readOnlyStatusWords;
    const char* productName;
};

const KindRules& Rules(PcccPlcType type) {
    static const KindRules kPlc5{kPcccReplyLimitPlc5, true, 128, 0, 0, "PLC-5/40E"};
    static const KindRules kSlc500{kPcccReplyLimitSlc500, false, 83, 57, 7, "1747-L552 SLC 5/05"};
    static const KindRules kMicroLogix{kPcccReplyLimitMicroLogix,    true, 66, 57, 7,
                                       "1766-L32BXB MicroLogix 1400"};
    switch (type) {
        case PcccPlcType::kSlc500:
            return kSlc500;
        case PcccPlcType::kMicroLogix:
            return kMicroLogix;
        default:
            return kPlc5;
    }
}

// The O and I files answer to both of their codes.
uint8_t CanonicalType(uint8_t type) {
    switch (type) {
        case PCCC_FILE_TYPE_OUTPUT_BY_SLOT:
            return PCCC_FILE_TYPE_OUTPUT;
        case PCCC_FILE_TYPE_INPUT_BY_SLOT:
            return PCCC_FILE_TYPE_INPUT;
        default:
            return type;
    }
}

// Bytes of one element of a file type; 0 for a type no PCCC controller of ours holds.
uint16_t ElementBytes(uint8_t type) {
    switch (type) {
        case PCCC_FILE_TYPE_OUTPUT:
        case PCCC_FILE_TYPE_INPUT:
        case PCCC_FILE_TYPE_STATUS:
        case PCCC_FILE_TYPE_BIT:
        case PCCC_FILE_TYPE_INTEGER:
        case PCCC_FILE_TYPE_ASCII:
            return kPcccWordBytes;
        case PCCC_FILE_TYPE_FLOAT:
        case PCCC_FILE_TYPE_LONG:
            return kPcccLongBytes;
        case PCCC_FILE_TYPE_TIMER:
        case PCCC_FILE_TYPE_COUNTER:
        case PCCC_FILE_TYPE_CONTROL:
            return kPcccStructureBytes;
        case PCCC_FILE_TYPE_STRING:
            return kPcccStringBytes;
        default:
            return 0;
    }
}

// Whether a controller of the kind has files of the type.
bool KindOffers(PcccPlcType kind, uint8_t type) {
    return ElementBytes(type) != 0 && (type != PCCC_FILE_TYPE_LONG || Rules(kind).hasLongFile);
}

PcccStatus Extended(uint8_t extSts) {
    return PcccStatus{PCCC_STS_EXTENDED, extSts};
}

uint16_t Bit(uint8_t bit) {
    return static_cast<uint16_t>(1u << bit);
}

// A word of a T, C or R element held in `element` (kPcccStructureBytes long).
int16_t Word(const uint8_t* element, uint8_t word) {
    return static_cast<int16_t>(GetLittleEndian16(element + word * kPcccWordBytes));
}

void SetWord(uint8_t* element, uint8_t word, int32_t value) {
    PutLittleEndian16(static_cast<uint16_t>(value), element + word * kPcccWordBytes);
}

void SetStatusBit(uint8_t* element, uint8_t bit, bool on) {
    const uint16_t status = static_cast<uint16_t>(Word(element, kPcccStatusWord));
    SetWord(element, kPcccStatusWord, on ? (status | Bit(bit)) : (status & ~Bit(bit)));
}

// An enabled TON after `ticks` hundredths of a second: ACC climbs to PRE, then DN.
void StepTimer(uint8_t* element, int32_t ticks) {
    const int32_t preset = Word(element, kPcccPresetWord);
    int32_t accumulator = Word(element, kPcccAccumulatorWord);
    if (accumulator < preset) {
        accumulator = std::min(preset, accumulator + ticks);
        SetWord(element, kPcccAccumulatorWord, accumulator);
    }
    SetStatusBit(element, kPcccTimerDoneBit, accumulator >= preset);
    SetStatusBit(element, kPcccTimerTimingBit, accumulator < preset);
}

// A TON whose rung went false: ACC, TT and DN cleared.
void ResetTimer(uint8_t* element) {
    SetWord(element, kPcccAccumulatorWord, 0);
    SetStatusBit(element, kPcccTimerTimingBit, false);
    SetStatusBit(element, kPcccTimerDoneBit, false);
}

// CTU (+1) or CTD (-1) on a rising CU or CD: ACC wraps past the word's range and sets OV / UN.
void Count(uint8_t* element, int32_t step) {
    int32_t accumulator = Word(element, kPcccAccumulatorWord) + step;
    if (accumulator > kWordMax) {
        accumulator = kWordMin;
        SetStatusBit(element, kPcccCounterOverflowBit, true);
    } else if (accumulator < kWordMin) {
        accumulator = kWordMax;
        SetStatusBit(element, kPcccCounterUnderflowBit, true);
    }
    SetWord(element, kPcccAccumulatorWord, accumulator);
}

// Timers and counters change on their own when their status word is written.
bool RunsInstructions(const PcccFile& file) {
    return file.type == PCCC_FILE_TYPE_TIMER || file.type == PCCC_FILE_TYPE_COUNTER;
}

bool Rises(uint16_t before, uint16_t after, uint8_t bit) {
    return (before & Bit(bit)) == 0 && (after & Bit(bit)) != 0;
}

}  // namespace

std::optional<PcccPlcType> ParsePcccPlcType(const std::string& text) {
    if (text == "plc5") {
        return PcccPlcType::kPlc5;
    }
    if (text == "slc500") {
        return PcccPlcType::kSlc500;
    }
    if (text == "micrologix") {
        return PcccPlcType::kMicroLogix;
    }
    return std::nullopt;
}

std::string PcccProductName(PcccPlcType type) {
    return Rules(type).productName;
}

PcccDataTable::PcccDataTable(PcccPlcType type, Clock clock)
    : type_(type), clock_(std::move(clock)), lastTick_(clock_()) {
    constexpr uint16_t kIoWords = 32;
    constexpr uint16_t kElements = 64;
    DefineFile(0, PCCC_FILE_TYPE_OUTPUT, kIoWords);
    DefineFile(1, PCCC_FILE_TYPE_INPUT, kIoWords);
    DefineFile(2, PCCC_FILE_TYPE_STATUS, Rules(type).statusWords);
    DefineFile(3, PCCC_FILE_TYPE_BIT, kElements);
    DefineFile(4, PCCC_FILE_TYPE_TIMER, kElements);
    DefineFile(5, PCCC_FILE_TYPE_COUNTER, kElements);
    DefineFile(6, PCCC_FILE_TYPE_CONTROL, 16);
    DefineFile(7, PCCC_FILE_TYPE_INTEGER, kElements);
    DefineFile(8, PCCC_FILE_TYPE_FLOAT, kElements);
    DefineFile(9, PCCC_FILE_TYPE_LONG, kElements);  // refused where the kind has no L file
    DefineFile(10, PCCC_FILE_TYPE_STRING, 8);
    DefineFile(11, PCCC_FILE_TYPE_ASCII, 16);
    constexpr int16_t kDemoPreset = 1000;  // 10 s
    SetInt(4, 0, kDemoPreset, kPcccPresetWord);
    SetInt(4, 0, static_cast<int16_t>(Bit(kPcccTimerEnableBit)), kPcccStatusWord);
}

uint16_t PcccDataTable::TransferLimit() const {
    return Rules(type_).transferLimit;
}

bool PcccDataTable::DefineFile(uint16_t fileNumber, uint8_t type, uint16_t elementCount) {
    const uint16_t elementBytes = ElementBytes(type);
    if (CanonicalType(type) != type || !KindOffers(type_, type)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    files_[fileNumber] =
        PcccFile{type, elementBytes, std::vector<uint8_t>(size_t{elementBytes} * elementCount)};
    return true;
}

PcccStatus PcccDataTable::Locate(const PcccAddress& address, size_t byteCount,
                                 size_t& offset) const {
    const uint8_t type = CanonicalType(address.type);
    if (!KindOffers(type_, type)) {
        return Extended(PCCC_EXT_ILLEGAL_DATA_TYPE);
    }
    const auto found = files_.find(address.file);
    if (found == files_.end()) {
        return Extended(PCCC_EXT_UNUSABLE_ADDRESS);
    }
    const PcccFile& file = found->second;
    if (file.type != type) {
        return Extended(PCCC_EXT_ILLEGAL_DATA_TYPE);
    }
    if (byteCount == 0) {
        return Extended(PCCC_EXT_ILLEGAL_FIELD_VALUE);
    }
    if (byteCount > TransferLimit()) {
        return Extended(PCCC_EXT_DATA_TOO_LARGE);
    }
    const size_t wordOffset = size_t{address.subElement} * kPcccWordBytes;
    offset = size_t{address.element} * file.elementBytes + wordOffset;
    if (wordOffset >= file.elementBytes || offset + byteCount > file.bytes.size()) {
        return Extended(PCCC_EXT_UNUSABLE_ADDRESS);
    }
    return PcccStatus{};
}

bool PcccDataTable::IsReadOnly(const PcccAddress& address, size_t offset, size_t byteCount) const {
    const KindRules& rules = Rules(type_);
    return CanonicalType(address.type) == PCCC_FILE_TYPE_STATUS &&
           offset / kPcccWordBytes <
               size_t{rules.firstReadOnlyStatus} + rules.readOnlyStatusWords &&
           (offset + byteCount - 1) / kPcccWordBytes >= rules.firstReadOnlyStatus;
}

void PcccDataTable::RunTimers() {
    const auto now = clock_();
    const auto ticks = (now - lastTick_) / kTimerTick;
    if (ticks <= 0) {
        return;
    }
    lastTick_ += ticks * kTimerTick;
    const int32_t step = static_cast<int32_t>(std::min<decltype(ticks)>(ticks, kWordMax));
    for (auto& entry : files_) {
        PcccFile& file = entry.second;
        if (file.type != PCCC_FILE_TYPE_TIMER) {
            continue;
        }
        for (size_t at = 0; at < file.bytes.size(); at += kPcccStructureBytes) {
            uint8_t* element = file.bytes.data() + at;
            if (Word(element, kPcccStatusWord) & Bit(kPcccTimerEnableBit)) {
                StepTimer(element, step);
            }
        }
    }
}

PcccStatus PcccDataTable::Read(const PcccAddress& address, uint16_t byteCount,
                               std::vector<uint8_t>& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    RunTimers();
    size_t offset = 0;
    const PcccStatus status = Locate(address, byteCount, offset);
    if (status.ok()) {
        const std::vector<uint8_t>& bytes = files_.at(address.file).bytes;
        out.assign(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                   bytes.begin() + static_cast<std::ptrdiff_t>(offset + byteCount));
    }
    return status;
}

PcccStatus PcccDataTable::Write(const PcccAddress& address, ByteView bytes, bool masked) {
    if (masked && (bytes.size % (2 * kPcccWordBytes)) != 0) {
        return Extended(PCCC_EXT_ILLEGAL_FIELD_VALUE);
    }
    const size_t count = masked ? bytes.size / 2 : bytes.size;
    std::lock_guard<std::mutex> lock(mutex_);
    RunTimers();
    size_t offset = 0;
    const PcccStatus status = Locate(address, count, offset);
    if (!status.ok()) {
        return status;
    }
    if (IsReadOnly(address, offset, count)) {
        return Extended(PCCC_EXT_PROTECTION_VIOLATION);
    }
    PcccFile& file = files_.at(address.file);
    const size_t firstElement = offset / file.elementBytes;
    const size_t lastElement = (offset + count - 1) / file.elementBytes;
    std::vector<uint16_t> statusBefore;
    for (size_t element = firstElement; RunsInstructions(file) && element <= lastElement;
         ++element) {
        statusBefore.push_back(GetLittleEndian16(file.bytes.data() + element * file.elementBytes));
    }
    uint8_t* target = file.bytes.data() + offset;
    if (!masked) {
        std::memcpy(target, bytes.data, count);
    } else {
        ByteReader masks(bytes.data, count);
        ByteReader values(bytes.data + count, count);
        for (size_t at = 0; at < count; at += kPcccWordBytes) {
            const uint16_t mask = masks.u16();
            const uint16_t value = values.u16();
            const uint16_t old = GetLittleEndian16(target + at);
            PutLittleEndian16(static_cast<uint16_t>((old & ~mask) | (value & mask)), target + at);
        }
    }
    ApplyInstructions(file, firstElement, lastElement, statusBefore);
    return status;
}

void PcccDataTable::ApplyInstructions(PcccFile& file, size_t firstElement, size_t lastElement,
                                      const std::vector<uint16_t>& statusBefore) {
    if (!RunsInstructions(file)) {
        return;
    }
    for (size_t element = firstElement; element <= lastElement; ++element) {
        uint8_t* bytes = file.bytes.data() + element * kPcccStructureBytes;
        const uint16_t before = statusBefore[element - firstElement];
        const uint16_t after = static_cast<uint16_t>(Word(bytes, kPcccStatusWord));
        if (file.type == PCCC_FILE_TYPE_TIMER) {
            if ((after & Bit(kPcccTimerEnableBit)) != 0) {
                StepTimer(bytes, 0);
            } else if ((before & Bit(kPcccTimerEnableBit)) != 0) {
                ResetTimer(bytes);
            }
            continue;
        }
        if (Rises(before, after, kPcccCounterUpBit)) {
            Count(bytes, 1);
        }
        if (Rises(before, after, kPcccCounterDownBit)) {
            Count(bytes, -1);
        }
        SetStatusBit(bytes, kPcccCounterDoneBit,
                     Word(bytes, kPcccAccumulatorWord) >= Word(bytes, kPcccPresetWord));
    }
}

uint8_t* PcccDataTable::Storage(uint16_t file, uint16_t element, uint16_t subElement,
                                size_t count) {
    const auto found = files_.find(file);
    if (found == files_.end()) {
        return nullptr;
    }
    PcccFile& target = found->second;
    const bool wholeElement = target.elementBytes == count && subElement == 0;
    const bool structureWord = target.elementBytes == kPcccStructureBytes &&
                               count == kPcccWordBytes && subElement <= kPcccAccumulatorWord;
    const size_t offset =
        size_t{element} * target.elementBytes + size_t{subElement} * kPcccWordBytes;
    if ((!wholeElement && !structureWord) || offset + count > target.bytes.size()) {
        return nullptr;
    }
    return target.bytes.data() + offset;
}

bool PcccDataTable::SetInt(uint16_t file, uint16_t element, int16_t value, uint16_t subElement) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint8_t* target = Storage(file, element, subElement, kPcccWordBytes);
    if (target != nullptr) {
        PutLittleEndian16(static_cast<uint16_t>(value), target);
    }
    return target != nullptr;
}

bool PcccDataTable::SetReal(uint16_t file, uint16_t element, float value) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint8_t* target = Storage(file, element, 0, kPcccLongBytes);
    if (target != nullptr) {
        PutLittleEndianFloat(value, target);
    }
    return target != nullptr;
}

bool PcccDataTable::SetDint(uint16_t file, uint16_t element, int32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint8_t* target = Storage(file, element, 0, kPcccLongBytes);
    if (target != nullptr) {
        PutLittleEndian32(static_cast<uint32_t>(value), target);
    }
    return target != nullptr;
}

std::optional<int16_t> PcccDataTable::GetInt(uint16_t file, uint16_t element, uint16_t subElement) {
    std::lock_guard<std::mutex> lock(mutex_);
    RunTimers();
    const uint8_t* source = Storage(file, element, subElement, kPcccWordBytes);
    if (source == nullptr) {
        return std::nullopt;
    }
    return static_cast<int16_t>(GetLittleEndian16(source));
}

std::optional<float> PcccDataTable::GetReal(uint16_t file, uint16_t element) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint8_t* source = Storage(file, element, 0, kPcccLongBytes);
    if (source == nullptr) {
        return std::nullopt;
    }
    return GetLittleEndianFloat(source);
}

std::optional<int32_t> PcccDataTable::GetDint(uint16_t file, uint16_t element) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint8_t* source = Storage(file, element, 0, kPcccLongBytes);
    if (source == nullptr) {
        return std::nullopt;
    }
    return static_cast<int32_t>(GetLittleEndian32(source));
}

}  // namespace plcsim
