// The preset window's construction, its list of presets, the type selector and the channel boxes.

#include "presets/SaveLoadView.h"

#include "platform/MainExecutor.h"
#include "platform/Trace.h"
#include "util/Duziz.h"

SaveLoadControls::~SaveLoadControls() = default;

SaveLoadView::SaveLoadView(SaveLoadControls& controls, GCData& store, std::chrono::nanoseconds watchdogInterval)
    : view_(controls), gc_(store), watchdogInterval_(watchdogInterval) {}

SaveLoadView::~SaveLoadView() {
    if (saveLoadView == this) saveLoadView = nullptr;
}

// ---- Construction ---------------------------------------------------------------------------

void SaveLoadView::awakeFromNib() {
    saveLoadView = this;
    busObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
        kMessageBusName, [this](const platform::Notification& note) {
            if (const auto* profile = std::any_cast<UserprofilePtr>(&note.object); profile && *profile)
                MsgProcess(**profile);
        });
    initNStablview_parameters();
    createInteface();
    platform::trace("saveloadview awake from nib ........");
}

void SaveLoadView::initNStablview_parameters() {
    view_.prepareControls();
    GCData::resetLCD(view_.statusLCD());
    nc = 0;
    citemindex = -1;
    // The watchdog also fires while the window runs modally, which is how the window is shown.
    m_timer = std::make_unique<platform::PausableTimer>(
        platform::MainExecutor::current(), watchdogInterval_, [this] { setAnimate(); },
        platform::PausableTimer::Mode::Common, true);
    setTimerInvalid();
    // Nothing is being transferred yet.
    view_.setMemoryStatusHidden(true);
    view_.setProgressHolderHidden(true);
    // Without the preset library there is no list to show, and the boxes stay as the window made them.
    if (gc_.program().presetLibrary) {
        UpdatePresetList();
        fillChBox(1);
        fillChBox(4);
    }
    setStatusFieldTitle(gc_.program().firstStatusText, false);
}

void SaveLoadView::windowWillClose() {
    platform::trace("saveloadview window will close ......");
    if (delegate_)
        delegate_->windowWillClose();
    else
        platform::UiServices::shared().stopModal(gc_.program().presetRunStopCode);
}

// ---- The list -------------------------------------------------------------------------------

void SaveLoadView::UpdatePresetList() { fetchPresets_caseMode(CHCType[index_mode()]); }

void SaveLoadView::fetchPresets_caseMode(int type) {
    if (type < 0 || type >= kPresetTypeCount) return;
    const int rows = kPresetSlots[type];
    clearTableView();
    for (int slot = 0; slot < rows - 1; ++slot)
        addNewStringValue_to_tableView(gc_.gPresetName(slot, static_cast<unsigned char>(type)), false);
    addNewStringValue_to_tableView(gc_.gPresetName(rows - 1, static_cast<unsigned char>(type)), true);
}

void SaveLoadView::addNewStringValue_to_tableView(const std::string& label, bool scroll) {
    view_.addRow(label);
    if (scroll) scrollToBottom();
}

void SaveLoadView::scrollToBottom() { view_.scrollToTop(); }

void SaveLoadView::clearTableView() { view_.clearRows(); }

void SaveLoadView::removeValue_from_selectIndex(int index) {
    if (index < 0 || index >= view_.rowCount()) return;
    view_.removeRow(index);
}

void SaveLoadView::clearAllRowClic() { clearTableView(); }

void SaveLoadView::test() {
    UpdatePresetList();
    platform::trace("test click in saveloadview ......");
}

// ---- Type selector and channel boxes ----------------------------------------------------------

int SaveLoadView::index_mode() const {
    const int tag = view_.selectedTag();
    // The selector always has one of its five cells chosen; anything else reads as the first.
    if (tag < 0 || tag > 4) return 0;
    return tag >= 3 ? tag - 1 : tag;
}

void SaveLoadView::setFalse() {
    const int tag = view_.selectedTag();
    view_.setControlEnabled(SaveLoadControls::Control::chbox, tag == 1);
    view_.setControlEnabled(SaveLoadControls::Control::auxbox, tag == 4);
}

void SaveLoadView::radioGroupCLick() {
    if (!gc_.program().presetLibrary) {
        citemindex = -1;
        return;
    }
    platform::trace("radio group selected tag is :%d", view_.selectedTag());
    setFalse();
    UpdatePresetList();
    citemindex = -1;
}

void SaveLoadView::segmenControlChangeValue() {
    platform::trace("segmentcontrol change choose now...:%d", index_mode());
    setStatusFieldTitle(std::string("Preset type has changed to : ") + presetType[index_mode()] + "  !", false);
    if (gc_.program().presetLibrary) UpdatePresetList();
    citemindex = -1;
}

void SaveLoadView::fillChBox(int which) {
    platform::trace("fill channel box :%d", which);
    if (which == 1)
        view_.fillBox(SaveLoadControls::Control::chbox, {std::begin(ChannelSTR), std::end(ChannelSTR)});
    else if (which == 4)
        view_.fillBox(SaveLoadControls::Control::auxbox, {std::begin(GEQChannelSTR), std::end(GEQChannelSTR)});
}

bool SaveLoadView::tableViewShouldSelectRow(int row) {
    citemindex = row;
    platform::trace("table row selected :%d", row);
    return true;
}

void SaveLoadView::syncStatusLCD() {
    if (util::StatusLamp* lamp = view_.statusLCD()) lamp->setIsLighted(gc_.isconnected);
}
