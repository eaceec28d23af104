// One restartable worker thread of a device: the socket, reconnect and queue workers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// Threads: any thread starts or stops the worker; the worker's own thread runs the body, which
// reads Running(). mutex_ guards thread_ and is never held while joining or calling a hook;
// running_ is atomic; sleepMutex_ only pairs with sleepCv_. A worker never joins itself: stopped or
// restarted from its own thread, it is only told to carry on.
class WorkerThread {
  public:
    struct Setup {
        std::string name;                       // "Socket Thread"
        std::function<std::string()> logAlias;  // the alias its start and stop lines carry, if any
        std::function<void()> body;
        std::function<void()> wake;  // makes a body blocked elsewhere re-read Running()
    };

    WorkerThread(Setup setup, const std::atomic<bool>& shuttingDown);
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Stops the running thread (unless called from it) and starts a new one.
    int Restart();
    int StartIfNone();
    int Stop();
    bool Exists();
    bool Running() const { return running_.load(); }
    // Sleeps up to `micros`, waking early when the worker is stopped; false when it was stopped.
    bool SleepWhileRunning(uint64_t micros);

  private:
    void Join();
    std::string LogLine(const char* what) const;

    Setup setup_;
    const std::atomic<bool>& shuttingDown_;
    std::mutex mutex_;
    std::unique_ptr<std::thread> thread_;
    std::atomic<bool> running_{false};
    std::mutex sleepMutex_;
    std::condition_variable sleepCv_;
};
