// The preset store's labels and names, and the firmware store's images.

#include "LinkFixture.h"

#include <algorithm>
#include <functional>

namespace linktest {
namespace {

TEST(GCDataLabels, NumberLabels) {
    const std::pair<int, const char*> cases[] = {{0, "000."}, {9, "009."},   {10, "010."},
                                                 {99, "099."}, {100, "100."}, {-1, "-1."}};
    for (auto [n, label] : cases) EXPECT_EQ(GCData::preStr(n), label) << n;
}

TEST(GCDataLabels, FreshStoreShowsEmptySlots) {
    auto gc = std::make_unique<GCData>();
    EXPECT_EQ(gc->gPresetName(0, 0), "001.------empty-----");
    EXPECT_EQ(gc->gPresetName(6, 1), "007.------empty-----");
    EXPECT_EQ(gc->gPresetName(103, 2), "104.------empty-----");
    EXPECT_EQ(gc->gPresetName(23, 3), "024.------empty-----");
    EXPECT_EQ(gc->gPresetName(24, 3), "") << "past the table";
    EXPECT_EQ(gc->gPresetName(0, 4), "");
    EXPECT_EQ(gc->currentProgramItem(), 0);
    EXPECT_FALSE(gc->isconnected);
}

TEST(GCDataLabels, ConnectionLampStartsOffGreenWhenLit) {
    struct Lamp : util::StatusLamp {
        util::LampColor lit, unlit;
        bool on = true;
        void setColorOfLighted(util::LampColor color) override { lit = color; }
        void setColorOfunLighted(util::LampColor color) override { unlit = color; }
        void setIsLighted(bool lighted) override { on = lighted; }
        bool isLighted() const override { return on; }
    } lamp;
    GCData::resetLCD(&lamp);
    EXPECT_EQ(lamp.lit, (util::LampColor{0.0, 1.0, 0.0, 1.0}));
    EXPECT_EQ(lamp.unlit, (util::LampColor{0.5, 0.5, 0.5, 1.0}));
    EXPECT_FALSE(lamp.on);
    GCData::resetLCD(nullptr);
}

TEST(GCDataLabels, NamesAreCutAtCharacterBoundariesAndPadded) {
    struct Case {
        const char* name;
        const char* text;
        const char* stored;  // the 16 bytes
    };
    const Case cases[] = {
        {"short", "Vocal", "Vocal           "},
        {"long", "ABCDEFGHIJKLMNOPQRST", "ABCDEFGHIJKLMNOP"},
        {"eight two-byte letters fill it", "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6",
         "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6"},
        {"a letter across the limit is left out", "a\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6",
         "a\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4 "},
        {"three-byte letters", "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC",
         "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC "},
        {"empty", "", "                "},
    };
    auto gc = std::make_unique<GCData>();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gc->setPresetName(2, 103, c.text);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(gc->m_FXPreset[103]), 16), c.stored);
        EXPECT_EQ(gc->gPresetName(103, 2), std::string("104.") + c.stored);
    }
    // Outside the tables nothing is written.
    gc->setPresetName(3, 24, "x");
    gc->setPresetName(4, 0, "x");
    gc->setPresetName(0, -1, "x");
    EXPECT_EQ(gc->gPresetName(0, 0), "001.------empty-----");
}

TEST(GCDataLabels, ANameThatIsNotUtf8IsShownWithReplacementCharacters) {
    auto gc = std::make_unique<GCData>();
    std::memcpy(gc->m_scenPreset[1], "Live\xFF\xFE        xy", 16);
    EXPECT_EQ(gc->gPresetName(1, 3), "002.Live\xEF\xBF\xBD\xEF\xBF\xBD        xy");
}

class FirmwareStore : public ::testing::Test {
protected:
    FirmwareStore() {
        platform::setTraceEnabled(false);
        core = std::make_unique<XCoreData>(dir.path());
    }
    std::string libPath(int board) const { return dir / ("lib/" + std::string(Firmware_BIN[board])); }
    TempDir dir;
    std::unique_ptr<XCoreData> core;
};

