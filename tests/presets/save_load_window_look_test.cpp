// The preset window of both programs and its name panel as a user reads them, offscreen: every text
// the window can show fits its place, every title reads against what is behind it (buttons in each
// state, type cells, boxes and their open pop-up lists, list rows), nothing lies over the panel
// picture's screws and slots, and the name panel opens centred on the window.

#include "presets/SaveLoadWindow.h"

#include "link/LConstrant.h"
#include "platform/qt/QtMainExecutor.h"
#include "platform/testing/ScriptedUiServices.h"
#include "support/WindowLook.h"
#include "ui/CRProgressIndicator.h"
#include "util/Duziz.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>

#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Program {
    const char* name;
    const ProgramConstants& constants;
};
const Program kPrograms[] = {{"Varnel Utility", kUtilityConstants}, {"Varnel Preset Conversion", kConversionConstants}};

// A program's preset window as the launch leaves it, shown offscreen.
struct PresetWindow {
    explicit PresetWindow(const ProgramConstants& program) : store(program), window(store, 40s) {
        window.awakeFromNib();
        window.show();
    }
    platform::QtMainExecutor executor;
    platform::ScriptedUiServices ui;
    GCData store;
    SaveLoadWindow window;
};

QString qs(const char* text) {
    return QString::fromUtf8(text);
}

}  // namespace

// Every text the window can put in its labels, for both programs.
TEST(PresetWindowLook, EveryTextTheWindowCanShowFitsItsPlace) {
    for (const Program& program : kPrograms) {
        SCOPED_TRACE(program.name);
        PresetWindow p(program.constants);
        SaveLoadWindow& w = p.window;
        std::vector<QString> status = {"",
                                       "Preset List Loaded!",
                                       "Exporting  all memory data  to files ,please wait!",
                                       "Importing all memory parameters  from local ,please wait!",
                                       "Preset successfully saved to computer!",
                                       "Preset loaded successfully!",
                                       "No item selected ",
                                       "Wait until the transfer under way has ended.",
                                       "Wait for the mixer's answer to the request under way."};
        for (const ProgramConstants* c : {&kUtilityConstants, &kConversionConstants})
            for (const char* text : {c->firstStatusText, c->watchdogText, c->backupDoneText, c->restoreDoneText})
                status.push_back(qs(text));
        for (const char* type : presetType) status.push_back("Preset type has changed to : " + qs(type) + "  !");
        std::vector<QString> channels, buses;
        for (const char* c : ChannelSTR) channels.push_back(qs(c));
        for (const char* b : GEQChannelSTR) buses.push_back(qs(b));
        struct Row {
            const char* label;
            QWidget* widget;
            std::vector<QString> texts;
        };
        std::vector<Row> table = {
            {"status line", w.statusField(), status}, {"from", w.fromLb(), {"Mixer", "Computer"}},
            {"to", w.toLb(), {"Mixer", "Computer"}},  {"channel box", w.chbox(), channels},
            {"bus box", w.auxbox(), buses},
        };
        for (QPushButton* b : w.findChildren<QPushButton*>()) table.push_back({"button", b, {b->text()}});
        for (QAbstractButton* cell : w.radioGroup()->buttons()) table.push_back({"type cell", cell, {cell->text()}});
        for (QLabel* caption : w.findChildren<QLabel*>()) {
            if (caption->pixmap().isNull() && caption != w.statusField())
                table.push_back({"caption", caption, {caption->text()}});
        }
        for (const Row& row : table) {
            for (const QString& text : row.texts)
                EXPECT_TRUE(look::fitsWhole(row.widget, text)) << row.label << ": " << text.toStdString();
        }

        // What the window shows for every message of the link, and every step of a transfer.
        for (int code = MSG_PRESET_LIST_LOADED; code <= MSG_DISCONNECTED; ++code) {
            for (int position : {0, 1, 29, 30}) {
                Duziz::sendMsg(code, position, kMessageBusName);
                EXPECT_TRUE(look::fitsWhole(w.statusField(), w.statusField()->text()))
                    << code << "/" << position << ": " << w.statusField()->text().toStdString();
                EXPECT_TRUE(look::fitsWhole(w.memStsLb(), w.memStsLb()->text())) << w.memStsLb()->text().toStdString();
            }
        }
        for (int packet = 0; packet <= kMemoryPacketCount; ++packet) {
            w.logic().setMemoryStatus(packet);
            EXPECT_TRUE(look::fitsWhole(w.memStsLb(), w.memStsLb()->text())) << w.memStsLb()->text().toStdString();
        }
    }
}

