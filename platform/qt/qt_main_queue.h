#pragma once
#include <QObject>
#include <QPointer>

#include "common/main_queue.h"

namespace qel::qt {

/// The main queue on the Qt event loop of the thread that creates it (the GUI thread), for Kartello
/// and Vigilo. `post` and `postAfter` may be called from any thread (a token watcher's); tasks run on the GUI thread,
/// in order for equal delays. Tasks still waiting when the queue is destroyed are dropped.
class QtMainQueue : public MainQueue {
public:
    QtMainQueue();
    ~QtMainQueue() override;
    void post(Task task) override;
    void postAfter(int milliseconds, Task task) override;

private:
    // Lives on the GUI thread; queued calls and timers are bound to it, so they die with it.
    QObject* context_;
};

}  // namespace qel::qt
