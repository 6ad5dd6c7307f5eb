#pragma once
#include <windows.h>
#include <shellapi.h>
#include <commctrl.h>

#include <functional>
#include <string>

#include "core/Projects.h"
#include "core/SettingsFile.h"
#include "engine/Holders.h"
#include "engine/PendingList.h"
#include "engine/Scheduler.h"
#include "engine/SourceWatch.h"
#include "engine/UpdatePass.h"
#include "ui/Handles.h"
#include "ui/Instance.h"
#include "ui/Layout.h"
#include "ui/TaskbarProgress.h"
#include "ui/TrayIcon.h"
#include "ui/Window.h"
#include "ui/WindowTimer.h"

namespace moravel {

// The notification area's callback message.
constexpr UINT WM_TRAYICON = WM_USER + 1;

// The main window: the pending list, the status log and the schedule, with
// the commands to queue, inspect, remove and update rows, to hide in the
// notification area and to exit. It owns the registry and the pending list.
class TMainForm final : public Window,
                        public CommandTarget,
                        private UpdateHost,
                        private PendingListObserver {
public:
    enum Control : int {
        Button1 = 100,  // "Update &Now"
        Button2,        // "&Add file"
        Button3,        // "&Remove file"
        Button4,        // "&Details"
        ListView1,
        Memo1,
        Button5,        // "&Exit"
        Button6,        // "&Hide"
        CheckBox1,      // "Also log failures"
        UpDown1,
        MaskEdit1,      // the update delay
        Label1,
        Label3,         // last attempt
        Label2,
        Label4,         // next update
        Label5,
        Label6,
        Label7,
        // The notification icon's menu.
        TrayRestore = NotificationAreaIcon::Restore,
        TrayUpdateNow = NotificationAreaIcon::UpdateNow,
        TrayExit = NotificationAreaIcon::Exit,
    };
    static constexpr SIZE kDesignClient = {601, 347};
    static constexpr UINT_PTR kTimer1 = 1;
    static constexpr UINT_PTR kSourceWatchTimer = 7;

    TMainForm();
    ~TMainForm() override;

    TProjects Projects;
    PendingList& pending() noexcept { return pending_; }
    const std::string& StartDirectory() const noexcept { return startDirectory_; }
    std::string settingsPath() const;
    const NOTIFYICONDATAA& TrayIconData() const noexcept { return trayIcon_.data(); }
    // The state image at the small size: the notification area's and the
    // caption's. None until the first row or the first hiding.
    HICON TrayIcon() const noexcept { return smallIcon_.get(); }
    bool hiddenInTray() const noexcept { return trayIcon_.shown(); }
    const WindowTimer& timer() const noexcept { return timer_; }
    bool passRunning() const noexcept { return updater_.running(); }
    bool holderLookupRunning() const noexcept { return updater_.holdersPending(); }

    void show();  // the first showing, centred
    void showHidden();  // starts in the notification area, as "&Hide" puts it there
    void close();  // asks to close, as the close box does

    // Operations offered to the dialogs and the tests.
    void LoadProjects();
    void SaveProjects();
    void RunUpdatePass(bool keepCountdown = false);
    void ScheduleNextUpdate();
    void StopUpdates();
    void RefreshPendingState();
    void InitTrayIconData();
    int updateDelay();  // seconds, after taking a valid number from the field

    // Event handlers.
    void FormCreate();
    void FormClose();
    void FormDestroy();
    void Timer1Timer();
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    void Button5Click();
    void Button6Click();
    void ListView1SelectItem();
    void ListView1GetDispInfo(NMLVDISPINFOA& info);
    void MaskEdit1Change();
    void WMTrayIcon(LPARAM event);
    void TrayRestoreClick();

    // Queueing from outside the chooser: a command from another process, or
    // a watched source that changed. As the chooser's "&Ok": rows already
    // pending stay as they are; a stopped timer starts.
    // Each name queues the other members of its set too.
    void queueProjects(const std::vector<std::string>& names);
    // Queues the project (and its set's members) to put the version back from their backups.
    void queuePutBack(const std::string& name, const std::string& version);
    // CommandTarget
    bool acceptsCommands() const override;
    bool knowsProject(const std::string& name) const override;
    bool commandsMustWait() const override;
    NamedRows queueFromCommand(const std::vector<std::string>& names) override;
    void updateNow() override;
    void bringToFront() override;
    const PendingList& pendingRows() const override { return pending_; }
    void followRows(RowWaits* waits) override { rowWaits_ = waits; }
    // Starts or stops the source watch as projects ask for it.
    void followSourceWatch();
    void SourceWatchTimer();

protected:
    LRESULT onMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    // UpdateHost
    void appendLog(const std::string& line) override;
    bool logFailures() const override;
    void pumpMessages() override;
    void setUpdateNowEnabled(bool enabled) override;
    void setLastAttemptText(const std::string& text) override;
    void refreshPendingState() override { RefreshPendingState(); }
    void showCopyProgress(std::uint64_t row, int percent) override;
    void endCopyProgress(std::uint64_t row) override;
    void walkBegins() override;
    void walkEnds() override;
    void rowLine(std::uint64_t row, const std::string& line, bool whyItWaits) override;
    void rowTried(std::uint64_t row, RowEnd end) override;
    // PendingListObserver
    void rowInserted(int position, const PendingRow& row) override;
    void rowRemoved(int position) override;
    void rowChanged(int position, const PendingRow& row, RowChange change) override;

    void createControls();
    void createTips();
    void createStateImages();
    // The pending list's tip names who holds the row under the mouse.
    void createListTip();
    void listMouse(UINT mouseMessage);
    void refreshListTip();
    void flushLog();
    void holdListRedraw(bool hold);
    void setValueLabel(int id, const std::string& text);
    void showFromTray();
    void addTrayIcon();
    void closeAfterPass();

    PendingList pending_;
    WindowTimer timer_{nullptr, kTimer1};
    Scheduler scheduler_;
    UpdatePass updater_;
    SourceWatch sourceWatch_;
    bool sourceWatchRunning_ = false;
    std::string startDirectory_;
    SettingsFile settingsFile_;  // what this run loaded and saved
    std::string logBatch_;       // lines of the running pass not yet in the log
    bool listRedrawHeld_ = false;
    // The row whose copy is under way shows how far it is in its attempts cell.
    std::uint64_t copyingRow_ = 0;
    int copiedPercent_ = -1;
    TaskbarProgress taskbarProgress_;
    RowWaits* rowWaits_ = nullptr;  // commands that wait for their rows

    UniqueFont font_;
    // The idle and the pending image, at 32 x 32 and at the system's small
    // icon size, each drawn from the artwork made for that size; made when
    // first needed.
    UniqueImageList ImageList1;
    UniqueImageList smallImages_;
    UniqueIcon smallIcon_;  // the state at the small size: the notification area's and the caption's
    UniqueIcon largeIcon_;  // the same state at 32 x 32: taskbar, task switcher
    NotificationAreaIcon trayIcon_;
    bool tipsMade_ = false;
    HWND listTip_ = nullptr;       // owned by this window, destroyed with it
    POINT listMouse_ = {-1, -1};   // where the mouse last moved over the list, in its client area
    int listTipRow_ = -1;          // the row there, -1 for none
    std::string listTipText_;
    bool closeRequested_ = false;
    bool closeNowAsked_ = false;  // set before posting our own close message, which acts only then
    bool shownOnce_ = false;
};

extern TMainForm* MainForm;

}  // namespace moravel
