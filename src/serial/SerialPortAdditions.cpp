// Input and output of SerialPort: blocking reads and writes on the caller's thread, the polling
// read on the main executor, and the one-shot background reads and chunked background writes.

#include "serial/SerialPort.h"

#include "platform/MainExecutor.h"
#include "platform/Trace.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <thread>
#include <time.h>
#include <unistd.h>

using platform::Bytes;
using platform::Error;

namespace {

// Microseconds on the monotonic clock: the clock of the blocking reads' deadlines.
uint64_t icrosecondsSinceBoot() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

// A poll time limit in milliseconds for a span in microseconds, rounded up so that a wait never
// ends before its deadline and spins.
int pollMilliseconds(int64_t microseconds) {
    if (microseconds <= 0) return 0;
    return static_cast<int>(std::min<int64_t>((microseconds + 999) / 1000, INT_MAX));
}

// The read timeout as whole microseconds (truncated); never negative, NaN or beyond range.
int64_t allowedMicroseconds(double seconds) {
    const double micro = seconds * 1000000.0;
    if (!(micro > 0)) return 0;
    if (micro >= 9.0e18) return INT64_MAX / 2;
    return static_cast<int64_t>(micro);
}

const char* describe(long code) {
    switch (code) {
    case SerialErrorNone: return "The serial operation succeeded.";
    case SerialErrorSystem: return "The serial port failed to read or write.";
    case SerialErrorTimeout: return "The serial read timed out.";
    case SerialErrorBufferFull: return "The serial read filled its buffer.";
    case SerialErrorNoDataToWrite: return "There is no data to write.";
    case SerialErrorShortWrite: return "The serial port wrote fewer bytes than asked.";
    default: return "";
    }
}

void nameThisThread(const char* name) {  // at most 15 characters
    pthread_setname_np(pthread_self(), name);
}

// Hands a delegate callback to the main thread. A background thread can outlive the program's
// main executor (a read woken by the close at exit): its callback is then dropped, not fatal.
void postToMain(platform::MainExecutor::Job job) {
    if (!platform::MainExecutor::postToCurrent(std::move(job)))
        platform::trace("serial port: no main executor, a delegate callback is dropped");
}

// The main executor's clock (tests drive it), or the monotonic clock when there is none.
platform::MainExecutor::Clock::time_point mainNow() {
    if (!platform::MainExecutor::hasCurrent()) return platform::MainExecutor::Clock::now();
    return platform::MainExecutor::current().now();
}

// Whether a failed read or wait is only a pause: nothing was lost and the device is still there.
bool isTransient(int error) { return error == EINTR || error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

// ---- blocking reads ----

std::optional<Bytes> SerialPort::readAndStopAfterBytesBytesStopAtCharStopCharError(bool stopAfterBytes, size_t bytes,
                                                                                   bool stopAtChar, char stopChar,
                                                                                   Error* error) {
    long code = SerialErrorNone;
    int endCode = 0;
    size_t total = 0;
    std::optional<Error> underlying;
    const int64_t allowed = allowedMicroseconds(readTimeout());
    const uint64_t start = icrosecondsSinceBoot();
    int64_t timeLeft = allowed;
    HeldDescriptor held;
    holdDescriptor(&held);
    const int fd = held.fd;
    const size_t limit = stopAfterBytes ? std::min(bytes, kBufferSize) : kBufferSize;

    if (fd < 0) {
        code = SerialErrorSystem;  // a closed port: nothing to wait on
    } else {
        for (;;) {
            if (timeLeft <= 0) {
                code = SerialErrorTimeout;
                break;
            }
            readfds_ = pollfd{fd, POLLIN, 0};
            const int ready = poll(&readfds_, 1, pollMilliseconds(timeLeft));
            if (ready < 0 && errno == EINTR) {
                timeLeft = allowed - static_cast<int64_t>(icrosecondsSinceBoot() - start);
                continue;
            }
            if (ready < 0) {
                code = SerialErrorSystem;
                break;
            }
            if (ready == 0) {
                code = SerialErrorTimeout;
                break;
            }
            if (openGeneration_.load() != held.generation) {  // closed meanwhile: its input is not ours
                code = SerialErrorSystem;
                break;
            }
            const ssize_t count = ::read(fd, buffer_.get() + total, limit - total);
            if (count < 0 && isTransient(errno)) {
                timeLeft = allowed - static_cast<int64_t>(icrosecondsSinceBoot() - start);
                continue;
            }
            if (count < 0) {
                underlying = Error::posix(errno, "read");
                code = SerialErrorSystem;
                break;
            }
            if (count == 0) {  // end of input
                code = SerialErrorSystem;
                break;
            }
            total += static_cast<size_t>(count);
            if (stopAfterBytes && total == bytes) {
                endCode = SerialEndCodeByteCount;
                break;
            }
            // Only the last byte read counts: a stop character inside a chunk is not looked for.
            if (stopAtChar && static_cast<char>(buffer_[total - 1]) == stopChar) {
                endCode = SerialEndCodeStopChar;
                break;
            }
            if (total >= kBufferSize) {
                code = SerialErrorBufferFull;
                break;
            }
            timeLeft = allowed - static_cast<int64_t>(icrosecondsSinceBoot() - start);
        }
    }

    if (error) {
        Error e = Error::make(SerialErrorDomain, code, describe(code));
        e.userInfo[SerialErrorBytesReadKey] = static_cast<uint64_t>(total);
        if (underlying) e.userInfo[platform::kUnderlyingErrorKey] = *underlying;
        if (code == SerialErrorNone) e.userInfo[SerialErrorEndCodeKey] = endCode;
        *error = std::move(e);
    }
    if (total == 0 || code == SerialErrorSystem) return std::nullopt;
    return Bytes(buffer_.get(), buffer_.get() + total);
}

std::optional<Bytes> SerialPort::readAndReturnError(Error* error) {
    return readAndStopAfterBytesBytesStopAtCharStopCharError(false, 0, false, 0, error);
}

std::optional<Bytes> SerialPort::readBytesError(size_t bytes, Error* error) {
    return readAndStopAfterBytesBytesStopAtCharStopCharError(true, bytes, false, 0, error);
}

std::optional<Bytes> SerialPort::readUpToCharError(char stopChar, Error* error) {
    return readAndStopAfterBytesBytesStopAtCharStopCharError(false, 0, true, stopChar, error);
}

std::optional<Bytes> SerialPort::readBytesUpToCharError(size_t bytes, char stopChar, Error* error) {
    return readAndStopAfterBytesBytesStopAtCharStopCharError(true, bytes, true, stopChar, error);
}

namespace {
std::optional<std::string> decoded(const std::optional<Bytes>& data, StringEncoding encoding) {
    if (!data) return std::nullopt;
    return decodeString(data->data(), data->size(), encoding);
}
}  // namespace

std::optional<std::string> SerialPort::readStringUsingEncodingError(StringEncoding encoding, Error* error) {
    return decoded(readAndReturnError(error), encoding);
}

std::optional<std::string> SerialPort::readBytesUsingEncodingError(size_t bytes, StringEncoding encoding,
                                                                   Error* error) {
    return decoded(readBytesError(bytes, error), encoding);
}

std::optional<std::string> SerialPort::readUpToCharUsingEncodingError(char stopChar, StringEncoding encoding,
                                                                      Error* error) {
    return decoded(readUpToCharError(stopChar, error), encoding);
}

std::optional<std::string> SerialPort::readBytesUpToCharUsingEncodingError(size_t bytes, char stopChar,
                                                                           StringEncoding encoding, Error* error) {
    return decoded(readBytesUpToCharError(bytes, stopChar, error), encoding);
}

// ---- blocking writes ----

bool SerialPort::writeDataError(const Bytes& data, Error* error) {
    long code;
    int64_t written = 0;
    HeldDescriptor held;
    if (!data.empty()) holdDescriptor(&held);
    if (data.empty()) {
        code = SerialErrorNoDataToWrite;
    } else if (held.fd < 0) {
        code = SerialErrorSystem;  // a closed port: nothing is written anywhere
    } else {
        ssize_t count;
        do {
            count = ::write(held.fd, data.data(), data.size());
        } while (count < 0 && errno == EINTR);
        if (count < 0) {
            code = SerialErrorSystem;
        } else {
            written = count;
            code = static_cast<size_t>(count) == data.size() ? SerialErrorNone : SerialErrorShortWrite;
        }
    }
    if (error) {
        Error e = Error::make(SerialErrorDomain, code, describe(code));
        if (written > 0) e.userInfo[SerialErrorBytesWrittenKey] = written;
        *error = std::move(e);
    }
    return code == SerialErrorNone;
}

bool SerialPort::writeStringUsingEncodingError(const std::string& text, StringEncoding encoding, Error* error) {
    // A text that does not convert writes nothing (no data to write).
    return writeDataError(encodeString(text, encoding).value_or(Bytes{}), error);
}

bool SerialPort::writeBytesLengthError(const void* bytes, size_t length, Error* error) {
    if (!bytes || length == 0) return writeDataError(Bytes{}, error);
    const auto* begin = static_cast<const uint8_t*>(bytes);
    return writeDataError(Bytes(begin, begin + length), error);
}

int SerialPort::bytesAvailable() {
    int count = 0;
    HeldDescriptor held;
    holdDescriptor(&held);
    if (held.fd < 0 || ioctl(held.fd, FIONREAD, &count) == -1) return -1;
    return count;
}

// ---- polling read ----

void SerialPort::tyv_setReadTarget(std::shared_ptr<void> target) {
    if (target != tyv_readTarget_) tyv_readTarget_ = std::move(target);
}

void SerialPort::waitForInputSelector(std::shared_ptr<void> target, ReadSelector selector) {
    tyv_setReadTarget(std::move(target));
    tyv_readSelector_ = std::move(selector);
    scheduleDoRead();
}

void SerialPort::scheduleDoRead() {
    platform::MainExecutor::current().scheduleAfter(std::chrono::milliseconds(100),
                                                    [self = shared_from_this()] { self->doRead(); });
}

void SerialPort::doRead() {
    int ready;
    {
        HeldDescriptor held;
        holdDescriptor(&held);
        if (held.fd < 0) {
            tyv_setReadTarget(nullptr);
            return;
        }
        timeval limit{};
        readTimeoutAsTimeval(&limit);
        const int64_t microseconds = static_cast<int64_t>(limit.tv_sec) * 1000000 + limit.tv_usec;
        const uint64_t start = icrosecondsSinceBoot();
        readfds_ = pollfd{held.fd, POLLIN, 0};
        do {  // a signal ends the wait early: wait again for the time left
            const int64_t timeLeft = microseconds - static_cast<int64_t>(icrosecondsSinceBoot() - start);
            ready = poll(&readfds_, 1, pollMilliseconds(timeLeft));
        } while (ready < 0 && errno == EINTR);
    }
    if (ready < 1) {
        scheduleDoRead();
        return;
    }
    std::optional<std::string> text = readStringUsingEncodingError(StringEncoding::UTF8, nullptr);
    if (tyv_readTarget_ && tyv_readSelector_) tyv_readSelector_(text);
    tyv_setReadTarget(nullptr);
}

// ---- background reads ----

void SerialPort::readDataInBackground() {
    if (!delegateHandlesReadInBackground_) return;
    ++countReadInBackgroundThreads_;
    try {
        std::thread([self = shared_from_this()] { self->readDataInBackgroundThread(); }).detach();
    } catch (const std::system_error& e) {
        --countReadInBackgroundThreads_;
        platform::trace("serial port %s: no background read thread: %s", bsdPath_.c_str(), e.what());
    }
}

// One chunk: waits without a time limit until the device has input or the port is closed,
// reads once and hands the bytes (possibly none) to the delegate on the main thread.
// The wait and the read use a duplicate of the descriptor taken under closeLock: the port's
// close wakes the wait through the wake pipe, and a descriptor number reused by a later open is
// never read here.
void SerialPort::readDataInBackgroundThread() {
    nameThisThread("vs.Port.readBg");
    std::lock_guard readGuard(readLock_);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kBufferSize]);
    stopReadInBackground_ = false;

