#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace qel {

/// The program's main (UI) thread as a queue of work. Controllers post here what must run on the
/// main thread, now or after a delay (the 0.1 s / 0.5 s / 1 s pauses between dialog steps).
/// post and postAfter may be called from any thread.
class MainQueue {
public:
    using Task = std::function<void()>;
    virtual ~MainQueue() = default;
    virtual void post(Task task) = 0;
    virtual void postAfter(int milliseconds, Task task) = 0;
};

/// A main queue driven by hand with a virtual clock, for tests: nothing runs until the test calls
/// runReady() or advance(). Tasks due at the same time run in the order they were posted.
class ManualMainQueue : public MainQueue {
public:
    void post(Task task) override { postAfter(0, std::move(task)); }

    void postAfter(int milliseconds, Task task) override {
        std::lock_guard lock(mutex_);
        const std::int64_t due = now_ + (milliseconds < 0 ? 0 : milliseconds);
        tasks_.emplace(Key{due, sequence_++}, std::move(task));
    }

    /// Runs every task due at the current virtual time, including those they post for now.
    /// Returns how many ran.
    int runReady() { return runUntil(now()); }

    /// Moves the virtual clock forward, running tasks in due order as their time comes.
    int advance(int milliseconds) { return runUntil(now() + milliseconds); }

    std::int64_t now() const {
        std::lock_guard lock(mutex_);
        return now_;
    }
    std::size_t pending() const {
        std::lock_guard lock(mutex_);
        return tasks_.size();
    }

private:
    struct Key {
        std::int64_t due;
        std::uint64_t sequence;
        bool operator<(const Key& o) const { return due != o.due ? due < o.due : sequence < o.sequence; }
    };

    int runUntil(std::int64_t until) {
        int ran = 0;
        for (;;) {
            Task task;
            {
                std::lock_guard lock(mutex_);
                auto it = tasks_.begin();
                if (it == tasks_.end() || it->first.due > until) {
                    now_ = until;
                    return ran;
                }
                now_ = it->first.due;
                task = std::move(it->second);
                tasks_.erase(it);
            }
            task();
            ++ran;
        }
    }

    mutable std::mutex mutex_;
    std::int64_t now_ = 0;
    std::uint64_t sequence_ = 0;
    std::map<Key, Task> tasks_;
};

}  // namespace qel
