#include "platform/SerialRegistryWatchLoop.h"

#include "platform/Trace.h"

#include <cerrno>
#include <poll.h>

namespace platform {

void runSerialWatchLoop(int eventFd, int stopFd, const std::function<void()>& receive) {
    pollfd fds[2] = {{eventFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        const int ready = poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            trace("serial registry: device monitor wait failed (errno %d)", errno);
            return;
        }
        if (fds[1].revents) return;
        if (fds[0].revents & POLLNVAL) return;
        if (fds[0].revents & POLLERR) trace("serial registry: the device monitor lost events; watching on");
        if (fds[0].revents) receive();
    }
}

}  // namespace platform
