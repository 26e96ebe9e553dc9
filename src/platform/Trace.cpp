#include "platform/Trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <sys/time.h>

namespace platform {

namespace {
std::atomic<bool> g_enabled{true};
}

void setTraceEnabled(bool enabled) { g_enabled = enabled; }

void trace(const char* format, ...) {
    if (!g_enabled) return;
    char line[2048];
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    int used = static_cast<int>(strftime(line, sizeof line, "%Y-%m-%d %H:%M:%S", &local));
    used += snprintf(line + used, sizeof line - used, ".%03ld ", static_cast<long>(now.tv_usec / 1000));
    va_list args;
    va_start(args, format);
    vsnprintf(line + used, sizeof line - used, format, args);
    va_end(args);
    // One write per line so that lines of different threads do not interleave.
    fprintf(stderr, "%s\n", line);
}

}  // namespace platform
