#pragma once
// Waiting in Qt tests: the event loop is spun (never slept through), so the work waited for can
// run on the test's own thread.

#include <QCoreApplication>
#include <QElapsedTimer>

namespace testsupport {

// Spins the Qt event loop until done() or about five seconds; returns done().
template <typename Predicate>
bool spinUntil(Predicate done) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

// Spins the Qt event loop for a stretch of time.
inline void spinFor(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

}  // namespace testsupport
