#include "action_pool.h"

#include "work_queue.h"

namespace kestrel::strata_sdk::detail {

ActionPool::ActionPool(std::string name, std::size_t max_threads)
    : name_(std::move(name)), max_threads_(max_threads) {}

ActionPool::~ActionPool() {
    stop();
    join();
}

bool ActionPool::post(const std::string& key, std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            return false;
        }
        if (key.empty()) {
            unkeyed_.push_back(std::move(task));
        } else {
            KeyQueue& queue = keys_[key];
            queue.tasks.push_back(std::move(task));
            if (queue.running || queue.tasks.size() > 1) {
                return true;  // runs after the key's earlier tasks
            }
            ready_keys_.push_back(key);
        }
        if (ready_keys_.size() + unkeyed_.size() > waiting_ && workers_.size() < max_threads_) {
            add_thread_locked();
        }
    }
    wake_.notify_one();
    return true;
}

void ActionPool::add_thread_locked() {
    ++waiting_;  // counted from its start, so that the next post does not add another
    workers_.emplace_back([this] { run(); });
}

void ActionPool::stop() {
    std::map<std::string, KeyQueue> dropped;
    std::deque<Task> droppedUnkeyed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        dropped.swap(keys_);
        droppedUnkeyed.swap(unkeyed_);
        ready_keys_.clear();
    }
    wake_.notify_all();
    // The dropped tasks are destroyed here, outside the lock: they may own objects whose
    // destructors post again (and are then refused).
}

void ActionPool::join() {
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workers.swap(workers_);
    }
    for (auto& worker : workers) {
        if (worker.get_id() == std::this_thread::get_id()) {
            // Last owner released from inside a task: this thread ends on its own once the
            // task returns (stopping_ is set).
            worker.detach();
        } else if (worker.joinable()) {
            worker.join();
        }
    }
}

std::size_t ActionPool::thread_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return workers_.size();
}

bool ActionPool::take_locked(Task& task, std::string& key, bool& keyed) {
    if (!unkeyed_.empty()) {
        task = std::move(unkeyed_.front());
        unkeyed_.pop_front();
        keyed = false;
        return true;
    }
    if (ready_keys_.empty()) {
        return false;
    }
    key = std::move(ready_keys_.front());
    ready_keys_.pop_front();
    KeyQueue& queue = keys_[key];
    task = std::move(queue.tasks.front());
    queue.tasks.pop_front();
    queue.running = true;
    keyed = true;
    return true;
}

void ActionPool::finish_locked(const std::string& key) {
    auto found = keys_.find(key);
    if (found == keys_.end()) {
        return;  // dropped by stop()
    }
    found->second.running = false;
    if (found->second.tasks.empty()) {
        keys_.erase(found);
    } else {
        ready_keys_.push_back(key);
    }
}

void ActionPool::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        Task task;
        std::string key;
        bool keyed = false;
        wake_.wait(lock, [&] { return stopping_ || take_locked(task, key, keyed); });
        if (stopping_) {
            return;
        }
        --waiting_;
        lock.unlock();
        run_task_logged(name_, task);  // released before taking the next
        lock.lock();
        ++waiting_;
        if (keyed) {
            finish_locked(key);
            if (!ready_keys_.empty()) {
                wake_.notify_one();
            }
        }
    }
}

}  // namespace kestrel::strata_sdk::detail
