#include "util/Duziz.h"

#include "platform/testing/ScriptedUiServices.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using platform::Bytes;
using testsupport::readFile;
using testsupport::TempDir;

TEST(Duziz, StrToArrayFillsExactlyTheFieldWithSpacesAndNoTerminator) {
    struct Case {
        const char* source;
        int width;
        const char* expected;  // the whole field
    } cases[] = {
        {"AB", 4, "AB  "},
        {"EXACT16CHARSXXXX", 16, "EXACT16CHARSXXXX"},
        {"TWENTY-CHARACTERS-XX", 16, "TWENTY-CHARACTER"},
        {"", 3, "   "},
    };
    for (const auto& c : cases) {
        unsigned char field[24];
        memset(field, 0xAA, sizeof field);
        Duziz::strToArray(field, c.source, c.width);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(field), c.width), c.expected) << c.source;
        EXPECT_EQ(field[c.width], 0xAA) << "nothing written past the field for " << c.source;
    }
}

TEST(Duziz, ByteTostrDecodesExactlyLengthBytesOfValidUtf8) {
    struct Case {
        std::string bytes;
        int length;
        std::optional<std::string> expected;
    } cases[] = {
        {"Preset 1        ", 16, "Preset 1        "},
        {std::string("abc\0def", 7), 7, std::string("abc\0def", 7)},  // a zero byte stays part of the text
        {"abcdef", 3, "abc"},
        {"Gr\xC3\xBC\xC3\x9F", 6, "Gr\xC3\xBC\xC3\x9F"},
        {"cut \xC3", 5, std::nullopt},                  // a character cut at the end
        {"bad \xFF byte", 10, std::nullopt},
        {"\xC0\xAF", 2, std::nullopt},                   // overlong form
        {"\xED\xA0\x80", 3, std::nullopt},               // surrogate
        {"", 0, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Duziz::ByteTostr(c.bytes.data(), c.length), c.expected) << c.bytes;
    }
}

TEST(Duziz, RoundHalvesUpAndTruncatesNegatives) {
    struct Case {
        double value;
        int decimals;
        double expected;
    } cases[] = {
        {0.995, 2, 1.0}, {0.994, 2, 0.99}, {0.5, 0, 1.0}, {0.125, 2, 0.13},
        {-0.126, 2, -0.12}, {0.0, 2, 0.0}, {0.3333, 2, 0.33}, {1.0, 2, 1.0},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(Duziz::round(c.value, c.decimals), c.expected) << c.value << " to " << c.decimals;
    }
}

TEST(Duziz, FileSizeIsZeroWhereNothingExists) {
    TempDir dir;
    EXPECT_EQ(Duziz::fileSize(dir / "missing"), 0);
    std::ofstream(dir / "five", std::ios::binary) << "12345";
    EXPECT_EQ(Duziz::fileSize(dir / "five"), 5);
}

TEST(Duziz, ClearDataEmptiesAndIgnoresNull) {
    Bytes data{1, 2, 3};
    Duziz::clearData(&data);
    EXPECT_TRUE(data.empty());
    Duziz::clearData(nullptr);
}

TEST(Duziz, SaveFileWritesAndEmptiesOnlyWhenConfirmedAndWritten) {
    TempDir dir;
    platform::ScriptedUiServices ui;

    // Cancelled: nothing written, data kept.
    ui.answerSave(std::nullopt);
    Bytes data{1, 2, 3};
    EXPECT_FALSE(Duziz::saveFile("Save preset data to file", "sDsp", &data));
    EXPECT_EQ(data.size(), 3u);
    auto saves = ui.callsOf("save");
    ASSERT_EQ(saves.size(), 1u);
    EXPECT_EQ(saves[0].title, "Save preset data to file");
    EXPECT_EQ(saves[0].message, "NewfilesDsp");
    EXPECT_EQ(saves[0].options, std::vector<std::string>{"sDsp"});

    // Confirmed: written, then emptied.
    ui.answerSave(dir / "a.sDsp");
    EXPECT_TRUE(Duziz::saveFile("Save preset data to file", "sDsp", &data));
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(readFile(dir / "a.sDsp"), (Bytes{1, 2, 3}));

    // Confirmed but the write fails: the data is kept and the error says why.
    data = {4, 5};
    ui.answerSave(dir / "no-such-folder/b.sDsp");
    platform::Error error;
    EXPECT_FALSE(Duziz::saveFile("Save preset data to file", "sDsp", &data, &error));
    EXPECT_EQ(data, (Bytes{4, 5}));
    EXPECT_EQ(error.domain, platform::kPosixErrorDomain);
    EXPECT_EQ(error.code, ENOENT);
}