    std::unique_lock closeGuard(closeLock_);
    if (fileDescriptor_.load() < 0 || stopReadInBackground_) {
        closeGuard.unlock();
        --countReadInBackgroundThreads_;
        return;
    }
    const uint64_t generation = openGeneration_.load();
    if (wakePipe_[0] < 0 && pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe_[0] = wakePipe_[1] = -1;
    const int wake = wakePipe_[0];
    if (wake >= 0) {  // wake-ups left from closes of earlier opens
        char stale[64];
        while (::read(wake, stale, sizeof stale) > 0) {
        }
    }
    const int fd = fcntl(fileDescriptor_.load(), F_DUPFD_CLOEXEC, 0);
    closeGuard.unlock();

    ssize_t count = 0;
    bool hardFailure = fd < 0 || wake < 0;
    if (!hardFailure) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        int ready;
        do {
            ready = poll(fds, 2, -1);
        } while (ready < 0 && errno == EINTR);
        const bool closed = fds[1].revents != 0 || openGeneration_.load() != generation;
        if (ready < 0) {
            hardFailure = true;
        } else if (!closed && fds[0].revents) {
            count = ::read(fd, buffer.get(), kBufferSize);
            if (count == 0 || (count < 0 && !isTransient(errno))) hardFailure = true;
            if (count < 0) count = 0;
        }
    }
    if (fd >= 0) ::close(fd);
    // End of input or a dead device: close this open, so that a delegate that starts the next
    // read gets nothing more instead of an endless stream of empty chunks.
    if (hardFailure) closeIfGeneration(generation);

