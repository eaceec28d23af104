#include "device/worker_thread.h"

#include "common/eip_log.h"

WorkerThread::WorkerThread(Setup setup, const std::atomic<bool>& shuttingDown)
    : setup_(std::move(setup)), shuttingDown_(shuttingDown) {}

std::string WorkerThread::LogLine(const char* what) const {
    std::string line = setup_.name + " " + what;
    return setup_.logAlias ? setup_.logAlias() + ": " + line : line;
}

bool WorkerThread::Exists() {
    std::lock_guard<std::mutex> lock(mutex_);
    return thread_ != nullptr;
}

// Takes the thread out under the lock, then stops and joins it without the lock.
void WorkerThread::Join() {
    std::unique_ptr<std::thread> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (thread_ != nullptr && thread_->get_id() == std::this_thread::get_id()) {
            return;
        }
        running_.store(false);
        old = std::move(thread_);
    }
    {
        std::lock_guard<std::mutex> lock(sleepMutex_);
        sleepCv_.notify_all();
    }
    if (setup_.wake) {
        setup_.wake();
    }
    if (old != nullptr && old->joinable()) {
        old->join();
    }
}

int WorkerThread::Restart() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (thread_ != nullptr && thread_->get_id() == std::this_thread::get_id()) {
            running_.store(true);
            return 0;
        }
    }
    Join();
    return StartIfNone();
}

// The start line is logged once the lock is released: its alias comes from a hook.
int WorkerThread::StartIfNone() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shuttingDown_.load() || thread_ != nullptr) {
            return 0;
        }
        running_.store(true);
        thread_ = std::make_unique<std::thread>([this] { setup_.body(); });
    }
    eiplog::Info("StartProcess", LogLine("start."));
    return 0;
}

int WorkerThread::Stop() {
    Join();
    eiplog::Info("StopProcess", LogLine("stop."));
    return 0;
}

bool WorkerThread::SleepWhileRunning(uint64_t micros) {
    std::unique_lock<std::mutex> lock(sleepMutex_);
    sleepCv_.wait_for(lock, std::chrono::microseconds(micros), [&] { return !running_.load(); });
    return running_.load();
}