TEST(PresetWindowLook, EveryTitleReadsAgainstWhatIsBehindIt) {
    for (const Program& program : kPrograms) {
        SCOPED_TRACE(program.name);
        PresetWindow p(program.constants);
        SaveLoadWindow& w = p.window;
        EXPECT_EQ(look::unreadableButtons(&w), std::vector<std::string>{});
        for (QAbstractButton* cell : w.radioGroup()->buttons())
            EXPECT_GE(look::titleContrast(&w, cell), 4.5) << cell->text().toStdString();
        for (QComboBox* box : {w.chbox(), w.auxbox()}) {
            if (box->count() == 0) box->addItem("MAIN");
            box->setEnabled(true);
            EXPECT_GE(look::comboContrast(&w, box), 4.5);
        }
        for (QGroupBox* box : {w.choseBox(), w.statusBox()}) {
            const QString title = box->title();
            EXPECT_GE(look::textContrast(&w, box, [&](bool on) { box->setTitle(on ? title : QString()); }), 4.5)
                << title.toStdString();
        }
        w.logic().setTypelabe(0);
        for (QLineEdit* label : {w.fromLb(), w.toLb()}) {
            const QString text = label->text();
            EXPECT_GE(look::textContrast(&w, label, [&](bool on) { label->setText(on ? text : QString()); }), 4.5);
        }
        if (!program.constants.presetLibrary) continue;
        // A plain row and the highlighted one.
        QTableView* table = w.table();
        table->scrollToTop();
        table->selectionModel()->select(w.myContentArray()->index(1, 0),
                                        QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        for (int row : {0, 1}) {
            QStandardItem* item = w.myContentArray()->item(row);
            const QString text = item->text();
            QRect area = table->visualRect(item->index());
            area.moveTopLeft(table->viewport()->mapTo(&w, area.topLeft()));
            area.setWidth(table->viewport()->width());
            EXPECT_GE(look::textContrast(&w, area, [&](bool on) { item->setText(on ? text : QString()); }), 4.5)
                << "row " << row;
        }
    }
}

// The channel and bus pop-up lists opened as a user opens them (Dsp Channel or GEQ chosen first):
// the highlighted item and a plain one read against what the list draws behind them. (Only Varnel
// Utility fills the boxes: the conversion has no preset lists.)
TEST(PresetWindowLook, AnOpenPopUpListReadsHighlightedAndPlain) {
    PresetWindow p(kUtilityConstants);
    SaveLoadWindow& w = p.window;
    const struct {
        int typeCell;  // the cell that enables the box
        QComboBox* box;
    } boxes[] = {{1, w.chbox()}, {4, w.auxbox()}};
    for (const auto& row : boxes) {
        QComboBox* box = row.box;
        w.radioGroup()->button(row.typeCell)->click();
        ASSERT_TRUE(box->isEnabled());
        ASSERT_GE(box->count(), 3);
        box->setCurrentIndex(1);
        box->showPopup();
        QAbstractItemView* list = box->view();
        QWidget* popup = list->window();
        ASSERT_TRUE(popup->isVisible());
        ASSERT_NE(popup, &w);
        ASSERT_EQ(list->currentIndex().row(), 1);
        for (int item : {1, 2}) {
            const QString text = box->itemText(item);
            QRect area = list->visualRect(box->model()->index(item, 0));
            area.moveTopLeft(list->viewport()->mapTo(popup, area.topLeft()));
            EXPECT_GE(look::textContrast(popup, area, [&](bool on) { box->setItemText(item, on ? text : QString()); }),
                      4.5)
                << text.toStdString() << (item == 1 ? " highlighted" : " plain");
        }
        box->hidePopup();
    }
}

TEST(PresetWindowLook, NothingLiesOverThePanelsScrewsOrSlots) {
    for (const Program& program : kPrograms) {
        SCOPED_TRACE(program.name);
        PresetWindow p(program.constants);
        SaveLoadWindow& w = p.window;
        // A transfer under way and busy: every part of the window shown at once.
        w.logic().setTypelabe(0);
        w.logic().setMemoryStatus(10);
        w.indcator()->setSpinnerVisible(true);
        w.logic().setStatusFieldTitle(kUtilityConstants.restoreDoneText, true);
        EXPECT_EQ(look::controlsOverPanelFeatures(&w), std::vector<std::string>{});
    }
}

// The name panel opens over the preset window, inside it, and reads as the window does.
TEST(PresetWindowLook, TheNamePanelOpensCentredOnTheWindowAndItsTitlesRead) {
    PresetWindow p(kUtilityConstants);
    SaveLoadWindow& w = p.window;
    w.move(60, 40);
    bool ran = false;
    p.ui.onModal([&](platform::ModalWindow&) {
        XmyAlertPanel& panel = w.alertPanel();
        ran = true;
        EXPECT_TRUE(panel.isVisible());
        EXPECT_TRUE(w.geometry().contains(panel.geometry()));
        EXPECT_LE((panel.geometry().center() - w.geometry().center()).manhattanLength(), 1);
        EXPECT_EQ(panel.parentWidget(), &w);
        EXPECT_EQ(look::unreadableButtons(&panel), std::vector<std::string>{});
        const QString title = panel.lbTitle()->text();
        EXPECT_TRUE(look::fitsWhole(panel.lbTitle(), title));
        EXPECT_GE(look::textContrast(&panel, panel.lbTitle(),
                                     [&](bool on) { panel.lbTitle()->setText(on ? title : QString()); }),
                  4.5);
        EXPECT_EQ(look::controlsOverPanelFeatures(&panel), std::vector<std::string>{});
        panel.secondBtn()->click();
        return PresetNamePanel::kModalStop;
    });
    w.logic().tablvieDoubleClick(2);
    EXPECT_TRUE(ran);
}
