#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace qel {

/// One worker thread running tasks in the order they were posted, for the blocking work the main
/// thread must not wait for (the update check and the update session). Tasks hand their results to
/// the main queue themselves.
class BackgroundQueue {
public:
    using Task = std::function<void()>;

    BackgroundQueue() = default;
    /// Finishes the running task, drops those not started, and joins the worker.
    ~BackgroundQueue();
    BackgroundQueue(const BackgroundQueue&) = delete;
    BackgroundQueue& operator=(const BackgroundQueue&) = delete;

    /// Any thread. The worker starts with the first task.
    void post(Task task);
    /// Blocks until every task posted so far has run (tests, and orderly shutdown).
    void waitIdle();

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Task> tasks_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace qel
