#include "link/XCoreData.h"

#include "json/JSONDecoder.h"
#include "link/DeviceFrame.h"
#include "platform/Resources.h"
#include "platform/Trace.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

using platform::Bytes;

XCoreData* coreData = nullptr;

XCoreData::XCoreData(std::string resourcesDir)
    : LPC1820(kFirmwareImageMax),
      LPC1763(kFirmwareImageMax),
      DspData1(kFirmwareImageMax),
      DspData2(kFirmwareImageMax),
      m_guiData(static_cast<size_t>(kGuiPictureCount) * kGuiPictureBlocks * kGuiBlockSize) {
    setResourcesDir(std::move(resourcesDir));
    for (int i = 0; i < 4; ++i) firmware_ver[i] = std::string();
    firmware_ver[4] = "K42 Firmware update tool";
    firmware_ver[5] = "Version:3.6.3";
}

XCoreData& XCoreData::shareData() {
    if (!coreData) coreData = new XCoreData();
    return *coreData;
}

void XCoreData::setResourcesDir(std::string dir) {
    resourcesDir_ = dir.empty() ? platform::resourcesFolder() : std::move(dir);
}

std::string programResourcesDir(const ProgramConstants& program) {
    std::string dir = platform::resourcesFolder();
    if (*program.manifestFolder) dir += std::string("/") + program.manifestFolder;
    return dir;
}

std::string XCoreData::pathInDocumentDctry(const std::string& name) const { return resourcesDir_ + "/lib/" + name; }

std::optional<std::string> XCoreData::bundleLib(const std::string& name) const {
    std::string path = resourcesDir_ + "/firmlib.bundle/lib/" + name;
    if (!is_file_exist(path)) return std::nullopt;
    return path;
}

bool XCoreData::is_file_exist(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

uint64_t XCoreData::fileSizeAtPath(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        platform::trace("file is not exist");
        return 0;
    }
    return static_cast<uint64_t>(st.st_size);
}

std::string XCoreData::findFile(const std::string& name) const {
    std::string path = pathInDocumentDctry(name);
    if (is_file_exist(path)) return path;
    if (auto inBundle = bundleLib(name)) {
        uint64_t size = fileSizeAtPath(*inBundle);
        platform::trace("read files size is : %llu", static_cast<unsigned long long>(size));
        if (size >= 1) return *inBundle;
    }
    return {};
}

int XCoreData::loadFromLocalFiles(int board) {
    if (board < 0 || board >= kFirmwareBoards) return 0;
    const std::string path = findFile(Firmware_BIN[board]);
    platform::trace("file is exsits");
    if (path.empty()) return 0;

    std::ifstream in(path, std::ios::binary);
    Bytes image;
    bool failed = !in;
    if (!failed) {
        // Read one byte past the limit so that an image too large for its buffer is recognised.
        image.resize(kFirmwareImageMax + 1);
        in.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
        failed = in.bad();
        image.resize(static_cast<size_t>(in.gcount()));
    }
    if (failed || image.size() > kFirmwareImageMax) {
        platform::trace("read %s", failed ? "An error occurred case reading" : "image larger than 1 MiB refused");
        // Never keep an earlier image under this board once its file failed.
        FirmwareData[board].clear();
        return 1;
    }
    FirmwareData[board] = std::move(image);
    return 2;
}

uint8_t XCoreData::Bt(const Bytes& data, int index) {
    if (index < 0 || static_cast<size_t>(index) >= data.size()) return 0;
    return data[static_cast<size_t>(index)];
}

XCoreData::ImageBuffer* XCoreData::blockBuffer(int board) {
    switch (board) {
    case 0: return &LPC1820;
    case 1: return &LPC1763;
    case 2: return &DspData1;
    case 3: return &DspData2;
    default: return nullptr;
    }
}

const uint8_t* XCoreData::imageOf(int board) const {
    auto* self = const_cast<XCoreData*>(this);
    auto* buffer = self->blockBuffer(board);
    return buffer ? buffer->data() : nullptr;
}

void XCoreData::caculateArray(int index) {
    if (index == 4) {
        dSegement[4] = 250;
        return;
    }
    auto* buffer = blockBuffer(index);
    if (!buffer) return;
    const Bytes& image = FirmwareData[static_cast<size_t>(index)];
    size_t n = std::min(image.size(), kFirmwareImageMax);
    std::copy_n(image.begin(), n, buffer->begin());
    const size_t rest = n % kFirmwareBlockSize;
    if (rest != 0) {
        const size_t padded = n + kFirmwareBlockSize - rest;
        std::fill(buffer->begin() + static_cast<long>(n), buffer->begin() + static_cast<long>(padded), 0xFF);
        n = padded;
    }
    dSegement[index] = static_cast<int32_t>(n / kFirmwareBlockSize);
}

void XCoreData::readAllFirmware_fromLocal() {
    for (int i = 0; i < kFirmwareBoards; ++i) {
        mb_firmware_noGUI[i] = static_cast<uint8_t>(loadFromLocalFiles(i));
        caculateArray(i);
    }
}

