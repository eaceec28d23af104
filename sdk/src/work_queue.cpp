#include "work_queue.h"

#include <algorithm>
#include <exception>

#include "strata_sdk/logging.h"

namespace kestrel::strata_sdk::detail {

void run_task_logged(const std::string& name, std::function<void()>& task) {
    try {
        task();
    } catch (const std::exception& e) {
        log_message_internal(LogLevel::error, name + ": callback failed: " + e.what());
    } catch (...) {
        log_message_internal(LogLevel::error, name + ": callback failed with an unknown exception");
    }
    task = nullptr;
}

WorkQueue::WorkQueue(std::string name, size_t threads) : name_(std::move(name)) {
    for (size_t i = 0; i < threads; ++i) {
        workers_.emplace_back([this] { run(); });
    }
}

WorkQueue::~WorkQueue() {
    stop();
    join();
}

bool WorkQueue::post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            return false;
        }
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
    return true;
}

void WorkQueue::stop() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        dropped.swap(tasks_);
    }
    wake_.notify_all();
    idle_.notify_all();
    // `dropped` is destroyed here, outside the lock: tasks may own objects whose
    // destructors post again (and are then refused).
}

void WorkQueue::join() {
    for (auto& worker : workers_) {
        if (!worker.joinable()) {
            continue;
        }
        if (worker.get_id() == std::this_thread::get_id()) {
            // Last owner released from inside a task: this thread ends on its own
            // once the task returns (stopping_ is set).
            worker.detach();
        } else {
            worker.join();
        }
    }
}

bool WorkQueue::on_worker_thread() const {
    auto self = std::this_thread::get_id();
    return std::any_of(workers_.begin(), workers_.end(),
                       [self](const std::thread& t) { return t.get_id() == self; });
}

bool WorkQueue::wait_idle(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_for(lock, timeout,
                          [this] { return stopping_ || (tasks_.empty() && busy_ == 0); });
}

void WorkQueue::run() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            if (stopping_) {
                return;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
            ++busy_;
        }
        run_task_logged(name_, task);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            --busy_;
            if (tasks_.empty() && busy_ == 0) {
                idle_.notify_all();
            }
        }
    }
}

}  // namespace kestrel::strata_sdk::detail
