#include "app/ConsoleRun.h"

#include <windows.h>

#include <atomic>
#include <climits>
#include <exception>
#include <memory>

#include "core/AppError.h"
#include "core/Clock.h"
#include "core/Projects.h"
#include "core/SettingsFile.h"
#include "engine/Holders.h"
#include "engine/PendingList.h"
#include "engine/Scheduler.h"
#include "engine/StartUp.h"
#include "engine/UpdatePass.h"
#include "ui/Instance.h"
#include "ui/RowWaits.h"
#include "ui/WindowTimer.h"

namespace moravel {

namespace {

constexpr UINT WM_APP_ENGINE_NEWS = WM_APP + 1;  // from a thread of the engine: a job, a lookup, an exit watch
constexpr UINT WM_APP_STOP = WM_APP + 2;         // Ctrl+C, Ctrl+Break, the console closing
constexpr UINT_PTR kUpdateTimer = 1;
constexpr UINT_PTR kTickTimer = 2;
constexpr UINT kTickMilliseconds = 1000;
constexpr char kWindowClass[] = "Moravel.ConsoleRun";
constexpr std::uint64_t kTheWait = 1;

void print(const std::string& line, bool toError) {
    writeStandard(toError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE, line + "\r\n");
}

// The run under way, for the console's control handler, which runs on a
// thread of its own: it only posts, then gives the run time to end.
std::atomic<HWND> g_running{nullptr};

BOOL WINAPI onConsoleControl(DWORD) noexcept {
    const HWND window = g_running.load();
    if (!window || !PostMessageA(window, WM_APP_STOP, 0, 0)) return FALSE;
    // Closing the console ends the process when this returns: a job under
    // way is first cancelled (a stopped holder started again).
    for (int i = 0; i < 200 && g_running.load(); ++i) Sleep(50);
    return TRUE;
}

// The engine in a console: what the window would show goes nowhere, and
// the one command follows its rows. The log's lines of those rows go to the
// standard output (its reasons to wait to the standard error), as an
// instance sends them; any other line of the log goes to the standard error.
class ConsoleRun final : private UpdateHost, private WaitOutput {
public:
    ConsoleRun();
    ~ConsoleRun();
    ConsoleRun(const ConsoleRun&) = delete;
    ConsoleRun& operator=(const ConsoleRun&) = delete;

    int run(const CommandLine& command, unsigned long long end);

private:
    static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
    void onMessage(UINT message, WPARAM wParam);

    // UpdateHost. The pass logs each line of a row and then tells the row's
    // followers: a line is held until then, so that the command's own lines
    // go out once, where they belong.
    void appendLog(const std::string& line) override;
    bool logFailures() const override { return false; }
    void pumpMessages() override;
    void setUpdateNowEnabled(bool) override {}
    void setLastAttemptText(const std::string&) override {}
    void refreshPendingState() override {}
    void showCopyProgress(std::uint64_t, int) override {}
    void endCopyProgress(std::uint64_t) override {}
    void walkEnds() override { flushHeld(); }
    void rowLine(std::uint64_t row, const std::string& line, bool whyItWaits) override;
    void rowTried(std::uint64_t row, RowEnd end) override;
    void flushHeld();
    // WaitOutput
    void waitLine(std::uint64_t, const std::string& line, bool toError) override { print(line, toError); }
    void waitEnded(std::uint64_t, int exitCode) override { exitCode_ = exitCode; }

    HWND window_ = nullptr;
    WindowTimer timer_{nullptr, kUpdateTimer};
    TProjects projects_;
    PendingList pending_;
    Scheduler scheduler_{timer_, [](const std::string&) {}};
    UpdatePass pass_{projects_, pending_, scheduler_, *this};
    RowWaits waits_{pending_, *this};
    std::string held_;
    bool holding_ = false;
    std::optional<int> exitCode_;
};

ConsoleRun::ConsoleRun() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = windowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kWindowClass;
    RegisterClassA(&wc);
    CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr), this);
    if (!window_) throw AppError("Cannot create the window that takes the engine's news");
    timer_.setWindow(window_);
    timer_.setInterval(kDefaultDelaySeconds * 1000);
    pass_.setHolderFinder(std::make_shared<SystemHolderFinder>());
    pass_.setNotice([window = window_] { PostMessageA(window, WM_APP_ENGINE_NEWS, 0, 0); });
    g_running = window_;
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

