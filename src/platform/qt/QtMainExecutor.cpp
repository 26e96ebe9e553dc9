#include "platform/qt/QtMainExecutor.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

namespace platform {

QtMainExecutor::QtMainExecutor() { setCurrent(this); }

QtMainExecutor::~QtMainExecutor() { retire(); }

void QtMainExecutor::post(Job job) {
    // Queued calls to one receiver are delivered in the order they were posted.
    QMetaObject::invokeMethod(&context_, std::move(job), Qt::QueuedConnection);
}

bool QtMainExecutor::isMainThread() const { return QThread::currentThread() == context_.thread(); }

MainExecutor::TimerId QtMainExecutor::scheduleAfter(std::chrono::nanoseconds delay, Job job) {
    TimerId id;
    {
        std::lock_guard lock(mutex_);
        id = next_++;
        live_.insert(id);
    }
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(delay);
    auto fire = [this, id, job = std::move(job)] {
        {
            std::lock_guard lock(mutex_);
            if (live_.erase(id) == 0) return;  // cancelled
        }
        job();
    };
    auto arm = [this, ms, fire = std::move(fire)]() mutable {
        QTimer::singleShot(ms, Qt::PreciseTimer, &context_, std::move(fire));
    };
    if (isMainThread()) {
        arm();
    } else {
        post(std::move(arm));
    }
    return id;
}

void QtMainExecutor::cancelTimer(TimerId id) {
    std::lock_guard lock(mutex_);
    live_.erase(id);
}

}  // namespace platform
