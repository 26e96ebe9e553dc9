#pragma once
// The device link of the main window: every request becomes a frame (the sendCMD_ senders), every
// frame leaves through sendWithBytes into the transport, every received byte goes through the
// reassembly (parseData, RecByte) into the dispatcher (converToData), which fills the stores, sends
// the next frame of the multi-frame sequences and reports on the message bus.
//
// Main thread only; no locks. The main window supplies three seams:
//   LinkTransport        where frames go (TCP socket or serial port),
//   LinkConnectionState  which transport is active and whether the user switched it on,
//   LinkMainWindow       the busy display of the main window.
// A seam that is not set means: nothing to write to, not connected, nothing to show.

#include "link/GCData.h"
#include "link/XCoreData.h"
#include "platform/Error.h"
#include "platform/NotificationCenter.h"
#include "platform/Sleeper.h"

#include <cstdint>
#include <deque>
#include <string>

// Where the link's frames leave the program; implemented by the main window over its TCP socket
// and serial port.
class LinkTransport {
public:
    virtual ~LinkTransport();
    // Queues bytes for writing on the TCP socket to the mixer (no time-out, tag 0). Does nothing
    // when there is no TCP socket.
    virtual void writeTcp(const uint8_t* bytes, size_t length) = 0;
    // Queues one read on the TCP socket (no time-out, tag 0), so that a reply will be read.
    // Does nothing when there is no TCP socket.
    virtual void readNextTcp() = 0;
    // Writes bytes to the serial port, blocking until written. Does nothing when no port is open.
    virtual void writeSerial(const uint8_t* bytes, size_t length) = 0;
};

// The connection state the senders consult; implemented by the main window.
class LinkConnectionState {
public:
    virtual ~LinkConnectionState();
    // kConnectTypeSerial, kConnectTypeTcp, or 0 while no device was found.
    virtual int32_t connectType() const = 0;
    // The user has switched the serial link on (Connect button).
    virtual bool isSerialComportOpen() const = 0;
    // The user has switched the TCP link on (Connect button).
    virtual bool isNetworkOpen() const = 0;
};

// What the dispatcher calls on the main window.
class LinkMainWindow {
public:
    virtual ~LinkMainWindow();
    // Shows (true) or hides (false) the busy label and spinner and resumes or pauses the link check.
    virtual void setBar(bool busy) = 0;
};

class StartMainView {
public:
    explicit StartMainView(GCData& store = GCData::shareGCData(), XCoreData& core = XCoreData::shareData());
    ~StartMainView();
    StartMainView(const StartMainView&) = delete;
    StartMainView& operator=(const StartMainView&) = delete;

    void setTransport(LinkTransport* transport) { transport_ = transport; }
    void setConnectionState(LinkConnectionState* state) { state_ = state; }
    void setMainWindow(LinkMainWindow* window) { window_ = window; }
    // The main-thread sleeps (0.1 s before a serial firmware block); null = real sleeps.
    void setSleeper(platform::Sleeper* sleeper) { sleeper_ = sleeper ? sleeper : &platform::Sleeper::real(); }

    GCData& store() { return gc_; }
    XCoreData& core() { return core_; }

    // Frames may be sent now: the link is up (isconnected of GCData) and the user switched the
    // active transport on.
    bool isRealConnect() const;
    // A complete reply arrived since the last link-check request.
    bool isOnLine() const { return isOnLine_; }
    void setIsOnLine(bool online) { isOnLine_ = online; }

    // Every frame leaves here: written to the TCP socket or the serial port by connectType; over
    // TCP one read is queued afterwards for the reply. Errors are not reported to the sender.
    void sendWithBytes(const uint8_t* bytes, int length);

    // The senders. Each builds its frame and sends it only when isRealConnect().
    void sendCMD_savePresetNameToD(int type, int presetIndex, int chIndex);
    void sendCMD_DeletePreset(int type, int index);
    void sendCMD_ReadPresetList(int type);
    // Sends the preset held in presetExportData of GCData (exactly the type's length) as a write.
    void sendCMD_LoadPresetFromLocal(int type, int index);
    void sendCMD_CheckDevice();
    // Empties the backup buffer, then asks the mixer for its whole memory.
    void sendCMD_MemoryExport();
    // Restore packets 1-24, 25-26, 27-28, 29 and 30 from the restore buffers of GCData.
    void sendCMD_MemoryImport_Scence(int i);
    void sendCMD_MemoryImport_FatChanel(int i);
    void sendCMD_MemoryImport_DFX(int i);
    void sendCMD_MemoryImport_GEQ();
    void sendCMD_MemoryImport_CurrentScence();
    void sendCMD_LoadPresetFromDevice(int smode, int preindex, int chindex);
    void sendCMD_ProgramGUI(int block, int picture);
    // One 1 KB block of a board's image. Board 0 asked for a block at or past its block count
    // sends the end-of-transfer byte 0x04 instead; boards 1-3 send nothing then.
    void sendCMD_ProgramNormal(int block, int board);
    void sendCMD_ReadFirmwareFromDSP(int type);
    void sendCMD_Begin_enterProgram();
    void sendCMD_SearchDevice();
    void sendCMD_isReady(int board);

