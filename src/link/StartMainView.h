#pragma once
// The device link of the main window: every request becomes a frame (the sendCMD_ senders), every
// frame leaves through sendWithBytes into the transport, every received byte goes through the
// reassembly (parseData, RecByte) into the dispatcher (converToData), which fills the stores, sends
// the next frame of the multi-frame sequences and reports on the message bus.
//
// It is also the controller of the main window: start-up (awakeFromNib), the connection state, the
// busy display and the link check, the device search over UDP, the TCP link and its Connect button,
// and the serial link. The window's controls are reached through MainWindowView, so the whole link
// runs without a window in tests.
//
// Main thread only; no locks. Three seams can be replaced (tests of the frame logic do):
//   LinkTransport        where frames go (by default the object's own TCP socket and serial port),
//   LinkConnectionState  which transport is active and whether the user switched it on
//                        (by default the object's own fields),
//   LinkMainWindow       the busy display (by default the object's own setBar).

#include "link/DeviceFrame.h"
#include "link/GCData.h"
#include "link/LinkSettings.h"
#include "link/RequestLedger.h"
#include "link/XCoreData.h"
#include "platform/Error.h"
#include "platform/NotificationCenter.h"
#include "platform/PausableTimer.h"
#include "platform/Sleeper.h"
#include "platform/UiServices.h"

#include <any>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class AsyncTcpSocket;
class AsyncUdpSocket;
class SerialPort;
class SerialPortDelegate;
struct SerialPortReadData;

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

// The main window's controls as the link drives them; the Qt window implements it.
class MainWindowView {
public:
    virtual ~MainWindowView();
    // Lays the picture "body_off" under the window's controls and shows the titles of the page
    // buttons, the web address, the Connect button and the refresh button in white.
    virtual void prepareControls() = 0;
    // The connection lamp (may be null).
    virtual util::StatusLamp* connectLCD() = 0;
    // The Connect button: its title (shown in white), and whether it can be pressed.
    virtual void setConnectTitle(const std::string& title) = 0;
    virtual void setConnectEnabled(bool enabled) = 0;
    virtual void setRefreshEnabled(bool enabled) = 0;
    // The device field: an address or a device path.
    virtual std::string deviceLabel() const = 0;
    virtual void setDeviceLabel(const std::string& text) = 0;
    // The busy label and the busy spinner (may be null).
    virtual void setBusyLabelHidden(bool hidden) = 0;
    virtual platform::Spinner* pbar() = 0;
    // The about window's texts, and the window itself (may be null).
    virtual void setAboutTexts(const std::string& name, const std::string& version, const std::string& company,
                               const std::string& url) = 0;
    virtual platform::ModalWindow* verWindow() = 0;
    // Brings the main window to the front and makes it key.
    virtual void bringToFront() = 0;
};

class StartMainView : public LinkTransport, public LinkConnectionState, public LinkMainWindow {
public:
    explicit StartMainView(GCData& store = GCData::shareGCData(), XCoreData& core = XCoreData::shareData(),
                           LinkSettings settings = {});
    ~StartMainView() override;
    StartMainView(const StartMainView&) = delete;
    StartMainView& operator=(const StartMainView&) = delete;

    // Replace the seams; null returns to the object's own.
    void setTransport(LinkTransport* transport) { transport_ = transport ? transport : this; }
    void setConnectionState(LinkConnectionState* state) { state_ = state ? state : this; }
    void setMainWindow(LinkMainWindow* window) { window_ = window ? window : this; }
    // The window's controls; set before awakeFromNib. Null: no controls.
    void setView(MainWindowView* view) { view_ = view; }
    MainWindowView* view() const { return view_; }
    const LinkSettings& settings() const { return settings_; }
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

