#pragma once
// A simulated mixer for tests: it takes the bytes the computer sends, answers every request the
// way the mixer does, and hands its replies out in chunks of configurable sizes. It holds the
// mixer's state (preset names per type, preset frames, the 30 memory packets, the firmware images
// it received per board, the main-board firmware version) and can be told to misbehave.
//
// Firmware below version 64 keeps its scenes in the old layout: scene packets (sub-codes 4 and 5)
// of 4312 bytes, in the memory export and in the memory import alike. updateFirmware() moves it to
// version 64, whose scenes have 4612 bytes.
//
// Written from the protocol tables on its own; it shares no code with the device link.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

class SimMixer {
public:
    static constexpr int kTypes = 4;                     // 0 DSP channel, 1 GEQ, 2 DFX, 3 scene
    static constexpr int kSlots[kTypes] = {48, 48, 104, 24};
    static constexpr int kPresetLength[kTypes] = {70, 44, 25, 4569};
    static constexpr int kPackets = 30;
    static constexpr int kNewLayoutVersion = 64;
    static constexpr size_t kSceneLength = 4612;
    static constexpr size_t kOldSceneLength = 4312;

    // State filled with deterministic content derived from seed, for main-board firmware of the
    // given version.
    explicit SimMixer(uint32_t seed = 1, int firmwareVersion = kNewLayoutVersion);

    // ---- the byte stream ----
    // Bytes from the computer, any chunking.
    void receive(const uint8_t* data, size_t length);
    void receive(const Bytes& data) { receive(data.data(), data.size()); }
    // Replies not yet taken.
    bool hasOutput() const { return !out_.empty(); }
    size_t pendingOutput() const { return out_.size(); }
    // The next chunk of replies: as many bytes as the next chunk size allows (sizes cycle).
    Bytes takeChunk();
    // Chunk sizes used in turn; default {4096}. Zero sizes are ignored.
    void setChunkSizes(std::vector<size_t> sizes);

    // ---- misbehaviour ----
    // Status 1 for the board: on its ready query (atBlock < 0) or on the acknowledgement that
    // would name block atBlock.
    void failBoard(int board, int atBlock = -1) { failures_[board] = {atBlock, -1}; }
    // The same failure, for the board's next tries only: the one after them goes through.
    void failBoardTimes(int board, int tries, int atBlock = -1) { failures_[board] = {atBlock, tries}; }
    void failBoardOnce(int board, int atBlock = -1) { failBoardTimes(board, 1, atBlock); }
    // Reboots once the main board's image is complete: the front end drops the link right after
    // the last block's acknowledgement (takeLinkDrop tells it when).
    void setRebootDropsLink(bool on) { rebootDropsLink_ = on; }
    // Drops the link, unanswered, when block `block` of the board comes in (once).
    void dropLinkAtBlock(int board, int block) { dropAt_ = {board, block}; }
    // Whether the link is to be dropped now; asking clears it.
    bool takeLinkDrop() { return std::exchange(linkDropDue_, false); }
    // Leaves export packet p (1-30) out of the memory export.
    void dropExportPacket(int packet) { dropped_.insert(packet); }
    // Puts a few bytes of noise (never 0x01) before every reply.
    void setGarbageBetweenFrames(bool on) { garbage_ = on; }
    // In long replies, puts "@" at byte (length mod 256) - 1, where a frame completed by byte 3
    // alone would be cut short.
    void setAtTraps(bool on);
    // Reads everything, answers nothing.
    void setSilent(bool on) { silent_ = on; }
    // Answers everything but the firmware version request.
    void setVersionSilent(bool on) { versionSilent_ = on; }
    // Falls silent after count more reply frames (an export packet, an import or firmware
    // acknowledgement, a list: each reply frame counts): the replies after them are held back
    // and not sent. Negative: never.
    void holdRepliesAfter(int count) { repliesBeforeHold_ = count; }
    // The replies held back so far, in order, to be sent late by hand; holding goes on until
    // holdRepliesAfter(-1), after which the mixer answers again as it did before.
    Bytes takeHeldReplies() { return std::exchange(held_, {}); }
    // Holding back replies now, and how many are held.
    bool holdingReplies() const { return repliesBeforeHold_ == 0; }
    size_t heldLength() const { return held_.size(); }
    // The last reply frame that went out (held ones do not count), for a mixer that repeats it.
    const Bytes& lastReplySent() const { return lastSent_; }
    // Sends every reply with one of these commands twice in a row.
    void repeatReplies(std::set<uint8_t> commands) { repeated_ = std::move(commands); }
    // The next request with this command is lost on its way: the mixer never sees it.
    void loseNext(uint8_t command) { lost_.insert(command); }
    // When block atBlock of the board comes in as the one it wants, the mixer throws away what it
    // took from block toBlock on and asks for toBlock again (once).
    void rewindBoard(int board, int atBlock, int toBlock) { rewind_ = {board, atBlock, toBlock}; }

