#include "serial/SerialPort.h"

#include "platform/SerialRegistry.h"
#include "platform/Trace.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

static_assert((O_EXLOCK_SERIAL & (O_ACCMODE | O_CREAT | O_EXCL | O_NOCTTY | O_TRUNC | O_APPEND | O_NONBLOCK |
                                  O_DSYNC | O_SYNC | O_DIRECT | O_DIRECTORY | O_NOFOLLOW | O_NOATIME |
                                  O_CLOEXEC | O_PATH | O_TMPFILE | O_ASYNC)) == 0,
              "the exclusive-lock flag must not be an open(2) flag");

namespace {

// Speeds in bits per second and their terminal-interface symbols.
struct SpeedEntry {
    unsigned long bitsPerSecond;
    speed_t symbol;
};
constexpr SpeedEntry kSpeeds[] = {
    {0, B0},           {50, B50},         {75, B75},         {110, B110},         {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},         {1200, B1200},
    {1800, B1800},     {2400, B2400},     {4800, B4800},     {9600, B9600},       {19200, B19200},
    {38400, B38400},   {57600, B57600},   {115200, B115200}, {230400, B230400},   {460800, B460800},
    {500000, B500000}, {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

std::optional<speed_t> speedSymbol(unsigned long bitsPerSecond) {
    for (const auto& entry : kSpeeds) {
        if (entry.bitsPerSecond == bitsPerSecond) return entry.symbol;
    }
    return std::nullopt;
}

unsigned long speedNumber(speed_t symbol) {
    for (const auto& entry : kSpeeds) {
        if (entry.symbol == symbol) return entry.bitsPerSecond;
    }
    return 0;
}

// The leading decimal number of a text (after blanks, with an optional sign), 0 when none.
long leadingNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long value = 0;
    for (; i < text.size() && isdigit(static_cast<unsigned char>(text[i])); ++i) {
        if (value > (__LONG_MAX__ - 9) / 10) break;  // saturate instead of overflowing
        value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

std::optional<std::string> entry(const SerialOptions& options, const char* key) {
    auto it = options.find(key);
    if (it == options.end()) return std::nullopt;
    return it->second;
}

}  // namespace

SerialPortDelegate::~SerialPortDelegate() = default;

// ---- creation and identity ----

std::shared_ptr<SerialPort> SerialPort::initWithNameType(std::string path, std::string name, std::string type) {
    return std::make_shared<SerialPort>(Passkey{}, std::move(path), std::move(name), std::move(type));
}

std::shared_ptr<SerialPort> SerialPort::initWithName(std::string path, std::string name) {
    return initWithNameType(std::move(path), std::move(name), "");
}

SerialPort::SerialPort(Passkey, std::string path, std::string name, std::string type)
    : bsdPath_(std::move(path)),
      serviceName_(std::move(name)),
      serviceType_(std::move(type)),
      buffer_(std::make_unique<uint8_t[]>(kBufferSize)) {}

SerialPort::~SerialPort() {
    close();
    for (int fd : wakePipe_) {
        if (fd >= 0) ::close(fd);
    }
}

std::shared_ptr<SerialPort::FileHandle> SerialPort::fileHandle() const {
    std::lock_guard lock(closeLock_);
    return fileHandle_;
}

std::string SerialPort::description() const {
    char handle[32] = "(null)";
    if (auto current = fileHandle()) snprintf(handle, sizeof handle, "<FileHandle: %d>", current->fileDescriptor);
    char text[1024];
    snprintf(text, sizeof text, "<%s: address: %p, name: %s, path: %s, type: %s, fileHandle: %s, fileDescriptor: %d>",
             "SerialPort", static_cast<const void*>(this), serviceName_.c_str(), bsdPath_.c_str(),
             serviceType_.c_str(), handle, fileDescriptor_.load());
    return text;
}

size_t SerialPort::hash() const { return std::hash<std::string>{}(bsdPath_); }

bool SerialPort::isEqual(const SerialPort* other) const { return other && other->bsdPath_ == bsdPath_; }

std::optional<std::map<std::string, std::string>> SerialPort::properties() const {
    return platform::SerialRegistry::shared().details(serviceName_);
}

std::shared_ptr<SerialPortDelegate> SerialPort::delegate() const {
    std::lock_guard lock(delegateMutex_);
    return delegate_;
}

void SerialPort::setDelegate(std::shared_ptr<SerialPortDelegate> delegate) {
    std::lock_guard lock(delegateMutex_);
    if (delegate == delegate_) return;
    delegateHandlesReadInBackground_ = delegate && delegate->respondsToSerialPortReadData();
    delegateHandlesWriteInBackground_ = delegate && delegate->respondsToSerialPortWriteProgress();
    delegate_ = std::move(delegate);
}

// ---- ownership ----

std::shared_ptr<SerialPort> SerialPort::obtainBy(std::shared_ptr<void> sender) {
    if (owner_) return nullptr;
    owner_ = std::move(sender);
    return shared_from_this();
}

void SerialPort::free() {
    owner_.reset();
    close();
}

// ---- opening and closing ----

std::shared_ptr<SerialPort::FileHandle> SerialPort::open() { return openWithFlags(O_RDWR | O_NOCTTY); }

std::shared_ptr<SerialPort::FileHandle> SerialPort::openExclusively() {
    return openWithFlags(O_RDWR | O_NOCTTY | O_NONBLOCK | O_EXLOCK_SERIAL);
}

std::shared_ptr<SerialPort::FileHandle> SerialPort::openWithFlags(int flags) {
    // A second open would leak the first descriptor and lose the settings it must restore.
    if (isOpen()) close();
    const bool exclusive = (flags & O_EXLOCK_SERIAL) != 0;
    flags &= ~O_EXLOCK_SERIAL;
    // Opened non-blocking so that a line without carrier does not hold up the open; a blocking
    // open then gets its blocking descriptor back at once.
    int fd = ::open(bsdPath_.c_str(), flags | O_NONBLOCK | O_CLOEXEC);
    bool ok = fd >= 0;
    if (ok && !(flags & O_NONBLOCK)) {
        int status = fcntl(fd, F_GETFL);
        ok = status >= 0 && fcntl(fd, F_SETFL, status & ~O_NONBLOCK) == 0;
    }
    if (ok && exclusive) ok = flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (ok) ok = tcgetattr(fd, &originalOptions_.tio) == 0;
    if (!ok) {
        if (fd >= 0) ::close(fd);
        fileDescriptor_ = -1;
        return nullptr;
    }
    originalOptions_.dtrInputFlowControl = false;
    originalOptions_.dsrOutputFlowControl = false;
    originalOptions_.carOutputFlowControl = false;
    options_ = originalOptions_;
    auto handle = std::make_shared<FileHandle>(FileHandle{fd});
    std::lock_guard lock(closeLock_);
    fileHandle_ = handle;
    fileDescriptor_ = fd;
    return handle;
}

SerialPort::HeldDescriptor::~HeldDescriptor() {
    if (fd >= 0) ::close(fd);
}

void SerialPort::holdDescriptor(HeldDescriptor* held) const {
    std::lock_guard lock(closeLock_);
    const int fd = fileDescriptor_.load();
    held->generation = openGeneration_.load();
    held->fd = fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

void SerialPort::close() {
    if (fileDescriptor_.load() < 0) return;
    std::lock_guard lock(closeLock_);
    closeLocked();
}

void SerialPort::closeIfGeneration(uint64_t generation) {
    std::lock_guard lock(closeLock_);
    if (openGeneration_.load() == generation) closeLocked();
}

void SerialPort::closeLocked() {
    const int fd = fileDescriptor_.load();
    if (fd < 0) return;  // closed by another thread while this one waited for the lock
    // Non-blocking first, so that putting back the settings cannot wait for pending output.
    int status = fcntl(fd, F_GETFL);
    if (status >= 0) fcntl(fd, F_SETFL, status | O_NONBLOCK);
    tcsetattr(fd, TCSANOW, &originalOptions_.tio);
    // The exclusive lock belongs to the open file, which a background thread's duplicate of the
    // descriptor keeps alive for a while: give the lock up now, so the device can be locked
    // again as soon as this close returns.
    flock(fd, LOCK_UN);
    fileHandle_.reset();
    ::close(fd);
    fileDescriptor_ = -1;
    ++openGeneration_;
    // Ends a background wait on this open at once: closing a descriptor does not wake a poll on
    // a duplicate of it.
    if (wakePipe_[1] >= 0) {
        const char byte = 1;
        while (write(wakePipe_[1], &byte, 1) < 0 && errno == EINTR) {
        }
    }
}

// ---- line control ----

bool SerialPort::drainInput() {
    HeldDescriptor held;
    holdDescriptor(&held);
    return held.fd >= 0 && tcdrain(held.fd) != -1;
}

bool SerialPort::flushInputOutput(bool input, bool output) {
    // With neither queue chosen there is nothing to flush; Linux would take the selector 0 as
    // TCIFLUSH, so the refusal is made here.
    if (!input && !output) return false;
    const int selector = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    HeldDescriptor held;
    holdDescriptor(&held);
    return held.fd >= 0 && tcflush(held.fd, selector) != -1;
}

bool SerialPort::sendBreak() {
    HeldDescriptor held;
    holdDescriptor(&held);
    return held.fd >= 0 && tcsendbreak(held.fd, 0) != -1;
}

bool SerialPort::setDTR() {
    int bits = TIOCM_DTR;
    HeldDescriptor held;
    holdDescriptor(&held);
    return held.fd >= 0 && ioctl(held.fd, TIOCMBIS, &bits) != -1;
}

bool SerialPort::clearDTR() {
    int bits = TIOCM_DTR;
    HeldDescriptor held;
    holdDescriptor(&held);
    return held.fd >= 0 && ioctl(held.fd, TIOCMBIC, &bits) != -1;
}

// ---- settings ----

void SerialPort::setBit(tcflag_t& flags, tcflag_t bit, bool on) {
    if (on) {
        flags |= bit;
    } else {
        flags &= ~bit;
    }
}

unsigned long SerialPort::dataBits() const {
    switch (options_.tio.c_cflag & CSIZE) {
    case CS6: return 6;
    case CS7: return 7;
    case CS8: return 8;
    default: return 5;
    }
}

void SerialPort::setDataBits(unsigned long bits) {
    options_.tio.c_cflag &= ~CSIZE;
    if (bits == 6) options_.tio.c_cflag |= CS6;
    if (bits == 7) options_.tio.c_cflag |= CS7;
    if (bits == 8) options_.tio.c_cflag |= CS8;
}

int SerialPort::parity() const {
    if (!(options_.tio.c_cflag & PARENB)) return 0;
    return (options_.tio.c_cflag & PARODD) ? 1 : 2;
}

void SerialPort::setParity(int parity) {
    switch (parity) {
    case 0: options_.tio.c_cflag &= ~PARENB; break;  // the odd bit stays as it was
    case 1: options_.tio.c_cflag |= PARENB | PARODD; break;
    case 2:
        options_.tio.c_cflag |= PARENB;
        options_.tio.c_cflag &= ~PARODD;
        break;
    default: break;
    }
}

int SerialPort::stopBits() const { return (options_.tio.c_cflag & CSTOPB) ? 2 : 1; }

void SerialPort::setStopBits(int bits) {
    if (bits == 1) options_.tio.c_cflag &= ~CSTOPB;
    if (bits == 2) options_.tio.c_cflag |= CSTOPB;
}

bool SerialPort::echoEnabled() const { return options_.tio.c_lflag & ECHO; }
void SerialPort::setEchoEnabled(bool on) { setBit(options_.tio.c_lflag, ECHO, on); }
bool SerialPort::canonicalMode() const { return options_.tio.c_lflag & ICANON; }
void SerialPort::setCanonicalMode(bool on) { setBit(options_.tio.c_lflag, ICANON, on); }
bool SerialPort::RTSInputFlowControl() const { return options_.tio.c_cflag & CRTSCTS; }
void SerialPort::setRTSInputFlowControl(bool on) { setBit(options_.tio.c_cflag, CRTSCTS, on); }
bool SerialPort::CTSOutputFlowControl() const { return options_.tio.c_cflag & CRTSCTS; }
void SerialPort::setCTSOutputFlowControl(bool on) { setBit(options_.tio.c_cflag, CRTSCTS, on); }
bool SerialPort::DTRInputFlowControl() const { return options_.dtrInputFlowControl; }
void SerialPort::setDTRInputFlowControl(bool on) { options_.dtrInputFlowControl = on; }
bool SerialPort::DSROutputFlowControl() const { return options_.dsrOutputFlowControl; }
void SerialPort::setDSROutputFlowControl(bool on) { options_.dsrOutputFlowControl = on; }
bool SerialPort::CAROutputFlowControl() const { return options_.carOutputFlowControl; }
void SerialPort::setCAROutputFlowControl(bool on) { options_.carOutputFlowControl = on; }
bool SerialPort::hangupOnClose() const { return options_.tio.c_cflag & HUPCL; }
void SerialPort::setHangupOnClose(bool on) { setBit(options_.tio.c_cflag, HUPCL, on); }
bool SerialPort::localMode() const { return options_.tio.c_cflag & CLOCAL; }
void SerialPort::setLocalMode(bool on) { setBit(options_.tio.c_cflag, CLOCAL, on); }
char SerialPort::endOfLineCharacter() const { return static_cast<char>(options_.tio.c_cc[VEOL]); }
void SerialPort::setEndOfLineCharacter(char c) { options_.tio.c_cc[VEOL] = static_cast<cc_t>(c); }
unsigned long SerialPort::speed() const { return speedNumber(cfgetospeed(&options_.tio)); }
unsigned long SerialPort::ispeed() const { return speedNumber(cfgetispeed(&options_.tio)); }

bool SerialPort::setSpeed(unsigned long speed) {
    std::optional<speed_t> symbol = speedSymbol(speed);
    if (!symbol) errno = EINVAL;
    if (!symbol || cfsetispeed(&options_.tio, *symbol) == -1 || cfsetospeed(&options_.tio, *symbol) == -1) {
        gotError_ = true;
        lastError_ = errno;
        return false;
    }
    return true;
}

void SerialPort::makeRaw() {
    termios& t = options_.tio;
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    // A line keeps the settings of the last program that used it: hardware flow control left on
    // would stall every write to a mixer that does not drive CTS.
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

bool SerialPort::commitChanges() {
    if (gotError_) return false;
    if (tcsetattr(fileDescriptor_.load(), TCSANOW, &options_.tio) == -1) {
        gotError_ = true;
        lastError_ = errno;
        return false;
    }
    buildOptionsDictionary();
    return true;
}

// ---- options dictionary ----

void SerialPort::buildOptionsDictionary() {
    optionsDictionary_.clear();
    optionsDictionary_[SerialOptionServiceName] = serviceName_;
    optionsDictionary_[SerialOptionSpeed] = std::to_string(static_cast<long>(speed()));
    optionsDictionary_[SerialOptionDataBits] = std::to_string(dataBits());
    if (parity() == 1) optionsDictionary_[SerialOptionParity] = "Odd";
    if (parity() == 2) optionsDictionary_[SerialOptionParity] = "Even";
    optionsDictionary_[SerialOptionStopBits] = std::to_string(stopBits());
    if (RTSInputFlowControl()) optionsDictionary_[SerialOptionInputFlowControl] = "RTS";
    if (DTRInputFlowControl()) optionsDictionary_[SerialOptionInputFlowControl] = "DTR";
    if (CTSOutputFlowControl()) optionsDictionary_[SerialOptionOutputFlowControl] = "CTS";
    if (DSROutputFlowControl()) optionsDictionary_[SerialOptionOutputFlowControl] = "DSR";
    if (CAROutputFlowControl()) optionsDictionary_[SerialOptionOutputFlowControl] = "CAR";
    if (echoEnabled()) optionsDictionary_[SerialOptionEcho] = "YES";
    if (canonicalMode()) optionsDictionary_[SerialOptionCanonicalMode] = "YES";
}

SerialOptions SerialPort::options() {
    if (!optionsDictionary_.count(SerialOptionServiceName)) {
        // Never built: read the device's current settings by a short open.
        if (!isOpen()) {
            open();
            close();
        }
        buildOptionsDictionary();
    }
    return optionsDictionary_;
}

void SerialPort::setOptions(const SerialOptions& options) {
    auto name = entry(options, SerialOptionServiceName);
    if (!name || *name != serviceName_) return;
    clearError();
    for (const auto& [key, value] : options) optionsDictionary_[key] = value;
    const SerialOptions& merged = optionsDictionary_;
    const auto number = [&](const char* key) { return leadingNumber(entry(merged, key).value_or("")); };

    const std::string speedText = entry(merged, SerialOptionSpeed).value_or("");
    platform::trace("%s", speedText.c_str());
    setSpeed(static_cast<unsigned long>(number(SerialOptionSpeed)));
    setDataBits(static_cast<unsigned long>(number(SerialOptionDataBits)));
    auto parityText = entry(merged, SerialOptionParity);
    setParity(!parityText ? 0 : *parityText == "Odd" ? 1 : 2);
    setStopBits(static_cast<int>(number(SerialOptionStopBits)));
    auto input = entry(merged, SerialOptionInputFlowControl);
    setRTSInputFlowControl(input == "RTS");
    setDTRInputFlowControl(input == "DTR");
    auto output = entry(merged, SerialOptionOutputFlowControl);
    // RTS/CTS is one setting here: CTS output must not clear what RTS input just set.
    setCTSOutputFlowControl(output == "CTS" || input == "RTS");
    setDSROutputFlowControl(output == "DSR");
    setCAROutputFlowControl(output == "CAR");
    setEchoEnabled(merged.count(SerialOptionEcho) > 0);
    setCanonicalMode(merged.count(SerialOptionCanonicalMode) > 0);
    commitChanges();
}

// ---- read time limit ----

void SerialPort::readTimeoutAsTimeval(timeval* tv) const {
    const double whole = std::trunc(readTimeout_);
    tv->tv_sec = static_cast<time_t>(lrint(whole));
    tv->tv_usec = static_cast<suseconds_t>(lrint((readTimeout_ - whole) * 1000000.0));
}

// ---- older names ----

bool SerialPort::testParity() const { return options_.tio.c_cflag & PARENB; }
bool SerialPort::testParityOdd() const { return options_.tio.c_cflag & PARODD; }
void SerialPort::setParityNone() { options_.tio.c_cflag &= ~PARENB; }
void SerialPort::setParityEven() { setParity(2); }
void SerialPort::setParityOdd() { setParity(1); }

std::optional<std::string> SerialPort::readString() {
    return readStringUsingEncodingError(StringEncoding::MacOSRoman, nullptr);
}

std::optional<std::string> SerialPort::readStringOfLength(unsigned int count) {
    return readBytesUsingEncodingError(count, StringEncoding::MacOSRoman, nullptr);
}

int SerialPort::writeString(const std::string& text) {
    platform::Error error;
    writeStringUsingEncodingError(text, StringEncoding::MacOSRoman, &error);
    auto it = error.userInfo.find(SerialErrorBytesWrittenKey);
    if (it == error.userInfo.end()) return 0;
    return static_cast<int>(std::any_cast<int64_t>(it->second));
}