    // The senders. Each builds its frame and sends it only when isRealConnect(). A request the
    // mixer answers is noted in the link's RequestLedger: only its answer is taken.
    void sendCMD_savePresetNameToD(int type, int presetIndex, int chIndex);
    void sendCMD_DeletePreset(int type, int index);
    // A new list read from `type` on: one under way ends, and its answer is dropped when it comes.
    void sendCMD_ReadPresetList(int type);
    // Sends the preset held in presetExportData of GCData (exactly the type's length) as a write.
    void sendCMD_LoadPresetFromLocal(int type, int index);
    void sendCMD_CheckDevice();
    // Empties the backup buffer, then asks the mixer for its whole memory.
    void sendCMD_MemoryExport();
    // Restore packets 1-24, 25-26, 27-28, 29 and 30 from the restore buffers of GCData. Scene 0
    // (packet 1) starts a restore: the acknowledgements send the others.
    void sendCMD_MemoryImport_Scence(int i);
    void sendCMD_MemoryImport_FatChanel(int i);
    void sendCMD_MemoryImport_DFX(int i);
    void sendCMD_MemoryImport_GEQ();
    void sendCMD_MemoryImport_CurrentScence();
    void sendCMD_LoadPresetFromDevice(int smode, int preindex, int chindex);
    void sendCMD_ProgramGUI(int block, int picture);
    // One 1 KB block of a board's image. Board 0 asked for a block at or past its block count
    // sends the end-of-transfer byte 0x04 instead; boards 1-3 send nothing then (their ready
    // acknowledgement reports a board without blocks as failed instead of starting it). Whether
    // a frame left.
    bool sendCMD_ProgramNormal(int block, int board);
    void sendCMD_ReadFirmwareFromDSP(int type);
    void sendCMD_Begin_enterProgram();
    void sendCMD_SearchDevice();
    void sendCMD_isReady(int board);
    // Asks the mixer's main-board MCU for its firmware version (reply 0x2C, version in byte 12).
    void sendCMD_ReadMCUVersion();
    // How long an acknowledgement that may be the answer of a block's extra copy, or may be the
    // mixer asking for the block again, waits for another answer before the block is sent again.
    static constexpr std::chrono::seconds kBlockReaskAfter{2};

    static constexpr int kMcuVersionFrameLength = 10;
    // The 10-byte version request 01 20 03 0A 00 01 00 01 2C 40.
    static uint8_t* PackageOfReadMCUVersion(uint8_t* buffer);
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
    // long frame that cannot end it are appended in one step. Feeding is not re-entrant: bytes
    // that arrive while a dispatch runs (its modal panel runs the event loop, whose read
    // callbacks call here) are queued, and the outermost call feeds them after its own chunk,
    // so the stream is fed in the order it was read. A lost link (263) drops what is queued.
    void parseData(const platform::Bytes& data) { parseData(data.data(), data.size()); }
    void parseData(const uint8_t* data, size_t length);
    // Bytes waiting for the dispatch that runs to return.
    size_t queuedLength() const { return queuedInput_.size(); }
    // Advances the frame state machine by one byte; dispatches a frame once it is complete.
    void RecByte(uint8_t byte);
    // Drops a partial frame; the next 01 20 03 starts a new one.
    void ClearBuffer();
    // Bytes of the frame being assembled (never more than the longest frame, 4612).
    size_t receivedLength() const { return recLength_; }

    // The dispatcher: acts on one complete reply frame.
    void converToData(const platform::Bytes& frame);

    // An answer is taken only for what the link asked and still waits for, as its RequestLedger
    // rules: anything else (a late answer of a request, run or transfer given up, a repeated one,
    // one nobody asked for) is dropped with a trace line: it sends nothing, posts nothing, opens
    // no panel, feeds no reply timer and enters no file. Every complete frame still marks the link
    // alive.