    // ---- firmware ----
    int firmwareVersion() const { return version_; }
    // The main board gets the new firmware (version 64): its scenes take the new layout, and the
    // scenes it held are replaced by new-layout ones, as after the update.
    void updateFirmware();

    // ---- state ----
    std::array<std::vector<std::array<uint8_t, 16>>, kTypes> names;
    // Preset frames as the mixer sends them (command 0x32), by type and slot.
    std::array<std::vector<Bytes>, kTypes> presets;
    // The 30 memory export frames (command 0x2F) as the mixer sends them; index p - 1.
    std::array<Bytes, kPackets> memory;
    // Images received per board, block by block, and the block count each ready query announced.
    std::array<Bytes, 4> firmware;
    std::array<int, 5> announcedBlocks{};
    bool enteredProgramming = false;
    bool mainTransferEnded = false;

    // Every complete frame received (the 0x04 end byte counts as a frame of one byte).
    std::vector<Bytes> received;
    // How many of them carry the command (byte 8).
    size_t receivedCount(uint8_t command) const;
    // Frames that break the request table (fixed bytes, length byte, trailer, zero fields, a
    // block at or beyond the count its ready query announced); the mixer does not answer them.
    std::vector<Bytes> rejected;
    // The whole memory as one backup file would hold it.
    Bytes memoryImage() const;
    // The frame layout of packet p (1-30) with this firmware: sub-code and length.
    std::pair<uint8_t, size_t> packetLayout(int packet) const;

private:
    void feed(uint8_t byte);
    size_t expectedLength() const;
    bool wellFormed(const Bytes& frame) const;
    void handle(const Bytes& frame);
    void reply(Bytes frame);
    Bytes makeFrame(size_t length, uint8_t command, uint8_t sub) const;
    // Memory packet p as the mixer holds it before anything was imported: random content.
    Bytes freshPacket(int packet);
    uint8_t nextRandom();

    Bytes in_;
    std::deque<uint8_t> out_;
    std::vector<size_t> chunkSizes_{4096};
    size_t chunkIndex_ = 0;
    // Status 1 for a board at a block (-1: its ready query), for how many more tries (-1: all).
    struct Failure {
        int atBlock;
        int tries;
    };
    // Whether the board's failure applies to this acknowledgement; a failure for a number of
    // tries uses one up.
    bool failsAt(int board, int block);
    std::map<int, Failure> failures_;
    bool rebootDropsLink_ = false;
    bool linkDropDue_ = false;
    std::pair<int, int> dropAt_{-1, -1};
    std::set<int> dropped_;
    bool garbage_ = false;
    bool atTraps_ = false;  // planted into the state when switched on
    bool silent_ = false;
    bool versionSilent_ = false;
    int repliesBeforeHold_ = -1;
    Bytes held_;
    Bytes lastSent_;
    std::set<uint8_t> repeated_;
    std::set<uint8_t> lost_;
    struct Rewind {
        int board = -1, atBlock = -1, toBlock = -1;
    } rewind_;
    int version_;
    uint32_t random_;
    std::array<int, 4> nextBlock_{};
};

}  // namespace sim
