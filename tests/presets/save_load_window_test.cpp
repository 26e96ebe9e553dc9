// The preset window in the offscreen platform: the window as built, the type cells and their
// boxes, presses and double-clicks on the list, and the name panel typed into and confirmed with
// OK, Enter or Cancel.

#include "presets/SaveLoadWindow.h"

#include "link/LinkFixture.h"
#include "platform/qt/QtMainExecutor.h"
#include "platform/qt/QtUiServices.h"
#include "ui/CRProgressIndicator.h"
#include "ui/DirazuzeControl.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <cstring>
#include <functional>

namespace {

using namespace std::chrono_literals;
using linktest::Bytes;

class SaveLoadWindowTest : public linktest::LinkTest {
protected:
    SaveLoadWindowTest() {
        window.awakeFromNib();
        window.show();
    }

    // The centre of a row of the list, in its viewport.
    QPoint rowCentre(int row) const {
        return window.table()->visualRect(window.myContentArray()->index(row, 0)).center();
    }
    void press(int row) { QTest::mouseClick(window.table()->viewport(), Qt::LeftButton, {}, rowCentre(row)); }
    bool highlighted(int row) const { return window.table()->selectionModel()->isRowSelected(row, {}); }
    std::string rowText(int row) const {
        return window.myContentArray()->item(row)->text().toStdString();
    }
    static QColor textColor(const QLineEdit* field) { return field->palette().color(QPalette::Text); }
    static QColor textColor(const QLabel* label) { return label->palette().color(QPalette::WindowText); }
    // Types text into a field one character at a time, as a keyboard or an input method does.
    static void type(QLineEdit* field, const char* utf8) {
        for (const QChar ch : QString::fromUtf8(utf8)) {
            QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
            QApplication::sendEvent(field, &key);
        }
    }

