#include "ui/MainUnit.h"

#include <commctrl.h>

#include <array>
#include <climits>

#include "core/AppError.h"
#include "core/Clock.h"
#include "core/Files.h"
#include "core/SettingsFile.h"
#include "engine/StartUp.h"
#include "ui/Application.h"
#include "ui/ChooseUnit.h"
#include "ui/Controls.h"
#include "ui/DetailUnit.h"
#include "ui/Resources.h"
#include "ui/Seams.h"

namespace moravel {

TMainForm* MainForm = nullptr;

namespace {

// Table order is creation order is tab order.
const std::array kLayout = {
    ControlSpec{TMainForm::Button1, "BUTTON", "Update &Now", BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED, 0,
                {521, 82, 75, 25}, AnchorTopRight},
    ControlSpec{TMainForm::Button2, "BUTTON", "&Add file", BS_PUSHBUTTON | WS_TABSTOP, 0,
                {401, 16, 75, 25}, AnchorTopRight},
    ControlSpec{TMainForm::Button3, "BUTTON", "&Remove file", BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED, 0,
                {401, 82, 75, 25}, AnchorTopRight},
    ControlSpec{TMainForm::Button4, "BUTTON", "&Details", BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED, 0,
                {401, 48, 75, 25}, AnchorTopRight},
    ControlSpec{TMainForm::ListView1, WC_LISTVIEWA, "",
                LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_TABSTOP, WS_EX_CLIENTEDGE,
                {5, 16, 382, 145}, AnchorTopWide},
    ControlSpec{TMainForm::Memo1, "EDIT", "",
                ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_WANTRETURN | WS_VSCROLL | WS_TABSTOP,
                WS_EX_CLIENTEDGE, {6, 188, 588, 155}, AnchorAll, 30},
    ControlSpec{TMainForm::Button5, "BUTTON", "&Exit", BS_PUSHBUTTON | WS_TABSTOP, 0, {521, 16, 75, 25},
                AnchorTopRight},
    ControlSpec{TMainForm::Button6, "BUTTON", "&Hide", BS_PUSHBUTTON | WS_TABSTOP, 0, {521, 48, 75, 25},
                AnchorTopRight},
    ControlSpec{TMainForm::CheckBox1, "BUTTON", "Also log failures", BS_AUTOCHECKBOX | WS_TABSTOP, 0,
                {122, 169, 97, 17}},
    ControlSpec{TMainForm::UpDown1, UPDOWN_CLASSA, "", UDS_ARROWKEYS | UDS_NOTHOUSANDS | WS_TABSTOP, 0,
                {349, 167, 15, 18}},
    ControlSpec{TMainForm::MaskEdit1, "EDIT", "60  ", ES_LEFT | WS_TABSTOP, WS_EX_CLIENTEDGE,
                {312, 167, 37, 18}},
    ControlSpec{TMainForm::Label1, "STATIC", "Last attempt at:", SS_LEFTNOWORDWRAP, 0, {401, 123, 73, 13}, AnchorTopRight},
    ControlSpec{TMainForm::Label3, "STATIC", "", SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, {497, 123, 0, 13}, AnchorTopRight,
                0, true},
    ControlSpec{TMainForm::Label2, "STATIC", "Next update at:", SS_LEFTNOWORDWRAP, 0, {401, 147, 73, 13}, AnchorTopRight},
    ControlSpec{TMainForm::Label4, "STATIC", "", SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, {497, 147, 0, 13}, AnchorTopRight,
                0, true},
    ControlSpec{TMainForm::Label5, "STATIC", "Status logging:", SS_LEFTNOWORDWRAP, 0, {10, 169, 70, 13}},
    ControlSpec{TMainForm::Label6, "STATIC", "Update delay:", SS_LEFTNOWORDWRAP, 0, {239, 170, 66, 13}},
    ControlSpec{TMainForm::Label7, "STATIC", "sec.", SS_LEFTNOWORDWRAP, 0, {369, 168, 20, 13}},
};

const Command<TMainForm> kCommands[] = {
    {TMainForm::Button1, BN_CLICKED, &TMainForm::Button1Click},
    {TMainForm::Button2, BN_CLICKED, &TMainForm::Button2Click},
    {TMainForm::Button3, BN_CLICKED, &TMainForm::Button3Click},
    {TMainForm::Button4, BN_CLICKED, &TMainForm::Button4Click},
    {TMainForm::Button5, BN_CLICKED, &TMainForm::Button5Click},
    {TMainForm::Button6, BN_CLICKED, &TMainForm::Button6Click},
    {TMainForm::MaskEdit1, EN_CHANGE, &TMainForm::MaskEdit1Change},
    // The notification icon's menu: its items do what the window's buttons do.
    {TMainForm::TrayRestore, 0, &TMainForm::TrayRestoreClick},
    {TMainForm::TrayUpdateNow, 0, &TMainForm::Button1Click},
    {TMainForm::TrayExit, 0, &TMainForm::Button5Click},
};

constexpr UINT WM_APP_CLOSE_NOW = WM_APP + 1;
constexpr UINT WM_APP_ENGINE_NEWS = WM_APP + 2;  // from a thread of the engine: a job, a lookup, an exit watch

std::string pendingText(int n) { return " (" + std::to_string(n) + " pending)"; }

}  // namespace

TMainForm::TMainForm()
    : scheduler_(timer_, [this](const std::string& text) { setValueLabel(Label4, text); }),
      updater_(Projects, pending_, scheduler_, *this) {
    updater_.setHolderFinder(std::make_shared<SystemHolderFinder>());
    create({"TMainForm", kApplicationTitle, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, WS_EX_CONTROLPARENT,
            {609, 374}, nullptr});
}

TMainForm::~TMainForm() {
    pending_.setObserver(nullptr);
    // Destroyed here, not by the base, so that the destruction handlers still
    // find this window's members (the notification-area record, the timer).
    if (hwnd()) DestroyWindow(hwnd());
}

std::string TMainForm::settingsPath() const { return settingsFilePath(startDirectory_); }

void TMainForm::createControls() {
    font_.reset(createFormFont());
    moravel::createControls(hwnd(), kLayout, kDesignClient, font_.get());

    ListView list(item(ListView1));
    ListView_SetExtendedListViewStyle(item(ListView1), LVS_EX_FULLROWSELECT);
    list.insertColumn(0, "File (name)", scale(200), LVCFMT_LEFT);
    list.insertColumn(1, "Added at", scale(100), LVCFMT_LEFT);
    list.insertColumn(2, "Attempts", scale(53), LVCFMT_RIGHT);

    // The log takes lines without limit.
    SendMessageA(item(Memo1), EM_SETLIMITTEXT, 0, 0);

    makeDigitField(item(MaskEdit1), 4);
    HWND upDown = item(UpDown1);
    SendMessageA(upDown, UDM_SETBUDDY, reinterpret_cast<WPARAM>(item(MaskEdit1)), 0);
    SendMessageA(upDown, UDM_SETRANGE32, kMinDelaySeconds, kMaxDelaySeconds);
    SendMessageA(upDown, UDM_SETPOS32, 0, kDefaultDelaySeconds);
}

// The start does without what it does not show: the tips come when the
// mouse first comes over the window, the state images with the first row or
// the notification icon (the caption has the program's icon until then).
void TMainForm::createTips() {
    if (tipsMade_) return;
    tipsMade_ = true;
    HWND tooltip = createTooltipWindow(hwnd());
    addTooltip(tooltip, hwnd(), item(Button5), "Exit the application. All pending updates are lost...");
    addTooltip(tooltip, hwnd(), item(Button6),
               "Hides the program and puts it into the Systray (doubleclick on the icon to get it back).");
    createListTip();
}

void TMainForm::createStateImages() {
    if (ImageList1) return;
    const auto stateImages = [](int size) {
        UniqueImageList list(ImageList_Create(size, size, ILC_COLOR32 | ILC_MASK, 2, 0));
        for (int id : {IDI_IDLE, IDI_PENDING}) {
            UniqueIcon icon(static_cast<HICON>(
                LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id), IMAGE_ICON, size, size, 0)));
            ImageList_AddIcon(list.get(), icon.get());
        }
        return list;
    };
    ImageList1 = stateImages(32);
    smallImages_ = stateImages(GetSystemMetrics(SM_CXSMICON));
}

