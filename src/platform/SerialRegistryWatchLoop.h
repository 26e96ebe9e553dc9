#pragma once
// The wait of a serial registry watch thread, apart from how the registry reads its events.

#include <functional>

namespace platform {

// Calls receive() each time the event descriptor is readable or reports an error, until the
// stop descriptor becomes readable, the event descriptor is invalid or the wait itself fails.
// An error on the event socket (the kernel drops events and reports ENOBUFS when the reader
// falls behind a burst) is taken by receive(), whose read clears it, and the watch goes on.
void runSerialWatchLoop(int eventFd, int stopFd, const std::function<void()>& receive);

}  // namespace platform
