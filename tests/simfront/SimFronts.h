#pragma once
// Front ends that put the simulated mixer on real transports, on loopback only: a UDP responder
// for the device search, a TCP listener that speaks the link protocol, and the mixer's end of a
// serial line (one side of a socat pseudo-terminal pair). Plain POSIX sockets and threads, so
// that they share nothing with the program's own socket and serial code.

#include "sim/SimMixer.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

// A mixer shared by the front ends' threads.
class LockedMixer {
public:
    explicit LockedMixer(uint32_t seed = 1, int firmwareVersion = SimMixer::kNewLayoutVersion)
        : mixer_(seed, firmwareVersion) {}
    // Feeds bytes from the computer and returns every reply byte they caused.
    Bytes exchange(const uint8_t* data, size_t length);
    // Runs f on the mixer under the lock.
    template <typename F>
    auto with(F f) {
        std::lock_guard lock(mutex_);
        return f(mixer_);
    }

private:
    std::mutex mutex_;
    SimMixer mixer_;
};

// A background thread that polls one descriptor set until stopped through its wake pipe.
class PollThread {
public:
    PollThread();
    ~PollThread();
    PollThread(const PollThread&) = delete;
    PollThread& operator=(const PollThread&) = delete;

protected:
    // Starts the loop: before each wait, fds() names the descriptors to watch for input; ready(fd)
    // runs for each one that has input (or has hung up).
    void start(std::function<std::vector<int>()> fds, std::function<void(int)> ready);
    void stop();
    // Wakes the loop so that it asks fds() again.
    void wake();

private:
    int wake_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// Answers the 12-byte search probe with a reply of replyLength bytes, sent from replyFrom
// (port 0) to the probe's sender (at replyPort when it is set).
class UdpFront : public PollThread {
public:
    struct Options {
        uint16_t port = 8000;  // where probes arrive
        std::string replyFrom = "127.0.0.1";
        size_t replyLength = 32;
        std::chrono::milliseconds replyDelay{0};
        std::string listenAddress = "0.0.0.0";
        uint16_t replyPort = 0;  // 0: the sender's port
        // Set: a probe is answered only once this front has answered as many probes (and after
        // replyDelay), so its replies reach a shared receiver first, however busy the machine.
        const UdpFront* answersAfter = nullptr;
    };
    explicit UdpFront(Options options);
    ~UdpFront();
    bool ok() const { return listen_ >= 0 && reply_ >= 0; }
    int probes() const { return probes_.load(); }
    int replies() const { return replies_.load(); }
    // Every datagram that has reached the front has been taken and dealt with: none waits unread
    // and none is being answered. With the sender's sends known to be out, its count is final.
    bool settled() const;

private:
    void onReady(int fd);
    Options options_;
    int listen_ = -1;
    int reply_ = -1;
    std::atomic<int> probes_{0};
    std::atomic<int> replies_{0};
    std::atomic<bool> handling_{false};  // from before a datagram is taken until it is answered
};

// Listens on address:port (0 = any free port) and serves one computer at a time.
class TcpFront : public PollThread {
public:
    TcpFront(LockedMixer& mixer, const std::string& address, uint16_t port);
    ~TcpFront();
    bool ok() const { return listen_ >= 0; }
    uint16_t port() const { return port_; }
    int connections() const { return connections_.load(); }
    bool hasClient() const { return hasClient_.load(); }
    // Closes the computer's connection, as a mixer that drops the link; a reply going out in
    // pieces stops at the next piece.
    void dropClient();
    // Sends replies in pieces of at most bytes, with a pause after each (0: whole replies).
    void setPieces(size_t bytes, std::chrono::microseconds pause) {
        pieceBytes_ = bytes;
        piecePause_ = pause;
    }
    // Writes bytes to the computer at once, as a mixer that answers late or unasked.
    void send(const Bytes& bytes);

private:
    void onReady(int fd);
    // Writes to the computer, one writer at a time.
    bool write(int fd, const uint8_t* data, size_t length);
    LockedMixer& mixer_;
    std::mutex writeMutex_;
    int listen_ = -1;
    std::atomic<int> client_{-1};
    std::atomic<bool> hasClient_{false};
    std::atomic<bool> drop_{false};
    uint16_t port_ = 0;
    std::atomic<int> connections_{0};
    std::atomic<size_t> pieceBytes_{0};
    std::atomic<std::chrono::microseconds> piecePause_{std::chrono::microseconds(0)};
};

// The mixer's end of a serial line: opens path raw and answers what arrives.
class SerialFront : public PollThread {
public:
    SerialFront(LockedMixer& mixer, const std::string& path);
    ~SerialFront();
    bool ok() const { return fd_ >= 0; }
    // Closes the mixer's end, as an adapter that is unplugged.
    void close();
    // Writes bytes onto the line at once, as a mixer that sends unasked.
    void send(const Bytes& bytes);
    // Sends bytes right before the next reply, in the same write (a frame the mixer had begun).
    void prefixNextReply(Bytes bytes);

private:
    void onReady(int fd);
    LockedMixer& mixer_;
    int fd_ = -1;
    std::mutex prefixMutex_;
    Bytes prefix_;
};

// The far end of a serial line on which a device that is not a mixer sits (a GPS receiver, a
// board that prints a banner): it answers whatever arrives with a line of text, and the test can
// put any bytes on the line.
class TextFront : public PollThread {
public:
    TextFront(const std::string& path, std::string answer);
    ~TextFront();
    bool ok() const { return fd_ >= 0; }
    // Bytes that arrived from the computer, and the answers sent.
    size_t received() const { return received_.load(); }
    int answers() const { return answers_.load(); }
    void send(const Bytes& bytes);

private:
    void onReady(int fd);
    int fd_ = -1;
    std::string answer_;
    std::atomic<size_t> received_{0};
    std::atomic<int> answers_{0};
};

// socat joining two pseudo-terminals, reachable through the links first and second (their
// folders are made when missing). ready() waits until both links exist.
class SocatPair {
public:
    SocatPair(std::string first, std::string second);
    ~SocatPair();
    SocatPair(const SocatPair&) = delete;
    SocatPair& operator=(const SocatPair&) = delete;
    bool ready(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    // Ends socat, which closes both lines.
    void kill();
    const std::string first;
    const std::string second;

private:
    pid_t pid_ = -1;
};

}  // namespace sim