    // A backup asked for with sendCMD_MemoryExport is still collecting its packets: it was
    // neither saved nor ended unsaved, and the link was not lost.
    bool isMemoryExportUnderWay() const { return ledger_.exportCollecting(); }
    // The preset window gave up the whole-memory transfer under way (the mixer stopped sending):
    // the backup ends unsaved and the restore asks for nothing more, so what the mixer still sends
    // for either is dropped.
    void abandonMemoryTransfer();
    // The preset window gave up waiting for a Load (Data), a write or a rename (Stored) or a list
    // read (List): the answer a Load, a write or a list read still owes is dropped when it comes.
    void abandonPresetRequest(RequestLedger::Preset kind);
    // The firmware window ended the board in work (its result came, the mixer fell silent, the
    // link was lost, a new run starts): no acknowledgement counts until the next ready query.
    void abandonBoardTransfer();

    // Cleared when the last main-board block has been sent.
    uint8_t updateLock = 0;

    // ---- Start-up, connection state, busy display, link check ----------------------------
    // Start-up: stores itself in mainVctl, prepares the controls and the paused link check,
    // starts watching for the serial adapter, creates the TCP socket and starts the search.
    // Needs a main executor.
    void awakeFromNib();

    // The object's own connection state (LinkConnectionState).
    int32_t connectType() const override { return connectType_; }
    bool isSerialComportOpen() const override { return isSerialComportOpen_; }
    bool isNetworkOpen() const override { return isNetworkOpen_; }

    // Busy display: label, spinner and the link check together (LinkMainWindow).
    void setBar(bool busy) override;
    void setTimeBegin();
    void setTimerInvalid();
    // One tick of the link check.
    void setAnimate();
    // The "Warning!" alert with one "OK" button.
    void PopMessage(const std::string& message);
    void updateVerAboutForm();
    void AboutVersionClick();
    void reopenClick();
    void setnupMenu() {}
    // A window whose delegate is the main window is closing: enables the preset window's controls
    // when that window is registered and no backup or restore of it runs, then ends the modal
    // run (-60006).
    void windowWillClose();
    bool isLinkCheckRunning() const { return m_timer && !m_timer->isPaused(); }

    int nc = 0;
    int32_t tcoffline = 0;
    uint8_t isFounded = 0;
    bool netPost = false;

    // ---- Device search over UDP ------------------------------------------------------------
    void createTimer_Ready_searchDevice();
    void cxhSearchSocket();
    void searchDevice();
    static bool isInDeveList(const std::string& address, const std::vector<std::string>* list);
    static void addDeviceIP(const std::string& address, std::vector<std::string>* list);
    // The text without white space and newlines at either end.
    static std::string trimmed(const std::string& text);
    void verfyDevice_with_TCPSocket();
    void refleshSearchDevice();
    void ResetAllDevices();
    void closeAllSocket();
    void udpSocketDidReceiveDataFromAddressWithFilterContext(const std::shared_ptr<AsyncUdpSocket>& sock,
                                                             const platform::Bytes& data,
                                                             const platform::Bytes& address,
                                                             const std::any& filterContext);

    // The search flag: still looking for a device.
    bool begin_verifyDevice_withSearchIP = false;
    std::string bAddr;
    std::vector<std::string> ipList;
    std::vector<std::string> searchIPList;
    std::vector<std::string> deviceList;
    // The search tick is running (closeAllSocket stops it; the end of a serial link that carried
    // the frames makes it again).
    bool isSearchTimerValid() const { return searchTimer_ != nullptr; }

    // ---- TCP link and the Connect button -------------------------------------------------
    void initTCPSocket();
    void switchLighted();
    void socketDidConnectToHostPort(const std::shared_ptr<AsyncTcpSocket>& sock, const std::string& host,
                                    uint16_t port);
    void socketDidReadDataWithTag(const std::shared_ptr<AsyncTcpSocket>& sock, const platform::Bytes& data,
                                  long tag);
    void socketDidDisconnectWithError(const std::shared_ptr<AsyncTcpSocket>& sock, const platform::Error* err);
    const std::shared_ptr<AsyncTcpSocket>& tcpCilent() const { return tcpCilent_; }

