#pragma once
// One serial device node: opening and closing it through the terminal interface, its settings
// (a working copy that commitChanges applies, and the settings found at open, which close puts
// back), line control, an ownership token, a dictionary view of the settings and a sticky error
// latch; blocking reads and writes on the caller's thread; one-shot background reads and chunked
// background writes that report to the delegate on the main thread.
//
// A background read closes the port on its own thread at end of input, so any thread may see the
// port close under it: the blocking reads and writes, bytesAvailable and the line controls work
// on a duplicate of the descriptor taken under the close lock, never on the bare number, which
// the system may give to a socket or a file as soon as the port is closed. On a closed port each
// fails at once.

#include "platform/Error.h"
#include "serial/TextEncoding.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/time.h>
#include <termios.h>

class SerialPort;

// Domain of the serial port's read and write errors.
inline constexpr const char* SerialErrorDomain = "com.varnel.serial.SerialErrorDomain";

enum SerialError : long {
    SerialErrorNone = 0,            // the read met a stop condition; the write wrote every byte
    SerialErrorSystem = 99,         // the wait, the read or the write failed, or the input ended
    SerialErrorTimeout = 100,       // the read's deadline passed
    SerialErrorBufferFull = 101,    // 4096 bytes were read before any stop condition
    SerialErrorNoDataToWrite = 200,
    SerialErrorShortWrite = 201,    // the write wrote fewer bytes than asked
};

// Which stop condition ended a successful read ("endCode").
enum SerialEndCode : int {
    SerialEndCodeStopChar = 1,
    SerialEndCodeByteCount = 2,
};

// User-information keys of the read and write errors. A read error also carries
// platform::kUnderlyingErrorKey (a platform::Error) when the read system call failed.
inline constexpr const char* SerialErrorBytesReadKey = "bytesRead";        // uint64_t
inline constexpr const char* SerialErrorEndCodeKey = "endCode";            // int
inline constexpr const char* SerialErrorBytesWrittenKey = "bytesWritten";  // int64_t

// Keys of the options dictionary; every value is a string.
inline constexpr const char* SerialOptionServiceName = "SerialOptionServiceNe";
inline constexpr const char* SerialOptionSpeed = "SerialOptionSpeed";
inline constexpr const char* SerialOptionDataBits = "SerialOptionDataBits";
inline constexpr const char* SerialOptionParity = "SerialOptionParity";
inline constexpr const char* SerialOptionStopBits = "SerialOptionStopBits";
inline constexpr const char* SerialOptionInputFlowControl = "SerialOptionInputFlowControl";
inline constexpr const char* SerialOptionOutputFlowControl = "SerialOptionOutputFlowControl";
inline constexpr const char* SerialOptionEcho = "SerialOptionEcho";
inline constexpr const char* SerialOptionCanonicalMode = "SerialOptionCanonicalMode";

using SerialOptions = std::map<std::string, std::string>;

// An open flag of its own, beside the open(2) flags: take an exclusive advisory lock on the
// device at open (flock), failing the open when another holder has it.
inline constexpr int O_EXLOCK_SERIAL = 0x40000000;

// What the delegate receives for one background read: the port and 0 to 4096 bytes.
struct SerialPortReadData {
    std::shared_ptr<SerialPort> serialPort;
    platform::Bytes data;
};

// What the delegate receives while a background write runs.
struct SerialPortWriteProgress {
    std::shared_ptr<SerialPort> serialPort;
    uint64_t value = 0;  // bytes written so far
    uint64_t total = 0;  // length of the data being written
};

// The port's delegate. Both callbacks are optional: a delegate tells which ones it answers, and
// the port asks once, when the delegate is set. They run on the main thread.
class SerialPortDelegate {
public:
    virtual ~SerialPortDelegate();
    virtual bool respondsToSerialPortReadData() const { return false; }
    virtual bool respondsToSerialPortWriteProgress() const { return false; }
    virtual void serialPortReadData(const SerialPortReadData& info) {}
    virtual void serialPortWriteProgress(const SerialPortWriteProgress& info) {}
};

