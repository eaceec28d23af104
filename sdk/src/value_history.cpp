#include "value_history.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace kestrel::strata_sdk::detail {
namespace {

constexpr uint8_t kCutFlag = 0x80;
constexpr int kKindShift = 56;
constexpr uint64_t kTimeMask = (uint64_t{1} << kKindShift) - 1;

// Writes at most `capacity` bytes into a fixed buffer and remembers whether more was offered,
// so that a structure's text costs no allocation however large the structure is.
class BoundedText {
  public:
    BoundedText(char* out, std::size_t capacity) : out_(out), capacity_(capacity) {}

    void put(std::string_view text) {
        if (cut_)
            return;
        const std::size_t room = capacity_ - size_;
        if (text.size() > room) {
            cut_ = true;
            text = text.substr(0, room);
            // Never end inside a UTF-8 sequence.
            while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80)
                text.remove_suffix(1);
            if (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0xC0)
                text.remove_suffix(1);
        }
        std::memcpy(out_ + size_, text.data(), text.size());
        size_ += text.size();
    }
    bool full() const noexcept { return cut_; }
    bool cut() const noexcept { return cut_; }
    std::size_t size() const noexcept { return size_; }

  private:
    char* out_;
    std::size_t capacity_;
    std::size_t size_ = 0;
    bool cut_ = false;
};

void put_json_string(BoundedText& out, const std::string& text) {
    out.put("\"");
    std::size_t plain = 0;
    for (std::size_t i = 0; i < text.size() && !out.full(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c != '"' && c != '\\' && c >= 0x20)
            continue;
        out.put(std::string_view(text).substr(plain, i - plain));
        char escaped[8];
        const bool shortForm = c == '"' || c == '\\';
        std::snprintf(escaped, sizeof escaped, shortForm ? "\\%c" : "\\u%04x", c);
        out.put(escaped);
        plain = i + 1;
    }
    out.put(std::string_view(text).substr(std::min(plain, text.size())));
    out.put("\"");
}

// Compact JSON of `value`, as far as it fits.
void put_json(BoundedText& out, const Variant& value) {
    char number[32];
    auto putNumber = [&](auto n) {
        out.put(std::string_view(number,
                                 std::to_chars(number, number + sizeof number, n).ptr - number));
    };
    switch (value.get_type()) {
        case Variant::Null:
            return out.put("null");
        case Variant::Bool:
            return out.put(value.as_bool() ? "true" : "false");
        case Variant::Int:
            return putNumber(value.as_int());
        case Variant::UInt:
            return putNumber(value.as_uint());
        case Variant::Double:
            return putNumber(value.as_double());
        case Variant::String:
            return put_json_string(out, value.as_string());
        case Variant::Map: {
            out.put("{");
            const char* comma = "";
            for (const auto& [key, member] : value.as_map()) {
                if (out.full())
                    break;
                out.put(comma);
                put_json_string(out, key);
                out.put(":");
                put_json(out, member);
                comma = ",";
            }
            return out.put("}");
        }
        case Variant::Array: {
            out.put("[");
            const char* comma = "";
            for (const auto& element : value.as_array()) {
                if (out.full())
                    break;
                out.put(comma);
                put_json(out, element);
                comma = ",";
            }
            return out.put("]");
        }
    }
}

}  // namespace

ValueHistory::ValueHistory(std::size_t capacity)
    : capacity_(capacity), slots_(std::make_unique<Slot[]>(capacity)) {}

ValueHistory::Kind ValueHistory::kind_of(const Variant& value) noexcept {
    switch (value.get_type()) {
        case Variant::Null:
            return Kind::Null;
        case Variant::Bool:
            return Kind::Bool;
        case Variant::Int:
            return Kind::Int;
        case Variant::UInt:
            return Kind::UInt;
        case Variant::Double:
            return Kind::Double;
        case Variant::String:
            return Kind::String;
        case Variant::Map:
        case Variant::Array:
            break;
    }
    return Kind::Structure;
}

uint64_t ValueHistory::bits_of(const Variant& value) noexcept {
    switch (value.get_type()) {
        case Variant::Bool:
            return value.as_bool() ? 1 : 0;
        case Variant::Int:
            return static_cast<uint64_t>(value.as_int());
        case Variant::UInt:
            return value.as_uint();
        case Variant::Double: {
            const double d = value.as_double();
            uint64_t bits;
            std::memcpy(&bits, &d, sizeof bits);
            return bits;
        }
        default:
            return 0;
    }
}