    platform::QtMainExecutor executor;
    SaveLoadWindow window{*gc, 40s};
};

TEST_F(SaveLoadWindowTest, IsBuiltWithItsFramesBoxesAndTheSceneList) {
    EXPECT_EQ(saveLoadView, &window.logic());
    EXPECT_EQ(window.size(), QSize(875, 600));
    // Frames given from the bottom-left corner of their holders.
    EXPECT_EQ(window.tableContainer()->parentWidget(), window.view());
    EXPECT_EQ(window.tableContainer()->geometry(), QRect(20, 30, 835, 280));
    EXPECT_EQ(window.table()->geometry(), QRect(1, 1, 834, 280));
    EXPECT_EQ(window.tableContainer()->palette().color(QPalette::Window), QColor(Qt::red));
    EXPECT_EQ(window.progresBar()->parentWidget(), window.pbar_bkview());
    EXPECT_EQ(window.progresBar()->geometry(), QRect(67, window.pbar_bkview()->height() - 25, 562, 20));
    EXPECT_EQ(window.progresBar()->maxValue(), 30.0);

    QTableView* table = window.table();
    EXPECT_EQ(window.myContentArray()->columnCount(), 1);
    EXPECT_EQ(window.myContentArray()->horizontalHeaderItem(0)->text(), "PresetList");
    EXPECT_EQ(table->columnWidth(0), 890);
    EXPECT_EQ(table->rowHeight(0), 23);
    EXPECT_TRUE(table->horizontalHeader()->isHidden());
    EXPECT_TRUE(table->verticalHeader()->isHidden());
    EXPECT_EQ(table->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(table->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(table->editTriggers(), QAbstractItemView::NoEditTriggers);

    // The scene list, its top in view and its last row highlighted, yet no row selected.
    ASSERT_EQ(window.myContentArray()->rowCount(), 24);
    EXPECT_EQ(rowText(0), gc->gPresetName(0, 3));
    EXPECT_EQ(rowText(0).substr(0, 4), "001.");
    EXPECT_EQ(rowText(23).substr(0, 4), "024.");
    EXPECT_TRUE(highlighted(23));
    EXPECT_EQ(table->verticalScrollBar()->value(), 0);
    EXPECT_EQ(window.logic().citemindex, -1);

    ASSERT_EQ(window.radioGroup()->buttons().size(), 5);
    for (int tag = 0; tag < 5; ++tag) EXPECT_NE(window.radioGroup()->button(tag), nullptr);
    EXPECT_TRUE(window.radioGroup()->button(0)->isChecked());
    EXPECT_EQ(window.chbox()->count(), 33);
    EXPECT_EQ(window.chbox()->currentText(), "CH01");
    EXPECT_EQ(window.auxbox()->count(), 11);
    EXPECT_EQ(window.auxbox()->currentText(), "MAIN");

    EXPECT_EQ(window.statusField()->text(), "status log");
    EXPECT_EQ(window.statusField()->font().pointSize(), 18);
    EXPECT_FALSE(window.statusField()->textInteractionFlags() & Qt::TextEditable);
    EXPECT_EQ(textColor(window.statusField()), QColor(Qt::white));
    EXPECT_TRUE(window.memStsLb()->isHidden());
    EXPECT_TRUE(window.pbar_bkview()->isHidden());
    EXPECT_TRUE(window.indcator()->isHidden());
    EXPECT_FALSE(window.statusLCD()->isLighted());
    EXPECT_EQ(window.memImptBtn()->palette().color(QPalette::ButtonText), QColor(Qt::white));
    EXPECT_EQ(window.radioGroup()->button(2)->palette().color(QPalette::WindowText), QColor(Qt::white));

    // The look of a finished and of a running transfer.
    window.logic().setStatusFieldTitle("Preset List Loaded!", true);
    EXPECT_EQ(textColor(window.statusField()), QColor(0, 255, 0));
    window.logic().setMemoryStatus(10);
    EXPECT_FALSE(window.memStsLb()->isHidden());
    EXPECT_FALSE(window.pbar_bkview()->isHidden());
    EXPECT_EQ(window.memStsLb()->text(), "Complete: 33%...");
    EXPECT_EQ(textColor(window.memStsLb()), QColor::fromRgbF(1.0f, 0.5f, 0.0f));
    EXPECT_EQ(window.progresBar()->doubleValue(), 10.0);

    // The lock covers the type cells, the boxes and the buttons, never the list.
    window.logic().LockGUI(false);
    for (QAbstractButton* cell : window.radioGroup()->buttons()) EXPECT_FALSE(cell->isEnabled());
    for (QWidget* w : std::initializer_list<QWidget*>{window.chbox(), window.auxbox(), window.memImptBtn(),
                                                      window.memExBtn(), window.savebtn(), window.deleteBtn(),
                                                      window.recallBtn(), window.loadBtn()})
        EXPECT_FALSE(w->isEnabled());
    EXPECT_TRUE(table->isEnabled());
    window.logic().LockGUI(true);
    EXPECT_TRUE(window.loadBtn()->isEnabled());

    // Closing the window ends its modal run.
    window.close();
    const auto stops = ui.callsOf("stopModal");
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].code, -1000);
}

TEST_F(SaveLoadWindowTest, TypeCellsChooseTheListAndEnableOneBoxEach) {
    struct Case {
        int tag, rows;
        bool chbox, auxbox;
    };
    const Case cases[] = {{1, 48, true, false}, {4, 48, false, true}, {2, 104, false, false},
                          {3, 104, false, false}, {0, 24, false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tag);
        press(2);
        QTest::mouseClick(window.radioGroup()->button(c.tag), Qt::LeftButton);
        EXPECT_TRUE(window.radioGroup()->button(c.tag)->isChecked());
        EXPECT_EQ(window.myContentArray()->rowCount(), c.rows);
        EXPECT_EQ(window.chbox()->isEnabled(), c.chbox);
        EXPECT_EQ(window.auxbox()->isEnabled(), c.auxbox);
        EXPECT_EQ(window.logic().citemindex, -1);
    }
}

TEST_F(SaveLoadWindowTest, OnlyTheUsersPressesAndKeysSelectARow) {
    press(5);
    EXPECT_EQ(window.logic().citemindex, 5);
    EXPECT_TRUE(highlighted(5));
    // A message clears the selection but not the highlight; pressing the same row selects it.
    Duziz::sendMsg(MSG_PRESET_IDLE, 0, kMessageBusName);
    EXPECT_EQ(window.logic().citemindex, -1);
    EXPECT_TRUE(highlighted(5));
    press(5);
    EXPECT_EQ(window.logic().citemindex, 5);
    QTest::keyClick(window.table(), Qt::Key_Down);
    EXPECT_EQ(window.logic().citemindex, 6);
    EXPECT_TRUE(highlighted(6));

    // A refill highlights its last row and leaves the selection alone.
    window.logic().UpdatePresetList();
    EXPECT_TRUE(highlighted(23));
    EXPECT_EQ(window.logic().citemindex, 6);

    // With a short list, a press and a double-click on the empty space below the rows keep the
    // highlight and the selection, and open no panel.
    window.logic().clearTableView();
    for (const char* label : {"001.a", "002.b", "003.c"}) window.logic().addNewStringValue_to_tableView(label, false);
    press(1);
    const QPoint below(100, 200);
    ASSERT_FALSE(window.table()->indexAt(below).isValid());
    QTest::mouseClick(window.table()->viewport(), Qt::LeftButton, {}, below);
    EXPECT_TRUE(highlighted(1));
    EXPECT_EQ(window.logic().citemindex, 1);
    QTest::mouseDClick(window.table()->viewport(), Qt::LeftButton, {}, below);
    EXPECT_TRUE(ui.callsOf("modal").empty());
    EXPECT_FALSE(window.alertPanel().isVisible());
}

// Ctrl with a press or with Space would clear the highlight and leave a row selected that the
// user cannot see: the list keeps its row highlighted, and the row pressed or keyed is the one
// Load, Delete and rename act on.
TEST_F(SaveLoadWindowTest, CtrlNeverLeavesTheListWithoutAHighlightedRow) {
    auto ctrlPress = [this](int row) {
        QTest::mouseClick(window.table()->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCentre(row));
    };
    auto ctrlSpace = [this] { QTest::keyClick(window.table(), Qt::Key_Space, Qt::ControlModifier); };
    auto highlightedRows = [this] { return window.table()->selectionModel()->selectedRows().size(); };

    // After a fill the last row is highlighted and nothing is selected.
    ASSERT_TRUE(highlighted(23));
    ASSERT_EQ(window.logic().citemindex, -1);
    ctrlPress(23);
    EXPECT_TRUE(highlighted(23));
    EXPECT_EQ(window.logic().citemindex, 23);

    press(5);
    ctrlPress(5);
    EXPECT_TRUE(highlighted(5));
    EXPECT_EQ(window.logic().citemindex, 5);
    ctrlSpace();
    EXPECT_TRUE(highlighted(5));
    EXPECT_EQ(window.logic().citemindex, 5);
    ctrlSpace();
    EXPECT_TRUE(highlighted(5));

    // Ctrl with a press on another row moves the highlight there, as a plain press does.
    ctrlPress(8);
    EXPECT_TRUE(highlighted(8));
    EXPECT_FALSE(highlighted(5));
    EXPECT_EQ(highlightedRows(), 1);
    EXPECT_EQ(window.logic().citemindex, 8);

    // What Load asks the mixer for is the highlighted row.
    transport.clear();
    window.loadBtn()->click();
    ASSERT_EQ(transport.tcp.size(), 1u);
    EXPECT_EQ(transport.tcp[0][10], 9);
}

// The name panel opened by a double-click on scene 3, typed into, and left with OK, Enter or
// Cancel: what the store's slot holds and what the mixer is sent.
TEST_F(SaveLoadWindowTest, TheNamePanelStoresAndSendsTheTrimmedNameCutToSixteenBytes) {
    struct Case {
        const char* name;
        const char* typed;
        std::function<void(XmyAlertPanel&)> confirm;
        const char* stored;  // nullptr: the panel stays open, nothing stored or sent
    };
    auto ok = [](XmyAlertPanel& p) { QTest::mouseClick(p.firstBtn(), Qt::LeftButton); };
    auto enter = [](XmyAlertPanel& p) { QTest::keyClick(p.inputEd(), Qt::Key_Return); };
    const Case cases[] = {
        {"spaces around five letters", "  abcde  ", ok, "abcde           "},
        {"twenty letters", "ABCDEFGHIJKLMNOPQRST", enter, "ABCDEFGHIJKLMNOP"},
        {"a two-byte letter across byte 16", "ABCDEFGHIJKLMNO\xC3\xA9", ok, "ABCDEFGHIJKLMNO "},
        {"only blanks", "     ", ok, nullptr},
        {"only blanks, by Enter", "   ", enter, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gc->setPresetName(3, 2, "Before");
        const std::string before(reinterpret_cast<const char*>(gc->m_scenPreset[2]), 16);
        transport.clear();
        ui.clearCalls();
        bool stillOpen = false;
        ui.onModal([&](platform::ModalWindow&) {
            XmyAlertPanel& panel = window.alertPanel();
            EXPECT_TRUE(panel.isVisible());
            EXPECT_TRUE(panel.inputEd()->text().isEmpty());
            type(panel.inputEd(), c.typed);
            c.confirm(panel);
            stillOpen = panel.isVisible() && ui.callsOf("stopModal").empty();
            if (stillOpen) QTest::mouseClick(panel.secondBtn(), Qt::LeftButton);
            return PresetNamePanel::kModalStop;
        });
        QTest::mouseDClick(window.table()->viewport(), Qt::LeftButton, {}, rowCentre(2));
        EXPECT_EQ(ui.callsOf("modal").size(), 1u);
        EXPECT_FALSE(window.alertPanel().isVisible());
        EXPECT_EQ(ui.callsOf("stopModal").size(), 1u);
        const std::string slot(reinterpret_cast<const char*>(gc->m_scenPreset[2]), 16);
        if (c.stored) {
            EXPECT_FALSE(stillOpen);
            EXPECT_EQ(slot, c.stored);
            ASSERT_EQ(transport.tcp.size(), 1u);
            const Bytes& frame = transport.tcp[0];
            ASSERT_EQ(frame.size(), 29u);
            EXPECT_EQ(frame[8], 0x16);
            EXPECT_EQ(frame[9], 4);
            EXPECT_EQ(frame[11], 2);
            EXPECT_EQ(std::string(frame.begin() + 12, frame.begin() + 28), c.stored);
            EXPECT_TRUE(window.logic().isBusy());
        } else {
            EXPECT_TRUE(stillOpen);
            EXPECT_EQ(slot, before);
            EXPECT_TRUE(transport.tcp.empty());
            EXPECT_FALSE(window.logic().isBusy());
        }
        window.logic().setBar(false);
    }
}

TEST_F(SaveLoadWindowTest, CancelLeavesTheStoreAndTheMixerAsTheyWere) {
    const std::string before(reinterpret_cast<const char*>(gc->m_scenPreset[4]), 16);
    ui.onModal([&](platform::ModalWindow&) {
        type(window.alertPanel().inputEd(), "Renamed");
        QTest::mouseClick(window.alertPanel().secondBtn(), Qt::LeftButton);
        return PresetNamePanel::kModalStop;
    });
    QTest::mouseDClick(window.table()->viewport(), Qt::LeftButton, {}, rowCentre(4));
    EXPECT_FALSE(window.alertPanel().isVisible());
    EXPECT_EQ(ui.callsOf("stopModal").size(), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(gc->m_scenPreset[4]), 16), before);
    EXPECT_TRUE(transport.tcp.empty());
    EXPECT_EQ(bus.count(MSG_PRESET_BUSY), 0u);
    // The field keeps its text until the next run empties it.
    EXPECT_EQ(window.alertPanel().inputEd()->text(), "Renamed");
}

// Under the program's own dialogs: the Preset button's page runs the window modally until it is
// closed, and the name panel's run nests inside it and ends on Enter without ending the window's.
TEST(SaveLoadWindowModal, RunsUntilClosedWithTheNamePanelNestedInside) {
    platform::QtMainExecutor executor;
    platform::QtUiServices ui;
    GCData gc;
    SaveLoadWindow window(gc, 40s);
    window.awakeFromNib();
    DirazuzeControl switcher;
    QObject presetButton;
    setPageControlTag(&presetButton, DirazuzeControl::kPresetPage);

    // Whatever goes wrong, no run outlives the test.
    bool timedOut = false;
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, [&] {
        timedOut = true;
        ui.stopModal(0);
    });
    guard.start(4000);

