#pragma once
// Fixed values of the device link: preset type tables, backup file layout, firmware file names and
// manifest keys, transports.

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
