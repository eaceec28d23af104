#pragma once
// A FIFO of tasks run by a fixed set of threads (the dispatch thread).

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrel::strata_sdk::detail {

// Runs a worker's task; an exception escaping it is logged with the worker's name and goes no
// further, so the worker lives on. The task is released afterwards (what it captured goes now).
void run_task_logged(const std::string& name, std::function<void()>& task);

// Threads: `threads` workers started by the constructor. `mutex_` guards `tasks_`,
// `stopping_` and `busy_`; tasks run without it held. An exception escaping a task
// is logged with the queue's name and never ends the worker.
class WorkQueue {
  public:
    WorkQueue(std::string name, size_t threads);
    ~WorkQueue();
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    // False (task dropped) once stop() has been called.
    bool post(std::function<void()> task);
    // Refuses new tasks and drops the ones not yet started; running ones finish.
    void stop();
    // Waits for the workers after stop(). A worker never joins itself.
    void join();
    // True on one of this queue's threads.
    bool on_worker_thread() const;
    // Waits until the queue is empty and no task runs, or the timeout passes.
    bool wait_idle(std::chrono::milliseconds timeout);

  private:
    void run();

    std::string name_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    size_t busy_ = 0;
    std::vector<std::thread> workers_;
};

}  // namespace kestrel::strata_sdk::detail
