// Work for the PLC's polling session from other threads (writes): handed to the socket thread,
// which runs it between two poll requests, so that a write never opens a session of its own and
// no reply is ever read by the side that did not ask for it.
#pragma once

#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>

class EipConnection;

// Threads and locks: any SDK thread calls Run() and waits for its job; the socket thread opens
// the lane when it starts, runs the pending jobs while no poll reply is awaited, and closes the
// lane when it ends. mutex_ guards jobs_ and open_; a job runs without it.
class SessionLane {
  public:
    using Job = std::function<int(EipConnection&)>;

    // wake makes the socket thread look at the lane.
    explicit SessionLane(std::function<void()> wake) : wake_(std::move(wake)) {}

    // The job's result, or nothing when no session took it (no socket thread, or the session
    // was down when its turn came).
    std::optional<int> Run(Job job);

    // ---- socket thread ----
    void Open();
    // Runs every pending job on the connection; with no usable connection, each gets nothing.
    void RunPending(EipConnection* connection);
    // Refuses new jobs and answers the pending ones with nothing.
    void Close();

  private:
    struct Entry {
        Job job;
        std::promise<std::optional<int>> done;
    };
    std::shared_ptr<Entry> Next();

    std::function<void()> wake_;
    std::mutex mutex_;
    std::deque<std::shared_ptr<Entry>> jobs_;
    bool open_ = false;
};
