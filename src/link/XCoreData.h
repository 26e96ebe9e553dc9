#pragma once
// The shared store of the firmware update: the four board images read from the resources' "lib"
// folder, cut into 1 KB blocks padded with 0xFF; each image's block count; the per-board update
// state the firmware window reads and writes; the version strings of the firmware manifest; and
// the builders of the firmware frames.
//
// Files are looked for in <resources>/lib/<name>, else in <resources>/firmlib.bundle/lib/<name>
// (where an empty file counts as missing). The resources folder defaults to
// platform::resourcesFolder() and can be given to the constructor or set later.

#include "link/LConstrant.h"
#include "platform/Error.h"
#include "platform/MainExecutor.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <vector>

class XCoreData {
public:
    // Empty resourcesDir = the program's resources folder.
    explicit XCoreData(std::string resourcesDir = {});
    XCoreData(const XCoreData&) = delete;
    XCoreData& operator=(const XCoreData&) = delete;

    // The one store of the program, created on the first call and kept in coreData.
    static XCoreData& shareData();

    const std::string& resourcesDir() const { return resourcesDir_; }
    void setResourcesDir(std::string dir);

    // <resources>/lib/<name> (the file need not exist).
    std::string pathInDocumentDctry(const std::string& name) const;
    // <resources>/firmlib.bundle/lib/<name>, or nothing when the bundle or the file is missing.
    std::optional<std::string> bundleLib(const std::string& name) const;
    static bool is_file_exist(const std::string& path);
    // The file's size, 0 when there is none.
    static uint64_t fileSizeAtPath(const std::string& path);

    // Reads board i's image file into FirmwareData[i]: 2 read, 0 no file, 1 an error while
    // reading or an image over 1 MiB (FirmwareData[i] is emptied then). Other indexes: 0.
    int loadFromLocalFiles(int board);
    // The byte at index, 0 when data is shorter.
    static uint8_t Bt(const platform::Bytes& data, int index);
    // Copies image i (0-3) into its block buffer padded with 0xFF to whole blocks and sets
    // dSegement[i] to its block count; index 4 sets dSegement[4] to 250; others do nothing.
    void caculateArray(int index);
    // loadFromLocalFiles and caculateArray for boards 0-3.
    void readAllFirmware_fromLocal();
    // Reads the manifest and fills firmware_ver[0 .. count-1]; false when the file is missing,
    // unparsable, wrongly shaped or too short, or a value is not a text. Entries filled before
    // a failure stay filled.
    bool jsonFileRead_forVer(int count);

    // The block buffer of a board (0-3), or null.
    const uint8_t* imageOf(int board) const;

    // Frame builders: each zero-fills exactly its own length of buffer, writes the frame and
    // returns buffer.
    static constexpr int kSearchDeviceLength = 11;
    static constexpr int kReadFirmwareFromDspLength = 15;
    static constexpr int kEnterProgramLength = 11;
    static constexpr int kIsReadyLength = 15;
    static constexpr int kGuiBlockFrameLength = 3088;
    static constexpr int kProgramBlockFrameLength = 1040;
    static uint8_t* PackageofSearchDevice(uint8_t* buffer);
    // Type 0 or 1; another type leaves the buffer all zero.
    static uint8_t* PackageofReadFirmwareFromDSP(uint8_t* buffer, int type);
    static uint8_t* PackageofBegin_EnterProgram(uint8_t* buffer);
    // Carries dSegement[board] (0 for a board outside 0-4).
    uint8_t* PackageofDevice_isReady(uint8_t* buffer, int board) const;
    // Block data only for a picture below 21 and a block below 21; zeros otherwise.
    uint8_t* PackageofUpdateGUIFirmware(uint8_t* buffer, int block, int picture) const;
    // Block data only for a board 0-3 and a block inside the 1 MiB buffer; zeros otherwise.
    uint8_t* PackageofBeginProgram(uint8_t* buffer, int block, int board) const;

    // Zero-filled buffers whose pages the system provides only when first written: the stores
    // hold about 5.7 MB of image buffers that most runs never touch.
    template <typename T>
    struct ZeroPageAllocator {
        using value_type = T;
        ZeroPageAllocator() = default;
        template <typename U>
        ZeroPageAllocator(const ZeroPageAllocator<U>&) {}
        T* allocate(size_t n) {
            if (void* p = std::calloc(n, sizeof(T))) return static_cast<T*>(p);
            throw std::bad_alloc();
        }
        void deallocate(T* p, size_t) { std::free(p); }
        // Value-initialisation leaves calloc's zeros in place instead of writing them again.
        template <typename U>
        void construct(U*) {}
        template <typename U, typename... Args>
        void construct(U* p, Args&&... args) { ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...); }
        bool operator==(const ZeroPageAllocator&) const { return true; }
    };
    using ImageBuffer = std::vector<uint8_t, ZeroPageAllocator<uint8_t>>;

    // Images by board, 1024 blocks of 1024 bytes each.
    ImageBuffer LPC1820;
    ImageBuffer LPC1763;
    ImageBuffer DspData1;
    ImageBuffer DspData2;
    // 21 pictures of 21 blocks of 3072 bytes; nothing here fills them.
    ImageBuffer m_guiData;
    uint8_t ISCONNECTED = 0;
    uint8_t upReadyCheck[kFirmwareBoards] = {};
    uint8_t updateStatusRecord[kFirmwareBoards] = {};
    int32_t dSegement[5] = {};
    uint8_t mb_firmware_noGUI[kFirmwareBoards] = {};
    // When the mixer last acknowledged the board in work (its ready query or a block), on the
    // main executor's clock; the firmware window gives the board up after a long silence.
    platform::MainExecutor::Clock::time_point lastBoardReply{};
    std::array<platform::Bytes, kFirmwareBoards> FirmwareData;
    // Manifest values by key index; entries 0-3 start empty, 4 and 5 with the tool's name and
    // version, the others absent.
    std::array<std::optional<std::string>, kFirmwareVerCount> firmware_ver;

private:
    ImageBuffer* blockBuffer(int board);
    // The file's path in the lib folder, else in the bundle when it is not empty; empty when
    // neither holds it.
    std::string findFile(const std::string& name) const;

    std::string resourcesDir_;
};

extern XCoreData* coreData;

// The resources folder of a program, whose lib/ holds its own manifest: platform::resourcesFolder(),
// or the program's manifestFolder below it.
std::string programResourcesDir(const ProgramConstants& program);
