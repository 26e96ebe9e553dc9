#pragma once
// Time-outs of the sockets are seconds as double; their timers take nanoseconds.

#include <chrono>
#include <cstdint>

namespace net {

// Seconds to nanoseconds, cut to a whole number. A time-out too long to count in nanoseconds
// (infinity and NaN included) becomes the longest delay there is: a wait without end, never a
// value that has already run out.
inline std::chrono::nanoseconds timeoutToNanoseconds(double seconds) {
    const double nanoseconds = seconds * 1e9;
    if (!(nanoseconds < 9.2e18)) return std::chrono::nanoseconds::max();
    return std::chrono::nanoseconds(static_cast<int64_t>(nanoseconds));
}

}  // namespace net
