#include "device/session_lane.h"

#include "eip/eip_connection.h"

std::optional<int> SessionLane::Run(Job job) {
    auto entry = std::make_shared<Entry>();
    entry->job = std::move(job);
    std::future<std::optional<int>> done = entry->done.get_future();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!open_) {
            return std::nullopt;
        }
        jobs_.push_back(entry);
    }
    wake_();
    return done.get();
}

void SessionLane::Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
}

std::shared_ptr<SessionLane::Entry> SessionLane::Next() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (jobs_.empty()) {
        return nullptr;
    }
    std::shared_ptr<Entry> entry = std::move(jobs_.front());
    jobs_.pop_front();
    return entry;
}

void SessionLane::RunPending(EipConnection* connection) {
    while (std::shared_ptr<Entry> entry = Next()) {
        if (connection != nullptr && connection->GetSocketFd() >= 0) {
            entry->done.set_value(entry->job(*connection));
        } else {
            entry->done.set_value(std::nullopt);
        }
    }
}

void SessionLane::Close() {
    std::deque<std::shared_ptr<Entry>> pending;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
        pending.swap(jobs_);
    }
    for (const auto& entry : pending) {
        entry->done.set_value(std::nullopt);
    }
}
