#pragma once
// The message bus: the notification "vidod.update.k42-go" on the default notification centre,
// carrying a new Userprofile for every message. Delivery is synchronous: every observer has run
// when Duziz::sendMsg returns.

#include <cstdint>
#include <memory>

// The payload of a message: the message code and its argument (a board, packet or block number,
// or a preset type; 0 where the code has none).
struct Userprofile {
    int32_t cmdType = 0;
    int32_t mpos = 0;
};

// The notification's object is a std::shared_ptr<const Userprofile>.
using UserprofilePtr = std::shared_ptr<const Userprofile>;

inline constexpr const char* kMessageBusName = "vidod.update.k42-go";

// The codes carried in cmdType.
enum MessageCode : int32_t {
    MSG_PRESET_LIST_LOADED = 256,
    MSG_BACKUP_PACKET = 257,
    MSG_PRESET_BUSY = 258,
    MSG_PRESET_IDLE = 259,
    MSG_PRESET_RECEIVED = 260,
    MSG_PRESET_WRITTEN = 261,
    MSG_RESTORE_PACKET = 262,
    MSG_DISCONNECTED = 263,
    MSG_BOARD_FAILED = 264,
    MSG_BOARD_DONE = 265,
    MSG_BLOCK_SENT = 273,
    // The preset that came with 260 was written to the file chosen in the save panel.
    MSG_PRESET_SAVED = 274,
};
