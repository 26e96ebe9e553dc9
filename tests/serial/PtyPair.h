#pragma once
// Test support for the serial tests: a pseudo-terminal pair opened in-process (the port opens
// the terminal side by path, the test talks through the controller side), helpers that wait on
// observable state with generous limits, and a delegate that records what it receives.

#include "serial/SerialPort.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace serialtest {

using namespace std::chrono_literals;

// Polls a condition (real time) until it holds or the limit passes.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s);

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& path() const { return path_; }
    int controller() const { return controller_; }

    // Writes all bytes to the terminal side's input.
    void send(const std::string& bytes) const;
    void send(const platform::Bytes& bytes) const;
    // Bytes waiting in the terminal side's input (read through a descriptor of the test's own).
    int pendingInput() const;
    // Reads what the terminal side wrote, waiting up to limit for count bytes.
    platform::Bytes receive(size_t count, std::chrono::milliseconds limit = 5s) const;
    // Hangs up: closes the controller side.
    void hangUp();
    // The terminal side's settings as the device has them now.
    termios settings() const;
    // How many of this process's descriptors refer to the terminal side.
    int openCount() const;

private:
    int controller_ = -1;
    int observer_ = -1;  // the test's own descriptor on the terminal side
    std::string path_;
};

// The number of this process's threads.
int threadCount();

// Records the delegate callbacks (on the main thread).
class RecordingDelegate : public SerialPortDelegate {
public:
    explicit RecordingDelegate(bool reads = true, bool progress = true) : reads_(reads), progress_(progress) {}
    bool respondsToSerialPortReadData() const override {
        ++respondsAsked;
        return reads_;
    }
    bool respondsToSerialPortWriteProgress() const override { return progress_; }
    void serialPortReadData(const SerialPortReadData& info) override;
    void serialPortWriteProgress(const SerialPortWriteProgress& info) override;

    std::vector<platform::Bytes> chunks;
    std::vector<std::pair<uint64_t, uint64_t>> reports;  // (value, total)
    std::vector<std::shared_ptr<SerialPort>> senders;
    // When set, each chunk starts the next background read, as the device link does.
    bool rearm = false;
    mutable int respondsAsked = 0;

private:
    bool reads_;
    bool progress_;
};

}  // namespace serialtest