// The terminal settings of a port. Flow control on DTR, DSR and carrier has no line discipline
// on Linux: those three flags are kept here, so that the getters and the options dictionary
// answer what was set, and nothing applies them to the device.
struct SerialSettings {
    termios tio{};
    bool dtrInputFlowControl = false;
    bool dsrOutputFlowControl = false;
    bool carOutputFlowControl = false;
};

class SerialPort : public std::enable_shared_from_this<SerialPort> {
    struct Passkey {};

public:
    static constexpr size_t kBufferSize = 4096;

    // Wraps the descriptor of an open port; it never closes the descriptor itself.
    struct FileHandle {
        int fileDescriptor;
    };

    // The polling read's target action: receives the string read, or nullopt.
    using ReadSelector = std::function<void(const std::optional<std::string>&)>;

    // A new, closed port for the device node path, with the service's TTY name and type.
    static std::shared_ptr<SerialPort> initWithNameType(std::string path, std::string name, std::string type);
    SerialPort(Passkey, std::string path, std::string name, std::string type);
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Identity: the path is the port's identity; name and type play no part in equality.
    const std::string& bsdPath() const { return bsdPath_; }
    const std::string& name() const { return serviceName_; }
    const std::string& type() const { return serviceType_; }
    std::string description() const;
    size_t hash() const;
    bool isEqual(const SerialPort* other) const;
    bool operator==(const SerialPort& other) const { return isEqual(&other); }
    // Every property the device registry holds for this port's TTY name, or nullopt.
    std::optional<std::map<std::string, std::string>> properties() const;

    std::shared_ptr<SerialPortDelegate> delegate() const;
    void setDelegate(std::shared_ptr<SerialPortDelegate> delegate);

    // Ownership token: a cooperative claim that guards nothing by itself.
    std::shared_ptr<SerialPort> obtainBy(std::shared_ptr<void> sender);
    void free();  // gives up the owner, then closes
    bool available() const { return owner_ == nullptr; }
    std::shared_ptr<void> owner() const { return owner_; }

    // Opening: the file handle of the opened device, or null. Opening an open port closes it first.
    std::shared_ptr<FileHandle> openWithFlags(int flags);
    std::shared_ptr<FileHandle> open();             // read-write, not the controlling terminal, blocking
    std::shared_ptr<FileHandle> openExclusively();  // also non-blocking, with an exclusive lock
    bool isOpen() const { return fileDescriptor_.load() >= 0; }
    int fileDescriptor() const { return fileDescriptor_.load(); }
    std::shared_ptr<FileHandle> fileHandle() const;
    // Puts back the settings found at open and closes the device; does nothing when closed.
    void close();

    // Line control: false when the system call fails or the port is closed.
    bool drainInput();
    bool flushInputOutput(bool input, bool output);
    bool sendBreak();
    bool setDTR();
    bool clearDTR();

    // Settings of the working copy; commitChanges applies them.
    unsigned long dataBits() const;
    void setDataBits(unsigned long bits);
    int parity() const;  // 0 none, 1 odd, 2 even
    void setParity(int parity);
    int stopBits() const;
    void setStopBits(int bits);
    bool echoEnabled() const;
    void setEchoEnabled(bool on);
    bool canonicalMode() const;
    void setCanonicalMode(bool on);
    // RTS input and CTS output flow control are one setting on Linux (CRTSCTS): switching
    // either switches both.
    bool RTSInputFlowControl() const;
    void setRTSInputFlowControl(bool on);
    bool DTRInputFlowControl() const;
    void setDTRInputFlowControl(bool on);
    bool CTSOutputFlowControl() const;
    void setCTSOutputFlowControl(bool on);
    bool DSROutputFlowControl() const;
    void setDSROutputFlowControl(bool on);
    bool CAROutputFlowControl() const;
    void setCAROutputFlowControl(bool on);
    bool hangupOnClose() const;
    void setHangupOnClose(bool on);
    bool localMode() const;
    void setLocalMode(bool on);
    char endOfLineCharacter() const;
    void setEndOfLineCharacter(char c);
    unsigned long speed() const;   // output speed in bits per second
    unsigned long ispeed() const;  // input speed
    // Sets both speeds; false (and the error latched) for a speed the terminal interface lacks.
    bool setSpeed(unsigned long speed);
    // A raw 8N1 line: no canonical mode, no echo, no signals, no CR/LF translation, no output
    // processing, no software or hardware flow control; each read returns what has arrived.
    void makeRaw();
    // Applies the working settings; false while an error is latched or when the device refuses.
    bool commitChanges();
    void clearError() { gotError_ = false; }
    int errorCode() const { return lastError_; }

