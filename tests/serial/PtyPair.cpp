#include "serial/PtyPair.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace serialtest {

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

PtyPair::PtyPair() {
    int terminal = -1;
    char name[256] = {};
    if (openpty(&controller_, &terminal, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    path_ = name;
    // Kept open by the test so that the terminal side outlives the port's closes (no hang-up
    // between tests) and so that its input queue can be observed.
    observer_ = terminal;
    fcntl(controller_, F_SETFD, FD_CLOEXEC);
    fcntl(observer_, F_SETFD, FD_CLOEXEC);
}

PtyPair::~PtyPair() {
    if (controller_ >= 0) close(controller_);
    if (observer_ >= 0) close(observer_);
}

void PtyPair::send(const std::string& bytes) const { send(platform::Bytes(bytes.begin(), bytes.end())); }

void PtyPair::send(const platform::Bytes& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(controller_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("write to the pseudo-terminal failed");
        done += static_cast<size_t>(n);
    }
}

int PtyPair::pendingInput() const {
    int count = 0;
    if (ioctl(observer_, FIONREAD, &count) != 0) return -1;
    return count;
}

platform::Bytes PtyPair::receive(size_t count, std::chrono::milliseconds limit) const {
    platform::Bytes data;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    uint8_t buffer[4096];
    while (data.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd fd{controller_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
        ssize_t n = read(controller_, buffer, std::min(sizeof buffer, count - data.size()));
        if (n <= 0) break;
        data.insert(data.end(), buffer, buffer + n);
    }
    return data;
}

termios PtyPair::settings() const {
    termios t{};
    tcgetattr(observer_, &t);
    return t;
}

void PtyPair::hangUp() {
    if (observer_ >= 0) close(observer_);
    observer_ = -1;
    if (controller_ >= 0) close(controller_);
    controller_ = -1;
}

int PtyPair::openCount() const {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    while (dirent* entry = readdir(dir)) {
        char link[512];
        std::string fdPath = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t n = readlink(fdPath.c_str(), link, sizeof link - 1);
        if (n > 0 && std::string(link, static_cast<size_t>(n)) == path_) ++count;
    }
    closedir(dir);
    return count;
}

int threadCount() {
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return -1;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

void RecordingDelegate::serialPortReadData(const SerialPortReadData& info) {
    chunks.push_back(info.data);
    senders.push_back(info.serialPort);
    if (rearm) info.serialPort->readDataInBackground();
}

void RecordingDelegate::serialPortWriteProgress(const SerialPortWriteProgress& info) {
    reports.emplace_back(info.value, info.total);
    senders.push_back(info.serialPort);
}

}  // namespace serialtest
