#include "link/StartMainView.h"

#include "link/DeviceFrame.h"
#include "platform/MainExecutor.h"
#include "platform/Trace.h"
#include "util/Duziz.h"
#include "util/Userprofile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

using platform::Bytes;

StartMainView* mainVctl = nullptr;

LinkTransport::~LinkTransport() = default;
LinkConnectionState::~LinkConnectionState() = default;
LinkMainWindow::~LinkMainWindow() = default;
MainWindowView::~MainWindowView() = default;

namespace {

void post(int code, int pos) { Duziz::sendMsg(code, pos, kMessageBusName); }

std::string hexGroups(const uint8_t* bytes, size_t length) {
    std::string out;
    out.reserve(length * 3);
    char group[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(group, sizeof group, " %02hhx", bytes[i]);
        out += group;
    }
    return out;
}

}  // namespace

StartMainView::StartMainView(GCData& store, XCoreData& core, LinkSettings settings)
    : gc_(store),
      core_(core),
      settings_(std::move(settings)),
      transport_(this),
      state_(this),
      window_(this),
      sleeper_(&platform::Sleeper::real()) {
    // A backup cut off by a lost link can never be completed: its packets are dropped, and so is
    // the frame being received.
    linkLostObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
        kMessageBusName, [this](const platform::Notification& note) {
            const auto* profile = std::any_cast<UserprofilePtr>(&note.object);
            if (!profile || !*profile || (*profile)->cmdType != MSG_DISCONNECTED) return;
            // Nothing asked before the loss can be answered over the next link.
            endExportUnsaved();
            endBoardRequest();
            ledger_.linkLost();
            // A frame cut off by the lost link would swallow the first replies on the next one;
            // bytes of the lost link still waiting to be fed would do the same.
            ClearBuffer();
            dropInput();
        });
}

StartMainView::~StartMainView() {
    shutDownLinks();
    if (mainVctl == this) mainVctl = nullptr;
}

bool StartMainView::isRealConnect() const {
    if (!gc_.isconnected || !state_) return false;
    const int32_t type = state_->connectType();
    if (type == kConnectTypeSerial) return state_->isSerialComportOpen();
    if (type == kConnectTypeTcp) return state_->isNetworkOpen();
    return false;
}

// ---- Sending -------------------------------------------------------------------------------

void StartMainView::sendWithBytes(const uint8_t* bytes, int length) {
    if (!bytes || length <= 0) return;
    const int32_t type = state_ ? state_->connectType() : 0;
    const size_t n = static_cast<size_t>(length);
    try {
        if (type == kConnectTypeTcp && transport_) {
            transport_->writeTcp(bytes, n);
        } else if (type == kConnectTypeSerial && transport_) {
            transport_->writeSerial(bytes, n);
            printData(Bytes(bytes, bytes + n), "send with comport......show...: ");
        }
    } catch (...) {
        // The transport reports its own failures; a sender never sees one.
    }
    // Every frame sent over TCP leaves a read pending for its reply.
    if (type == kConnectTypeTcp && transport_) {
        try {
            transport_->readNextTcp();
        } catch (...) {
        }
    }
}

void StartMainView::sendCMD_savePresetNameToD(int type, int presetIndex, int chIndex) {
    // The mixer answers a stored name as a stored preset; a rename given up owes nothing, since
    // the mixer need not answer it at all.
    const bool sent = isRealConnect();
    ledger_.ask(RequestLedger::Preset::Stored, type, sent, false);
    if (!sent) return;
    uint8_t f[29];
    frame::begin(f, sizeof f, frame::kCmdRenamePreset, static_cast<uint8_t>(type + 1));
    f[10] = static_cast<uint8_t>(chIndex + 1);
    f[11] = static_cast<uint8_t>(presetIndex & 0xFF);
    const uint8_t* table = gc_.nameTable(type);
    if (table && presetIndex >= 0 && presetIndex < kPresetSlots[type])
        std::memcpy(f + 12, table + presetIndex * kPresetNameLength, kPresetNameLength);
    sendWithBytes(f, sizeof f);
}

void StartMainView::sendCMD_DeletePreset(int type, int index) {
    if (!isRealConnect()) return;
    uint8_t f[12];
    frame::begin(f, sizeof f, frame::kCmdDeletePreset, static_cast<uint8_t>(type + 1));
    f[10] = static_cast<uint8_t>(index & 0xFF);
    sendWithBytes(f, sizeof f);
}