// A tip of our own: the list view's info tips are not shown everywhere. One
// tool covers the whole list; its text follows the row under the mouse.
// The list is not subclassed for it (every message to a subclassed window
// costs a look-up, and a pass sends the list two for each row): the mouse
// is seen in the list's WM_SETCURSOR, which it hands to this window first.
void TMainForm::createListTip() {
    listTip_ = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd(), nullptr,
                               GetModuleHandleA(nullptr), nullptr);
    SendMessageA(listTip_, TTM_SETMAXTIPWIDTH, 0, scale(400));  // many holders wrap
    TTTOOLINFOA info = {};
    info.cbSize = sizeof info;
    info.uFlags = TTF_IDISHWND;
    info.hwnd = hwnd();
    info.uId = reinterpret_cast<UINT_PTR>(item(ListView1));
    info.lpszText = const_cast<char*>("");
    SendMessageA(listTip_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&info));
}

void TMainForm::listMouse(UINT mouseMessage) {
    HWND list = item(ListView1);
    POINT screen;
    GetCursorPos(&screen);
    POINT client = screen;
    ScreenToClient(list, &client);
    if (mouseMessage == WM_MOUSEMOVE) {
        listMouse_ = client;
        refreshListTip();
    }
    // The tip times its showing by the moves and hides at a click.
    MSG msg = {list, mouseMessage, 0, MAKELPARAM(client.x, client.y), static_cast<DWORD>(GetMessageTime()), screen};
    SendMessageA(listTip_, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&msg));
}

