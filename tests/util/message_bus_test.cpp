#include "util/Duziz.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Records every message of the bus, as a window's message handler would.
struct BusRecorder {
    std::vector<Userprofile> messages;
    platform::NotificationCenter::ObserverToken token =
        platform::NotificationCenter::defaultCenter().addObserver(kMessageBusName, [this](const auto& n) {
            messages.push_back(*std::any_cast<UserprofilePtr>(n.object));
        });
};

}  // namespace

TEST(MessageBus, SendMsgDeliversANewPayloadSynchronouslyToEveryObserver) {
    BusRecorder preset, firmware;
    Duziz::sendMsg(MSG_DISCONNECTED, 0, kMessageBusName);
    // Delivered before sendMsg returned, to both windows.
    ASSERT_EQ(preset.messages.size(), 1u);
    ASSERT_EQ(firmware.messages.size(), 1u);
    EXPECT_EQ(preset.messages[0].cmdType, 263);
    EXPECT_EQ(preset.messages[0].mpos, 0);

    Duziz::sendMsg(MSG_BLOCK_SENT, 17, kMessageBusName);
    Duziz::sendMsg(12345, -1, kMessageBusName);  // any 32-bit code is carried
    ASSERT_EQ(preset.messages.size(), 3u);
    EXPECT_EQ(preset.messages[1].cmdType, MSG_BLOCK_SENT);
    EXPECT_EQ(preset.messages[1].mpos, 17);
    EXPECT_EQ(preset.messages[2].cmdType, 12345);
    EXPECT_EQ(preset.messages[2].mpos, -1);
}

TEST(MessageBus, MessagePostedBeforeAWindowRegistersIsNotSeenByIt) {
    Duziz::sendMsg(MSG_PRESET_IDLE, 0, kMessageBusName);
    BusRecorder late;
    EXPECT_TRUE(late.messages.empty());
    Duziz::sendMsg(MSG_PRESET_IDLE, 0, kMessageBusName);
    EXPECT_EQ(late.messages.size(), 1u);
}

TEST(MessageBus, OtherNamesAreNotDelivered) {
    BusRecorder window;
    Duziz::sendMsg(MSG_PRESET_BUSY, 0, "some.other.name");
    EXPECT_TRUE(window.messages.empty());
}
