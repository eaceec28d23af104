#pragma once
// The recent values of one node: a fixed ring of its last changes (time stamp and value).

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "strata_sdk/broker.h"
#include "strata_sdk/variant.h"

namespace kestrel::strata_sdk::detail {

// Threads: record() is called by one writer at a time (the broker calls it under its tree
// lock); read() from any thread and takes no lock, so that a reader never holds up the value
// path. The reader copies the points, then drops those a writer may have overwritten while it
// copied (the counters started_ and done_ work as a sequence lock over the ring). Every field
// is a relaxed atomic: plain loads and stores on the machines we run on. (ThreadSanitizer does
// not model the two fences, so it may report a reader running beside a writer.)
// Memory, fixed at construction: 16 bytes per point (time and kind in one word, the value's
// bits in the other: a write touches one cache line). Strings and
// structures keep their first kTextBytes bytes of text (JSON for structures) in a text area
// of 64 bytes per point, made once at the node's first such value.
class ValueHistory {
  public:
    static constexpr std::size_t kTextBytes = 63;

    explicit ValueHistory(std::size_t capacity);

    void record(const Variant& value, int64_t ts_ms);
    // Points with a time stamp after `since_ms`, oldest first. A text that was cut ends in "…".
    std::vector<HistoryPoint> read(int64_t since_ms) const;

    std::size_t capacity() const noexcept { return capacity_; }
    // What the ring holds on to, text area included.
    std::size_t memory_bytes() const noexcept;

  private:
    enum class Kind : uint8_t { Null, Bool, Int, UInt, Double, String, Structure };
    // Byte 0: text length, high bit set when the text was cut; then up to kTextBytes bytes.
    using TextWords = std::array<uint64_t, 8>;
    struct TextSlot {
        std::array<std::atomic<uint64_t>, 8> words;
    };
    // Bits 0-55: the time stamp (ms, never negative); bits 56-63: the kind.
    struct Slot {
        std::atomic<uint64_t> stamp;
        std::atomic<uint64_t> bits;
    };
    struct Copied {
        int64_t ts;
        uint64_t bits;
        Kind kind;
        TextWords text;
    };

    static Kind kind_of(const Variant& value) noexcept;
    static uint64_t bits_of(const Variant& value) noexcept;
    static Variant value_of(const Copied& point);
    TextSlot& text_area(std::size_t slot);

    const std::size_t capacity_;
    std::unique_ptr<Slot[]> slots_;
    std::size_t next_slot_ = 0;               // the writer's: where the next point goes
    std::unique_ptr<TextSlot[]> text_owner_;  // the writer's; readers go through text_
    std::atomic<TextSlot*> text_{nullptr};
    std::atomic<uint64_t> started_{0};  // writes begun
    std::atomic<uint64_t> done_{0};     // writes finished
};

}  // namespace kestrel::strata_sdk::detail
