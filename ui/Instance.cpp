#include "ui/Instance.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>

#include "core/AppError.h"
#include "core/Library.h"
#include "ui/Application.h"

namespace moravel {

namespace {

constexpr UINT WM_APP_RUN_COMMANDS = WM_APP + 1;
constexpr UINT_PTR kRetryTimer = 1;
constexpr UINT kRetryMilliseconds = 200;
constexpr DWORD kMaxCommandBytes = 64 * 1024;
constexpr std::size_t kMaxWaitingNames = 1000;
constexpr DWORD kAnswerMilliseconds = 5000;
constexpr DWORD kStartMilliseconds = 15000;  // a fresh instance first has to start
constexpr DWORD kLookAgainMilliseconds = 50;

constexpr const char* kShowCommand = "show";

std::string mutexName(const std::string& key) { return "Local\\" + key; }

std::string longPathOfFolder(const std::string& full) {
    const std::string folder = folderOf(full);
    if (folder.empty()) return full;
    char buffer[MAX_PATH * 4];
    const DWORD length = GetLongPathNameA(folder.c_str(), buffer, sizeof buffer);
    if (length == 0 || length >= sizeof buffer) return full;
    std::string result(buffer, length);
    if (result.back() != '\\') result += '\\';
    return result + full.substr(folder.size());
}

bool fromThisSession(HWND sender) {
    DWORD process = 0;
    if (!sender || !IsWindow(sender) || !GetWindowThreadProcessId(sender, &process)) return false;
    DWORD theirs = 0, ours = 0;
    return ProcessIdToSessionId(process, &theirs) && ProcessIdToSessionId(GetCurrentProcessId(), &ours) &&
           theirs == ours;
}

bool instanceExists(const std::string& key) {
    if (UniqueHandle(OpenMutexA(SYNCHRONIZE, FALSE, mutexName(key).c_str()))) return true;
    // Another error than "no such object" means it is there but not ours to open.
    return GetLastError() != ERROR_FILE_NOT_FOUND;
}

// This program again, as the instance of the current directory: no handles
// of ours (a build tool waiting for its output pipes to close would wait for
// the instance), no console.
bool launchInstance(bool hide) {
    std::string path(32768, '\0');
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) return false;
    path.resize(length);
    std::string line = "\"" + path + "\" " + kLaunchedSwitch + (hide ? " /hide" : "");
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(path.c_str(), line.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                        &startup, &process))
        return false;
    const UniqueHandle thread(process.hThread), started(process.hProcess);
    AllowSetForegroundWindow(process.dwProcessId);
    return true;
}

}  // namespace

void writeToStandardError(const std::string& text) noexcept {
    const auto write = [&text](HANDLE target) {
        DWORD written = 0;
        return WriteFile(target, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != FALSE;
    };
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error && error != INVALID_HANDLE_VALUE && write(error)) return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
    if (const UniqueFile console(CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
        console)
        write(console.get());
    FreeConsole();
}

std::string instanceKey(const std::string& settingsPath) {
    std::string full(32768, '\0');
    const DWORD length = GetFullPathNameA(settingsPath.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    full = length > 0 && length < full.size() ? longPathOfFolder(full.substr(0, length)) : settingsPath;
    if (!full.empty()) CharUpperBuffA(full.data(), static_cast<DWORD>(full.size()));
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const char c : full) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    char text[40];
    std::snprintf(text, sizeof text, "Moravel.Instance.%08lX%08lX", static_cast<unsigned long>(hash >> 32),
                  static_cast<unsigned long>(hash & 0xFFFFFFFFu));
    return text;
}

InstanceLock::InstanceLock(const std::string& key)
    : mutex_(CreateMutexA(nullptr, FALSE, mutexName(key).c_str())) {
    first_ = mutex_ && GetLastError() != ERROR_ALREADY_EXISTS;
}

std::string encodeQueueCommand(const std::vector<std::string>& names, bool now) {
    std::string data = now ? "queue-now" : "queue";
    data += '\0';
    for (const std::string& name : names) {
        data += name;
        data += '\0';
    }
    data += '\0';
    return data;
}

// ---- the receiving end --------------------------------------------------------------------

CommandReceiver::CommandReceiver(const std::string& key, CommandTarget& target)
    : className_(key), target_(target) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = windowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = className_.c_str();
    RegisterClassA(&wc);  // already registered: the earlier registration serves
    CreateWindowExA(0, className_.c_str(), "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr),
                    this);
    if (!hwnd_) throw AppError("Cannot create the window that takes commands");
    acceptFromLowerIntegrity(hwnd_);
}

