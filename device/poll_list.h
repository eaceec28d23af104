// The tags a device polls, shared between the tag table (which edits it as tags come and go)
// and the polling cycle (which reads a snapshot of it each cycle).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "common/eip_utils.h"

class EipTag;

// A tag of the poll list and the record its values carry, made once and renewed by the
// socket thread when the PLC reports another size.
struct PolledTag {
    std::shared_ptr<EipTag> tag;
    std::shared_ptr<const TagInfo> record;
};

// Threads and locks: action threads edit the list through an Editor, which holds mutex_ for
// its lifetime; the socket thread holds mutex_ only to take a cycle's snapshot, never across a
// send or a read. Lock order: this list's mutex_, then the tag table's. Tags are shared: a tag
// removed or replaced while a cycle runs stays alive until the cycle lets go of it.
class PollList {
  public:
    using Entries = std::vector<std::shared_ptr<PolledTag>>;

    class Editor {
      public:
        explicit Editor(PollList& list) : list_(list), lock_(list.mutex_) {}
        // The list becomes tags (records made under the tag table's lock).
        void Reset(std::vector<PolledTag> tags);
        void Clear();
        // Puts the replacement in the tag's place, or takes the tag out when there is none.
        void Replace(const EipTag* tag, std::shared_ptr<EipTag> replacement);
        bool Empty() const { return list_.entries_.empty(); }

      private:
        PollList& list_;
        std::lock_guard<std::mutex> lock_;
    };

    Editor Edit() { return Editor(*this); }
    // Copies the entries; returns the version they belong to.
    uint64_t Snapshot(Entries& entries) const;
    // Moves whenever the list is rebuilt or loses or replaces a tag.
    uint64_t Version() const { return version_.load(); }

  private:
    mutable std::mutex mutex_;
    Entries entries_;
    std::atomic<uint64_t> version_{0};
};