void TMainForm::refreshListTip() {
    if (!listTip_) return;
    LVHITTESTINFO hit = {};
    hit.pt = listMouse_;
    const int row = ListView_HitTest(item(ListView1), &hit);
    listTipRow_ = row >= 0 && row < pending_.count() ? row : -1;
    const std::string text = listTipRow_ >= 0 ? pending_.rowAt(listTipRow_).holderTip() : "";
    if (text == listTipText_) return;
    listTipText_ = text;
    // The old row's tip goes; the new text shows when the tip comes back.
    SendMessageA(listTip_, TTM_POP, 0, 0);
    TTTOOLINFOA info = {};
    info.cbSize = sizeof info;
    info.hwnd = hwnd();
    info.uId = reinterpret_cast<UINT_PTR>(item(ListView1));
    info.lpszText = const_cast<char*>(listTipText_.c_str());
    SendMessageA(listTip_, TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&info));
}

void TMainForm::show() {
    if (!shownOnce_) {
        centerOnScreen();
        shownOnce_ = true;
    }
    ShowWindow(hwnd(), SW_SHOW);
}

void TMainForm::close() { SendMessageA(hwnd(), WM_CLOSE, 0, 0); }

// ---- creation, closing, destruction -------------------------------------------------------

void TMainForm::FormCreate() {
    InitTrayIconData();
    timer_.setWindow(hwnd());
    timer_.setInterval(kDefaultDelaySeconds * 1000);
    startDirectory_ = workingDirectory();
    LoadProjects();
    for (const std::string& line : takeOverEarlierRuns(updater_, settingsPath())) appendLog(line);
    followSourceWatch();
    pending_.setObserver(this);
}