    // ---- Serial link ---------------------------------------------------------------------
    void cxhPort();
    void didAddPorts();
    void listSerialDev() { listSerialDev(false); }
    void initComPort();
    // A chunk from the serial port. It reaches the reassembly only while the search runs or while
    // the serial link carries the frames; otherwise (the mixer was found on the network, or the
    // Connect button ended the search) it is dropped. While searching, a frame header from the
    // open adapter claims the link for it; other bytes (a GPS receiver, a board's banner) claim
    // nothing.
    void serialPortReadData(const SerialPortReadData& info);
    void setCompPort(std::shared_ptr<SerialPort> port);
    static void freePort(const std::shared_ptr<SerialPort>& port);
    void closePort();
    bool isComportConnect() const;
    const std::shared_ptr<SerialPort>& comport() const { return comport_; }
    const std::string& m_device() const { return m_device_; }

    // The transport over the object's own socket and port (LinkTransport).
    void writeTcp(const uint8_t* bytes, size_t length) override;
    void readNextTcp() override;
    void writeSerial(const uint8_t* bytes, size_t length) override;

private:
    struct TcpCallbacks;
    struct UdpCallbacks;
    struct SerialCallbacks;
    std::shared_ptr<AsyncTcpSocket> makeTcpSocket();
    std::shared_ptr<AsyncUdpSocket> makeUdpSocket();
    std::shared_ptr<SerialPortDelegate> serialDelegate();

    void listSerialDev(bool plugIn);
    // The link is up: the TCP socket is connected, or else the serial port that answered during
    // the search is open.
    bool linkUp() const;
    // The Connect button's switch for one transport (kConnectTypeSerial or kConnectTypeTcp), in
    // one step: on sets its open flag, lights the lamp, titles the button "Disconnect" and disables
    // refresh; off clears the flag, darkens the lamp, titles it "Connect" and enables refresh.
    void setLinkSwitch(int32_t transport, bool on);
    // Drops the datagrams already waiting on the search sockets (see searchDevice).
    void dropWaitingSearchReplies();
    // The link socket is connecting on the button's request: neither up nor given up.
    bool connectPending() const;
    void serialEnded(const std::shared_ptr<SerialPort>& port);
    // The serial link carries the frames: the open adapter answered during the search.
    bool serialCarriesLink() const { return serialClaimed_ && connectType_ == kConnectTypeSerial; }
    void claimSerialLink();
    // Closes the sockets and the port and detaches the callbacks (destruction).
    void shutDownLinks();

    // Feeds one chunk to the state machine; stops early when a lost link drops the input.
    void feed(const uint8_t* data, size_t length);
    // Feeds what was queued while a dispatch ran, oldest first, until nothing is queued.
    void feedQueued();
    // The link was lost: the queued bytes and the rest of the chunk being fed are dropped.
    void dropInput();
    bool frameComplete() const;
    // The smallest accumulator length above the current one at which the frame can end or must
    // be dropped.
    size_t nextCheckpoint() const;
    void dispatchComplete();
    // Whether the ledger took an answer; one it dropped is traced with its reason.
    bool taken(RequestLedger::Verdict verdict, const char* what, int type);
    // The next list of the read under way; whether its request left.
    bool sendListRequest(int type);
    // Ends the backup under way unsaved: its packets so far are dropped, and so are those to come.
    void endExportUnsaved();
    // A packet came out of its order after the backup's first (due was awaited): the backup ends
    // unsaved with the failure alert.
    void refuseExportOutOfOrder(int packet, int due);
    void memoryExportPacket(const platform::Bytes& frame);
    void finishMemoryBackup();
    // A new-layout scene arrived for an old-layout backup: ends it unsaved with the alert and 259.
    void refuseNewLayoutBackup();
    void memoryImportAck(const platform::Bytes& frame);
    // The firmware acknowledgements. Each is taken only when it answers what was asked of the
    // board in work; one taken notes when the mixer last answered for the board.
    void readyAck(const platform::Bytes& frame);
    void blockAck(const platform::Bytes& frame);
    void noteBoardReply();
    // Nothing is asked of the board any more (its result is about to be posted, a new ready query
    // goes out, the link was lost, the firmware window gave it up).
    void endBoardRequest();
    // An acknowledgement naming the block just sent was taken for the answer of a copy sent
    // before: should no other answer come within kBlockReaskAfter, it was the mixer asking for
    // the block again, and the block is sent again then.
    void deferBlockReask();
    void cancelBlockReask() { ++*blockReask_; }
    void sendBlockAgain();
    // Sends a block of the board in work and notes it; whether it left.
    bool sendBlock(int block, int board);
    // Sends restore packet `packet` (1-30) from its stored frame; it then awaits its
    // acknowledgement (nothing, when the link cannot send).
    void sendImport(const uint8_t* stored, size_t length, int packet);