TEST_F(FirmwareStore, ImagesArePaddedToWholeBlocks) {
    struct Case {
        const char* name;
        std::optional<size_t> size;  // none: no file
        int result;
        int blocks;
    };
    const Case cases[] = {
        {"no file", std::nullopt, 0, 0},
        {"empty file", 0, 2, 0},
        {"one byte", 1, 2, 1},
        {"one block", 1024, 2, 1},
        {"two blocks", 2048, 2, 2},
        {"two blocks and a byte", 2049, 2, 3},
        {"1 MiB", 1048576, 2, 1024},
        {"over 1 MiB is refused", 1048577, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        core = std::make_unique<XCoreData>(dir.path());
        std::filesystem::remove(libPath(1));
        Bytes image;
        if (c.size) {
            image.resize(*c.size);
            for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i % 251);
            writeFile(libPath(1), image);
        }
        core->readAllFirmware_fromLocal();
        EXPECT_EQ(core->mb_firmware_noGUI[1], c.result);
        EXPECT_EQ(core->dSegement[1], c.blocks);
        const size_t kept = c.result == 2 ? image.size() : 0;
        EXPECT_TRUE(std::equal(image.begin(), image.begin() + static_cast<long>(kept), core->LPC1763.begin()));
        for (size_t i = kept; i < static_cast<size_t>(c.blocks) * 1024; ++i)
            ASSERT_EQ(core->LPC1763[i], 0xFF) << "byte " << i;
        EXPECT_EQ(core->mb_firmware_noGUI[0], 0);
    }
}

TEST_F(FirmwareStore, ARefusedImageDoesNotLeaveTheEarlierOne) {
    writeFile(libPath(2), Bytes(2049, 0x42));
    core->readAllFirmware_fromLocal();
    EXPECT_EQ(core->dSegement[2], 3);
    writeFile(libPath(2), Bytes(1048577, 0x42));
    core->readAllFirmware_fromLocal();
    EXPECT_EQ(core->mb_firmware_noGUI[2], 1);
    EXPECT_EQ(core->dSegement[2], 0);

    // A missing file keeps what an earlier read left.
    writeFile(libPath(2), Bytes(1024, 0x42));
    core->readAllFirmware_fromLocal();
    std::filesystem::remove(libPath(2));
    core->readAllFirmware_fromLocal();
    EXPECT_EQ(core->mb_firmware_noGUI[2], 0);
    EXPECT_EQ(core->dSegement[2], 1);
}

TEST_F(FirmwareStore, TheResourceBundleIsTheSecondPlace) {
    const std::string bundled = dir / ("firmlib.bundle/lib/" + std::string(Firmware_BIN[3]));
    writeFile(bundled, Bytes());
    EXPECT_EQ(core->loadFromLocalFiles(3), 0) << "an empty file in the bundle counts as missing";
    writeFile(bundled, Bytes(5, 0x33));
    EXPECT_EQ(core->loadFromLocalFiles(3), 2);
    EXPECT_EQ(core->FirmwareData[3], Bytes(5, 0x33));
    writeFile(libPath(3), Bytes(7, 0x44));
    EXPECT_EQ(core->loadFromLocalFiles(3), 2);
    EXPECT_EQ(core->FirmwareData[3], Bytes(7, 0x44)) << "the lib folder comes first";
    EXPECT_EQ(core->loadFromLocalFiles(4), 0);
    EXPECT_EQ(core->pathInDocumentDctry("x"), dir / "lib/x");
}

TEST_F(FirmwareStore, DefaultsAndTheGuiCount) {
    EXPECT_EQ(core->firmware_ver[0], std::string());
    EXPECT_EQ(core->firmware_ver[4], std::string("K42 Firmware update tool"));
    EXPECT_EQ(core->firmware_ver[5], std::string("Version:3.6.3"));
    EXPECT_FALSE(core->firmware_ver[6].has_value());
    for (const auto* buffer : {&core->LPC1820, &core->LPC1763, &core->DspData1, &core->DspData2}) {
        ASSERT_EQ(buffer->size(), 1024u * 1024u);
        EXPECT_TRUE(std::all_of(buffer->begin(), buffer->end(), [](uint8_t b) { return b == 0; }));
    }
    EXPECT_TRUE(std::all_of(core->m_guiData.begin(), core->m_guiData.end(), [](uint8_t b) { return b == 0; }));
    core->caculateArray(4);
    EXPECT_EQ(core->dSegement[4], 250);
    EXPECT_EQ(XCoreData::Bt(hex("01 02"), 1), 2);
    EXPECT_EQ(XCoreData::Bt(hex("01 02"), 2), 0);
}

}  // namespace
}  // namespace linktest