void TMainForm::FormClose() {
    // While a dialog is open the program is busy with it; it closes first.
    if (Window::activeOwner() != hwnd() && Window::activeOwner() != nullptr) return;
    // Already answered: the window goes when the pass ends, whatever a second question would get.
    if (closeRequested_) return;
    if (pending_.count() > 0 &&
        seams().messageBox(hwnd(),
                           "Exiting the application will stop (and loose) all running updates, do you "
                           "really want to exit?",
                           "Confirm", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON1) != IDYES)
        return;
    // The running updates stop: no further row is tried, a copy under way is
    // cancelled, and the process ends once it has stopped (the pass waits
    // for its job when the window is destroyed).
    updater_.stop();
    if (updater_.walking()) {
        // In one of the pumps of the pass: it unwinds first; then the window goes.
        closeRequested_ = true;
        return;
    }
    DestroyWindow(hwnd());
}

void TMainForm::FormDestroy() { trayIcon_.remove(); }

// ---- settings file ------------------------------------------------------------------------

void TMainForm::LoadProjects() {
    settingsFile_ = SettingsFile(settingsPath());
    const std::string reason = settingsFile_.load(Projects);
    // The program goes on without those projects; a save keeps them in the file.
    if (!reason.empty())
        appendLog(timestampText(localNow()) + " Could not read " + settingsPath() + ": " + reason + ".");
}

void TMainForm::SaveProjects() {
    followSourceWatch();  // every change to a project comes here, whether or not the save works
    moravel::pumpMessages();
    settingsFile_.save(Projects);
}

// ---- pending list -------------------------------------------------------------------------

void TMainForm::Button2Click() {
    TChooseForm& chooser = chooseForm();
    if (chooser.showModal() == IDOK) queueProjects(chooser.checkedLines());
}

void TMainForm::Button3Click() {
    const int selected = ListView(item(ListView1)).selectedIndex();
    if (selected >= 0) pending_.deleteAt(selected);
    RefreshPendingState();
}

void TMainForm::ListView1SelectItem() {
    const bool any = ListView(item(ListView1)).selectedCount() > 0;
    enableWindow(item(Button3), any);
    enableWindow(item(Button4), any);
}

void TMainForm::RefreshPendingState() {
    const int n = pending_.count();
    setWindowText(hwnd(), n == 0 ? std::string(kApplicationTitle) : kApplicationTitle + pendingText(n));
    // A pass under way keeps it off until it ends, whatever comes or goes meanwhile.
    enableWindow(item(Button1), n > 0 && !updater_.running());

    createStateImages();
    // The new images go everywhere before the old ones are released.
    const int image = n == 0 ? 0 : 1;
    UniqueIcon largeImage(ImageList_GetIcon(ImageList1.get(), image, ILD_NORMAL));
    UniqueIcon smallImage(ImageList_GetIcon(smallImages_.get(), image, ILD_NORMAL));
    SendMessageA(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(largeImage.get()));
    SendMessageA(hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallImage.get()));
    trayIcon_.update(n == 0 ? std::string(kApplicationTitle) : kApplicationTitle + pendingText(n), smallImage.get());
    largeIcon_ = std::move(largeImage);
    smallIcon_ = std::move(smallImage);
}

void TMainForm::rowInserted(int position, const PendingRow& row) {
    ListView list(item(ListView1));
    list.insertItem(position, row.name);
    list.setItemText(position, 1, row.addedAt);
    // The attempts change at every pass: the list asks for them when it
    // shows them, so counting one costs no message to the list at all.
    list.setItemTextCallback(position, 2);
    refreshListTip();
}

void TMainForm::rowRemoved(int position) {
    updater_.followRows();  // a copy for a row that has gone stops
    if (rowWaits_) rowWaits_->rowsLeft();
    ListView(item(ListView1)).deleteItem(position);
    ListView1SelectItem();
    refreshListTip();
}

void TMainForm::rowChanged(int position, const PendingRow&, RowChange change) {
    // Of what changes, the attempts are shown in the list, the holders in its
    // tip. While a pass holds the list's redraw, the whole list repaints when
    // it lets go.
    if (change == RowChange::Attempts && !listRedrawHeld_) ListView(item(ListView1)).redrawItem(position);
    if (change == RowChange::Holders && position == listTipRow_) refreshListTip();
}

