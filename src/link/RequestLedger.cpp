// What the link has asked of the mixer and waits for, what given-up requests still owe, and
// whether an answer answers any of it.

#include "link/RequestLedger.h"

#include "link/GCData.h"

#include <algorithm>

namespace {

bool isPresetType(int type) { return type >= 0 && type < RequestLedger::kPresetTypes; }

}  // namespace

// ---- Preset requests ----------------------------------------------------------------------------

void RequestLedger::ask(Preset kind, int type, bool sent, bool owesWhenGivenUp) {
    giveUp(kind);
    if (!sent || !isPresetType(type)) return;
    awaited_[index(kind)] = Awaited{type, owesWhenGivenUp, false};
}

void RequestLedger::listReadGoesOn(int type, bool sent) {
    // The same read, now waiting for the list of the next type: an owed answer dropped while it
    // waited for the list before was of that type, and says nothing about this one.
    Awaited& awaited = awaited_[index(Preset::List)];
    awaited.type = sent && isPresetType(type) ? type : -1;
    awaited.droppedOwedMeanwhile = false;
}

void RequestLedger::giveUp(Preset kind) {
    Awaited& awaited = awaited_[index(kind)];
    if (awaited.type >= 0) {
        int& owed = owed_[index(kind)][awaited.type];
        if (awaited.droppedOwedMeanwhile)
            owed = 0;
        else if (awaited.owes)
            ++owed;
    }
    awaited = Awaited{};
}

RequestLedger::Verdict RequestLedger::answer(Preset kind, int type) {
    if (!isPresetType(type)) return dropped("a preset type the mixer does not have", Verdict::NotAsked);
    Awaited& awaited = awaited_[index(kind)];
    int& owed = owed_[index(kind)][type];
    if (owed > 0) {
        --owed;
        if (awaited.type == type) awaited.droppedOwedMeanwhile = true;
        return dropped("the late answer of a request given up", Verdict::Owed);
    }
    if (awaited.type != type)
        return dropped(awaited.type < 0 ? "nothing of its kind asked" : "not the type asked", Verdict::NotAsked);
    // A list read goes on with its next type; the other requests are answered.
    if (kind == Preset::List)
        awaited.type = -1;
    else
        awaited = Awaited{};
    return Verdict::Taken;
}

// ---- Whole-memory transfers ---------------------------------------------------------------------

void RequestLedger::exportAsked() { exportDue_ = 1; }

void RequestLedger::exportEnds() { exportDue_ = 0; }

RequestLedger::Export RequestLedger::exportPacket(int packet) {
    // Before its packet 1, another number is a late packet of a backup given up; after it, a
    // packet out of order means the stream is not the one asked for.
    if (exportDue_ == 0) {
        why_ = "no backup under way";
        return Export::NotAsked;
    }
    if (exportDue_ == 1 && packet != 1) {
        why_ = "the backup waits for its packet 1";
        return Export::NotAsked;
    }
    if (packet != exportDue_) {
        why_ = "another packet was due";
        return Export::OutOfOrder;
    }
    ++exportDue_;
    return Export::Taken;
}

bool RequestLedger::importAnswer(int packet, int sub) {
    const int awaited = importAwaited_;
    // The acknowledgement names the packet's block type, its frame's sub-code; the current scene
    // (packet 30, sub-code 5) is acknowledged as a scene (4), and taken with either.
    const bool taken = awaited != 0 && packet == awaited &&
                       (sub == memoryPacketShape(packet).sub || (packet == kMemoryPacketCount && sub == 4));
    if (!taken) {
        why_ = awaited ? "not the packet last sent" : "no restore under way";
        return false;
    }
    importAwaited_ = 0;
    return true;
}

// ---- Firmware -----------------------------------------------------------------------------------

void RequestLedger::readyAsked(int board) {
    boardEnds();
    step_ = Step::Ready;
    board_ = board;
}

void RequestLedger::boardEnds() {
    step_ = Step::None;
    board_ = -1;
    forgetBlocks();
}

RequestLedger::Ready RequestLedger::readyAnswer(int board, int status, int item) {
    // Only while the board in work awaits it, and naming that board, whatever its status: a
    // failure naming another board is a late answer of a run given up. Once the blocks go out, a
    // ready acknowledgement answers nothing asked.
    if (!boardInWork(item)) {
        why_ = "no board in work";
        return Ready::Dropped;
    }
    if (step_ != Step::Ready) {
        why_ = "its blocks go out already";
        return Ready::Dropped;
    }
    if (board != board_) {
        why_ = "not the board in work";
        return Ready::Dropped;
    }
    if (status == 1) return Ready::Failed;
    return status == 0 ? Ready::Start : Ready::OtherStatus;
}

void RequestLedger::blocksStart() {
    step_ = Step::Blocks;
    forgetBlocks();
}

void RequestLedger::forgetBlocks() {
    blockSent_ = -1;
    highestSent_ = -1;
    copiesSent_ = 0;
    answersOfCopies_ = 0;
}

RequestLedger::Block RequestLedger::blockAnswer(int board, int block, int status, int item, int count) {
    if (!boardInWork(item)) {
        why_ = "no board in work";
        return Block::Dropped;
    }
    if (board != board_) {
        why_ = "another board is in work";
        return Block::Dropped;
    }
    // A failure too answers a block of this try: before one went out (the board awaits its ready
    // acknowledgement, or was started again after a failure) it is a repeated or late one.
    if (step_ != Step::Blocks || highestSent_ < 0) {
        why_ = "no block of the board's try went out yet";
        return Block::Dropped;
    }
    if (status == 1) return Block::Failed;
    if (status != 0) return Block::OtherStatus;
    if (block == blockSent_) {
        if (answersOfCopies_ > 0) {
            // The answer of an extra copy of the block before: the mixer already had that block
            // and names the one it wants, which has just gone out.
            --answersOfCopies_;
            return Block::CopysAnswer;
        }
        return Block::SendAgain;
    }
    // The mixer wants a block it was sent and lost, or the one after the highest it was sent;
    // never one past that.
    if (block < 0 || block > highestSent_ + 1 || block > count) {
        why_ = "not a block the mixer can want";
        return Block::Dropped;
    }
    // The mixer answered one copy of the block just sent; it answers the others likewise.
    answersOfCopies_ = copiesSent_ - 1;
    return block == count ? Block::Done : Block::Send;
}

void RequestLedger::blockGoesOut(int block) {
    if (block == blockSent_) {
        ++copiesSent_;
    } else {
        blockSent_ = block;
        copiesSent_ = 1;
    }
    highestSent_ = std::max(highestSent_, block);
}

// ---- The link -----------------------------------------------------------------------------------

void RequestLedger::linkLost() {
    awaited_ = {};
    owed_ = {};
    exportDue_ = 0;
    importAwaited_ = 0;
    boardEnds();
}
