#include "simfront/SimFronts.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

extern char** environ;

namespace sim {

namespace {

const uint8_t kProbe[12] = {0x01, 0x02, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF};

sockaddr_in ipv4(const std::string& address, uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &in.sin_addr);
    return in;
}

bool writeAll(int fd, const uint8_t* data, size_t length, bool socket) {
    while (length > 0) {
        const ssize_t n = socket ? ::send(fd, data, length, MSG_NOSIGNAL) : ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
            continue;
        }
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

Bytes LockedMixer::exchange(const uint8_t* data, size_t length) {
    std::lock_guard lock(mutex_);
    mixer_.receive(data, length);
    Bytes out;
    while (mixer_.hasOutput()) {
        Bytes chunk = mixer_.takeChunk();
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    return out;
}

// ---- PollThread ----

PollThread::PollThread() {
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

PollThread::~PollThread() {
    stop();
    if (wake_[0] >= 0) ::close(wake_[0]);
    if (wake_[1] >= 0) ::close(wake_[1]);
}

void PollThread::start(std::function<std::vector<int>()> fds, std::function<void(int)> ready) {
    thread_ = std::thread([this, fds = std::move(fds), ready = std::move(ready)] {
        while (!stopping_) {
            std::vector<int> watched = fds();
            std::vector<pollfd> set;
            set.push_back({wake_[0], POLLIN, 0});
            for (int fd : watched)
                if (fd >= 0) set.push_back({fd, POLLIN, 0});
            const int n = ::poll(set.data(), set.size(), -1);
            if (n < 0 && errno != EINTR) break;
            if (set[0].revents) {
                char drain[64];
                while (::read(wake_[0], drain, sizeof drain) > 0) {
                }
            }
            if (stopping_) break;
            for (size_t i = 1; i < set.size(); ++i)
                if (set[i].revents) ready(set[i].fd);
        }
    });
}

void PollThread::stop() {
    stopping_ = true;
    wake();
    if (thread_.joinable()) thread_.join();
}

void PollThread::wake() {
    if (wake_[1] >= 0) {
        const char one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_[1], &one, 1);
    }
}

// ---- UdpFront ----

UdpFront::UdpFront(Options options) : options_(std::move(options)) {
    listen_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in any = ipv4(options_.listenAddress, options_.port);
    if (listen_ >= 0 && ::bind(listen_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
        ::close(listen_);
        listen_ = -1;
    }
    reply_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in from = ipv4(options_.replyFrom, 0);
    if (reply_ >= 0 && ::bind(reply_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        ::close(reply_);
        reply_ = -1;
    }
    if (ok()) start([this] { return std::vector<int>{listen_}; }, [this](int fd) { onReady(fd); });
}

UdpFront::~UdpFront() {
    stop();
    if (listen_ >= 0) ::close(listen_);
    if (reply_ >= 0) ::close(reply_);
}

bool UdpFront::settled() const {
    // Nothing waits first, then nothing is in hand: a datagram taken after the first look is
    // in hand until it is answered.
    int waiting = 0;
    if (::ioctl(listen_, FIONREAD, &waiting) != 0 || waiting > 0) return false;
    return !handling_.load();
}

void UdpFront::onReady(int fd) {
    handling_ = true;
    const std::shared_ptr<void> handled(nullptr, [this](void*) { handling_ = false; });
    uint8_t buffer[2048];
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &length);
    if (n != static_cast<ssize_t>(sizeof kProbe) || std::memcmp(buffer, kProbe, sizeof kProbe) != 0) return;
    const int probe = ++probes_;
    if (options_.replyDelay.count() > 0) std::this_thread::sleep_for(options_.replyDelay);
    if (options_.answersAfter) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (options_.answersAfter->replies() < probe && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (options_.replyPort != 0) sender.sin_port = htons(options_.replyPort);
    Bytes reply(options_.replyLength, 0x20);
    const char name[] = "VARNEL-MIXER";
    std::copy(name, name + std::min(sizeof name - 1, reply.size()), reply.begin());
    if (::sendto(reply_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&sender), length) ==
        static_cast<ssize_t>(reply.size()))
        ++replies_;
}

// ---- TcpFront ----

TcpFront::TcpFront(LockedMixer& mixer, const std::string& address, uint16_t port) : mixer_(mixer) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in at = ipv4(address, port);
    if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(listen_, 4) != 0) {
        if (listen_ >= 0) ::close(listen_);
        listen_ = -1;
        return;
    }
    socklen_t length = sizeof at;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&at), &length);
    port_ = ntohs(at.sin_port);
    start(
        [this] {
            if (drop_.exchange(false)) {
                const int old = client_.exchange(-1);
                if (old >= 0) ::close(old);
                hasClient_ = false;
            }
            return std::vector<int>{listen_, client_.load()};
        },
        [this](int fd) { onReady(fd); });
}

TcpFront::~TcpFront() {
    stop();
    if (client_ >= 0) ::close(client_);
    if (listen_ >= 0) ::close(listen_);
}

void TcpFront::dropClient() {
    drop_ = true;
    wake();
}