// An elevated instance still hears a build step that is not elevated: the
// system drops WM_COPYDATA from a lower integrity level unless the window
// lets it in. The data is checked all the same. Missing before Windows 7.
void CommandReceiver::acceptFromLowerIntegrity(HWND window) noexcept {
    using Filter = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
    if (const auto filter = procAddress<Filter>(GetModuleHandleA("user32.dll"), "ChangeWindowMessageFilterEx"))
        filter(window, WM_COPYDATA, 1 /* MSGFLT_ALLOW */, nullptr);
}

CommandReceiver::~CommandReceiver() {
    if (hwnd_) DestroyWindow(hwnd_);
    UnregisterClassA(className_.c_str(), GetModuleHandleA(nullptr));
}

LRESULT CALLBACK CommandReceiver::windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<CommandReceiver*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        return TRUE;
    }
    auto* self = reinterpret_cast<CommandReceiver*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (!self) return DefWindowProcA(hwnd, message, wParam, lParam);
    try {
        switch (message) {
            case WM_COPYDATA:
                if (!lParam) return 0;
                return self->onCopyData(reinterpret_cast<HWND>(wParam),
                                        *reinterpret_cast<const COPYDATASTRUCT*>(lParam));
            case WM_APP_RUN_COMMANDS:
                self->runWaiting();
                return 0;
            case WM_TIMER:
                if (wParam == kRetryTimer) self->runWaiting();
                return 0;
            case WM_NCDESTROY:
                SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
                self->hwnd_ = nullptr;
                break;
        }
    } catch (const std::exception& e) {
        showError(e.what());
        return 0;
    } catch (...) {
        showError("Unknown error");
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

LRESULT CommandReceiver::onCopyData(HWND sender, const COPYDATASTRUCT& data) {
    // Anything that is not exactly our message is ignored: a tag of ours, a
    // whole list of texts each ended by a zero byte and closed by one more,
    // a command we know and at least one name.
    if (data.dwData != kCommandTag || !data.lpData || data.cbData < 2 || data.cbData > kMaxCommandBytes)
        return 0;
    const char* bytes = static_cast<const char*>(data.lpData);
    const std::size_t size = data.cbData;
    if (bytes[size - 1] != '\0' || bytes[size - 2] != '\0') return 0;
    std::vector<std::string> texts;
    for (std::size_t at = 0; at < size - 1;) {
        const std::size_t length = std::char_traits<char>::length(bytes + at);
        if (length == 0) return 0;  // an empty text inside the list
        texts.emplace_back(bytes + at, length);
        at += length + 1;
    }
    const bool show = texts.size() == 1 && texts[0] == kShowCommand;
    if (!show && (texts.size() < 2 || (texts[0] != "queue" && texts[0] != "queue-now"))) return 0;
    if (!std::all_of(texts.begin() + 1, texts.end(), [](const std::string& name) { return isQueueableName(name); }))
        return 0;
    // A bound on what waits: refused now, the sender asks again until its time is up.
    std::size_t waitingNames = 0;
    for (const Command& command : waiting_) waitingNames += command.names.size();
    if (waitingNames + texts.size() - 1 > kMaxWaitingNames) return 0;
    // Only from our own session: the window's process tells.
    if (!fromThisSession(sender) || !target_.acceptsCommands()) return 0;
    if (show) {
        // Nothing to wait for: coming to the front changes no row.
        target_.bringToFront();
        return kAnswerBase + kExitQueued;
    }

    Command command{{texts.begin() + 1, texts.end()}, texts[0] == "queue-now"};
    const bool allKnown = std::all_of(command.names.begin(), command.names.end(),
                                      [this](const std::string& name) { return target_.knowsProject(name); });
    // The answer goes back now; the rows come when the window is free.
    waiting_.push_back(std::move(command));
    PostMessageA(hwnd_, WM_APP_RUN_COMMANDS, 0, 0);
    return kAnswerBase + (allKnown ? kExitQueued : kExitUnknownName);
}

void CommandReceiver::runWaiting() {
    if (!waiting_.empty() && target_.commandsMustWait()) {
        if (!retrying_) retrying_ = SetTimer(hwnd_, kRetryTimer, kRetryMilliseconds, nullptr) != 0;
        return;
    }
    if (retrying_) {
        KillTimer(hwnd_, kRetryTimer);
        retrying_ = false;
    }
    if (waiting_.empty()) return;
    // One at a time: a command may run a pass, which pumps messages.
    Command command = std::move(waiting_.front());
    waiting_.pop_front();
    if (!waiting_.empty()) PostMessageA(hwnd_, WM_APP_RUN_COMMANDS, 0, 0);
    target_.queueFromCommand(command.names, command.now);
}

// ---- the sending end ----------------------------------------------------------------------

int forwardQueueCommand(const std::string& key, const CommandLine& command) {
    const std::string payload = encodeQueueCommand(command.queue, command.now);
    COPYDATASTRUCT data = {kCommandTag, static_cast<DWORD>(payload.size()), const_cast<char*>(payload.data())};
    if (payload.size() > kMaxCommandBytes) return kExitBadCommandLine;

    // The receiver checks which session the sending window belongs to.
    struct SenderWindow {
        HWND hwnd = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    GetModuleHandleA(nullptr), nullptr);
        ~SenderWindow() {
            if (hwnd) DestroyWindow(hwnd);
        }
    } sender;

    ULONGLONG deadline = GetTickCount64() + kAnswerMilliseconds;
    bool launched = false;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return kExitNoAnswer;
        if (HWND instance = FindWindowExA(HWND_MESSAGE, nullptr, key.c_str(), nullptr)) {
            DWORD_PTR answer = 0;
            if (SendMessageTimeoutA(instance, WM_COPYDATA, reinterpret_cast<WPARAM>(sender.hwnd),
                                    reinterpret_cast<LPARAM>(&data), SMTO_BLOCK | SMTO_ABORTIFHUNG,
                                    static_cast<UINT>(deadline - now), &answer)) {
                if ((answer & 0xFFFF0000u) == static_cast<DWORD_PTR>(kAnswerBase))
                    return static_cast<int>(answer & 0xFFFFu);
            } else if (GetLastError() == ERROR_TIMEOUT) {
                return kExitNoAnswer;
            }
            // Refused or gone: it is closing; the next one may be starting.
        } else if (!launched && !instanceExists(key)) {
            if (!launchInstance(command.hide)) return kExitNoAnswer;
            launched = true;
            deadline = std::max(deadline, now + kStartMilliseconds);
        }
        Sleep(kLookAgainMilliseconds);
    }
}