TEST(Duziz, WriteFileAtomicallyReplacesWholeAndLeavesNoTemporaryFile) {
    TempDir dir;
    std::ofstream(dir / "memory.mprt", std::ios::binary) << "old contents that are longer";
    const Bytes fresh{9, 8, 7};
    ASSERT_TRUE(writeFileAtomically(dir / "memory.mprt", fresh.data(), fresh.size(), nullptr));
    EXPECT_EQ(readFile(dir / "memory.mprt"), fresh);
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(Duziz, OpenFileCallsTheHandlerOnlyForAConfirmedExistingFile) {
    TempDir dir;
    std::ofstream(dir / "x.mprt") << "x";
    platform::ScriptedUiServices ui;
    int calls = 0;
    auto handler = [&](const std::string& path, int arg) {
        ++calls;
        EXPECT_EQ(path, (dir / "x.mprt"));
        EXPECT_EQ(arg, 3);
        return true;
    };

    ui.answerOpen(std::nullopt);
    EXPECT_FALSE(Duziz::_openFile("mprt", 3, handler));  // cancelled
    ui.answerOpen(dir / "deleted.mprt");
    EXPECT_FALSE(Duziz::_openFile("mprt", 3, handler));  // file gone meanwhile
    ui.answerOpen(dir / "x.mprt");
    EXPECT_FALSE(Duziz::_openFile("mprt", 3, nullptr));  // no handler
    EXPECT_EQ(calls, 0);

    ui.answerOpen(dir / "x.mprt");
    EXPECT_TRUE(Duziz::_openFile("mprt", 3, handler));
    EXPECT_EQ(calls, 1);
    auto opens = ui.callsOf("open");
    ASSERT_EQ(opens.size(), 4u);
    EXPECT_EQ(opens[0].title, "Open file");
    EXPECT_EQ(opens[0].options, std::vector<std::string>{"mprt"});
}

TEST(Duziz, ShowModalMakesKeyRunsClosesAndActivates) {
    struct Window : platform::ModalWindow {
        std::vector<std::string> log;
        void makeKeyWindow() override { log.push_back("key"); }
        void closeWindow() override { log.push_back("close"); }
    } window;
    platform::ScriptedUiServices ui;
    ui.onModal([&](platform::ModalWindow&) {
        window.log.push_back("modal");
        return 0;
    });
    Duziz::showModal(window);
    EXPECT_EQ(window.log, (std::vector<std::string>{"key", "modal", "close"}));
    EXPECT_EQ(ui.calls().back().kind, "activate");
}

TEST(Duziz, SpinBarStatusShowsAndAnimatesTogether) {
    struct Indicator : platform::Spinner {
        bool visible = false, animating = false;
        void setSpinnerVisible(bool v) override { visible = v; }
        void setSpinnerAnimating(bool a) override { animating = a; }
    } indicator;
    Duziz::setSpinBarStatus(true, &indicator);
    EXPECT_TRUE(indicator.visible && indicator.animating);
    Duziz::setSpinBarStatus(false, &indicator);
    EXPECT_FALSE(indicator.visible || indicator.animating);
    Duziz::setSpinBarStatus(true, nullptr);
}

TEST(Duziz, NumberAndTextHelpers) {
    EXPECT_EQ(Duziz::preStr(0), "000");
    EXPECT_EQ(Duziz::preStr(9), "009");
    EXPECT_EQ(Duziz::preStr(10), "010");
    EXPECT_EQ(Duziz::preStr(99), "099");
    EXPECT_EQ(Duziz::preStr(100), "100");
    EXPECT_EQ(Duziz::preStr(-3), "-3");
    EXPECT_EQ(Duziz::DpreStr(7), "007.-----empty-----");
    EXPECT_EQ(Duziz::convertBinAryToByte({1, 0, 0, 0, 0, 0, 0, 1}), 0x81);

    for (const char* good : {"192.168.1.10", " 10.0.0.1\n", "1.0.0.0", "255.255.255.255"})
        EXPECT_TRUE(Duziz::IpMatch(good)) << good;
    for (const char* bad : {"0.1.2.3", "256.1.1.1", "1.2.3", "1.2.3.4.5", "a.b.c.d", ""})
        EXPECT_FALSE(Duziz::IpMatch(bad)) << bad;

    for (int v = 0; v <= 28; ++v) EXPECT_EQ(Duziz::chTotg(Duziz::tgTochindex(v)), v) << v;
    EXPECT_EQ(Duziz::tgTochindex(16), 24);
    EXPECT_EQ(Duziz::tgTochindex(18), 16);
    EXPECT_EQ(Duziz::tgTochindex(22), 26);
    EXPECT_EQ(Duziz::tgTochindex(25), 20);
    EXPECT_EQ(Duziz::tgTochindex(29), 0);
    EXPECT_EQ(Duziz::chTotg(40), 40);

    const Duziz& tools = Duziz::shareDuziz();
    EXPECT_EQ(tools.pageRangeIndex(7), 0);
    EXPECT_EQ(tools.pageRangeIndex(8), 1);
    EXPECT_EQ(tools.pageRangeIndex(28), 3);
    EXPECT_EQ(tools.pageRangeIndex(29), 0);
    const double values[] = {1.0, 2.0, 4.0, 8.0};
    EXPECT_EQ(tools.halfSearchLensForV(values, 4, 4.0), 2);
    EXPECT_EQ(tools.halfSearchLensForV(values, 4, 9.0), 3);
}
