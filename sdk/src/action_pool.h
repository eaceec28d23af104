#pragma once
// The threads that run action handlers. Tasks of one key (the top-level node an action sits
// under: one PLC of the link) run one at a time in their order; tasks of other keys run
// beside them; a task without a key runs at once. A thread is added whenever work is ready
// and no thread waits for it, so a stalled key holds one thread and never another key's work.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrel::strata_sdk::detail {

// Threads: post/stop/join from any thread; workers run tasks without `mutex_` held.
// `mutex_` guards every member but `name_`. An exception escaping a task is logged with the
// pool's name and never ends the worker.
class ActionPool {
  public:
    // `max_threads` bounds the pool against a flood of keys; work beyond it waits its turn.
    ActionPool(std::string name, std::size_t max_threads);
    ~ActionPool();
    ActionPool(const ActionPool&) = delete;
    ActionPool& operator=(const ActionPool&) = delete;

    // Queues `task` behind the tasks of `key` ("" for none). False once stop() was called.
    bool post(const std::string& key, std::function<void()> task);
    // Refuses new tasks and drops the ones not yet started; running ones finish.
    void stop();
    // Waits for the workers after stop(). A worker never joins itself.
    void join();
    std::size_t thread_count() const;

  private:
    using Task = std::function<void()>;
    struct KeyQueue {
        std::deque<Task> tasks;
        bool running = false;
    };

    // Takes the next ready task under the lock; `key` is set for a keyed one.
    bool take_locked(Task& task, std::string& key, bool& keyed);
    void finish_locked(const std::string& key);
    void add_thread_locked();
    void run();

    const std::string name_;
    const std::size_t max_threads_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::map<std::string, KeyQueue> keys_;
    std::deque<std::string> ready_keys_;  // keys with a task waiting and none running
    std::deque<Task> unkeyed_;
    std::size_t waiting_ = 0;  // workers waiting for work or about to look for it
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace kestrel::strata_sdk::detail