bool showRunningInstance(const std::string& key) {
    const std::string payload = std::string(kShowCommand) + '\0' + '\0';
    COPYDATASTRUCT data = {kCommandTag, static_cast<DWORD>(payload.size()), const_cast<char*>(payload.data())};
    HWND sender = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr),
                                  nullptr);
    // The instance may be starting still: its window comes shortly after its lock.
    bool answered = false;
    for (const ULONGLONG deadline = GetTickCount64() + kAnswerMilliseconds; !answered;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) break;
        if (HWND instance = FindWindowExA(HWND_MESSAGE, nullptr, key.c_str(), nullptr)) {
            DWORD process = 0;
            if (GetWindowThreadProcessId(instance, &process)) AllowSetForegroundWindow(process);
            DWORD_PTR answer = 0;
            answered = SendMessageTimeoutA(instance, WM_COPYDATA, reinterpret_cast<WPARAM>(sender),
                                           reinterpret_cast<LPARAM>(&data), SMTO_BLOCK | SMTO_ABORTIFHUNG,
                                           static_cast<UINT>(deadline - now), &answer) &&
                       answer == static_cast<DWORD_PTR>(kAnswerBase + kExitQueued);
        }
        if (!answered) Sleep(kLookAgainMilliseconds);
    }
    if (sender) DestroyWindow(sender);
    return answered;
}

}  // namespace moravel
