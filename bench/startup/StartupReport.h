#pragma once
// Prints, once the window is shown and drawn, the time since the process started and the peak
// resident memory, then quits: "shown_ms=<n> maxrss_kb=<n>".

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace startup {

// Milliseconds since this process started (from its start time in /proc).
inline double msSinceProcessStart() {
    std::ifstream stat("/proc/self/stat");
    std::string field;
    unsigned long long startTicks = 0;
    for (int i = 1; i <= 22 && stat >> field; ++i)
        if (i == 22) startTicks = std::stoull(field);
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const double nowMs = static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
    return nowMs - static_cast<double>(startTicks) * 1e3 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

inline void reportWhenShown(QWidget& window) {
    QTimer::singleShot(0, [&window] {
        window.repaint();
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("shown_ms=%.1f maxrss_kb=%ld\n", msSinceProcessStart(), usage.ru_maxrss);
        std::fflush(stdout);
        QApplication::quit();
    });
}

}  // namespace startup
