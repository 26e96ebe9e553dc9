#include "link/GCData.h"

#include "link/DeviceFrame.h"
#include "link/StartMainView.h"
#include "platform/Trace.h"
#include "platform/UiServices.h"
#include "util/Duziz.h"
#include "platform/Utf8.h"

#include <cstdio>
#include <cstring>
#include <fstream>

using platform::Bytes;

GCData* gcData = nullptr;

void GCData::resetLCD(util::StatusLamp* lamp) {
    if (!lamp) return;
    lamp->setColorOfLighted(util::LampColor::greenColor());
    lamp->setColorOfunLighted(util::LampColor::grayColor());
    lamp->setIsLighted(false);
}

GCData::GCData(const ProgramConstants& program) : program_(program) {
    std::memset(m_DSPPreset, 0, sizeof m_DSPPreset);
    std::memset(m_FXPreset, 0, sizeof m_FXPreset);
    std::memset(m_GEQPreset, 0, sizeof m_GEQPreset);
    std::memset(m_scenPreset, 0, sizeof m_scenPreset);
    std::memset(m_sceneMemoryUpAlload, 0, sizeof m_sceneMemoryUpAlload);
    std::memset(m_dspMemoryUpAlload, 0, sizeof m_dspMemoryUpAlload);
    std::memset(m_dfxMemoryUpAlload, 0, sizeof m_dfxMemoryUpAlload);
    std::memset(m_geqMemoryUpAlload, 0, sizeof m_geqMemoryUpAlload);
    std::memset(m_cureSceneUpAlload, 0, sizeof m_cureSceneUpAlload);
    for (int type = 0; type < kPresetTypeCount; ++type) cxhPresetListcaseMode(type);
}

GCData& GCData::shareGCData(const ProgramConstants& program) {
    if (!gcData) gcData = new GCData(program);
    return *gcData;
}

std::string GCData::preStr(int n) {
    char text[24];
    if (n >= 0 && n <= 9)
        std::snprintf(text, sizeof text, "00%d.", n);
    else if (n >= 10 && n <= 99)
        std::snprintf(text, sizeof text, "0%d.", n);
    else
        std::snprintf(text, sizeof text, "%d.", n);
    return text;
}

uint8_t* GCData::nameTable(int type) {
    return const_cast<uint8_t*>(static_cast<const GCData*>(this)->nameTable(type));
}

const uint8_t* GCData::nameTable(int type) const {
    switch (type) {
    case 0: return &m_DSPPreset[0][0];
    case 1: return &m_GEQPreset[0][0];
    case 2: return &m_FXPreset[0][0];
    case 3: return &m_scenPreset[0][0];
    default: return nullptr;
    }
}

std::string GCData::gPresetName(int index, unsigned char type) const {
    const uint8_t* table = nameTable(type);
    if (!table || index < 0 || index >= kPresetSlots[type]) return {};
    const uint8_t* slot = table + index * kPresetNameLength;
    auto name = Duziz::ByteTostr(reinterpret_cast<const char*>(slot), kPresetNameLength);
    // A name that is not UTF-8 still gets a readable label.
    return preStr(index + 1) + (name ? *name : platform::utf8WithReplacement(slot, kPresetNameLength));
}

void GCData::setPresetName(int type, int index, const char* name) {
    uint8_t* table = nameTable(type);
    if (!table || index < 0 || index >= kPresetSlots[type]) return;
    std::string text = name ? name : "";
    text.resize(::strnlen(text.c_str(), text.size()));
    text.resize(platform::utf8PrefixLength(text, kPresetNameLength));
    Duziz::strToArray(table + index * kPresetNameLength, text.c_str(), kPresetNameLength);
}

void GCData::cxhPresetListcaseMode(int type) {
    uint8_t* table = nameTable(type);
    if (!table) return;
    for (int i = 0; i < kPresetSlots[type]; ++i)
        Duziz::strToArray(table + i * kPresetNameLength, kEmptyPresetName, kPresetNameLength);
}

void GCData::resetPresetData() { Duziz::clearData(&presetExportData); }

bool GCData::savePreset(int type) {
    if (type < 0 || type >= kPresetTypeCount) return false;
    // A file the program writes must be one it can load again.
    std::string why;
    if (!isPresetFrame(presetExportData.data(), presetExportData.size(), type, &why)) {
        showLinkWarning("The preset was not saved to the file. The mixer's reply is not a whole preset: " + why);
        return false;
    }
    // The panel runs the event loop, and a reply arriving meanwhile takes the place of
    // presetExportData: the preset this panel was opened for is written from its own copy.
    const Bytes pending = presetExportData;
    Bytes written = pending;
    platform::Error error;
    if (Duziz::saveFile("Save preset data to file", PresetFilter[type], &written, &error)) {
        // Written, so emptied, unless a newer reply has taken its place.
        if (presetExportData == pending) resetPresetData();
        return true;
    }
    if (!error.domain.empty()) {
        platform::trace("preset file write failed: %s", error.toString().c_str());
        showLinkWarning("The preset was not saved to the file. " + error.description);
    }
    return false;
}