void StartMainView::sendCMD_ReadPresetList(int type) {
    ledger_.ask(RequestLedger::Preset::List, type, sendListRequest(type));
}

bool StartMainView::sendListRequest(int type) {
    if (!gc_.program().presetLibrary || !isRealConnect()) return false;
    uint8_t f[11];
    frame::begin(f, sizeof f, frame::kCmdPresetList, static_cast<uint8_t>(type + 1));
    sendWithBytes(f, sizeof f);
    return true;
}

void StartMainView::sendCMD_LoadPresetFromLocal(int type, int index) {
    const bool sendable = gc_.program().presetLibrary && isRealConnect() && type >= 0 && type < kPresetTypeCount &&
                          gc_.presetExportData.size() == static_cast<size_t>(LEN_FILE_PRESET[type]);
    ledger_.ask(RequestLedger::Preset::Stored, type, sendable);
    if (!sendable) return;
    Bytes f(gc_.presetExportData);
    f[8] = frame::kCmdWritePreset;
    if (type <= 2) f[10] = static_cast<uint8_t>(index + 1);
    sendWithBytes(f.data(), static_cast<int>(f.size()));
}

// The two requests without a sub-code: 10 bytes, the command right before the trailer.
static uint8_t* PackageOfShortRequest(uint8_t* buffer, uint8_t command) {
    return frame::begin(buffer, 10, command, frame::kTrailer);
}

uint8_t* StartMainView::PackageOfReadMCUVersion(uint8_t* buffer) {
    return PackageOfShortRequest(buffer, frame::kCmdReadMcuVersion);
}

void StartMainView::sendCMD_ReadMCUVersion() {
    if (!isRealConnect()) return;
    uint8_t f[kMcuVersionFrameLength];
    sendWithBytes(PackageOfReadMCUVersion(f), kMcuVersionFrameLength);
    platform::trace("sendcmd read mcuversion.....");
}

uint8_t* StartMainView::PackageOfReadDeviceName(uint8_t* buffer) {
    return PackageOfShortRequest(buffer, frame::kCmdCheckDevice);
}

void StartMainView::sendCMD_CheckDevice() {
    if (!isRealConnect()) return;
    uint8_t f[kCheckFrameLength];
    sendWithBytes(PackageOfReadDeviceName(f), kCheckFrameLength);
    isOnLine_ = false;
}

void StartMainView::sendCMD_MemoryExport() {
    // Each backup starts from an empty buffer, and takes its packets from packet 1 on.
    endExportUnsaved();
    if (!isRealConnect()) return;
    uint8_t f[11];
    frame::begin(f, sizeof f, frame::kCmdMemoryExport, 0x00);
    ledger_.exportAsked();
    sendWithBytes(f, sizeof f);
    platform::trace("send cmd memoryexport now..............");
    printAryData(f, "memoryexport ....", sizeof f);
}

void StartMainView::sendImport(const uint8_t* stored, size_t length, int packet) {
    // Whatever was awaited before is no longer: only this packet's acknowledgement counts.
    ledger_.importSent(0);
    std::vector<uint8_t> f(stored, stored + length);
    f[8] = frame::kCmdMemoryImport;
    if (!isRealConnect()) return;
    ledger_.importSent(packet);
    sendWithBytes(f.data(), static_cast<int>(f.size()));
}

void StartMainView::sendCMD_MemoryImport_Scence(int i) {
    if (i < 0 || i > 23) return;
    sendImport(gc_.m_sceneMemoryUpAlload[i], kSceneFrameLength, i + 1);
}

void StartMainView::sendCMD_MemoryImport_FatChanel(int i) {
    if (i < 0 || i > 1) return;
    sendImport(gc_.m_dspMemoryUpAlload[i], kDspFrameLength, 25 + i);
}

void StartMainView::sendCMD_MemoryImport_DFX(int i) {
    if (i < 0 || i > 1) return;
    sendImport(gc_.m_dfxMemoryUpAlload[i], kDfxFrameLength, 27 + i);
}

void StartMainView::sendCMD_MemoryImport_GEQ() { sendImport(gc_.m_geqMemoryUpAlload, kGeqFrameLength, 29); }