    // The steps, each on a timer of the test's own, so that none can fire after it.
    QTimer openPanel, typeName, closeWindow;
    for (QTimer* step : {&openPanel, &typeName, &closeWindow}) step->setSingleShot(true);
    bool panelRan = false, windowShownAfterPanel = false, closedByUser = false;
    QObject::connect(&typeName, &QTimer::timeout, [&] {
        XmyAlertPanel& panel = window.alertPanel();
        panelRan = panel.isVisible();
        for (const QChar ch : QStringLiteral("Live")) {
            QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
            QApplication::sendEvent(panel.inputEd(), &key);
        }
        QTest::keyClick(panel.inputEd(), Qt::Key_Return);
    });
    QObject::connect(&closeWindow, &QTimer::timeout, [&] {
        closedByUser = true;
        window.close();
    });
    QObject::connect(&openPanel, &QTimer::timeout, [&] {
        typeName.start(50);
        QTableView* table = window.table();
        QTest::mouseDClick(table->viewport(), Qt::LeftButton, {},
                           table->visualRect(window.myContentArray()->index(2, 0)).center());
        windowShownAfterPanel = window.isVisible() && !window.alertPanel().isVisible();
        closeWindow.start(50);
    });
    openPanel.start(50);
    switcher.changePageControlClick(&presetButton);

    EXPECT_FALSE(timedOut);
    EXPECT_TRUE(closedByUser);
    EXPECT_TRUE(panelRan);
    EXPECT_TRUE(windowShownAfterPanel);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(gc.m_scenPreset[2]), 16), "Live            ");
}

}  // namespace
