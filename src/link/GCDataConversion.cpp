// Varnel Preset Conversion's side of the store: old-layout scenes converted to the new layout,
// and what the memory buttons do with the MCU firmware version the mixer reported.

#include "link/GCData.h"

#include "link/DeviceFrame.h"

#include <cstring>

void GCData::proceDataMemoryAry_AllSences() {
    for (int index = 0; index < 25; ++index) proceDataMemoryAry_singleSence(index);
}

void GCData::proceDataMemoryAry_singleSence(int index) {
    if (index < 0 || index > 24 || !m_sceneMemoryOld) return;
    const uint8_t* old = (*m_sceneMemoryOld)[static_cast<size_t>(index)].data();
    uint8_t* converted = index < 24 ? m_sceneMemoryUpAlload[index] : m_cureSceneUpAlload;
    // The bytes no step writes (each channel block's last six, the block after the auto-mix
    // settings) are zero whatever the buffer held before: a restore read earlier leaves its
    // scenes there.
    std::memset(converted, 0, kSceneFrameLength);
    // Frame start, length byte (as received), fixed bytes, command, sub-code, packet number and
    // the scene header data.
    std::memcpy(converted, old, kSceneHeaderLength);
    for (int k = 0; k < kSceneChannels; ++k) {
        const uint8_t* from = old + kSceneHeaderLength + kOldChannelBlock * static_cast<size_t>(k);
        uint8_t* to = converted + kSceneHeaderLength + kNewChannelBlock * static_cast<size_t>(k);
        // The old block's last two bytes have no place in the new one; its new fields start at 12.
        std::memcpy(to, from, 98);
        std::memset(to + 98, 12, 4);
    }
    std::memcpy(converted + kSceneHeaderLength + kNewChannelBlock * kSceneChannels,
                old + kSceneHeaderLength + kOldChannelBlock * kSceneChannels, kSceneTailLength);
    std::memcpy(converted + kAutoMixOffset, m_defaultAutoMixAndCrossFader, sizeof m_defaultAutoMixAndCrossFader);
    converted[kSceneFrameLength - 1] = frame::kTrailer;
}

MemoryButtonDecision backupButtonDecision(bool connected, uint8_t mcuVer) {
    if (!connected) return {false, "Not connected to device.", false};
    // A version not reported yet (0) counts as old: the backup proceeds.
    if (mcuVer >= kNewLayoutMcuVersion) return {false, "No need to convert presets.", false};
    return {true, "", false};
}

MemoryButtonDecision restoreButtonDecision(bool connected, uint8_t mcuVer) {
    if (!connected) return {false, "Not connected to device.", false};
    if (mcuVer == 0) return {false, "Device is busy!", true};
    // The mixer may have been updated since it last reported: it is asked again, so that the
    // next press judges by its current version.
    if (mcuVer < kNewLayoutMcuVersion) return {false, "Please update the firmware first!", true};
    return {true, "", false};
}