void TcpFront::send(const Bytes& bytes) {
    const int fd = client_.load();
    if (fd >= 0 && !bytes.empty()) write(fd, bytes.data(), bytes.size());
}

bool TcpFront::write(int fd, const uint8_t* data, size_t length) {
    std::lock_guard lock(writeMutex_);
    return writeAll(fd, data, length, true);
}

void TcpFront::onReady(int fd) {
    if (fd == listen_) {
        const int accepted = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (accepted < 0) return;
        const int old = client_.exchange(accepted);
        if (old >= 0) ::close(old);
        hasClient_ = true;
        ++connections_;
        return;
    }
    uint8_t buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
        if (n < 0 && errno == EINTR) return;
        if (client_.compare_exchange_strong(fd, -1)) ::close(fd);
        hasClient_ = false;
        return;
    }
    const Bytes reply = mixer_.exchange(buffer, static_cast<size_t>(n));
    const bool rebooting = mixer_.with([](SimMixer& m) { return m.takeLinkDrop(); });
    const size_t piece = pieceBytes_.load();
    if (piece == 0 || rebooting) {
        if (!reply.empty()) write(fd, reply.data(), reply.size());
        // A rebooting mixer closes the link after its last answer.
        if (rebooting && client_.compare_exchange_strong(fd, -1)) {
            ::close(fd);
            hasClient_ = false;
        }
        return;
    }
    // No coalescing: each piece leaves as its own segment.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    for (size_t at = 0; at < reply.size(); at += piece) {
        // A drop asked for while a long reply goes out cuts the reply there.
        if (drop_.load()) return;
        if (!write(fd, reply.data() + at, std::min(piece, reply.size() - at))) return;
        std::this_thread::sleep_for(piecePause_.load());
    }
}

// ---- SerialFront ----

namespace {

// Opens a line's far end raw at 57600 baud; -1 when it cannot be opened.
int openRawLine(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetspeed(&tio, B57600);
        tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

}  // namespace

SerialFront::SerialFront(LockedMixer& mixer, const std::string& path) : mixer_(mixer) {
    fd_ = openRawLine(path);
    if (fd_ < 0) return;
    start([this] { return std::vector<int>{fd_}; }, [this](int fd) { onReady(fd); });
}

void SerialFront::send(const Bytes& bytes) {
    if (fd_ >= 0 && !bytes.empty()) writeAll(fd_, bytes.data(), bytes.size(), false);
}

void SerialFront::prefixNextReply(Bytes bytes) {
    std::lock_guard lock(prefixMutex_);
    prefix_ = std::move(bytes);
}

SerialFront::~SerialFront() { close(); }

void SerialFront::close() {
    stop();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void SerialFront::onReady(int fd) {
    uint8_t buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) {
        // The computer's side is gone; wait a little instead of spinning on the hang-up.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return;
    }
    Bytes reply = mixer_.exchange(buffer, static_cast<size_t>(n));
    if (reply.empty()) return;
    {
        std::lock_guard lock(prefixMutex_);
        reply.insert(reply.begin(), prefix_.begin(), prefix_.end());
        prefix_.clear();
    }
    writeAll(fd, reply.data(), reply.size(), false);
}

// ---- TextFront ----

TextFront::TextFront(const std::string& path, std::string answer) : answer_(std::move(answer)) {
    fd_ = openRawLine(path);
    if (fd_ < 0) return;
    start([this] { return std::vector<int>{fd_}; }, [this](int fd) { onReady(fd); });
}

TextFront::~TextFront() {
    stop();
    if (fd_ >= 0) ::close(fd_);
}

void TextFront::send(const Bytes& bytes) {
    if (fd_ >= 0 && !bytes.empty()) writeAll(fd_, bytes.data(), bytes.size(), false);
}

void TextFront::onReady(int fd) {
    uint8_t buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return;
    }
    received_ += static_cast<size_t>(n);
    if (!answer_.empty() &&
        writeAll(fd, reinterpret_cast<const uint8_t*>(answer_.data()), answer_.size(), false))
        ++answers_;
}

// ---- SocatPair ----

SocatPair::SocatPair(std::string a, std::string b) : first(std::move(a)), second(std::move(b)) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(first).parent_path(), ignored);
    std::filesystem::create_directories(std::filesystem::path(second).parent_path(), ignored);
    const std::string left = "pty,link=" + first;
    const std::string right = "pty,link=" + second;
    const char* argv[] = {"socat", left.c_str(), right.c_str(), nullptr};
    if (posix_spawnp(&pid_, "socat", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
}

SocatPair::~SocatPair() {
    kill();
    ::unlink(first.c_str());
    ::unlink(second.c_str());
}

bool SocatPair::ready(std::chrono::milliseconds timeout) const {
    const auto until = std::chrono::steady_clock::now() + timeout;
    struct stat info{};
    while (pid_ > 0) {
        if (::stat(first.c_str(), &info) == 0 && ::stat(second.c_str(), &info) == 0) return true;
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

void SocatPair::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace sim
