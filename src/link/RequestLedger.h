#pragma once
// What the device link has asked of the mixer and still waits for, kind of answer by kind of
// answer, and what requests given up or replaced still owe. The dispatcher hands every answer to
// it first and acts only on one it takes; anything else is dropped with the reason it gives. It
// sends nothing and posts nothing itself, so every rule is here, in one place:
//
//   preset list (0x18)     while a list read is under way, for the type next due in its chain
//                          (DSP channel, GEQ, DFX, scene, as the requests went out); a new read
//                          replaces one under way.
//   preset data (0x32)     while a Load waits, of the type asked (byte 9); once.
//   preset stored (0x33)   while a preset write or a rename waits, with that type's sub-code; once.
//                          A delete waits for nothing.
//   memory export (0x2F)   while the backup asked for collects: its packet 1 first, then in order.
//   memory import (0x30)   the restore packet last sent, with that packet's sub-code.
//   firmware ready         while the board in work awaits it, naming that board.
//   firmware block         for the board in work once its ready acknowledgement came: the block
//                          just sent (asked again), or any block up to the one after the highest
//                          sent (the mixer can want a block it lost, never one it cannot have the
//                          block before of); a failure once a block of the try went out.
//
// The mixer answers requests in the order they reach it, one answer each. So the answer a preset
// request given up (or a list read replaced) still owes comes before the answer of a later request
// of its kind and type, and is dropped when it comes. What is owed is forgotten when the link is
// lost, and when a later request of the kind and type ends unanswered after an owed answer of its
// type was dropped while it waited: then the owed answer was lost and the one dropped was its own.
// So a lost answer costs one more failed try, never more, and a mixer that answers late, however
// late, answers into nobody's file.
//
// Main thread only; no locks.

#include <array>
#include <cstdint>

class RequestLedger {
public:
    // ---- Preset requests ------------------------------------------------------------------
    // The kinds of preset answer: lists, preset data (Load), preset stored (write or rename).
    enum class Preset { List, Data, Stored };
    static constexpr int kPresetKinds = 3;
    static constexpr int kPresetTypes = 4;  // 0 DSP channel, 1 GEQ, 2 DFX, 3 scene

    // A new request of the kind for the preset type (0-3), sent or not: the one of the kind under
    // way ends unanswered (giveUp), and the new one, if it went out, is what the kind waits for
    // now. A request that owesWhenGivenUp is false (a rename, which the mixer need not answer)
    // owes nothing when it ends unanswered. A list read is asked with the type it starts at.
    void ask(Preset kind, int type, bool sent, bool owesWhenGivenUp = true);
    // The list read under way took its answer and asked for the next type (sent or not).
    void listReadGoesOn(int type, bool sent);
    // The request of the kind under way ends unanswered: it owes its answer, unless an owed answer
    // of its type was dropped while it waited (then nothing of that type is owed any more).
    void giveUp(Preset kind);
    // Whether the kind waits for an answer now, and the type it waits for (-1: none).
    int awaitedType(Preset kind) const { return awaited_[index(kind)].type; }

    enum class Verdict { Taken, Owed, NotAsked };
    // An answer of the kind for the preset type: taken (the kind waits for nothing more), dropped
    // as the one a request given up owed, or dropped as asked by nobody.
    Verdict answer(Preset kind, int type);

    // ---- Whole-memory transfers -------------------------------------------------------------
    // A backup was asked for: its packets are taken from packet 1 on.
    void exportAsked();
    void exportEnds();
    bool exportCollecting() const { return exportDue_ > 0; }
    int exportDue() const { return exportDue_; }
    enum class Export { Taken, NotAsked, OutOfOrder };
    // Export packet `packet`: taken (the next is due), dropped (no backup, or one before its packet
    // 1), or out of order after packet 1 (the stream is not the backup asked for).
    Export exportPacket(int packet);
    // Restore packet `packet` (1-30) went out and awaits its acknowledgement; 0: nothing awaited.
    void importSent(int packet) { importAwaited_ = packet; }
    int importAwaited() const { return importAwaited_; }
    // The acknowledgement of the packet last sent (sub-code of its shape; packet 30 also as a
    // scene): taken, after which nothing is awaited until the next packet goes out.
    bool importAnswer(int packet, int sub);

    // ---- Firmware ---------------------------------------------------------------------------
    // The ready query of a board went out: its transfer starts afresh.
    void readyAsked(int board);
    // Nothing is asked of any board (its result is about to be posted, the link was lost, the
    // firmware window gave it up).
    void boardEnds();
    // The board whose ready query went out is still the firmware window's board in work (item).
    bool boardInWork(int item) const { return step_ != Step::None && board_ == item; }
    bool blocksUnderWay() const { return step_ == Step::Blocks; }
    int board() const { return board_; }
    int blockSent() const { return blockSent_; }

    enum class Ready { Dropped, Failed, Start, OtherStatus };
    // A ready acknowledgement naming `board` with `status`, for the firmware window's item.
    Ready readyAnswer(int board, int status, int item);
    // The board's blocks go out from block 0 on (the ready acknowledgement was taken).
    void blocksStart();

    enum class Block {
        Dropped,
        Failed,       // a failure of the board in work: it ends
        OtherStatus,  // taken (the mixer answered), nothing to do
        Send,         // send `block`, a block the mixer asks for (not the one just sent)
        SendAgain,    // the mixer asks again for the block just sent
        CopysAnswer,  // the answer of an extra copy of the block before: send nothing for now
        Done,         // the mixer has every block
    };
    // A block acknowledgement naming `board` and the block it wants next, with `status`, for the
    // firmware window's item whose image has `count` blocks.
    Block blockAnswer(int board, int block, int status, int item, int count);
    // A block of the board in work went out: the one just sent again (one more copy), or another.
    void blockGoesOut(int block);

    // Why the last answer was dropped (for the trace).
    const char* why() const { return why_; }

    // ---- The link -------------------------------------------------------------------------
    // Nothing asked before the loss can be answered over the next link: everything is forgotten.
    void linkLost();

private:
    static int index(Preset kind) { return static_cast<int>(kind); }
    // No block of the board has gone out.
    void forgetBlocks();
    Verdict dropped(const char* why, Verdict verdict) {
        why_ = why;
        return verdict;
    }

    struct Awaited {
        int type = -1;                   // the type awaited; -1 while nothing is
        bool owes = true;                // owes its answer when it ends unanswered
        bool droppedOwedMeanwhile = false;  // an owed answer of its type was dropped while it waited
    };
    std::array<Awaited, kPresetKinds> awaited_{};
    std::array<std::array<int, kPresetTypes>, kPresetKinds> owed_{};

    int exportDue_ = 0;      // the export packet due next (1-30); 0 while no backup collects
    int importAwaited_ = 0;  // the restore packet last sent and not yet acknowledged; 0: none

    // Where the transfer of the board in work stands: its ready query awaits its acknowledgement,
    // or its blocks go out; None before the first ready query and after the board ended.
    enum class Step { None, Ready, Blocks };
    Step step_ = Step::None;
    int board_ = -1;
    int blockSent_ = -1;
    int highestSent_ = -1;
    // Copies of blockSent_ sent (the mixer asked for it again, or a stray answer asked for it
    // early), and how many acknowledgements naming blockSent_ are still due as the answers of the
    // block before's extra copies: the mixer answers every copy, and without this each answer of a
    // second copy would send the next block twice, and so on to the board's end.
    int copiesSent_ = 0;
    int answersOfCopies_ = 0;

    const char* why_ = "";
};
