#include "device/poll_list.h"

#include <algorithm>

#include "tag/eip_tag.h"

void PollList::Editor::Reset(std::vector<PolledTag> tags) {
    Clear();
    for (auto& tag : tags) {
        list_.entries_.push_back(std::make_shared<PolledTag>(std::move(tag)));
    }
}

void PollList::Editor::Clear() {
    list_.entries_.clear();
    ++list_.version_;
}

// A cycle running on the old tag goes on with it but no longer publishes its values.
void PollList::Editor::Replace(const EipTag* tag, std::shared_ptr<EipTag> replacement) {
    auto& entries = list_.entries_;
    auto it = std::find_if(entries.begin(), entries.end(),
                           [tag](const auto& polled) { return polled->tag.get() == tag; });
    if (it == entries.end()) {
        return;
    }
    ++list_.version_;
    if (replacement == nullptr) {
        entries.erase(it);
        return;
    }
    auto record = std::make_shared<const TagInfo>(replacement->GetInfo());
    *it = std::make_shared<PolledTag>(PolledTag{std::move(replacement), std::move(record)});
}

uint64_t PollList::Snapshot(Entries& entries) const {
    std::lock_guard<std::mutex> lock(mutex_);
    entries = entries_;
    return version_.load();
}