    static constexpr int kCheckFrameLength = 10;
    // The 10-byte check frame 01 20 03 0A 00 01 00 01 25 40.
    static uint8_t* PackageOfReadDeviceName(uint8_t* buffer);

    // Byte utilities: the byte at index, 0 when the data is shorter.
    static uint8_t Bg(const platform::Bytes& data, int index);
    static uint8_t cBg(const platform::Bytes& data, int index) { return Bg(data, index); }
    static uint8_t BB(const platform::Bytes& data, int index) { return Bg(data, index); }
    static uint8_t BgChIndex(const platform::Bytes& data, int index) { return Bg(data, index); }
    static int lenD(const platform::Bytes& data) { return static_cast<int>(data.size()); }
    // Appends one byte to the receive accumulator (ignored once it holds the longest frame).
    void addCH(uint8_t ch) {
        if (recLength_ < sizeof m_RecCmd) m_RecCmd[recLength_++] = ch;
    }
    static void printData(const platform::Bytes& data, const std::string& prefix);
    static void printAryData(const uint8_t* bytes, const std::string& prefix, int length);

    // The reassembly. Feeds the bytes in order, as RecByte one by one would; the bytes inside a
    // long frame that cannot end it are appended in one step.
    void parseData(const platform::Bytes& data) { parseData(data.data(), data.size()); }
    void parseData(const uint8_t* data, size_t length);
    // Advances the frame state machine by one byte; dispatches a frame once it is complete.
    void RecByte(uint8_t byte);
    // Drops a partial frame; the next 01 20 03 starts a new one.
    void ClearBuffer();
    // Bytes of the frame being assembled (never more than the longest frame, 4612).
    size_t receivedLength() const { return recLength_; }

    // The dispatcher: acts on one complete reply frame.
    void converToData(const platform::Bytes& frame);

    // Cleared when the last main-board block has been sent.
    uint8_t updateLock = 0;

private:
    bool frameComplete() const;
    // The smallest accumulator length above the current one at which the frame can end or must
    // be dropped.
    size_t nextCheckpoint() const;
    void dispatchComplete();
    void memoryExportPacket(const platform::Bytes& frame);
    void finishMemoryBackup();
    void memoryImportAck(const platform::Bytes& frame);
    void readyAck(const platform::Bytes& frame);
    void blockAck(const platform::Bytes& frame);
    void sendImport(const uint8_t* stored, size_t length);

    GCData& gc_;
    XCoreData& core_;
    LinkTransport* transport_ = nullptr;
    LinkConnectionState* state_ = nullptr;
    LinkMainWindow* window_ = nullptr;
    platform::Sleeper* sleeper_;
    bool isOnLine_ = false;

    // The receive accumulator: a fixed buffer of the longest frame, so feeding never allocates.
    uint8_t m_RecCmd[4612];
    size_t recLength_ = 0;
    // Fixed completion length of the frame being assembled (0: none), read once its byte 9 is in.
    size_t fixedLength_ = 0;
    // The frame carries its fixed length's low byte in byte 3: complete only at the fixed length.
    bool selfDeclaredLong_ = false;
    // 0: no trailer test at the fixed length; 1: last byte "@"; 2: byte 3 equals the length too.
    int fixedTrailer_ = 0;
    // The next accumulator length at which the frame is tested (nextCheckpoint, kept up to date).
    size_t nextCheck_ = 0;
    // Copies of complete frames, one per nesting level of the dispatcher (a modal panel opened
    // by the dispatcher may feed further bytes); a deque keeps the outer copies in place.
    std::deque<platform::Bytes> dispatchFrames_;
    size_t dispatchDepth_ = 0;

    platform::NotificationCenter::ObserverToken linkLostObserver_;
};

// The one main window of the program (set by the main window when it starts); GCData starts a
// restore through it.
extern StartMainView* mainVctl;
