#include "ui/Instance.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "core/AppError.h"
#include "ui/Application.h"

namespace moravel {

namespace {

constexpr UINT WM_APP_REQUESTS = WM_APP + 1;
constexpr UINT WM_APP_RUN_COMMANDS = WM_APP + 2;
constexpr UINT_PTR kRetryTimer = 1;
constexpr UINT kRetryMilliseconds = 200;
constexpr UINT_PTR kTickTimer = 2;
constexpr UINT kTickMilliseconds = 1000;
constexpr std::size_t kMaxWaitingNames = 1000;
constexpr ULONGLONG kAnswerMilliseconds = 5000;
constexpr ULONGLONG kStartMilliseconds = 15000;   // a fresh instance first has to start
constexpr ULONGLONG kLateMilliseconds = 30000;    // a waiting command's instance reports its end this late at most
constexpr DWORD kLookAgainMilliseconds = 50;
constexpr char kReceiverClass[] = "Moravel.CommandReceiver";
constexpr char kShowCommand[] = "show";
constexpr char kClosingAnswer[] = "Bclosing";

std::string mutexName(const std::string& key) { return "Global\\" + key; }

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

std::string encodeTexts(const std::vector<std::string>& texts) {
    std::string data = kRequestTag;
    for (const std::string& text : texts) {
        data += text;
        data += '\0';
    }
    data += '\0';
    return data;
}

// A whole number of seconds that /wait may be given.
std::optional<int> secondsOf(const std::string& text) {
    int seconds = 0;
    for (const char c : text) {
        if (c < '0' || c > '9' || seconds > kMaxWaitSeconds) return std::nullopt;
        seconds = seconds * 10 + (c - '0');
    }
    if (text.empty() || seconds < 1 || seconds > kMaxWaitSeconds) return std::nullopt;
    return seconds;
}

struct Request {
    bool show = false;
    bool now = false;
    bool wait = false;
    int seconds = 0;
    std::vector<std::string> names;
};

// Anything that is not exactly our message is nothing: the tag, a whole
// list of texts each ended by a zero byte and closed by one more, a command
// we know, its seconds, and at least one name, none with a control character.
std::optional<Request> parseRequest(const std::string& bytes) {
    const std::size_t tag = sizeof kRequestTag - 1;
    if (bytes.size() < tag + 2 || bytes.compare(0, tag, kRequestTag) != 0 || bytes[bytes.size() - 1] != '\0' ||
        bytes[bytes.size() - 2] != '\0')
        return std::nullopt;
    std::vector<std::string> texts;
    for (std::size_t at = tag; at < bytes.size() - 1;) {
        const std::size_t length = bytes.find('\0', at) - at;
        if (length == 0) return std::nullopt;  // an empty text inside the list
        texts.push_back(bytes.substr(at, length));
        at += length + 1;
    }
    Request request;
    if (texts.size() == 1 && texts[0] == kShowCommand) {
        request.show = true;
        return request;
    }
    if (texts.empty()) return std::nullopt;
    const std::string& verb = texts[0];
    request.now = verb == "queue-now" || verb == "wait-now";
    request.wait = verb == "wait" || verb == "wait-now";
    if (!request.wait && verb != "queue" && verb != "queue-now") return std::nullopt;
    std::size_t first = 1;
    if (request.wait) {
        const std::optional<int> seconds = texts.size() > 1 ? secondsOf(texts[1]) : std::nullopt;
        if (!seconds) return std::nullopt;
        request.seconds = *seconds;
        first = 2;
    }
    if (texts.size() <= first) return std::nullopt;
    request.names.assign(texts.begin() + static_cast<std::ptrdiff_t>(first), texts.end());
    if (!std::all_of(request.names.begin(), request.names.end(),
                     [](const std::string& name) { return isQueueableName(name); }))
        return std::nullopt;
    return request;
}

}  // namespace

bool instanceExists(const std::string& key) {
    if (UniqueHandle(OpenMutexA(SYNCHRONIZE, FALSE, mutexName(key).c_str()))) return true;
    // Another error than "no such object" means it is there but not ours to open.
    return GetLastError() != ERROR_FILE_NOT_FOUND;
}

bool launchInstance(bool hide) {
    std::string path(32768, '\0');
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) return false;
    path.resize(length);
    std::string line = "\"" + path + "\" " + kLaunchedSwitch + (hide ? " /hide" : "");
    // Standard handles of its own (none): without them a console program
    // would be given the caller's.
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(path.c_str(), line.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                        &startup, &process))
        return false;
    const UniqueHandle thread(process.hThread), started(process.hProcess);
    AllowSetForegroundWindow(process.dwProcessId);
    return true;
}