    if (auto delegate = this->delegate()) {
        SerialPortReadData info{shared_from_this(), Bytes(buffer.get(), buffer.get() + count)};
        postToMain([delegate = std::move(delegate), info = std::move(info)] { delegate->serialPortReadData(info); });
    }
    --countReadInBackgroundThreads_;
}

// ---- background writes ----

void SerialPort::writeDataInBackground(Bytes data) {
    if (!delegateHandlesWriteInBackground_) return;
    ++countWriteInBackgroundThreads_;
    try {
        // The speed is taken here, on the thread that owns the settings.
        std::thread([self = shared_from_this(), data = std::move(data), speed = static_cast<uint64_t>(speed())] {
            self->writeDataInBackgroundThread(data, speed);
        }).detach();
    } catch (const std::system_error& e) {
        --countWriteInBackgroundThreads_;
        platform::trace("serial port %s: no background write thread: %s", bsdPath_.c_str(), e.what());
    }
}

void SerialPort::reportProgressDataLen(uint64_t written, uint64_t length) {
    auto delegate = this->delegate();
    if (!delegate) return;
    SerialPortWriteProgress info{shared_from_this(), written, length};
    postToMain([delegate = std::move(delegate), info = std::move(info)] { delegate->serialPortWriteProgress(info); });
}