void TMainForm::ListView1GetDispInfo(NMLVDISPINFOA& info) {
    if (!(info.item.mask & LVIF_TEXT) || info.item.iSubItem != 2 || !info.item.pszText ||
        info.item.cchTextMax <= 0)
        return;
    // While the list follows a change, it may briefly hold a row more or less than the queue.
    std::string text;
    if (info.item.iItem >= 0 && info.item.iItem < pending_.count()) {
        const PendingRow& row = pending_.rowAt(info.item.iItem);
        text = row.id == copyingRow_ && copiedPercent_ >= 0 ? std::to_string(copiedPercent_) + " %"
                                                             : row.attemptsText();
    }
    lstrcpynA(info.item.pszText, text.c_str(), info.item.cchTextMax);
}

// ---- update pass --------------------------------------------------------------------------

void TMainForm::RunUpdatePass(bool keepCountdown) { updater_.RunUpdatePass(keepCountdown); }

// While the walk runs, the list does not repaint at every cell it changes and
// its log lines wait to go in together: one edit and one repaint at the end,
// and before anything lets the window system run (the pumps).
void TMainForm::walkBegins() { holdListRedraw(true); }

void TMainForm::walkEnds() {
    try {
        flushLog();
    } catch (...) {
        holdListRedraw(false);
        closeAfterPass();
        throw;
    }
    holdListRedraw(false);
    closeAfterPass();
}

void TMainForm::rowLine(std::uint64_t row, const std::string& line, bool whyItWaits) {
    if (rowWaits_) rowWaits_->rowLine(row, line, whyItWaits);
}

void TMainForm::rowTried(std::uint64_t row, RowEnd end) {
    if (rowWaits_) rowWaits_->rowTried(row, end);
}

void TMainForm::holdListRedraw(bool hold) {
    listRedrawHeld_ = hold;
    HWND list = item(ListView1);
    SendMessageA(list, WM_SETREDRAW, hold ? FALSE : TRUE, 0);
    if (!hold) InvalidateRect(list, nullptr, TRUE);
}

void TMainForm::closeAfterPass() {
    if (closeRequested_ && !updater_.walking()) {
        closeRequested_ = false;
        closeNowAsked_ = true;
        PostMessageA(hwnd(), WM_APP_CLOSE_NOW, 0, 0);
    }
}

void TMainForm::Button1Click() { updater_.UpdateNow(); }
void TMainForm::Timer1Timer() { RunUpdatePass(); }

void TMainForm::appendLog(const std::string& line) {
    logBatch_ += line;
    logBatch_ += "\r\n";
    if (!updater_.walking()) flushLog();
}