namespace linktest {
namespace {

std::string firmwares(int elements, const std::function<std::string(int)>& element) {
    std::string text = "{\"Firmwares\": [";
    for (int i = 0; i < elements; ++i) text += (i ? ", " : "") + element(i);
    return text + "]}";
}

std::string pair(int i) { return std::string("{\"") + JSON_READ_KEY[i] + "\": \"v" + std::to_string(i) + "\"}"; }

TEST_F(FirmwareStore, ManifestReader) {
    const std::vector<std::optional<std::string>> defaults = {"", "", "", "", "K42 Firmware update tool",
                                                              "Version:3.6.3", std::nullopt, std::nullopt, std::nullopt};
    auto filled = [&](std::initializer_list<int> entries) {
        auto v = defaults;
        for (int i : entries) v[static_cast<size_t>(i)] = "v" + std::to_string(i);
        return v;
    };
    struct Case {
        const char* name;
        std::optional<std::string> text;  // none: no file
        bool result;
        std::vector<std::optional<std::string>> versions;
    };
    const std::vector<Case> cases = {
        {"all nine", firmwares(9, pair), true, filled({0, 1, 2, 3, 4, 5, 6, 7, 8})},
        {"missing file", std::nullopt, false, defaults},
        {"bad JSON", std::string("{\"Firmwares\": [") + pair(0), false, defaults},
        {"top value an array", "[" + pair(0) + "]", false, defaults},
        {"no Firmwares key", "{\"Other\": []}", false, defaults},
        {"Firmwares not an array", "{\"Firmwares\": {}}", false, defaults},
        {"an element without its key", firmwares(9, [](int i) { return i == 2 ? std::string("{\"x\": \"y\"}") : pair(i); }),
         true, filled({0, 1, 3, 4, 5, 6, 7, 8})},
        {"only five elements", firmwares(5, pair), false, filled({0, 1, 2, 3, 4})},
        {"an element that is not an object",
         firmwares(9, [](int i) { return i == 1 ? std::string("\"MCU_VER1\"") : pair(i); }), false,
         filled({0, 2, 3, 4, 5, 6, 7, 8})},
        {"values that are not texts",
         firmwares(9, [](int i) {
             if (i == 3) return std::string("{\"DSP_VER1\": 3}");
             if (i == 8) return std::string("{\"Utype\": null}");
             return pair(i);
         }),
         false, filled({0, 1, 2, 4, 5, 6, 7})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        core = std::make_unique<XCoreData>(dir.path());
        const std::string path = dir / ("lib/" + std::string(kFirmwareManifestName));
        std::filesystem::remove(path);
        if (c.text) writeFile(path, Bytes(c.text->begin(), c.text->end()));
        EXPECT_EQ(core->jsonFileRead_forVer(9), c.result);
        EXPECT_EQ(std::vector<std::optional<std::string>>(core->firmware_ver.begin(), core->firmware_ver.end()),
                  c.versions);
    }
}

TEST_F(FirmwareStore, ManifestFromTheBundleAndFewerKeys) {
    writeFile(dir / ("firmlib.bundle/lib/" + std::string(kFirmwareManifestName)), Bytes());
    EXPECT_FALSE(core->jsonFileRead_forVer(9)) << "an empty manifest in the bundle counts as missing";
    const std::string text = firmwares(3, pair);
    writeFile(dir / ("firmlib.bundle/lib/" + std::string(kFirmwareManifestName)), Bytes(text.begin(), text.end()));
    EXPECT_TRUE(core->jsonFileRead_forVer(3));
    EXPECT_EQ(core->firmware_ver[2], std::string("v2"));
    EXPECT_EQ(core->firmware_ver[4], std::string("K42 Firmware update tool"));
}

}  // namespace
}  // namespace linktest