MemoryPacketShape memoryPacketShape(int packet, size_t sceneLength) {
    if (packet >= 1 && packet <= 24) return {4, sceneLength};
    if (packet == 25 || packet == 26) return {1, kDspFrameLength};
    if (packet == 27 || packet == 28) return {3, kDfxFrameLength};
    if (packet == 29) return {2, kGeqFrameLength};
    if (packet == 30) return {5, sceneLength};
    return {0, 0};
}

size_t memoryPacketOffset(int packet, size_t sceneLength) {
    size_t offset = 0;
    for (int p = 1; p < packet && p <= kMemoryPacketCount; ++p) offset += memoryPacketShape(p, sceneLength).length;
    return offset;
}

bool isWholeMemoryBackup(const uint8_t* bytes, size_t length, std::string* why, size_t sceneLength) {
    auto fail = [why](std::string text) {
        if (why) *why = std::move(text);
        return false;
    };
    const size_t fileSize = memoryBackupFileSize(sceneLength);
    if (length != fileSize) {
        return fail("It holds " + std::to_string(length) + " bytes; a whole-memory backup holds " +
                    std::to_string(fileSize) + " bytes.");
    }
    for (int p = 1; p <= kMemoryPacketCount; ++p) {
        const uint8_t* f = bytes + memoryPacketOffset(p, sceneLength);
        const MemoryPacketShape shape = memoryPacketShape(p, sceneLength);
        if (f[0] != frame::kStart0 || f[1] != frame::kStart1 || f[2] != frame::kStart2 ||
            f[8] != frame::kCmdMemoryExport || f[9] != shape.sub || f[10] != p) {
            return fail("Packet " + std::to_string(p) + " of 30 is missing or out of order.");
        }
        // Without its trailer a frame was cut or shifted by a stray byte: the mixer would be
        // sent damaged memory.
        if (f[shape.length - 1] != frame::kTrailer)
            return fail("Packet " + std::to_string(p) + " of 30 is damaged: it does not end with \"@\".");
    }
    return true;
}

bool GCData::SaveMeoryFileToLocal(platform::Error* error) {
    std::string why;
    bool ok = false;
    if (memoryFilePath.empty()) {
        why = "No backup file was chosen.";
    } else if (memoryExportData.size() != program_.memoryBackupFileSize) {
        why = "Not all 30 packets arrived from the mixer (" + std::to_string(memoryExportData.size()) + " of " +
              std::to_string(program_.memoryBackupFileSize) + " bytes).";
    } else if (isWholeMemoryBackup(memoryExportData.data(), memoryExportData.size(), &why,
                                   program_.backupSceneFrameLength)) {
        platform::Error writeError;
        ok = writeFileAtomically(memoryFilePath, memoryExportData.data(), memoryExportData.size(), &writeError);
        if (!ok) {
            platform::trace("memory backup write failed: %s", writeError.toString().c_str());
            platform::setError(error, writeError);
        }
    }
    if (!ok && !why.empty()) platform::setError(error, platform::Error::make("GCDataErrorDomain", 1, why));
    // A backup that was not written cannot be completed later; the next one starts afresh.
    if (!ok) Duziz::clearData(&memoryExportData);
    return ok;
}

bool GCData::ReadMemoryFileFromLocal() {
    return Duziz::_openFile(program_.memoryFilter, 0,
                            [this](const std::string& path, int arg) { return ReadFiles_Memory(path, arg); });
}

static bool readWholeFile(const std::string& path, size_t expected, Bytes* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(expected, 0);
    in.read(reinterpret_cast<char*>(out->data()), static_cast<std::streamsize>(expected));
    return static_cast<size_t>(in.gcount()) == expected;
}

// Length of part which (0 scenes, 1 DSP channel, 2 DFX, 3 GEQ, 4 current scene) of a backup whose
// scenes have sceneLength bytes.
static size_t memoryPartLength(int which, size_t sceneLength) {
    switch (which) {
    case 0: return 24 * sceneLength;
    case 4: return sceneLength;
    default: return which >= 1 && which <= 3 ? kMemoryPartLength[which] : 0;
    }
}

