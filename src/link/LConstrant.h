#pragma once
// Fixed values of the device link: preset type tables, backup file layout, firmware file names and
// manifest keys, transports.

#include "util/StatusLamp.h"

#include <cstddef>
#include <cstdint>

// Preset types as the mixer numbers them: 0 DSP channel, 1 GEQ, 2 DFX, 3 scene. A frame's sub-code
// is the type plus 1.
inline constexpr int kPresetTypeCount = 4;
// Length of one preset frame (and of a preset file) by type.
inline constexpr int LEN_FILE_PRESET[kPresetTypeCount] = {70, 44, 25, 4569};
// File extension of a preset file by type.
inline constexpr const char* PresetFilter[kPresetTypeCount] = {"sDsp", "sGEQ", "sDFX", "sScen"};
// Position of each type in the preset window's type selector ("Scene", "Dsp Channel", "DFX", "GEQ").
inline constexpr int SCHCType[kPresetTypeCount] = {1, 3, 2, 0};
// The preset window's types by position (its type index), and the mixer's type of each.
inline constexpr const char* presetType[kPresetTypeCount] = {"Scene", "Dsp Channel", "DFX", "GEQ"};
inline constexpr int CHCType[kPresetTypeCount] = {3, 0, 2, 1};
// The channels of a Dsp Channel preset and the buses of a GEQ preset, by number.
inline constexpr int kChannelCount = 33;
inline constexpr const char* ChannelSTR[kChannelCount] = {
    "CH01", "CH02", "CH03", "CH04", "CH05", "CH06", "CH07", "CH08", "CH09", "CH10", "CH11",
    "CH12", "CH13", "CH14", "CH15", "CH16", "CH17", "CH18", "CH19", "CH20", "Tape", "USB",
    "FX1",  "FX2",  "AUX1", "AUX2", "AUX3", "AUX4", "SUB1", "SUB2", "SUB3", "SUB4", "MAIN"};
inline constexpr int kGEQChannelCount = 11;
inline constexpr const char* GEQChannelSTR[kGEQChannelCount] = {"MAIN", "SUB1", "SUB2", "SUB3", "SUB4", "AUX1",
                                                                "AUX2", "AUX3", "AUX4", "FX1",  "FX2"};
// The question the preset window asks before it backs up the whole memory.
inline constexpr const char* WARNING_Export_STR = "Are you sure that you want to save all presets to a computer file?";
// Slots in the mixer's name table of each type.
inline constexpr int kPresetSlots[kPresetTypeCount] = {48, 48, 104, 24};
inline constexpr int kPresetNameLength = 16;
// What an unreported slot shows (the 17-character text, cut to a slot's 16 bytes when stored).
inline constexpr const char* kEmptyPresetName = "------empty------";

// The active transport of the main window (its connectType); 0 until a device was found.
inline constexpr int32_t kConnectTypeSerial = 0x101;
inline constexpr int32_t kConnectTypeTcp = 0x102;

// A whole-memory backup: the 30 export frames back to back.
inline constexpr size_t kMemoryBackupFileSize = 128960;
inline constexpr int kMemoryPacketCount = 30;
inline constexpr const char* kMemoryBackupFileType = "mprt";
inline constexpr size_t kSceneFrameLength = 4612;   // scenes 1-24 and the current scene
inline constexpr size_t kDspFrameLength = 2892;     // DSP channel blocks, packets 25-26
inline constexpr size_t kDfxFrameLength = 2300;     // DFX blocks, packets 27-28
inline constexpr size_t kGeqFrameLength = 3276;     // GEQ block, packet 29
// The restore buffers in file order: scenes, DSP channel, DFX, GEQ, current scene.
inline constexpr size_t kMemoryPartLength[5] = {24 * kSceneFrameLength, 2 * kDspFrameLength,
                                                2 * kDfxFrameLength, kGeqFrameLength, kSceneFrameLength};
// A scene as the old firmware (MCU version below 64) sends it; its export frames declare 0xD8.
inline constexpr size_t kOldSceneFrameLength = 4312;
// The first MCU firmware version whose scenes have the layout of kSceneFrameLength.
inline constexpr uint8_t kNewLayoutMcuVersion = 64;
// A whole-memory backup whose 25 scenes have the given length, the other packets as they are.
constexpr size_t memoryBackupFileSize(size_t sceneFrameLength) {
    return 25 * sceneFrameLength + 2 * kDspFrameLength + 2 * kDfxFrameLength + kGeqFrameLength;
}

// Firmware images in 1 KB blocks, at most 1 MiB per board (boards 0-3).
inline constexpr int kFirmwareBoards = 4;
inline constexpr size_t kFirmwareBlockSize = 1024;
inline constexpr size_t kFirmwareImageBlocks = 1024;
inline constexpr size_t kFirmwareImageMax = kFirmwareBlockSize * kFirmwareImageBlocks;
inline constexpr int kGuiPictureCount = 21;
inline constexpr int kGuiPictureBlocks = 21;
inline constexpr size_t kGuiBlockSize = 3072;
// Image file names by board (no extension).
inline constexpr const char* Firmware_BIN[kFirmwareBoards] = {"PA4471093318", "PB4471093322", "PC4471093340",
                                                              "PD4471093341"};
