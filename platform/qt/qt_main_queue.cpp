#include "platform/qt/qt_main_queue.h"

#include <QMetaObject>
#include <QTimer>
#include <memory>

namespace qel::qt {

QtMainQueue::QtMainQueue() : context_(new QObject) {}

QtMainQueue::~QtMainQueue() { delete context_; }

void QtMainQueue::post(Task task) {
    QMetaObject::invokeMethod(
        context_, [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

void QtMainQueue::postAfter(int milliseconds, Task task) {
    if (milliseconds <= 0) {
        post(std::move(task));
        return;
    }
    // A timer must be started on the thread that owns its context: hop there first.
    QObject* context = context_;
    QMetaObject::invokeMethod(
        context_,
        [context, milliseconds, task = std::move(task)]() mutable {
            QTimer::singleShot(milliseconds, Qt::PreciseTimer, context, [task = std::move(task)] { task(); });
        },
        Qt::QueuedConnection);
}

}  // namespace qel::qt