void StartMainView::sendCMD_MemoryImport_CurrentScence() {
    sendImport(gc_.m_cureSceneUpAlload, kSceneFrameLength, kMemoryPacketCount);
    if (isRealConnect()) {
        uint8_t head[11];
        std::memcpy(head, gc_.m_cureSceneUpAlload, sizeof head);
        head[8] = frame::kCmdMemoryImport;
        printAryData(head, "will   send meory current_sence", sizeof head);
    }
}

void StartMainView::sendCMD_LoadPresetFromDevice(int smode, int preindex, int chindex) {
    const bool sent = isRealConnect();
    ledger_.ask(RequestLedger::Preset::Data, smode, sent);
    if (!sent) return;
    uint8_t f[12];
    frame::begin(f, sizeof f, frame::kCmdPresetData, static_cast<uint8_t>(smode + 1));
    f[10] = static_cast<uint8_t>(preindex + 1);
    sendWithBytes(f, sizeof f);
    printAryData(f, "load preset from device", sizeof f);
    platform::trace("send loadpreet from device--------------with smode : %d,preindex is ; %d ,chindex is :%d", smode,
                    preindex, chindex);
}

void StartMainView::sendCMD_ProgramGUI(int block, int picture) {
    if (!isRealConnect()) return;
    // Only blocks that exist in the picture store are sent.
    if (picture < 0 || picture >= kGuiPictureCount || block < 0 || block >= kGuiPictureBlocks) return;
    std::vector<uint8_t> f(XCoreData::kGuiBlockFrameLength);
    core_.PackageofUpdateGUIFirmware(f.data(), block, picture);
    sendWithBytes(f.data(), static_cast<int>(f.size()));
}

bool StartMainView::sendCMD_ProgramNormal(int block, int board) {
    if (!isRealConnect()) return false;
    if (board < 0 || board >= kFirmwareBoards) return false;
    if (block >= core_.dSegement[board]) {
        // Past the last block: the main board is told the transfer is over; no other board is
        // ever sent a block its image does not have.
        if (board != 0) return false;
        const uint8_t end = frame::kEndOfTransfer;
        sendWithBytes(&end, 1);
        updateLock = 0;
        platform::trace("send data here load firmware finished "
                        "............................>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>");
        return true;
    }
    if (block < 0) return false;
    uint8_t f[XCoreData::kProgramBlockFrameLength];
    core_.PackageofBeginProgram(f, block, board);
    if (board >= 1 && state_ && state_->connectType() == kConnectTypeSerial) sleeper_->sleep(0.1);
    sendWithBytes(f, sizeof f);
    return true;
}

void StartMainView::sendCMD_ReadFirmwareFromDSP(int type) {
    if (!isRealConnect()) return;
    uint8_t f[XCoreData::kReadFirmwareFromDspLength];
    XCoreData::PackageofReadFirmwareFromDSP(f, type);
    sendWithBytes(f, sizeof f);
}

void StartMainView::sendCMD_Begin_enterProgram() {
    if (!isRealConnect()) return;
    uint8_t f[XCoreData::kEnterProgramLength];
    sendWithBytes(XCoreData::PackageofBegin_EnterProgram(f), sizeof f);
}

void StartMainView::sendCMD_SearchDevice() {
    if (!isRealConnect()) return;
    uint8_t f[XCoreData::kSearchDeviceLength];
    sendWithBytes(XCoreData::PackageofSearchDevice(f), sizeof f);
}

void StartMainView::sendCMD_isReady(int board) {
    // A new ready query starts the board's transfer afresh: what was asked before is no longer.
    endBoardRequest();
    if (!isRealConnect()) return;
    uint8_t f[XCoreData::kIsReadyLength];
    core_.PackageofDevice_isReady(f, board);
    printAryData(f, "sendisRead cmd", sizeof f);
    // Only boards 0-3 are programmed by blocks; the GUI images (4) have no transfer here.
    if (board >= 0 && board < kFirmwareBoards) ledger_.readyAsked(board);
    sendWithBytes(f, sizeof f);
}

// ---- Byte utilities ------------------------------------------------------------------------

uint8_t StartMainView::Bg(const Bytes& data, int index) {
    if (index < 0 || static_cast<size_t>(index) >= data.size()) return 0;
    return data[static_cast<size_t>(index)];
}