ConsoleRun::~ConsoleRun() {
    // First: a handler waiting for the run's end holds the lock that taking it out needs.
    g_running = nullptr;
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
    pass_.setNotice(nullptr);  // what still runs tells nobody
    if (window_) DestroyWindow(window_);
}

int ConsoleRun::run(const CommandLine& command, unsigned long long end) {
    const std::string settings = settingsFilePath(workingDirectory());
    const std::string reason = SettingsFile(settings).load(projects_);
    if (!reason.empty()) print(timestampText(localNow()) + " Could not read " + settings + ": " + reason + ".", true);
    for (const std::string& line : takeOverEarlierRuns(pass_, settings)) print(line, true);
    const NamedRows named = queueNamed(projects_, pending_, command.queue);
    if (pending_.count() > 0) scheduler_.ScheduleNextUpdate();
    waits_.add(kTheWait, named, end);  // ends at once when no name is a project
    if (!exitCode_ && !SetTimer(window_, kTickTimer, kTickMilliseconds, nullptr))
        throw AppError("Not enough timers available");
    if (!exitCode_ && command.now) pass_.UpdateNow();
    MSG msg;
    while (!exitCode_ && GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    // The time is up during a job: it is cancelled and waited for, and
    // leaves its row as it was (what it stopped started again).
    pass_.stop();
    pass_.waitForJob();
    flushHeld();
    return exitCode_.value_or(kExitTimeUp);
}

LRESULT CALLBACK ConsoleRun::windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<ConsoleRun*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        self->window_ = hwnd;
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        return TRUE;
    }
    auto* self = reinterpret_cast<ConsoleRun*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (!self || (message != WM_TIMER && message != WM_APP_ENGINE_NEWS && message != WM_APP_STOP))
        return DefWindowProcA(hwnd, message, wParam, lParam);
    try {
        self->onMessage(message, wParam);
    } catch (const std::exception& e) {
        print(e.what(), true);
        self->exitCode_ = 1;
    } catch (...) {
        print("Unknown error", true);
        self->exitCode_ = 1;
    }
    return 0;
}

void ConsoleRun::onMessage(UINT message, WPARAM wParam) {
    switch (message) {
        case WM_APP_ENGINE_NEWS:
            pass_.engineNews();
            break;
        case WM_TIMER:
            if (wParam == kUpdateTimer) pass_.RunUpdatePass();
            if (wParam == kTickTimer) waits_.tick(GetTickCount64());
            break;
        case WM_APP_STOP:
            waits_.tick(ULLONG_MAX);  // as when the time is up: what still waits is told
            break;
    }
}

void ConsoleRun::appendLog(const std::string& line) {
    flushHeld();
    held_ = line;
    holding_ = true;
}

void ConsoleRun::flushHeld() {
    if (!holding_) return;
    holding_ = false;
    print(held_, true);  // not of the command's rows: its output holds only theirs, as with an instance
}

void ConsoleRun::rowLine(std::uint64_t row, const std::string& line, bool whyItWaits) {
    if (holding_ && held_ == line) holding_ = false;  // the command's own: the waits tell it
    waits_.rowLine(row, line, whyItWaits);
}

void ConsoleRun::rowTried(std::uint64_t row, RowEnd end) {
    flushHeld();
    waits_.rowTried(row, end);
}

void ConsoleRun::pumpMessages() {
    flushHeld();
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        DispatchMessageA(&msg);
    }
}

}  // namespace

std::optional<int> updateHere(const std::string& key, const CommandLine& command, unsigned long long end) {
    InstanceLock lock(key);
    if (!lock.first()) return std::nullopt;
    // Later starts in this folder are answered "busy" and wait for this run.
    std::unique_ptr<PipeServer> busy;
    try {
        busy = std::make_unique<PipeServer>(pipeName(key), nullptr);
        busy->refuse(kBusyAnswer);
    } catch (const std::exception&) {
        // They find the lock, and no pipe: they ask again until their time is up.
    }
    ConsoleRun run;
    return run.run(command, end);
}

}  // namespace moravel
