#include "agent/qt/agent_main_queue.h"

#include <QMetaObject>
#include <QTimer>

namespace qel::agent::qt {

AgentMainQueue::AgentMainQueue() : context_(new QObject) {}

AgentMainQueue::~AgentMainQueue() { delete context_; }

void AgentMainQueue::post(Task task) {
    QMetaObject::invokeMethod(
        context_, [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

void AgentMainQueue::postAfter(int milliseconds, Task task) {
    if (milliseconds <= 0) {
        post(std::move(task));
        return;
    }
    // A timer must start on the thread that owns its context: hop there first.
    QObject* context = context_;
    QMetaObject::invokeMethod(
        context_,
        [context, milliseconds, task = std::move(task)]() mutable {
            QTimer::singleShot(milliseconds, Qt::PreciseTimer, context, [task = std::move(task)] { task(); });
        },
        Qt::QueuedConnection);
}

}  // namespace qel::agent::qt