void TMainForm::flushLog() {
    if (logBatch_.empty()) return;
    std::string lines;
    lines.swap(logBatch_);  // lines the log refuses are not offered again
    HWND memo = item(Memo1);
    // No text lengths here: for a long log they cost a pass over the whole
    // text, at every line. Line counts and positions come from the control.
    const auto lineCount = [memo] { return SendMessageA(memo, EM_GETLINECOUNT, 0, 0); };
    const LRESULT linesBefore = lineCount();
    // A line typed by the user without its line break still ends first.
    const LRESULT lastStart = SendMessageA(memo, EM_LINEINDEX, static_cast<WPARAM>(linesBefore - 1), 0);
    const bool openLine = SendMessageA(memo, EM_LINELENGTH, static_cast<WPARAM>(lastStart), 0) > 0;
    const std::string text = (openLine ? "\r\n" : "") + lines;
    SendMessageA(memo, EM_SETSEL, INT_MAX, INT_MAX);  // the end, however long
    SendMessageA(memo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
    if (lineCount() == linesBefore) throw AppError("The status log cannot take another line");
    SendMessageA(memo, EM_SCROLLCARET, 0, 0);
}

bool TMainForm::logFailures() const { return isChecked(item(CheckBox1)); }

void TMainForm::pumpMessages() {
    flushLog();
    const bool held = listRedrawHeld_;
    if (held) holdListRedraw(false);
    moravel::pumpMessages();
    if (held) holdListRedraw(true);
}

void TMainForm::showCopyProgress(std::uint64_t row, int percent) {
    copyingRow_ = row;
    copiedPercent_ = percent;
    if (const int position = pending_.positionOf(row); position >= 0) ListView(item(ListView1)).redrawItem(position);
    taskbarProgress_.show(hwnd(), percent);
}

void TMainForm::endCopyProgress(std::uint64_t row) {
    const int position = pending_.positionOf(row);
    copyingRow_ = 0;
    copiedPercent_ = -1;
    if (position >= 0) ListView(item(ListView1)).redrawItem(position);
    taskbarProgress_.clear(hwnd());
}

void TMainForm::setUpdateNowEnabled(bool enabled) { enableWindow(item(Button1), enabled); }

void TMainForm::setLastAttemptText(const std::string& text) { setValueLabel(Label3, text); }

void TMainForm::setValueLabel(int id, const std::string& text) {
    HWND label = item(id);
    setWindowText(label, text);
    RECT rc;
    GetWindowRect(label, &rc);
    SetWindowPos(label, nullptr, 0, 0, textWidth(label), rc.bottom - rc.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(label, nullptr, TRUE);
}

// ---- scheduler ----------------------------------------------------------------------------

void TMainForm::ScheduleNextUpdate() { scheduler_.ScheduleNextUpdate(); }
void TMainForm::StopUpdates() { scheduler_.StopUpdates(); }

int TMainForm::updateDelay() {
    HWND upDown = item(UpDown1);
    if (const auto seconds = delayFromText(windowText(item(MaskEdit1))))
        SendMessageA(upDown, UDM_SETPOS32, 0, *seconds);
    return static_cast<int>(SendMessageA(upDown, UDM_GETPOS32, 0, 0));
}

void TMainForm::MaskEdit1Change() { scheduler_.delayChanged(updateDelay()); }

// ---- details ------------------------------------------------------------------------------

void TMainForm::Button4Click() {
    const int selected = ListView(item(ListView1)).selectedIndex();
    if (selected < 0) return;
    const std::string name = pending_.rowAt(selected).name;
    // Who holds the destination, before the project's own details.
    const TFileObject* project = Projects.lookup(name);
    const std::string holders = pending_.rowAt(selected).holderSentence(project && project->ReplaceInUse);
    if (!holders.empty()) seams().messageBox(hwnd(), holders, kApplicationTitle, MB_OK | MB_ICONINFORMATION);
    if (Projects.find(name) < 0) return;  // removed while queued: nothing to show
    TDetailForm& detail = detailForm();
    detail.ShowProject(name);
    detail.EditMode = true;
    if (detail.showModal() == IDOK) SaveProjects();
}

void TMainForm::Button5Click() { close(); }

// ---- notification area --------------------------------------------------------------------

void TMainForm::InitTrayIconData() { trayIcon_.init(hwnd(), WM_TRAYICON); }

void TMainForm::addTrayIcon() {
    if (!smallIcon_) {
        // Hidden before any row came: the idle image.
        createStateImages();
        smallIcon_.reset(ImageList_GetIcon(smallImages_.get(), 0, ILD_NORMAL));
        trayIcon_.setImage(smallIcon_.get());
    }
    trayIcon_.add();
}

void TMainForm::Button6Click() {
    addTrayIcon();
    // Without an icon to come back by, the window goes to the taskbar instead.
    ShowWindow(hwnd(), trayIcon_.shown() ? SW_HIDE : SW_MINIMIZE);
}

void TMainForm::showFromTray() {
    ShowWindow(hwnd(), IsIconic(hwnd()) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(hwnd());
    BringWindowToTop(hwnd());
    trayIcon_.remove();
}

void TMainForm::WMTrayIcon(LPARAM event) {
    if (LOWORD(event) == WM_LBUTTONDBLCLK) showFromTray();
    if (LOWORD(event) != WM_RBUTTONUP) return;
    // Its items do what the window's buttons do.
    if (const UINT picked = trayIcon_.showMenu(IsWindowEnabled(item(Button1)) != FALSE))
        runCommand(*this, kCommands, MAKEWPARAM(picked, 0));
}

void TMainForm::TrayRestoreClick() {
    if (trayIcon_.shown()) showFromTray();
}

void TMainForm::bringToFront() {
    if (trayIcon_.shown())
        showFromTray();
    else if (IsIconic(hwnd()))
        ShowWindow(hwnd(), SW_RESTORE);
    // A dialog open on the window comes with it; it is the one that takes keys.
    const HWND front = Window::activeOwner();
    SetForegroundWindow(front ? front : hwnd());
}

void TMainForm::showHidden() {
    if (!shownOnce_) {
        centerOnScreen();  // where it shows when it comes back
        shownOnce_ = true;
    }
    Button6Click();
}

// ---- queueing from a command or a changed source ------------------------------------------

void TMainForm::queueProjects(const std::vector<std::string>& names) {
    for (const std::string& name : Projects.withTheirSets(names))
        if (pending_.findByName(name) < 0) pending_.queue(name, timestampText(localNow()));
    if (!timer_.running()) ScheduleNextUpdate();
    RefreshPendingState();
}

bool TMainForm::acceptsCommands() const { return hwnd() && !closeRequested_; }

bool TMainForm::knowsProject(const std::string& name) const {
    return Projects.find(name) >= 0 || !Projects.membersOf(name).empty();  // a set's name queues the set
}

bool TMainForm::commandsMustWait() const {
    // A dialog of ours is on the modal stack; a message box disables the window it belongs to.
    const HWND owner = Window::activeOwner();
    return updater_.running() || (owner && owner != hwnd()) || !IsWindowEnabled(hwnd());
}

NamedRows TMainForm::queueFromCommand(const std::vector<std::string>& names) {
    NamedRows named = queueNamed(Projects, pending_, names);
    for (const std::string& line : named.unknown) appendLog(line);
    if (!timer_.running()) ScheduleNextUpdate();
    RefreshPendingState();
    return named;
}

void TMainForm::updateNow() {
    if (pending_.count() > 0) updater_.UpdateNow();  // as "Update &Now", enabled with rows pending
}

void TMainForm::queuePutBack(const std::string& name, const std::string& version) {
    // What was pending for them is replaced by the version to put back.
    for (const std::string& member : Projects.withTheirSets({name})) {
        for (int at; (at = pending_.findByName(member)) >= 0;) pending_.deleteAt(at);
        pending_.queue(member, timestampText(localNow()), version);
    }
    if (!timer_.running()) ScheduleNextUpdate();
    RefreshPendingState();
}

void TMainForm::followSourceWatch() {
    bool wanted = false;
    for (int i = 0; i < Projects.count() && !wanted; ++i) wanted = Projects.recordAt(i).QueueOnChange;
    if (wanted) sourceWatch_.notice(Projects);  // the sources as they are now
    if (wanted && !sourceWatchRunning_) {
        sourceWatchRunning_ = SetTimer(hwnd(), kSourceWatchTimer, SourceWatch::kPollMilliseconds, nullptr) != 0;
    } else if (!wanted && sourceWatchRunning_) {
        KillTimer(hwnd(), kSourceWatchTimer);
        sourceWatchRunning_ = false;
    }
}

void TMainForm::SourceWatchTimer() {
    // As a command waits: a row a pass copied stays pending until the pass
    // ends, so a change seen now would be dropped as already pending; and the
    // chooser, once open, would still offer a project queued meanwhile.
    if (commandsMustWait()) return;
    const std::vector<std::string> changed = sourceWatch_.poll(Projects, pending_);
    if (!sourceWatch_.watching()) followSourceWatch();
    if (changed.empty()) return;
    for (const std::string& name : changed)
        appendLog(timestampText(localNow()) + " " + name + " queued: its source changed.");
    queueProjects(changed);
}

// ---- dispatch -----------------------------------------------------------------------------

LRESULT TMainForm::onMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            createControls();
            updater_.setNotice([window = hwnd()] { PostMessageA(window, WM_APP_ENGINE_NEWS, 0, 0); });
            FormCreate();
            return 0;
        case WM_CLOSE:
            FormClose();
            return 0;
        case WM_APP_CLOSE_NOW:
            // Only when we asked: posted from outside, it would close the window mid-pass without a question.
            if (closeNowAsked_) DestroyWindow(hwnd());
            return 0;
        case WM_APP_ENGINE_NEWS:
            updater_.engineNews();
            return 0;
        case WM_DESTROY:
            updater_.setNotice(nullptr);  // what still runs tells nobody
            FormDestroy();
            timer_.stop();
            if (applicationMainWindow() == hwnd()) PostQuitMessage(0);
            return 0;
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_ENDSESSION:
            if (wParam) {
                // The system ends us once this returns: a copy under way is
                // cancelled and its scratch file deleted first, the
                // destination left as it was.
                updater_.stop();
                updater_.waitForJob();
                FormDestroy();  // without asking
            }
            return 0;
        case WM_SETCURSOR:
            createTips();  // the mouse is over the window or one of its controls
            // The list asks before it sets its cursor: the mouse moved or was pressed over it.
            if (reinterpret_cast<HWND>(wParam) == item(ListView1) && HIWORD(lParam) != 0) listMouse(HIWORD(lParam));
            break;
        case WM_SIZE:
            if (wParam != SIZE_MINIMIZED) layoutControls(hwnd(), kLayout, kDesignClient);
            return 0;
        case WM_TIMER:
            if (wParam == kTimer1) Timer1Timer();
            if (wParam == kSourceWatchTimer) SourceWatchTimer();
            return 0;
        case WM_TRAYICON:
            if (LOWORD(lParam) == WM_LBUTTONDBLCLK || LOWORD(lParam) == WM_RBUTTONUP) {
                WMTrayIcon(lParam);
                return 0;
            }
            break;
        case WM_COMMAND:
            if (runCommand(*this, kCommands, wParam)) return 0;
            break;
        case WM_VSCROLL:
            if (reinterpret_cast<HWND>(lParam) == item(UpDown1)) {
                // The arrows moved the position: write it into the field.
                std::string text = std::to_string(SendMessageA(item(UpDown1), UDM_GETPOS32, 0, 0));
                if (text.size() < 4) text.resize(4, ' ');
                setWindowText(item(MaskEdit1), text);
                return 0;
            }
            break;
        case WM_NOTIFY: {
            const NMHDR& header = *reinterpret_cast<const NMHDR*>(lParam);
            if (header.idFrom == ListView1 && header.code == LVN_GETDISPINFOA) {
                ListView1GetDispInfo(*reinterpret_cast<NMLVDISPINFOA*>(lParam));
                return 0;
            }
            if (header.idFrom == ListView1 && header.code == LVN_ITEMCHANGED) {
                const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
                if ((change.uChanged & LVIF_STATE) &&
                    ((change.uNewState ^ change.uOldState) & LVIS_SELECTED))
                    ListView1SelectItem();
                return 0;
            }
            break;
        }
    }
    if (trayIcon_.isShellRestart(message)) {
        // The notification area came back: so does our icon, or the window, never stranded.
        if (!trayIcon_.comeBack()) ShowWindow(hwnd(), SW_SHOWMINNOACTIVE);
        return 0;
    }
    return Window::onMessage(message, wParam, lParam);
}

}  // namespace moravel