    // The options dictionary.
    SerialOptions options();
    void setOptions(const SerialOptions& options);
    void buildOptionsDictionary();

    // Time limit of one blocking read, in seconds.
    double readTimeout() const { return readTimeout_; }
    void setReadTimeout(double seconds) { readTimeout_ = seconds; }
    void readTimeoutAsTimeval(timeval* tv) const;

    // Blocking reads on the calling thread. Each fills *error (when given) on success too:
    // code SerialErrorNone with the end code, or the failure; "bytesRead" always.
    std::optional<platform::Bytes> readAndReturnError(platform::Error* error);
    std::optional<platform::Bytes> readBytesError(size_t bytes, platform::Error* error);
    std::optional<platform::Bytes> readUpToCharError(char stopChar, platform::Error* error);
    std::optional<platform::Bytes> readBytesUpToCharError(size_t bytes, char stopChar, platform::Error* error);
    // The same reads as text; nullopt when nothing was read or it does not decode.
    std::optional<std::string> readStringUsingEncodingError(StringEncoding encoding, platform::Error* error);
    std::optional<std::string> readBytesUsingEncodingError(size_t bytes, StringEncoding encoding, platform::Error* error);
    std::optional<std::string> readUpToCharUsingEncodingError(char stopChar, StringEncoding encoding,
                                                              platform::Error* error);
    std::optional<std::string> readBytesUpToCharUsingEncodingError(size_t bytes, char stopChar,
                                                                   StringEncoding encoding, platform::Error* error);
    // One write system call; true only when every byte was written. On a closed port nothing is
    // written and the code is SerialErrorSystem.
    bool writeDataError(const platform::Bytes& data, platform::Error* error);
    bool writeStringUsingEncodingError(const std::string& text, StringEncoding encoding, platform::Error* error);
    bool writeBytesLengthError(const void* bytes, size_t length, platform::Error* error);
    // Input bytes pending on the device, -1 when the query fails or the port is closed.
    int bytesAvailable();

    // Polling read: every 0.1 s on the main executor, waits up to the read timeout for input;
    // once there is some, reads a UTF-8 string, hands it to the selector and ends. A closed
    // port ends it without a call.
    void waitForInputSelector(std::shared_ptr<void> target, ReadSelector selector);
    void doRead();
    std::shared_ptr<void> tyv_readTarget() const { return tyv_readTarget_; }
    void tyv_setReadTarget(std::shared_ptr<void> target);

    // Background reads and writes; see SerialPortAdditions.cpp.
    void readDataInBackground();
    void stopReadInBackground() { stopReadInBackground_ = true; }
    void writeDataInBackground(platform::Bytes data);
    void stopWriteInBackground() { stopWriteInBackground_ = true; }
    int numberOfWriteInBackgroundThreads() const { return countWriteInBackgroundThreads_.load(); }

