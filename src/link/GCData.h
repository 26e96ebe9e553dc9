#pragma once
// The shared store of the preset side: the preset names of the four preset types as the mixer last
// reported them, the buffers of a whole-memory backup and restore, one preset on its way between
// mixer and file, the link state the windows read, and the board being programmed. It holds the
// constants of the program it serves; Varnel Preset Conversion's store also keeps the mixer's MCU
// firmware version and converts old-layout scenes into the restore buffers.
// Main thread only; the open and save panels run modally through UiServices.

#include "link/LConstrant.h"
#include "platform/Error.h"
#include "util/StatusLamp.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

class GCData {
public:
    // program: the constants of the program this store serves (Varnel Utility's by default).
    explicit GCData(const ProgramConstants& program = kUtilityConstants);
    GCData(const GCData&) = delete;
    GCData& operator=(const GCData&) = delete;

    // The one store of the program, created on the first call (with program) and kept in gcData;
    // later calls return it as it is.
    static GCData& shareGCData(const ProgramConstants& program = kUtilityConstants);
    const ProgramConstants& program() const { return program_; }

    // "00%d." for 0-9, "0%d." for 10-99, "%d." otherwise.
    static std::string preStr(int n);
    // The list label of a slot: preStr(index + 1) and the slot's 16 bytes as text (bytes that are
    // not UTF-8 are shown as replacement characters). Empty for a slot outside the table.
    std::string gPresetName(int index, unsigned char type) const;
    // Stores name in a slot: cut to whole UTF-8 characters within 16 bytes, padded with spaces.
    // A type above 3 or an index outside the table does nothing.
    void setPresetName(int type, int index, const char* name);
    // Fills every slot of the type's table with the empty-slot text.
    void cxhPresetListcaseMode(int type);

    // The name table of a preset type (16 bytes per slot), or null for another type.
    uint8_t* nameTable(int type);
    const uint8_t* nameTable(int type) const;

    // Prepares a connection lamp: green when lit, gray when not, switched off. Null is ignored.
    static void resetLCD(util::StatusLamp* lamp);

    // Empties presetExportData.
    void resetPresetData();
    // Runs the save panel for a preset file of the type and writes presetExportData to the chosen
    // file (emptied once written). Data that is not a whole preset frame of the type is not
    // offered for saving, and a failed write is not either silently dropped: both are shown in
    // the "Warning!" alert and the data is kept. Returns whether a file was written.
    bool savePreset(int type);

    // Writes the finished backup in memoryExportData to memoryFilePath, atomically. Refuses, with
    // the reason in error, when no path is set or the buffer is not the 30 packets in order
    // (exactly the program's backup file size). A refused or failed backup empties the buffer.
    bool SaveMeoryFileToLocal(platform::Error* error = nullptr);

    // Open panel for a backup file, then ReadFiles_Memory.
    bool ReadMemoryFileFromLocal();
    // Reads and checks a backup file of the program's layout, fills the restore buffers (an
    // old-layout file's scenes converted to the new layout) and starts the restore through the
    // main window (mainVctl). A file that is not a backup of 30 frames in order is refused with
    // the "Warning!" alert; then nothing is sent and no buffer changes.
    bool ReadFiles_Memory(const std::string& path, int unused = 0);
    // Copies a part of a backup of the program's layout into its buffer (0 scenes, 1 DSP channel,
    // 2 DFX, 3 GEQ, 4 current scene) when its length is that part's; otherwise nothing. The
    // scenes of the old layout go to m_sceneMemoryOld (made on first use), the others to the
    // restore buffers.
    void procesAllImportMemoryData_beforeSend(const platform::Bytes& part, int which);

    // ---- The MCU firmware version and the scene conversion (Varnel Preset Conversion) -------
    // The presets are still in the old layout: the reported version is below 64 (0, not reported
    // yet, counts as old).
    bool isNeedConvert() const { return m_mcuVer < kNewLayoutMcuVersion; }
    // Converts the 25 old scenes of m_sceneMemoryOld into the restore buffers, in order.
    void proceDataMemoryAry_AllSences();
    // Converts old scene index (0-23 the stored scenes, 24 the current one) into its restore
    // buffer (m_sceneMemoryUpAlload[index], or m_cureSceneUpAlload for 24), which is zero-filled
    // first. Does nothing for another index or when no old-layout file was read.
    void proceDataMemoryAry_singleSence(int index);
    // Old scene frame: bytes 0-30 header, then 33 channel blocks of 100 bytes, then the tail.
    // New scene frame: the same header, 33 channel blocks of 108 bytes, the tail, the auto-mix
    // and cross-fader block, zeros, the trailer.
    static constexpr size_t kSceneHeaderLength = 31;
    static constexpr int kSceneChannels = 33;
    static constexpr size_t kOldChannelBlock = 100;
    static constexpr size_t kNewChannelBlock = 108;
    static constexpr size_t kSceneTailLength = 970;
    static constexpr size_t kAutoMixOffset = 4565;
    // The auto-mix and cross-fader settings every converted scene gets.
    static constexpr uint8_t m_defaultAutoMixAndCrossFader[21] = {
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // bytes 0-16
        1, 12, 1, 1};