// Writes the data in chunks of 4096 bytes. A transfer estimated at more than 3 s reports 0 at
// once and then about every second; a shorter one reports first when a chunk completes after
// 2 s; whenever a report was made, the count reached is reported at the end.
// The time comes from the main executor's clock, which tests can drive.
void SerialPort::writeDataInBackgroundThread(const Bytes& data, uint64_t speed) {
    nameThisThread("vs.Port.writeBg");
    using std::chrono::seconds;
    bool reported = false;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kBufferSize]);
    stopWriteInBackground_ = false;
    std::unique_lock writeGuard(writeLock_);

    // Written through a duplicate of this open's descriptor: after a close, the number may name
    // another file.
    int fd;
    uint64_t generation;
    {
        std::lock_guard closeGuard(closeLock_);
        generation = openGeneration_.load();
        const int current = fileDescriptor_.load();
        fd = current >= 0 ? fcntl(current, F_DUPFD_CLOEXEC, 0) : -1;
    }

    uint64_t written = 0;
    const uint64_t length = data.size();
    // Speed 0 gives no estimate: taken as a long transfer.
    const uint64_t estimate = speed == 0 ? UINT64_MAX : length * 8 / speed;
    const auto now = mainNow;
    platform::MainExecutor::Clock::time_point nextReport;
    if (estimate > 3) {
        reportProgressDataLen(0, length);
        reported = true;
        nextReport = now() + seconds(1);
    } else {
        nextReport = now() + seconds(2);
    }

    while (!stopWriteInBackground_ && written < length) {
        if (fd < 0 || openGeneration_.load() != generation) break;  // the port was closed
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(kBufferSize, length - written));
        std::copy_n(data.data() + written, chunk, buffer.get());
        ssize_t count;
        do {
            count = ::write(fd, buffer.get(), chunk);
        } while (count < 0 && errno == EINTR);
        if (count <= 0) break;
        written += static_cast<uint64_t>(count);
        if (now() > nextReport && (reported || written < length)) {
            reportProgressDataLen(written, length);
            reported = true;
            nextReport = now() + seconds(1);
        }
    }
    if (reported) reportProgressDataLen(written, length);
    if (fd >= 0) ::close(fd);

    stopWriteInBackground_ = false;
    writeGuard.unlock();
    --countWriteInBackgroundThreads_;
}