void StartMainView::printData(const Bytes& data, const std::string& prefix) {
    platform::trace("send len:%d,%s----%s", static_cast<int>(data.size()), prefix.c_str(),
                    hexGroups(data.data(), data.size()).c_str());
}

void StartMainView::printAryData(const uint8_t* bytes, const std::string& prefix, int length) {
    platform::trace("%s lenth:%d-%s", prefix.c_str(), length,
                    hexGroups(bytes, length > 0 ? static_cast<size_t>(length) : 0).c_str());
}

// ---- Reassembly ----------------------------------------------------------------------------

void StartMainView::parseData(const uint8_t* data, size_t length) {
    if (length == 0) return;
    if (dispatchDepth_ > 0) {
        // A modal panel of the dispatcher runs the event loop, and its read callbacks bring newer
        // bytes while the call below still holds the rest of an older chunk: they wait their turn.
        queuedInput_.insert(queuedInput_.end(), data, data + length);
        return;
    }
    feed(data, length);
    feedQueued();
}

void StartMainView::feedQueued() {
    while (!queuedInput_.empty() && dispatchDepth_ == 0) {
        // Bytes queued while this batch is fed go to the other buffer and come next.
        feedingQueued_.swap(queuedInput_);
        feed(feedingQueued_.data(), feedingQueued_.size());
        feedingQueued_.clear();
    }
}

void StartMainView::dropInput() {
    queuedInput_.clear();
    ++inputGeneration_;
}

// Runs only while no dispatch runs (a dispatch queues what arrives), so it is never nested.
void StartMainView::feed(const uint8_t* data, size_t length) {
    feeding_ = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{feeding_};
    const unsigned generation = inputGeneration_;
    size_t i = 0;
    while (i < length && generation == inputGeneration_) {
        if (recLength_ >= frame::kMinReplyLength && nextCheck_ > recLength_ + 16) {
            // Bytes before the next checkpoint cannot complete or overflow the frame.
            const size_t run = std::min(nextCheck_ - 1 - recLength_, length - i);
            if (run > 1) {
                std::memcpy(m_RecCmd + recLength_, data + i, run);
                recLength_ += run;
                i += run;
                continue;
            }
        }
        RecByte(data[i++]);
    }
}

void StartMainView::ClearBuffer() {
    recLength_ = 0;
    fixedLength_ = 0;
    selfDeclaredLong_ = false;
    fixedTrailer_ = 0;
    nextCheck_ = 0;
}

// The replies completed by a fixed length per command and sub-code (their length does not fit
// byte 3); scene export packets have the length of the program's backup layout.
static size_t fixedReplyLength(uint8_t command, uint8_t sub, size_t sceneLength, int* trailer) {
    *trailer = 0;
    switch (command) {
    case frame::kCmdPresetList:
        *trailer = 1;
        switch (sub) {
        case 1:
        case 2: return 779;
        case 3: return 1675;
        case 4: return 395;
        default: return 0;
        }
    case frame::kCmdMemoryExport:
        switch (sub) {
        case 4:
        case 5: return sceneLength;
        case 1: return kDspFrameLength;
        case 3: return kDfxFrameLength;
        case 2: return kGeqFrameLength;
        default: return 0;
        }
    case frame::kCmdPresetData:
        if (sub >= 1 && sub <= 3) {
            *trailer = 2;
            return static_cast<size_t>(LEN_FILE_PRESET[sub - 1]);
        }
        if (sub == 4) {
            *trailer = 1;
            return static_cast<size_t>(LEN_FILE_PRESET[3]);
        }
        return 0;
    case frame::kCmdReadDspFirmware: return 269;
    default: return 0;
    }
}

bool StartMainView::frameComplete() const {
    const size_t n = recLength_;
    const uint8_t* f = m_RecCmd;
    const bool trailerAtEnd = f[n - 1] == frame::kTrailer;
    // A long reply that names its own length in byte 3 is complete at that length only, so an
    // "@" inside it cannot cut it short.
    if (!selfDeclaredLong_ && n == f[3] && trailerAtEnd) return true;
    if (fixedLength_ == 0 || n != fixedLength_) return false;
    switch (fixedTrailer_) {
    case 1: return trailerAtEnd;
    case 2: return f[3] == n && trailerAtEnd;
    default: return true;
    }
}