    // Open panel for a preset file of the type, then readPresetFiles.
    bool ReadPresetFileFromLocal(int type, int unused = 0);
    // Reads a preset file of the type into presetExportData when its size, start bytes, command,
    // sub-code and trailer are those of a preset frame of that type; otherwise shows the
    // "Warning!" alert and leaves presetExportData unchanged.
    bool readPresetFiles(const std::string& path, int type);

    int utype() const { return utype_; }
    void setUtype(int value) { utype_ = value; }
    int currentProgramItem() const { return currentProgramItem_; }
    void setCurrentProgramItem(int value) { currentProgramItem_ = value; }

    uint8_t m_DSPPreset[48][16];
    uint8_t m_FXPreset[104][16];
    uint8_t m_GEQPreset[48][16];
    uint8_t m_scenPreset[24][16];
    // The backup being received: the export frames appended whole in arrival order.
    platform::Bytes memoryExportData;
    // One preset frame, from the mixer (reply 0x32) or from a preset file.
    platform::Bytes presetExportData;
    // Restore buffers: the frames of a backup file.
    uint8_t m_sceneMemoryUpAlload[24][kSceneFrameLength];
    uint8_t m_dspMemoryUpAlload[2][kDspFrameLength];
    uint8_t m_dfxMemoryUpAlload[2][kDfxFrameLength];
    uint8_t m_geqMemoryUpAlload[kGeqFrameLength];
    uint8_t m_cureSceneUpAlload[kSceneFrameLength];
    // The link to the mixer is up (written by the main window).
    bool isconnected = false;
    // Where the next backup is written (chosen by the preset window before it asks for one).
    std::string memoryFilePath;
    // The mixer's MCU firmware version as it last reported it; 0 until it has.
    uint8_t m_mcuVer = 0;
    // The 25 scenes of the old-layout file read last (24 stored, then the current scene); made
    // when the first such file is read.
    using OldSceneMemory = std::array<std::array<uint8_t, kOldSceneFrameLength>, 25>;
    std::unique_ptr<OldSceneMemory> m_sceneMemoryOld;

private:
    const ProgramConstants& program_;
    int utype_ = 0;
    int currentProgramItem_ = 0;
};

extern GCData* gcData;

// The shape of a whole-memory backup whose scenes have sceneLength bytes: packet p (1-30) is a
// frame of this sub-code and length.
struct MemoryPacketShape {
    uint8_t sub;
    size_t length;
};
MemoryPacketShape memoryPacketShape(int packet, size_t sceneLength = kSceneFrameLength);
// Offset of packet p (1-30) in a backup file.
size_t memoryPacketOffset(int packet, size_t sceneLength = kSceneFrameLength);
// Checks that bytes are a complete backup with scenes of sceneLength bytes: its exact size, 30
// frames of command 0x2F with their start bytes, sub-codes and packet numbers in order, each
// ending with its trailer "@". Fills why with the first fault (naming the packet).
bool isWholeMemoryBackup(const uint8_t* bytes, size_t length, std::string* why,
                         size_t sceneLength = kSceneFrameLength);

// What the conversion program's memory buttons do, by the link state and the version the mixer
// reported: go on, or show message in the "Warning!" alert (and ask for the version again when
// askVersion is set).
struct MemoryButtonDecision {
    bool proceed;
    std::string message;
    bool askVersion;
};
// The backup button (memImportClick): connected, then a version below 64 (or none yet) proceeds.
MemoryButtonDecision backupButtonDecision(bool connected, uint8_t mcuVer);
// The restore button (memExportClick): connected, then a version of 64 or above proceeds; a
// version not reported yet or below 64 is refused and asked for again.
MemoryButtonDecision restoreButtonDecision(bool connected, uint8_t mcuVer);

// Checks that bytes are one preset frame of the type as the mixer sends it (and a preset file
// holds it): the type's length, start bytes 01 20 03, command 0x32, sub-code type + 1, and the
// trailer "@" as its last byte. Fills why with the first fault.
bool isPresetFrame(const uint8_t* bytes, size_t length, int type, std::string* why);

// The main window's "Warning!" alert with one "OK" button.
void showLinkWarning(const std::string& message);
