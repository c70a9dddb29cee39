#pragma once
#include <QObject>

#include "common/main_queue.h"

namespace qel::agent::qt {

/// The main queue on the Qt event loop of the thread that creates it. `post` and `postAfter` may be
/// called from any thread (the token watcher's); tasks run on the event loop's thread. Tasks still
/// waiting when the queue is destroyed are dropped.
class AgentMainQueue : public MainQueue {
public:
    AgentMainQueue();
    ~AgentMainQueue() override;
    void post(Task task) override;
    void postAfter(int milliseconds, Task task) override;

private:
    // Queued calls and timers are bound to this object, so they die with it.
    QObject* context_;
};

}  // namespace qel::agent::qt