inline constexpr const char* kFirmwareManifestName = "PE4471093357.json";
inline constexpr int kFirmwareVerCount = 9;
// The manifest's keys, element i of its "Firmwares" array holding key i.
inline constexpr const char* JSON_READ_KEY[kFirmwareVerCount] = {"MCU_VER2", "MCU_VER1", "DSP_VER2", "DSP_VER1", "App_Name",
                                                                 "App_Ver",  "compName", "URL",      "Utype"};

// What differs between the two programs built from these classes; each main() chooses one and
// gives it to GCData, which hands it to the main window's link and the windows.
struct ProgramConstants {
    // The whole-memory backup: scene frame length, file size and file type.
    size_t backupSceneFrameLength;
    size_t memoryBackupFileSize;
    const char* memoryFilter;
    // The preset library: the lists are asked for (on connecting, and chained type by type), the
    // list and channel boxes are filled, preset frames are sent to the mixer or saved from it,
    // and the lists are read again after a restore. Without it a preset-list reply still fills
    // the name tables, and the scene list (sub-code 4) still ends the busy display.
    bool presetLibrary;
    // The mixer's MCU firmware version: asked for when the TCP link comes up and when the preset
    // window opens, kept from its reply, and judged by the memory buttons.
    bool mcuVersion;
    // The preset window: the question before a backup, its status text after set-up, the
    // watchdog's failure text, the colour of a finished operation's text, and the texts at
    // packet 30 of a backup and of a restore.
    const char* warningExportText;
    const char* firstStatusText;
    const char* watchdogText;
    util::LampColor okColor;
    const char* backupDoneText;
    const char* restoreDoneText;
    // What the quit question says while a restore writes into the mixer.
    const char* restoreWritingText;
    // The window switcher: whether it opens the firmware window (tag 2) besides the preset window
    // (tag 1), and who ends the preset window's modal run with which code.
    bool firmwarePage;
    bool switcherEndsPresetRun;
    int presetRunStopCode;
    // The name panel's OK ends the modal run (or only hides the panel).
    bool namePanelOkEndsRun;
    // The folder, below the resources folder, whose lib/ holds the program's own firmware
    // manifest, which names the program in the window title and the about window ("": the
    // resources folder itself).
    const char* manifestFolder;
};

inline constexpr ProgramConstants kUtilityConstants{
    kSceneFrameLength,
    kMemoryBackupFileSize,
    kMemoryBackupFileType,
    true,
    false,
    WARNING_Export_STR,
    "status log",
    "Current process failed!",
    util::LampColor::greenColor(),
    "Backup of all Presets sucessfully saved to computer!",
    "Import all memory data over ,begin to synchronize presetlist from device ,waiting.....!",
    "A backup is being restored into the mixer.",
    true,
    false,
    -1000,
    true,
    "",
};

inline constexpr ProgramConstants kConversionConstants{
    kOldSceneFrameLength,
    121460,
    "moldPts",
    false,
    true,
    "Are you sure that you want to back up all presets to a computer file?",
    "",
    "Current process failer!",
    util::LampColor{1.0, 0.5, 0.0, 1.0},
    "Backup of all presets saved to computer",
    "Preset Conversion Complete",
    "The converted presets are being written into the mixer.",
    false,
    true,
    -60006,
    false,
    "conversion",
};

static_assert(kUtilityConstants.memoryBackupFileSize == memoryBackupFileSize(kUtilityConstants.backupSceneFrameLength));
static_assert(kConversionConstants.memoryBackupFileSize ==
              memoryBackupFileSize(kConversionConstants.backupSceneFrameLength));

// The firmware window's texts. Board names and default versions by board (0-3).
inline constexpr const char* NAME_FIRWARE_STR[kFirmwareBoards] = {"System Firmware:", "Keybord Firmware:",
                                                                  "DSP Firmware1:", "DSP Firmware2:"};
inline constexpr const char* DEFUALT_NAME_FIRWARE_STR[kFirmwareBoards] = {
    "MCU_Firmware_2_V2.8", "MCU_Firmware_1_V5.6", "DSP_Firmware_2_V4.3", "DSP_Firmware_1_V4.3"};
inline constexpr const char* UPDATE_FAILUR_STR[kFirmwareBoards] = {
    "Updating the System Firmware failed~!", "Updating the Keyboard Firmware failed~!",
    "Updating the DSP1 Firmware failed~!", "Updating the DSP2 Firmware failed~!"};
inline constexpr const char* cbxTitle[kFirmwareBoards] = {"MCU", "Keyboard", "DSP1", "DSP2"};
inline constexpr const char* INF_REBOOT = "Equipment is rebooting,please wait...";
inline constexpr const char* INF_DEV_NO_READY = "Equipment is not ready~!";
inline constexpr const char* INF_DEV_UP_FAILER = "Your Firmware Update is failed~!";
inline constexpr const char* INV_DEV_SUCESS =
    "Your Firmware Update Is Complete.\nPlease turn off your mixer & turn back on for regular use.!";
inline constexpr const char* WARNING_UPDATE_STR =
    "All internal user information will be erased with this firmware update,Are you sure you want to update your "
    "mixer firmware?";