size_t StartMainView::nextCheckpoint() const {
    size_t next = frame::kMaxFrameLength;
    if (!selfDeclaredLong_ && m_RecCmd[3] > recLength_) next = std::min<size_t>(next, m_RecCmd[3]);
    if (fixedLength_ > recLength_) next = std::min(next, fixedLength_);
    return next;
}

void StartMainView::RecByte(uint8_t byte) {
    if (dispatchDepth_ > 0) {
        // Fed one byte at a time while a dispatch runs: it waits like any other newer byte.
        queuedInput_.push_back(byte);
        return;
    }
    static constexpr uint8_t kStart[3] = {frame::kStart0, frame::kStart1, frame::kStart2};
    const size_t before = recLength_;
    if (before < 3 && byte != kStart[before]) {
        // The byte that breaks the start sequence is dropped with what came before it.
        if (before) ClearBuffer();
        return;
    }
    if (recLength_ >= sizeof m_RecCmd) ClearBuffer();  // only addCH can fill it up
    m_RecCmd[recLength_++] = byte;
    const size_t n = recLength_;
    if (n < frame::kMinReplyLength) return;
    if (n == frame::kMinReplyLength) {
        fixedLength_ =
            fixedReplyLength(m_RecCmd[8], m_RecCmd[9], gc_.program().backupSceneFrameLength, &fixedTrailer_);
        selfDeclaredLong_ = fixedLength_ > 255 && m_RecCmd[3] == (fixedLength_ & 0xFF);
        nextCheck_ = n;
    }
    // Between checkpoints no rule can end the frame.
    if (n < nextCheck_) return;
    if (frameComplete()) {
        dispatchComplete();
        // A caller feeding byte by byte has no chunk left: what arrived during the dispatch is next.
        if (!feeding_) feedQueued();
    } else if (n >= frame::kMaxFrameLength) {
        // Nothing is longer than the longest frame: drop it and wait for the next start.
        ClearBuffer();
    } else {
        nextCheck_ = nextCheckpoint();
    }
}

void StartMainView::dispatchComplete() {
    // The frame is copied out and the accumulator emptied before the dispatcher runs: the bytes
    // after it (fed once the dispatch returns) start a new frame. A dispatch is never nested:
    // what arrives while it runs is queued.
    if (dispatchFrame_.capacity() < frame::kMaxFrameLength) dispatchFrame_.reserve(frame::kMaxFrameLength);
    dispatchFrame_.assign(m_RecCmd, m_RecCmd + recLength_);
    ClearBuffer();
    ++dispatchDepth_;
    struct Done {
        size_t& depth;
        ~Done() { --depth; }
    } done{dispatchDepth_};
    converToData(dispatchFrame_);
}

// ---- Dispatcher ----------------------------------------------------------------------------

bool StartMainView::taken(RequestLedger::Verdict verdict, const char* what, int type) {
    if (verdict == RequestLedger::Verdict::Taken) return true;
    platform::trace("%s of type %d dropped: %s", what, type, ledger_.why());
    return false;
}

void StartMainView::converToData(const Bytes& f) {
    isOnLine_ = true;
    const uint8_t command = Bg(f, 8);
    const uint8_t sub = Bg(f, 9);
    switch (command) {
    case frame::kCmdPresetList: {
        const int type = sub - 1;
        if (!taken(ledger_.answer(RequestLedger::Preset::List, type), "preset list", type)) return;
        uint8_t* table = gc_.nameTable(type);
        const int bytes = kPresetSlots[type] * kPresetNameLength;
        for (int i = 0; i < bytes; ++i) table[i] = Bg(f, 10 + i);
        if (sub <= 3) {
            // The read goes on with the next type; a request that cannot leave ends it.
            ledger_.listReadGoesOn(sub, sendListRequest(sub));
        } else {
            post(MSG_PRESET_LIST_LOADED, 0);
            if (window_) window_->setBar(false);
        }
        platform::trace("readpreset list now......%d", sub);
        return;
    }
    case frame::kCmdMemoryExport: memoryExportPacket(f); return;
    case frame::kCmdMemoryImportAck: memoryImportAck(f); return;
    case frame::kCmdReadMcuVersion:
        // The version is in byte 12; a shorter reply carries none.
        if (!gc_.program().mcuVersion || f.size() <= 12) return;
        gc_.m_mcuVer = f[12];
        platform::trace("receive mcuver is :%d", gc_.m_mcuVer);
        return;
    case frame::kCmdPresetData:
        // Only the Load waiting for it, once: a second answer opens no second save panel.
        if (!taken(ledger_.answer(RequestLedger::Preset::Data, sub - 1), "preset data", sub - 1)) return;
        gc_.resetPresetData();
        gc_.presetExportData.insert(gc_.presetExportData.end(), f.begin(), f.end());
        post(MSG_PRESET_RECEIVED, sub - 1);
        if (gc_.savePreset(sub - 1)) post(MSG_PRESET_SAVED, sub - 1);
        platform::trace("recevie load from preset device  with smode is :%d------", sub);
        return;
    case frame::kCmdPresetStored:
        if (!taken(ledger_.answer(RequestLedger::Preset::Stored, sub - 1), "preset stored report", sub - 1)) return;
        post(MSG_PRESET_WRITTEN, SCHCType[sub - 1]);
        return;
    case frame::kCmdReadyMain:
    case frame::kCmdReadyOther: readyAck(f); return;
    case frame::kCmdBlockMain:
    case frame::kCmdBlockOther: blockAck(f); return;
    case frame::kCmdSearchDevice: platform::trace("search and check the device now"); return;
    default: return;
    }
}