    // Older names.
    static std::shared_ptr<SerialPort> initWithName(std::string path, std::string name);
    long getSpeed() const { return static_cast<long>(speed()); }
    int getDataBits() const { return static_cast<int>(dataBits()); }
    bool testParity() const;
    bool testParityOdd() const;
    void setParityNone();
    void setParityEven();
    void setParityOdd();
    int getStopBits() const { return stopBits(); }
    void setStopBits2(bool two) { setStopBits(two ? 2 : 1); }
    bool testEchoEnabled() const { return echoEnabled(); }
    bool testRTSInputFlowControl() const { return RTSInputFlowControl(); }
    bool testDTRInputFlowControl() const { return DTRInputFlowControl(); }
    bool testCTSOutputFlowControl() const { return CTSOutputFlowControl(); }
    bool testDSROutputFlowControl() const { return DSROutputFlowControl(); }
    bool testCAROutputFlowControl() const { return CAROutputFlowControl(); }
    bool testHangupOnClose() const { return hangupOnClose(); }
    bool getLocal() const { return localMode(); }
    void setLocal(bool on) { setLocalMode(on); }
    int checkRead() { return bytesAvailable(); }
    std::optional<std::string> readString();
    std::optional<std::string> readStringOfLength(unsigned int count);
    int writeString(const std::string& text);

private:
    // A duplicate of the open descriptor, taken under closeLock_ so that a close on another
    // thread cannot free the number while it is in use, and the open it belongs to; fd -1 when
    // the port is closed (or no descriptor is left). Closes the duplicate when it goes.
    struct HeldDescriptor {
        int fd = -1;
        uint64_t generation = 0;
        HeldDescriptor() = default;
        HeldDescriptor(const HeldDescriptor&) = delete;
        HeldDescriptor& operator=(const HeldDescriptor&) = delete;
        ~HeldDescriptor();
    };
    void holdDescriptor(HeldDescriptor* held) const;
    std::optional<platform::Bytes> readAndStopAfterBytesBytesStopAtCharStopCharError(
        bool stopAfterBytes, size_t bytes, bool stopAtChar, char stopChar, platform::Error* error);
    void readDataInBackgroundThread();
    void writeDataInBackgroundThread(const platform::Bytes& data, uint64_t speed);
    void reportProgressDataLen(uint64_t written, uint64_t length);
    void closeLocked();                        // closeLock_ held
    void closeIfGeneration(uint64_t generation);  // closes only the open that generation names
    static void setBit(tcflag_t& flags, tcflag_t bit, bool on);
    void scheduleDoRead();

    const std::string bsdPath_;
    const std::string serviceName_;
    const std::string serviceType_;
    std::atomic<int> fileDescriptor_{-1};
    SerialSettings options_;
    SerialSettings originalOptions_;
    SerialOptions optionsDictionary_;
    std::shared_ptr<FileHandle> fileHandle_;
    bool gotError_ = false;
    int lastError_ = 0;
    std::shared_ptr<void> owner_;
    std::unique_ptr<uint8_t[]> buffer_;
    double readTimeout_ = 1.0;
    pollfd readfds_{};
    mutable std::mutex delegateMutex_;  // the delegate is read by the background threads
    std::shared_ptr<SerialPortDelegate> delegate_;
    std::atomic<bool> delegateHandlesReadInBackground_{false};
    std::atomic<bool> delegateHandlesWriteInBackground_{false};
    std::mutex writeLock_;
    std::mutex readLock_;
    mutable std::mutex closeLock_;  // also guards fileHandle_, which a background read may drop
    std::shared_ptr<void> tyv_readTarget_;
    ReadSelector tyv_readSelector_;
    std::atomic<bool> stopWriteInBackground_{false};
    std::atomic<int> countWriteInBackgroundThreads_{0};
    std::atomic<bool> stopReadInBackground_{false};
    std::atomic<int> countReadInBackgroundThreads_{0};
    // Under closeLock_: the wake pipe through which close ends a background wait, and the
    // number of closes so far, which tells one open of the device from the next.
    int wakePipe_[2] = {-1, -1};
    std::atomic<uint64_t> openGeneration_{0};
};
