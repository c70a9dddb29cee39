#include "app/background_queue.h"

#include "common/logger.h"

namespace qel {

BackgroundQueue::~BackgroundQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        tasks_.clear();
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void BackgroundQueue::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        tasks_.push_back(std::move(task));
        if (!worker_.joinable()) worker_ = std::thread([this] { run(); });
    }
    wake_.notify_one();
}

void BackgroundQueue::waitIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return tasks_.empty() && !busy_; });
}

void BackgroundQueue::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (stopping_) break;
        Task task = std::move(tasks_.front());
        tasks_.pop_front();
        busy_ = true;
        lock.unlock();
        try {
            task();
        } catch (const std::exception& e) {
            // A task that throws must not take the program down with the worker.
            logError(std::string("Tâche en arrière-plan interrompue : ") + e.what());
        } catch (...) {
            logError("Tâche en arrière-plan interrompue");
        }
        lock.lock();
        busy_ = false;
        if (tasks_.empty()) idle_.notify_all();
    }
    busy_ = false;
    idle_.notify_all();
}

}  // namespace qel