void StartMainView::memoryExportPacket(const Bytes& f) {
    const uint8_t sub = Bg(f, 9);
    const int packet = Bg(f, 10);
    const int due = ledger_.exportDue();
    switch (ledger_.exportPacket(packet)) {
    case RequestLedger::Export::NotAsked:
        platform::trace("memory export packet %d dropped: %s", packet, ledger_.why());
        return;
    case RequestLedger::Export::OutOfOrder: refuseExportOutOfOrder(packet, due); return;
    case RequestLedger::Export::Taken: break;
    }
    const size_t sceneLength = gc_.program().backupSceneFrameLength;
    if (sceneLength != kSceneFrameLength && (sub == 4 || sub == 5) && Bg(f, 3) == (kSceneFrameLength & 0xFF)) {
        refuseNewLayoutBackup();
        return;
    }
    const MemoryPacketShape shape = memoryPacketShape(packet, sceneLength);
    const bool inPlace = shape.length != 0 && sub == shape.sub && f.size() == shape.length;
    // The reassembly completes a packet by its fixed length: a stray byte inside it makes it
    // complete a byte early, with a payload byte where its trailer belongs (and the rest lines
    // up again). Such a packet is not stored, and the backup cannot be saved.
    const bool damaged = inPlace && f.back() != frame::kTrailer;
    if (damaged) {
        platform::trace("memory export packet %d arrived without its trailer", packet);
        if (damagedExportPacket_ == 0) damagedExportPacket_ = packet;
    }
    if (inPlace && !damaged) {
        if (packet <= 24)
            platform::trace("recevie sence 1..24  now...packnum is :%d", packet);
        else if (packet <= 26)
            platform::trace("recevie dsp  25 26  now...packnum is :%d", packet);
        else if (packet <= 28)
            platform::trace("recevie moddfx 27 28  now...packnum is :%d", packet);
        else if (packet == 29)
            platform::trace("recevie geq 29  now...packnum is :%d", packet);
        else
            platform::trace("recevie current sce 30  now...packnum is :%d", packet);
        // The buffer holds one backup; packets beyond it could never make a valid file.
        Bytes& buffer = gc_.memoryExportData;
        if (buffer.size() + f.size() <= gc_.program().memoryBackupFileSize)
            buffer.insert(buffer.end(), f.begin(), f.end());
    }
    if (packet == kMemoryPacketCount) {
        finishMemoryBackup();
        return;
    }
    post(MSG_BACKUP_PACKET, packet);
}

namespace {

std::string damagedPacketText(int packet) {
    return "Packet " + std::to_string(packet) + " of 30 arrived damaged from the mixer (it does not end with \"@\").";
}

}  // namespace