void writeStandard(DWORD which, const std::string& text) noexcept {
    const HANDLE target = GetStdHandle(which);
    if (!target || target == INVALID_HANDLE_VALUE || text.empty()) return;
    DWORD written = 0, mode = 0;
    if (GetConsoleMode(target, &mode)) {
        // A console shows its own code page: the text goes in wide characters.
        const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
        if (length <= 0) return;
        try {
            std::wstring wide(static_cast<std::size_t>(length), L'\0');
            MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
            WriteConsoleW(target, wide.data(), static_cast<DWORD>(length), &written, nullptr);
        } catch (...) {
            // No memory for it: nothing is written.
        }
        return;
    }
    WriteFile(target, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void writeToStandardError(const std::string& text) noexcept {
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD type = error && error != INVALID_HANDLE_VALUE ? GetFileType(error) : FILE_TYPE_UNKNOWN;
    if (type != FILE_TYPE_UNKNOWN) return writeStandard(STD_ERROR_HANDLE, text);
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
    if (const UniqueFile console(CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
        console) {
        DWORD written = 0;
        WriteFile(console.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
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
    std::vector<std::string> texts{now ? "queue-now" : "queue"};
    texts.insert(texts.end(), names.begin(), names.end());
    return encodeTexts(texts);
}

std::string encodeWaitCommand(const std::vector<std::string>& names, bool now, int seconds) {
    std::vector<std::string> texts{now ? "wait-now" : "wait", std::to_string(seconds)};
    texts.insert(texts.end(), names.begin(), names.end());
    return encodeTexts(texts);
}

// ---- the receiving end --------------------------------------------------------------------

CommandReceiver::CommandReceiver(const std::string& key, CommandTarget& target)
    : target_(&target), waits_(target.pendingRows(), *this) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = windowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kReceiverClass;
    RegisterClassA(&wc);  // already registered: the earlier registration serves
    CreateWindowExA(0, kReceiverClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr), this);
    if (!hwnd_) throw AppError("Cannot create the window that takes commands");
    try {
        server_ = std::make_unique<PipeServer>(pipeName(key),
                                               [window = hwnd_] { PostMessageA(window, WM_APP_REQUESTS, 0, 0); });
    } catch (...) {
        DestroyWindow(hwnd_);
        throw;
    }
    target.followRows(&waits_);
}

CommandReceiver::~CommandReceiver() {
    if (target_) target_->followRows(nullptr);
    server_.reset();  // its thread has ended: nothing posts to the window any more
    if (hwnd_) DestroyWindow(hwnd_);
}

void CommandReceiver::closing() noexcept {
    try {
        server_->refuse(kClosingAnswer);
    } catch (...) {
        // No memory for the answer: a later start hears nothing and asks again until its time is up.
    }
    if (!target_) return;
    target_->followRows(nullptr);
    target_ = nullptr;
    waits_.clear();
    waiting_.clear();
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
            case WM_APP_REQUESTS:
                if (self->server_) self->takeRequests();
                return 0;
            case WM_APP_RUN_COMMANDS:
                self->runWaiting();
                return 0;
            case WM_TIMER:
                if (wParam == kRetryTimer) self->runWaiting();
                if (wParam == kTickTimer) {
                    self->waits_.tick(GetTickCount64());
                    self->followTicks();
                }
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

void CommandReceiver::takeRequests() {
    for (const PipeServer::Request& request : server_->takeRequests()) {
        if (!request.bytes.empty()) {
            take(request.client, request.bytes);
            continue;
        }
        // Its sender went away: the command stays given, nobody hears its rows.
        waits_.drop(request.client);
        for (Command& command : waiting_)
            if (command.client == request.client) command.wait = false;
    }
}

void CommandReceiver::take(std::uint64_t client, const std::string& bytes) {
    const std::optional<Request> request = parseRequest(bytes);
    if (!request) return server_->send(client, {}, true);
    if (!target_ || !target_->acceptsCommands()) return server_->send(client, kClosingAnswer, true);
    if (request->show) {
        // Nothing to wait for: coming to the front changes no row.
        target_->bringToFront();
        return server_->send(client, kAnswerCode + std::to_string(kExitQueued), true);
    }
    // A bound on what waits: refused now, the sender asks again until its time is up.
    std::size_t waitingNames = 0;
    for (const Command& command : waiting_) waitingNames += command.names.size();
    if (waitingNames + request->names.size() > kMaxWaitingNames) return server_->send(client, {}, true);

    const bool allKnown = std::all_of(request->names.begin(), request->names.end(),
                                      [this](const std::string& name) { return target_->knowsProject(name); });
    // The answer goes back now; the rows come when the window is free.
    server_->send(client, kAnswerCode + std::to_string(allKnown ? kExitQueued : kExitUnknownName), !request->wait);
    waiting_.push_back({client, request->names, request->now, request->wait,
                        GetTickCount64() + static_cast<ULONGLONG>(request->seconds) * 1000});
    PostMessageA(hwnd_, WM_APP_RUN_COMMANDS, 0, 0);
}

void CommandReceiver::runWaiting() {
    if (!target_) return;
    if (!waiting_.empty() && target_->commandsMustWait()) {
        // A command that waits is told when its time runs out before its
        // names could even be queued (a long update, a dialog left open).
        for (Command& command : waiting_)
            if (command.wait && GetTickCount64() >= command.deadline) {
                waitLine(command.client, "Moravel was busy until the time ran out; the names are queued once it is free.",
                         true);
                waitEnded(command.client, kExitTimeUp);
                command.wait = false;
            }
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
    const NamedRows named = target_->queueFromCommand(command.names);
    if (command.wait) {
        waits_.add(command.client, named, command.deadline);  // before the pass, which may end them
        followTicks();
    }
    if (command.now) target_->updateNow();
}

void CommandReceiver::followTicks() {
    if (!waits_.empty() && !ticking_) {
        ticking_ = SetTimer(hwnd_, kTickTimer, kTickMilliseconds, nullptr) != 0;
    } else if (waits_.empty() && ticking_) {
        KillTimer(hwnd_, kTickTimer);
        ticking_ = false;
    }
}

void CommandReceiver::waitLine(std::uint64_t wait, const std::string& line, bool toError) {
    server_->send(wait, (toError ? kAnswerError : kAnswerOutput) + line, false);
}

void CommandReceiver::waitEnded(std::uint64_t wait, int exitCode) {
    server_->send(wait, kAnswerEnd + std::to_string(exitCode), true);
}

// ---- the sending end ----------------------------------------------------------------------

namespace {

// What one try at handing a message to the instance came to.
struct Delivery {
    enum class Kind { Answered, NoInstance, Busy, NoAnswer } kind = Kind::NoAnswer;
    int code = 0;         // Answered
    DWORD process = 0;    // Busy: the instance, to be waited for
};

int codeOf(const std::string& answer) {
    int code = 0;
    for (std::size_t i = 1; i < answer.size() && i < 4 && answer[i] >= '0' && answer[i] <= '9'; ++i)
        code = code * 10 + (answer[i] - '0');
    return code;
}

// One try. A waiting command reads the instance's lines until its end, at
// most until `late`.
Delivery deliver(const std::string& key, const std::string& message, ULONGLONG answerBy, const LineSink& line,
                 ULONGLONG late) {
    PipeClient pipe;
    switch (pipe.open(pipeName(key))) {
        case PipeClient::Open::Absent: return {Delivery::Kind::NoInstance};
        case PipeClient::Open::Again: return {};
        case PipeClient::Open::Opened: break;
    }
    if (const DWORD process = pipe.serverProcess()) AllowSetForegroundWindow(process);
    const std::optional<std::string> answer = pipe.write(message, answerBy) ? pipe.read(answerBy) : std::nullopt;
    if (!answer || answer->empty()) return {};  // refused, or gone: it may be closing
    if ((*answer)[0] == kAnswerBusy) return {Delivery::Kind::Busy, 0, pipe.serverProcess()};
    if ((*answer)[0] != kAnswerCode) return {};
    if (!line) return {Delivery::Kind::Answered, codeOf(*answer)};
    for (;;) {
        const std::optional<std::string> news = pipe.read(late);
        const char kind = news && !news->empty() ? (*news)[0] : kAnswerBusy;
        if (kind == kAnswerEnd) return {Delivery::Kind::Answered, codeOf(*news)};
        if (kind == kAnswerOutput || kind == kAnswerError) {
            line(news->substr(1), kind == kAnswerError);
        } else if (kind == kAnswerBusy) {  // closing, or gone
            line(GetTickCount64() >= late ? "Moravel did not tell in time how the projects ended."
                                          : "Moravel ended before the projects did.",
                 true);
            return {Delivery::Kind::Answered, kExitNoAnswer};
        }
    }
}

// A busy or closing instance is waited for until it ends; false when the
// time ran out first.
bool waitForEnd(DWORD process, ULONGLONG end) {
    const UniqueHandle handle(process ? OpenProcess(SYNCHRONIZE, FALSE, process) : nullptr);
    const ULONGLONG now = GetTickCount64();
    if (now >= end) return false;
    if (!handle) {
        Sleep(kLookAgainMilliseconds * 4);  // not ours to watch: it is asked again
        return true;
    }
    return WaitForSingleObject(handle.get(), static_cast<DWORD>(std::min<ULONGLONG>(end - now, INFINITE - 1))) ==
           WAIT_OBJECT_0;
}

}  // namespace

int forwardQueueCommand(const std::string& key, const CommandLine& command, const LineSink& line,
                        const RunHere& runHere) {
    const bool waits = command.wait && line;
    const std::string longest = waits ? encodeWaitCommand(command.queue, command.now, kMaxWaitSeconds)
                                      : encodeQueueCommand(command.queue, command.now);
    if (longest.size() > kMaxRequestBytes) return kExitBadCommandLine;
    const ULONGLONG started = GetTickCount64();
    // Busy instances are waited for this long at most.
    const ULONGLONG end = started + static_cast<ULONGLONG>(waits ? command.waitSeconds : kDefaultWaitSeconds) * 1000;
    ULONGLONG answerBy = started + kAnswerMilliseconds;
    bool launched = false;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= answerBy) return kExitNoAnswer;
        const int secondsLeft = static_cast<int>(std::max<ULONGLONG>(1, (end - std::min(end, now) + 999) / 1000));
        const std::string message = waits ? encodeWaitCommand(command.queue, command.now, secondsLeft)
                                          : encodeQueueCommand(command.queue, command.now);
        const Delivery delivery = deliver(key, message, answerBy, waits ? line : nullptr, end + kLateMilliseconds);
        switch (delivery.kind) {
            case Delivery::Kind::Answered:
                return delivery.code;
            case Delivery::Kind::Busy:
                if (!waitForEnd(delivery.process, end)) {
                    if (!waits) return kExitNoAnswer;
                    line("Another Moravel kept this folder busy until the time ran out.", true);
                    return kExitTimeUp;
                }
                answerBy = GetTickCount64() + kAnswerMilliseconds;
                continue;
            case Delivery::Kind::NoInstance:
                if (instanceExists(key)) break;  // starting: its pipe comes shortly after its lock
                if (waits && runHere) {
                    if (const std::optional<int> code = runHere(key, command, end)) return *code;
                    continue;  // another became the instance meanwhile
                }
                if (!launched) {
                    if (!launchInstance(command.hide)) return kExitNoAnswer;
                    launched = true;
                    answerBy = std::max(answerBy, now + kStartMilliseconds);
                }
                break;
            case Delivery::Kind::NoAnswer:
                break;  // refused or closing: it is asked again until the time is up
        }
        Sleep(kLookAgainMilliseconds);
    }
}

ShowAnswer showRunningInstance(const std::string& key) {
    const std::string message = encodeTexts({kShowCommand});
    // The instance may be starting still: its pipe comes shortly after its lock.
    for (const ULONGLONG answerBy = GetTickCount64() + kAnswerMilliseconds; GetTickCount64() < answerBy;) {
        const Delivery delivery = deliver(key, message, answerBy, nullptr, 0);
        if (delivery.kind == Delivery::Kind::Answered) return ShowAnswer::Shown;
        if (delivery.kind == Delivery::Kind::Busy) {
            waitForEnd(delivery.process, GetTickCount64() + kDefaultWaitSeconds * 1000ull);
            return ShowAnswer::Ended;
        }
        Sleep(kLookAgainMilliseconds);
    }
    return ShowAnswer::NoAnswer;
}

}  // namespace moravel