bool GCData::ReadFiles_Memory(const std::string& path, int) {
    const size_t fileSize = program_.memoryBackupFileSize;
    const size_t sceneLength = program_.backupSceneFrameLength;
    const int size = Duziz::fileSize(path);
    platform::trace("file read length is %d   fac length is %d", size, static_cast<int>(fileSize));
    bool result = false;
    Bytes file;
    std::string why;
    // The whole file is read and checked before any buffer changes or anything is sent: a
    // damaged or foreign file must never reach the mixer's memory.
    if (static_cast<size_t>(size) != fileSize) {
        isWholeMemoryBackup(nullptr, static_cast<size_t>(size), &why, sceneLength);
    } else if (!readWholeFile(path, fileSize, &file)) {
        why = "The file could not be read.";
    } else if (isWholeMemoryBackup(file.data(), file.size(), &why, sceneLength)) {
        size_t offset = 0;
        for (int which = 0; which < 5; ++which) {
            const size_t length = memoryPartLength(which, sceneLength);
            Bytes part(file.begin() + static_cast<long>(offset), file.begin() + static_cast<long>(offset + length));
            procesAllImportMemoryData_beforeSend(part, which);
            offset += length;
        }
        platform::trace("reafiinfe memory......................");
        if (sceneLength != kSceneFrameLength) proceDataMemoryAry_AllSences();
        if (mainVctl) mainVctl->sendCMD_MemoryImport_Scence(0);
        result = true;
    }
    if (!result) showLinkWarning("The backup file cannot be restored. " + why);
    platform::trace("read memfile here  conv  %d", result ? 1 : 0);
    return result;
}

void GCData::procesAllImportMemoryData_beforeSend(const Bytes& part, int which) {
    const size_t sceneLength = program_.backupSceneFrameLength;
    if (which < 0 || which > 4 || part.size() != memoryPartLength(which, sceneLength)) return;
    uint8_t* buffers[5] = {&m_sceneMemoryUpAlload[0][0], &m_dspMemoryUpAlload[0][0], &m_dfxMemoryUpAlload[0][0],
                           m_geqMemoryUpAlload, m_cureSceneUpAlload};
    // Old-layout scenes wait in m_sceneMemoryOld until they are converted into the restore buffers.
    if (sceneLength != kSceneFrameLength && (which == 0 || which == 4)) {
        if (!m_sceneMemoryOld) m_sceneMemoryOld = std::make_unique<OldSceneMemory>();
        buffers[which] = (*m_sceneMemoryOld)[which == 0 ? 0 : 24].data();
        if (which == 4) platform::trace("process over current scence to data ary ");
    }
    std::memset(buffers[which], 0, part.size());
    std::memcpy(buffers[which], part.data(), part.size());
}

bool GCData::ReadPresetFileFromLocal(int type, int arg) {
    if (type < 0 || type >= kPresetTypeCount) return false;
    return Duziz::_openFile(PresetFilter[type], arg,
                            [this, type](const std::string& path, int) { return readPresetFiles(path, type); });
}

bool isPresetFrame(const uint8_t* bytes, size_t length, int type, std::string* why) {
    auto fail = [why](std::string text) {
        if (why) *why = std::move(text);
        return false;
    };
    if (type < 0 || type >= kPresetTypeCount) return fail("There is no preset type " + std::to_string(type) + ".");
    const size_t expected = static_cast<size_t>(LEN_FILE_PRESET[type]);
    if (length != expected) {
        return fail("It holds " + std::to_string(length) + " bytes; a " + PresetFilter[type] + " preset holds " +
                    std::to_string(expected) + " bytes.");
    }
    if (bytes[0] != frame::kStart0 || bytes[1] != frame::kStart1 || bytes[2] != frame::kStart2 ||
        bytes[8] != frame::kCmdPresetData || bytes[9] != type + 1) {
        return fail(std::string("It is not a ") + PresetFilter[type] + " preset.");
    }
    if (bytes[length - 1] != frame::kTrailer)
        return fail(std::string("The ") + PresetFilter[type] + " preset is damaged: it does not end with \"@\".");
    return true;
}

bool GCData::readPresetFiles(const std::string& path, int type) {
    if (type < 0 || type >= kPresetTypeCount) return false;
    const size_t length = static_cast<size_t>(LEN_FILE_PRESET[type]);
    const int size = Duziz::fileSize(path);
    Bytes bytes;
    std::string why;
    if (static_cast<size_t>(size) != length) {
        isPresetFrame(nullptr, static_cast<size_t>(size), type, &why);
    } else if (!readWholeFile(path, length, &bytes)) {
        why = "The file could not be read.";
    } else {
        isPresetFrame(bytes.data(), bytes.size(), type, &why);
    }
    if (!why.empty()) {
        showLinkWarning("The preset file cannot be loaded. " + why);
        return false;
    }
    resetPresetData();
    presetExportData.insert(presetExportData.end(), bytes.begin(), bytes.end());
    return true;
}

void showLinkWarning(const std::string& message) {
    platform::UiServices::shared().alert("Warning!", message, {"OK"});
}