void StartMainView::finishMemoryBackup() {
    const int damaged = damagedExportPacket_;
    damagedExportPacket_ = 0;
    // Over before its outcome is reported: the alert and the 259 after it find no backup under way.
    ledger_.exportEnds();
    platform::Error error;
    if (damaged != 0) {
        Duziz::clearData(&gc_.memoryExportData);
        error = platform::Error::make("GCDataErrorDomain", 1, damagedPacketText(damaged));
    } else if (gc_.SaveMeoryFileToLocal(&error)) {
        post(MSG_BACKUP_PACKET, kMemoryPacketCount);
        return;
    }
    platform::trace("memory backup not saved: %s", error.toString().c_str());
    showLinkWarning("The memory backup failed and was not saved. " + error.description);
    post(MSG_PRESET_IDLE, 0);
}

void StartMainView::refuseExportOutOfOrder(int packet, int due) {
    // A damaged packet before it is the first fault: bytes lost inside a packet take the head of
    // the next one with them, and the stream goes on at the packet after that.
    const int damaged = damagedExportPacket_;
    // Ended before the alert, whose event loop lets the rest of the stream arrive: it is dropped.
    endExportUnsaved();
    platform::trace("memory export packet %d arrived where packet %d was due; backup ended", packet, due);
    showLinkWarning("The memory backup failed and was not saved. " +
                    (damaged ? damagedPacketText(damaged)
                             : "Packet " + std::to_string(packet) + " of 30 arrived from the mixer where packet " +
                                   std::to_string(due) + " was due."));
    post(MSG_PRESET_IDLE, 0);
}

void StartMainView::refuseNewLayoutBackup() {
    // The reassembly cut the 4612-byte scene at the old length: saved, it would be a corrupt
    // old-layout file that the write-back puts into the mixer. The state is set before the
    // alert, whose event loop lets the rest of the export arrive.
    endExportUnsaved();
    platform::trace("memory export sends new-layout scenes; backup ended");
    showLinkWarning(
        "The memory backup failed and was not saved. The mixer already sends its scenes in the new layout: "
        "its presets need no conversion.");
    post(MSG_PRESET_IDLE, 0);
}

void StartMainView::endExportUnsaved() {
    ledger_.exportEnds();
    damagedExportPacket_ = 0;
    Duziz::clearData(&gc_.memoryExportData);
}

void StartMainView::abandonMemoryTransfer() {
    endExportUnsaved();
    ledger_.importSent(0);
    platform::trace("memory transfer given up by the preset window");
}

void StartMainView::abandonPresetRequest(RequestLedger::Preset kind) {
    const int type = ledger_.awaitedType(kind);
    ledger_.giveUp(kind);
    if (type >= 0) platform::trace("preset request of type %d given up by the preset window", type);
}

void StartMainView::memoryImportAck(const Bytes& f) {
    const uint8_t sub = Bg(f, 9);
    const int packet = Bg(f, 10);
    if (!ledger_.importAnswer(packet, sub)) {
        // A late answer of a restore given up, or a repeated one: the restore under way must not
        // go on where it would take it.
        platform::trace("memory import acknowledgement %d (sub-code %d) dropped: %s", packet, sub, ledger_.why());
        return;
    }
    if (packet <= 23)
        sendCMD_MemoryImport_Scence(packet);
    else if (packet <= 25)
        sendCMD_MemoryImport_FatChanel(packet - 24);
    else if (packet <= 27)
        sendCMD_MemoryImport_DFX(packet - 26);
    else if (packet == 28)
        sendCMD_MemoryImport_GEQ();
    else if (packet == 29)
        sendCMD_MemoryImport_CurrentScence();
    else
        platform::trace(" memory import over  ");
    // The progress counts a packet acknowledged whose next one went out: a link that cannot
    // send any more shows no progress it will not make.
    if (packet < kMemoryPacketCount && ledger_.importAwaited() == 0) {
        platform::trace("memory import packet %d could not be sent", packet + 1);
        return;
    }
    post(MSG_RESTORE_PACKET, packet);
}

void StartMainView::noteBoardReply() {
    if (platform::MainExecutor::hasCurrent()) core_.lastBoardReply = platform::MainExecutor::current().now();
}

void StartMainView::endBoardRequest() {
    ledger_.boardEnds();
    cancelBlockReask();
}

void StartMainView::deferBlockReask() {
    if (!platform::MainExecutor::hasCurrent()) return;
    const unsigned generation = ++*blockReask_;
    platform::MainExecutor::current().scheduleAfter(
        kBlockReaskAfter, [this, reask = std::weak_ptr<unsigned>(blockReask_), generation] {
            const auto current = reask.lock();
            if (current && *current == generation) sendBlockAgain();
        });
}