ValueHistory::TextSlot& ValueHistory::text_area(std::size_t slot) {
    if (!text_owner_) {
        text_owner_ = std::make_unique<TextSlot[]>(capacity_);
        text_.store(text_owner_.get(), std::memory_order_release);
    }
    return text_owner_[slot];
}

void ValueHistory::record(const Variant& value, int64_t ts_ms) {
    if (capacity_ == 0)
        return;
    const uint64_t index = started_.load(std::memory_order_relaxed);
    started_.store(index + 1, std::memory_order_relaxed);
    // A reader that sees any store below also sees started_ moved past its point.
    std::atomic_thread_fence(std::memory_order_release);
    const std::size_t slot = next_slot_;
    next_slot_ = slot + 1 == capacity_ ? 0 : slot + 1;
    const Kind kind = kind_of(value);
    const uint64_t time = static_cast<uint64_t>(std::max<int64_t>(ts_ms, 0)) & kTimeMask;
    slots_[slot].stamp.store(static_cast<uint64_t>(kind) << kKindShift | time,
                             std::memory_order_relaxed);
    slots_[slot].bits.store(bits_of(value), std::memory_order_relaxed);
    // The next point of this node comes much later: fetching its line now spares the wait then.
    __builtin_prefetch(&slots_[next_slot_], 1);
    if (kind == Kind::String || kind == Kind::Structure) {
        TextWords words{};
        char* bytes = reinterpret_cast<char*>(words.data());
        BoundedText text(bytes + 1, kTextBytes);
        if (kind == Kind::String)
            text.put(value.as_string());
        else
            put_json(text, value);
        bytes[0] = static_cast<char>(text.size() | (text.cut() ? kCutFlag : 0));
        TextSlot& target = text_area(slot);
        for (std::size_t i = 0; i < words.size(); ++i)
            target.words[i].store(words[i], std::memory_order_relaxed);
    }
    done_.store(index + 1, std::memory_order_release);
}

Variant ValueHistory::value_of(const Copied& point) {
    switch (point.kind) {
        case Kind::Null:
            return Variant();
        case Kind::Bool:
            return Variant(point.bits != 0);
        case Kind::Int:
            return Variant(static_cast<int64_t>(point.bits));
        case Kind::UInt:
            return Variant(point.bits);
        case Kind::Double: {
            double d;
            std::memcpy(&d, &point.bits, sizeof d);
            return Variant(d);
        }
        case Kind::String:
        case Kind::Structure:
            break;
    }
    const char* bytes = reinterpret_cast<const char*>(point.text.data());
    const auto head = static_cast<uint8_t>(bytes[0]);
    std::string text(bytes + 1, std::min<std::size_t>(head & ~kCutFlag, kTextBytes));
    if (head & kCutFlag)
        text += "\u2026";
    return Variant(std::move(text));
}

std::vector<HistoryPoint> ValueHistory::read(int64_t since_ms) const {
    std::vector<Copied> copied;
    const uint64_t done = done_.load(std::memory_order_acquire);
    const uint64_t first = done > capacity_ ? done - capacity_ : 0;
    const TextSlot* texts = text_.load(std::memory_order_acquire);
    copied.reserve(done - first);
    for (uint64_t index = first; index < done; ++index) {
        const std::size_t slot = index % capacity_;
        const uint64_t stamp = slots_[slot].stamp.load(std::memory_order_relaxed);
        Copied point{static_cast<int64_t>(stamp & kTimeMask),
                     slots_[slot].bits.load(std::memory_order_relaxed),
                     static_cast<Kind>(stamp >> kKindShift),
                     {}};
        if (texts && (point.kind == Kind::String || point.kind == Kind::Structure)) {
            for (std::size_t i = 0; i < point.text.size(); ++i)
                point.text[i] = texts[slot].words[i].load(std::memory_order_relaxed);
        }
        copied.push_back(point);
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    // Points whose slot a writer has started to reuse since may be torn: drop them.
    const uint64_t started = started_.load(std::memory_order_relaxed);
    const uint64_t intact = started > capacity_ ? started - capacity_ : 0;
    const std::size_t skip = intact > first ? static_cast<std::size_t>(intact - first) : 0;
    std::vector<HistoryPoint> points;
    for (std::size_t i = std::min(skip, copied.size()); i < copied.size(); ++i) {
        if (copied[i].ts > since_ms)
            points.push_back({copied[i].ts, value_of(copied[i])});
    }
    return points;
}

std::size_t ValueHistory::memory_bytes() const noexcept {
    return sizeof(*this) + capacity_ * sizeof(Slot) +
           (text_.load(std::memory_order_acquire) ? capacity_ * sizeof(TextSlot) : 0);
}

}  // namespace kestrel::strata_sdk::detail