    GCData& gc_;
    XCoreData& core_;
    LinkSettings settings_;
    LinkTransport* transport_;
    LinkConnectionState* state_;
    LinkMainWindow* window_;
    MainWindowView* view_ = nullptr;
    platform::Sleeper* sleeper_;
    bool isOnLine_ = false;

    bool isSerialComportOpen_ = false;
    bool isNetworkOpen_ = false;
    int32_t connectType_ = 0;
    // The open serial port answered during the search and so carries the link.
    bool serialClaimed_ = false;
    std::string m_device_;

    std::shared_ptr<TcpCallbacks> tcpCallbacks_;
    std::shared_ptr<UdpCallbacks> udpCallbacks_;
    std::shared_ptr<SerialCallbacks> serialCallbacks_;
    std::shared_ptr<AsyncTcpSocket> tcpCilent_;
    std::shared_ptr<AsyncTcpSocket> verifyTcpSocket_;
    std::shared_ptr<AsyncUdpSocket> wlanRevSock_;
    std::shared_ptr<AsyncUdpSocket> m_sockHFAl_;
    std::shared_ptr<AsyncUdpSocket> hIP210RevSock_;
    // The search sockets in use have sent a probe.
    bool searchProbed_ = false;
    std::shared_ptr<SerialPort> comport_;
    std::unique_ptr<platform::PausableTimer> searchTimer_;
    std::unique_ptr<platform::PausableTimer> m_timer;
    platform::NotificationCenter::ObserverToken portsObserver_;

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
    // The complete frame being dispatched (a copy, so that the accumulator is free), and whether
    // a dispatch runs (then incoming bytes are queued).
    platform::Bytes dispatchFrame_;
    size_t dispatchDepth_ = 0;
    // Bytes that arrived while a dispatch ran, in arrival order, and the batch being fed from
    // them (two buffers, so that bytes queued during the batch never move it).
    platform::Bytes queuedInput_;
    platform::Bytes feedingQueued_;
    // A chunk is being fed (parseData or the queue), so RecByte leaves the queue to that feeder.
    bool feeding_ = false;
    // Counts lost links; a chunk being fed stops when it changes.
    unsigned inputGeneration_ = 0;
    // The first packet of the backup being received that arrived without its trailer (0: none).
    int damagedExportPacket_ = 0;
    // What was asked of the mixer and is still awaited or owed.
    RequestLedger ledger_;
    // The generation of the deferred re-send of the block just sent; a change cancels it. Shared,
    // so that a deferred job that outlives the link does nothing.
    std::shared_ptr<unsigned> blockReask_ = std::make_shared<unsigned>(0);
    // Looks for the header of a mixer's frame in what the open adapter sends while searching.
    frame::HeaderScan serialHeaderScan_;

    platform::NotificationCenter::ObserverToken linkLostObserver_;
};

// The one main window of the program (set by the main window when it starts); GCData starts a
// restore through it.
extern StartMainView* mainVctl;