bool StartMainView::sendBlock(int block, int board) {
    if (!sendCMD_ProgramNormal(block, board)) return false;
    ledger_.blockGoesOut(block);
    return true;
}

void StartMainView::sendBlockAgain() {
    if (!ledger_.boardInWork(gc_.currentProgramItem()) || !ledger_.blocksUnderWay()) return;
    const int block = ledger_.blockSent();
    platform::trace("block %d of board %d asked for again", block, ledger_.board());
    if (sendBlock(block, ledger_.board())) post(MSG_BLOCK_SENT, block);
}

void StartMainView::abandonBoardTransfer() {
    if (ledger_.board() >= 0) platform::trace("board %d given up by the firmware window", ledger_.board());
    endBoardRequest();
}

void StartMainView::readyAck(const Bytes& f) {
    const int board = Bg(f, 9);
    const uint8_t status = Bg(f, 12);
    const int item = gc_.currentProgramItem();
    platform::trace("receive tindex is :%d tmpindex is :%d", item, board);
    const RequestLedger::Ready verdict = ledger_.readyAnswer(board, status, item);
    if (verdict == RequestLedger::Ready::Dropped) {
        platform::trace("ready acknowledgement for board %d dropped: %s", board, ledger_.why());
        return;
    }
    noteBoardReply();
    if (verdict == RequestLedger::Ready::Failed) {
        endBoardRequest();
        post(MSG_BOARD_FAILED, item);
        return;
    }
    if (verdict != RequestLedger::Ready::Start || core_.updateStatusRecord[item] == 1) {
        // The board in work answered, so its reply timer is fed, but with nothing to act on.
        platform::trace("ready acknowledgement for board %d (status %d) starts nothing: %s", board, status,
                        verdict == RequestLedger::Ready::Start ? "the board is done" : "a status not known");
        return;
    }
    // A board whose image could not be read has no blocks: starting it would tell the main
    // board at once that its transfer is over. Boards 1-3 are never sent a block their image
    // lacks, so one whose image is empty would wait for ever: it has failed too. The main
    // board's empty image is ended at once by the end byte.
    if (core_.mb_firmware_noGUI[item] == 1 || (item != 0 && core_.dSegement[item] <= 0)) {
        endBoardRequest();
        post(MSG_BOARD_FAILED, item);
        return;
    }
    ledger_.blocksStart();
    sendBlock(0, item);
    platform::trace("send cmd _read MCU  send  with tindex is :%d", item);
}

void StartMainView::blockAck(const Bytes& f) {
    const int board = Bg(f, 9);
    const uint8_t status = Bg(f, 12);
    const int block = Bg(f, 10) * 256 + Bg(f, 11);
    const int count = board >= 0 && board < kFirmwareBoards ? core_.dSegement[board] : 0;
    const RequestLedger::Block verdict = ledger_.blockAnswer(board, block, status, gc_.currentProgramItem(), count);
    if (verdict == RequestLedger::Block::Dropped) {
        platform::trace("block acknowledgement for board %d, block %d dropped: %s", board, block, ledger_.why());
        return;
    }
    noteBoardReply();
    switch (verdict) {
    case RequestLedger::Block::Failed:
        endBoardRequest();
        post(MSG_BOARD_FAILED, board);
        return;
    case RequestLedger::Block::CopysAnswer:
        platform::trace("block acknowledgement for board %d, block %d taken for a copy's answer", board, block);
        deferBlockReask();
        return;
    case RequestLedger::Block::SendAgain:
        cancelBlockReask();
        sendBlockAgain();
        return;
    case RequestLedger::Block::Send:
        cancelBlockReask();
        // Only a block that left is shown as sent.
        if (sendBlock(block, board)) post(MSG_BLOCK_SENT, block);
        return;
    case RequestLedger::Block::Done:
        cancelBlockReask();
        platform::trace("reflesh tpindex ,because is sucess : :%d  with bindex is :%d", board, block);
        endBoardRequest();
        post(MSG_BOARD_DONE, board);
        return;
    case RequestLedger::Block::OtherStatus:
        // The board in work answered, so its reply timer is fed, but with nothing to act on.
        platform::trace("block acknowledgement for board %d, block %d with status %d sends nothing", board, block,
                        status);
        return;
    case RequestLedger::Block::Dropped: return;
    }
}