uint8_t* XCoreData::PackageofSearchDevice(uint8_t* buffer) {
    return frame::begin(buffer, kSearchDeviceLength, frame::kCmdSearchDevice, 0x01);
}

uint8_t* XCoreData::PackageofReadFirmwareFromDSP(uint8_t* buffer, int type) {
    if (type != 0 && type != 1) {
        std::memset(buffer, 0, kReadFirmwareFromDspLength);
        return buffer;
    }
    frame::begin(buffer, kReadFirmwareFromDspLength, frame::kCmdReadDspFirmware, static_cast<uint8_t>(type + 2));
    for (int i = 10; i <= 13; ++i) buffer[i] = 0x01;
    return buffer;
}

uint8_t* XCoreData::PackageofBegin_EnterProgram(uint8_t* buffer) {
    return frame::begin(buffer, kEnterProgramLength, frame::kCmdEnterProgram, 0x00);
}

uint8_t* XCoreData::PackageofDevice_isReady(uint8_t* buffer, int board) const {
    frame::begin(buffer, kIsReadyLength, board == 0 ? frame::kCmdReadyMain : frame::kCmdReadyOther,
                 static_cast<uint8_t>(board));
    const int32_t count = board >= 0 && board <= 4 ? dSegement[board] : 0;
    frame::putU16(buffer + 10, static_cast<unsigned>(count) & 0xFFFF);
    buffer[12] = 0x01;
    buffer[13] = board >= 4 ? 21 : 0x01;
    return buffer;
}

uint8_t* XCoreData::PackageofUpdateGUIFirmware(uint8_t* buffer, int block, int picture) const {
    frame::begin(buffer, kGuiBlockFrameLength, frame::kCmdBlockOther, static_cast<uint8_t>(picture));
    buffer[3] = 0xF0;
    buffer[10] = static_cast<uint8_t>(block / 256);
    buffer[11] = static_cast<uint8_t>(block % 256);
    if (picture >= 0 && picture < kGuiPictureCount && block >= 0 && block < kGuiPictureBlocks) {
        const size_t at = (static_cast<size_t>(picture) * kGuiPictureBlocks + static_cast<size_t>(block)) * kGuiBlockSize;
        std::memcpy(buffer + 12, m_guiData.data() + at, kGuiBlockSize);
    }
    return buffer;
}

uint8_t* XCoreData::PackageofBeginProgram(uint8_t* buffer, int block, int board) const {
    frame::begin(buffer, kProgramBlockFrameLength, board == 0 ? frame::kCmdBlockMain : frame::kCmdBlockOther,
                 static_cast<uint8_t>(board));
    buffer[3] = 0x01;
    frame::putU16(buffer + 10, static_cast<unsigned>(block) & 0xFFFF);
    const uint8_t* image = imageOf(board);
    if (image && block >= 0 && static_cast<size_t>(block) < kFirmwareImageBlocks)
        std::memcpy(buffer + 12, image + static_cast<size_t>(block) * kFirmwareBlockSize, kFirmwareBlockSize);
    return buffer;
}

bool XCoreData::jsonFileRead_forVer(int count) {
    bool result = true;
    std::string path = pathInDocumentDctry(kFirmwareManifestName);
    platform::trace("get opened  json file path is :%s", path.c_str());
    if (!is_file_exist(path)) {
        auto inBundle = bundleLib(kFirmwareManifestName);
        if (!inBundle || fileSizeAtPath(*inBundle) == 0) return false;
        path = *inBundle;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    platform::Error error;
    const JsonValue top = objectFromJSONStringWithParseOptions(text, JsonParseOptionStrict, &error);
    if (!error.domain.empty()) {
        result = false;
        platform::trace("parse json data is Error");
    }
    if (const JsonDictionary* manifest = top.dictionary()) {
        const JsonArray* firmwares = manifest->objectForKey("Firmwares").array();
        if (!firmwares) return false;
        const int wanted = std::clamp(count, 0, kFirmwareVerCount);
        for (int i = 0; i < wanted; ++i) {
            // A missing or malformed element fails the read, and the later ones are still taken.
            if (static_cast<uint64_t>(i) >= firmwares->count()) {
                result = false;
                continue;
            }
            const JsonValue& element = firmwares->objectAtIndex(static_cast<uint64_t>(i));
            const JsonDictionary* entry = element.dictionary();
            if (!entry) {
                result = false;
                continue;
            }
            platform::trace("ark is :%s", element.description().c_str());
            const JsonValue& value = entry->objectForKey(JSON_READ_KEY[i]);
            if (!value) continue;
            // Only texts are versions and names; any other value leaves the entry as it was.
            if (!value.isString()) {
                result = false;
                continue;
            }
            firmware_ver[static_cast<size_t>(i)] = value.string();
        }
    } else if (top.isArray()) {
        result = false;
    }
    return result;
}
