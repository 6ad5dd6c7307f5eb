#include "engine/HolderControl.h"

#include <windows.h>
#include <winsvc.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "core/Clock.h"
#include "core/Files.h"
#include "core/Handle.h"
#include "core/Library.h"
#include "core/Text.h"

namespace moravel {

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;
using UniqueService = Unique<NullTraits<SC_HANDLE, CloseServiceHandle>>;

constexpr Milliseconds kServiceWait{30000};  // to stop, and to start
constexpr Milliseconds kRunsOnFor{3000};     // a service that stops at once with a bad file has done so by then
constexpr Milliseconds kCloseWait{10000};    // a program asked to close
constexpr Milliseconds kEndWait{5000};       // a program ended by force
constexpr Milliseconds kSlice{50};           // how often a wait looks at what it waits for

std::string logLine(const std::string& text) { return timestampText(localNow()) + " " + text; }

std::string pidText(const Holder& holder) { return holder.process + " (pid " + std::to_string(holder.pid) + ")"; }

// Waits until done() says so; false when the time ran out or, given a flag,
// when it is set.
template <class Done>
bool waitUntil(Done done, Milliseconds limit, const CancelEvent* cancel) {
    const Clock::time_point deadline = Clock::now() + limit;
    for (;;) {
        if (done()) return true;
        if (Clock::now() > deadline || (cancel && cancel->isSet())) return false;
        if (!cancel)
            std::this_thread::sleep_for(kSlice);
        else if (cancel->sleep(static_cast<unsigned long>(kSlice.count())))
            return false;  // a cancel ends the wait at once
    }
}

bool ended(HANDLE process) { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }

bool waitEnded(HANDLE process, Milliseconds limit, const CancelEvent* cancel) {
    const auto milliseconds = static_cast<unsigned long>(std::max<long long>(limit.count(), 0));
    if (!cancel) return WaitForSingleObject(process, milliseconds) != WAIT_TIMEOUT;
    return cancel->waitFor(process, milliseconds) == CancelEvent::Wait::Signalled;
}

std::string narrow(const wchar_t* text, int length) {
    const int size = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) WideCharToMultiByte(CP_ACP, 0, text, length, result.data(), size, nullptr, nullptr);
    return result;
}

// ---- what may be stopped --------------------------------------------------------------------

// The system's own processes and the shell: never closed, whoever runs them.
bool isSystemProcess(const std::string& name) {
    static const char* const kNames[] = {"system",       "smss.exe",    "csrss.exe",    "wininit.exe",
                                         "winlogon.exe", "services.exe", "lsass.exe",    "svchost.exe",
                                         "dwm.exe",      "explorer.exe", "winedevice.exe", "plugplay.exe",
                                         "rpcss.exe"};
    for (const char* system : kNames)
        if (compareTextIgnoreCase(name, system) == 0) return true;
    return false;
}

std::vector<BYTE> tokenUser(HANDLE process) {
    UniqueHandle token;
    if (!OpenProcessToken(process, TOKEN_QUERY, token.put())) return {};
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size);
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) return {};
    return user;
}

bool sameUser(HANDLE process) {
    const std::vector<BYTE> theirs = tokenUser(process), ours = tokenUser(GetCurrentProcess());
    if (theirs.empty() || ours.empty()) return false;
    return EqualSid(reinterpret_cast<const TOKEN_USER*>(theirs.data())->User.Sid,
                    reinterpret_cast<const TOKEN_USER*>(ours.data())->User.Sid) != FALSE;
}

bool sameSession(DWORD pid) {
    DWORD theirs = 0, ours = 0;
    return ProcessIdToSessionId(pid, &theirs) && ProcessIdToSessionId(GetCurrentProcessId(), &ours) && theirs == ours;
}

std::string imagePath(HANDLE process) {
    char path[MAX_PATH * 2] = {};
    DWORD size = sizeof path;
    return QueryFullProcessImageNameA(process, 0, path, &size) ? std::string(path, size) : std::string();
}

// How a program was started, read from its process parameters: what starts
// it again the same way. Empty parts are not known (no right to read it, or a
// 64-bit program seen from this 32-bit one).
struct StartedAs {
    std::string commandLine, folder;
};

StartedAs startedAs(HANDLE process) {
    using Query = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    const Query query = procAddress<Query>(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess");
    if (!query) return {};

    // Where its process block is. A 32-bit program on 64-bit Windows reads
    // only other 32-bit programs, whose 32-bit block the system names apart.
    constexpr ULONG kProcessBasicInformation = 0, kProcessWow64Information = 26;
    BOOL ownWow64 = FALSE, theirWow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &ownWow64);
    IsWow64Process(process, &theirWow64);
    if (ownWow64 != theirWow64) return {};
    ULONG_PTR block = 0;
    if (ownWow64) {
        if (query(process, kProcessWow64Information, &block, sizeof block, nullptr) < 0) return {};
    } else {
        ULONG_PTR basic[6] = {};  // exit status, the block, affinity, priority, pid, parent pid
        if (query(process, kProcessBasicInformation, basic, sizeof basic, nullptr) < 0) return {};
        block = basic[1];
    }

    const auto read = [process](ULONG_PTR at, void* into, std::size_t size) {
        SIZE_T got = 0;
        return at && ReadProcessMemory(process, reinterpret_cast<LPCVOID>(at), into, size, &got) && got == size;
    };
    struct CountedText {  // as the system keeps its texts: length in bytes, room, where
        USHORT length, maximumLength;
        ULONG_PTR buffer;
    };
    const auto text = [&](const CountedText& counted) {
        std::wstring wide(counted.length / sizeof(wchar_t), L'\0');
        return !wide.empty() && read(counted.buffer, wide.data(), wide.size() * sizeof(wchar_t))
                   ? narrow(wide.data(), static_cast<int>(wide.size()))
                   : std::string();
    };
    // The parameters are 4 pointers into the block. In them, after 16 bytes
    // and 5 pointers, come the working folder (a text and a handle), then the
    // library path, the image and the command line (3 texts on).
    constexpr std::size_t kParametersAt = 4 * sizeof(ULONG_PTR), kFolderAt = 16 + 5 * sizeof(ULONG_PTR);
    ULONG_PTR parameters = 0;
    CountedText folder = {}, commandLine = {};
    if (!read(block + kParametersAt, &parameters, sizeof parameters) ||
        !read(parameters + kFolderAt, &folder, sizeof folder) ||
        !read(parameters + kFolderAt + 3 * sizeof(CountedText) + sizeof(ULONG_PTR), &commandLine, sizeof commandLine))
        return {};
    return {text(commandLine), text(folder)};
}

// ---- one holder -----------------------------------------------------------------------------

struct ServiceOf {
    std::string name, displayName;
};

// The running services in a process, through the Service Control Manager.
std::vector<ServiceOf> servicesIn(DWORD pid) {
    std::vector<ServiceOf> found;
    const UniqueService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
    if (!manager) return found;
    std::vector<ULONG_PTR> buffer(4096);
    for (int tries = 0; tries < 4; ++tries) {
        DWORD needed = 0, count = 0, resume = 0;
        const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(ULONG_PTR));
        const bool all = EnumServicesStatusExA(manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE,
                                               reinterpret_cast<BYTE*>(buffer.data()), size, &needed, &count, &resume,
                                               nullptr);
        if (!all && GetLastError() == ERROR_MORE_DATA) {
            buffer.resize(buffer.size() + needed / sizeof(ULONG_PTR) + 1024);  // more may start meanwhile
            continue;
        }
        if (!all) return found;
        const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSA*>(buffer.data());
        for (DWORD i = 0; i < count; ++i)
            if (entries[i].ServiceStatusProcess.dwProcessId == pid)
                found.push_back({entries[i].lpServiceName, entries[i].lpDisplayName});
        return found;
    }
    return found;
}

// A holder we stop and start again: a service, or a program.
struct Stoppable {
    Holder holder;
    bool stopped = false;
    // A service:
    UniqueService service;
    std::string displayName;
    // A program, or the service's process:
    UniqueHandle process;
    std::string image;
    StartedAs startedAs;

    bool isService() const { return static_cast<bool>(service); }
};

// Finds out what a holder is and whether we may stop it; the reason to wait
// when not.
std::optional<std::string> prepare(const Holder& holder, Stoppable& target) {
    target.holder = holder;
    const std::vector<ServiceOf> services = servicesIn(holder.pid);
    if (services.size() > 1)
        return logLine(services.front().displayName + " shares its process with other services; Moravel does not stop it.");
    if (services.size() == 1) {
        target.displayName = services.front().displayName;
        const UniqueService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (manager)
            target.service.reset(OpenServiceA(manager.get(), services.front().name.c_str(),
                                              SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS));
        if (!target.service)
            return logLine(target.displayName + " could not be stopped: " + systemErrorText(GetLastError()) + ".");
        // Without the right to wait on its process, the stopped state alone tells.
        target.process.reset(OpenProcess(SYNCHRONIZE, FALSE, holder.pid));
        return std::nullopt;
    }

    const std::string notOurs = logLine(pidText(holder) + " holds the file; Moravel does not close it.");
    if (holder.pid == GetCurrentProcessId() || holder.pid <= 4 || isSystemProcess(holder.process)) return notOurs;
    target.process.reset(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE,
                                     holder.pid));
    if (!target.process || !sameSession(holder.pid) || !sameUser(target.process.get())) return notOurs;
    target.image = imagePath(target.process.get());
    target.startedAs = startedAs(target.process.get());
    if (target.image.empty()) return notOurs;
    return std::nullopt;
}

// ---- services ---------------------------------------------------------------------------------

DWORD serviceState(SC_HANDLE service, DWORD* pid = nullptr) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed))
        return 0;
    if (pid) *pid = status.dwProcessId;
    return status.dwCurrentState;
}

// Stops a service and waits until it has stopped and its process has ended.
std::optional<std::string> stopService(Stoppable& target, const CancelEvent* cancel) {
    SERVICE_STATUS status = {};
    if (!ControlService(target.service.get(), SERVICE_CONTROL_STOP, &status) &&
        GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
        return logLine(target.displayName + " could not be stopped: " + systemErrorText(GetLastError()) + ".");
    const Clock::time_point start = Clock::now();
    const bool stopped = waitUntil([&] { return serviceState(target.service.get()) == SERVICE_STOPPED; },
                                   kServiceWait, cancel);
    const auto left = kServiceWait - std::chrono::duration_cast<Milliseconds>(Clock::now() - start);
    if (stopped && (!target.process || waitEnded(target.process.get(), std::max(left, Milliseconds{0}), cancel))) {
        target.stopped = true;
        return std::nullopt;
    }
    if (cancel && cancel->isSet()) return std::string();
    return logLine(target.displayName + " did not stop.");
}

// Starts a service and tells whether it runs, and with watchRunning, still
// runs a few seconds later. Never retried: a service that fails with a file
// fails again with it.
bool startService(Stoppable& target, bool watchRunning) {
    if (!StartServiceA(target.service.get(), 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        return false;
    DWORD state = 0;
    waitUntil(
        [&] {
            state = serviceState(target.service.get());
            return state == SERVICE_RUNNING || state == SERVICE_STOPPED || state == 0;
        },
        kServiceWait, nullptr);
    DWORD pid = 0;
    serviceState(target.service.get(), &pid);
    target.process.reset(pid ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr);  // its new process, to wait on
    if (state != SERVICE_RUNNING) return false;
    if (watchRunning &&
        waitUntil([&] { return serviceState(target.service.get()) != SERVICE_RUNNING; }, kRunsOnFor, nullptr))
        return false;
    if (serviceState(target.service.get()) != SERVICE_RUNNING) return false;
    target.stopped = false;
    return true;
}

// ---- programs ---------------------------------------------------------------------------------

struct WindowSearch {
    DWORD pid;
    int asked = 0;
};

BOOL CALLBACK askToClose(HWND window, LPARAM context) noexcept {
    auto& search = *reinterpret_cast<WindowSearch*>(context);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == search.pid && IsWindowVisible(window) && !GetWindow(window, GW_OWNER) &&
        PostMessageA(window, WM_CLOSE, 0, 0))
        ++search.asked;
    return TRUE;
}

// Asks a program to close as the user would, and waits for it to end; with
// forceClose, ends one that did not.
std::optional<std::string> closeProgram(Stoppable& target, const std::string& fileName, bool forceClose,
                                        const CancelEvent* cancel) {
    WindowSearch search{target.holder.pid};
    EnumWindows(askToClose, reinterpret_cast<LPARAM>(&search));
    const bool closed = search.asked > 0 && waitEnded(target.process.get(), kCloseWait, cancel);
    if (closed || ended(target.process.get())) {
        target.stopped = true;
        return std::nullopt;
    }
    if (cancel && cancel->isSet()) return std::string();
    if (!forceClose) return logLine(pidText(target.holder) + " did not close.");
    if (!TerminateProcess(target.process.get(), 1) || !waitEnded(target.process.get(), kEndWait, nullptr))
        return logLine(pidText(target.holder) + " could not be ended: " + systemErrorText(GetLastError()) + ".");
    target.stopped = true;
    return logLine(pidText(target.holder) + " did not close and was ended to replace " + fileName + ".");
}

// Starts a program again from its image, with its command line and in its
// working folder where known (else none, and the destination's folder).
// Returns the new pid, 0 on failure.
unsigned long startProgram(Stoppable& target, const std::string& destination) {
    const StartedAs& was = target.startedAs;
    std::string commandLine = was.commandLine.empty() ? "\"" + target.image + "\"" : was.commandLine;
    const std::string folder = was.folder.empty() ? folderOf(destination) : was.folder;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(target.image.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &info))
        return 0;
    CloseHandle(info.hThread);
    target.process.reset(info.hProcess);
    target.stopped = false;
    return info.dwProcessId;
}

// ---- the file ---------------------------------------------------------------------------------

// Replaces destination with source and keeps the old file aside (its path in
// aside) so it can be put back. The destination is never missing for long and
// the old file never lost: each move is checked, and a failed one undone.
bool replaceKeepingOld(const std::string& source, const std::string& destination, std::string& aside) {
    aside.clear();
    ScratchFile scratch(destination, InPlace::Never);
    if (!scratch.copyFrom(source)) return false;
    if (GetFileAttributesA(destination.c_str()) == INVALID_FILE_ATTRIBUTES)
        return scratch.commit() == ReplaceOutcome::Replaced;
    aside = renameAside(destination);
    if (aside.empty()) return false;
    if (scratch.commit() == ReplaceOutcome::Replaced) return true;
    const DWORD error = GetLastError();
    // Nobody else may take the name meanwhile; should the move back still be
    // refused, the old file stays aside, under a name the leftover sweep
    // never deletes while the destination is missing.
    putBack(aside, destination, PutBack::IntoFreeName, Milliseconds{2000});
    aside.clear();
    SetLastError(error);
    return false;
}

bool putOldBack(const std::string& aside, const std::string& destination) {
    return putBack(aside, destination, PutBack::OverNewFile, Milliseconds{2000});
}

// Starts again what was stopped (after a refusal or a cancel: on the old file).
void startAgain(std::vector<Stoppable>& targets, const std::string& destination, std::vector<std::string>& lines) {
    for (Stoppable& target : targets) {
        if (!target.stopped) continue;
        if (target.isService()) {
            if (startService(target, false)) lines.push_back(logLine(target.displayName + " started again."));
        } else if (const unsigned long pid = startProgram(target, destination)) {
            lines.push_back(logLine(target.holder.process + " started again (pid " + std::to_string(pid) + ")."));
        }
    }
}

}  // namespace

bool sameContent(const std::string& a, const std::string& b) {
    WIN32_FILE_ATTRIBUTE_DATA first = {}, second = {};
    if (!GetFileAttributesExA(a.c_str(), GetFileExInfoStandard, &first) ||
        !GetFileAttributesExA(b.c_str(), GetFileExInfoStandard, &second))
        return false;
    if (first.nFileSizeLow != second.nFileSizeLow || first.nFileSizeHigh != second.nFileSizeHigh) return false;
    const auto open = [](const std::string& path) {
        return UniqueFile(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    };
    const UniqueFile fileA = open(a), fileB = open(b);
    if (!fileA || !fileB) return false;
    std::vector<char> bufferA(64 * 1024), bufferB(64 * 1024);
    for (;;) {
        DWORD readA = 0, readB = 0;
        if (!ReadFile(fileA.get(), bufferA.data(), static_cast<DWORD>(bufferA.size()), &readA, nullptr) ||
            !ReadFile(fileB.get(), bufferB.data(), static_cast<DWORD>(bufferB.size()), &readB, nullptr) ||
            readA != readB)
            return false;
        if (readA == 0) return true;
        if (std::memcmp(bufferA.data(), bufferB.data(), readA) != 0) return false;
    }
}

DeployOutcome deployOverHolders(const std::string& source, const std::string& destination,
                                const std::vector<Holder>& holders, bool forceClose, const CancelEvent& cancel) {
    DeployOutcome outcome;
    const std::string fileName(fileNamePart(destination));
    if (sameContent(source, destination)) {
        outcome.kind = DeployOutcome::Kind::AlreadyUpToDate;
        outcome.linesBefore.push_back(logLine(fileName + " is already up to date."));
        return outcome;
    }

    const HolderLookupPause pause;  // we are about to end and start processes
    // Everything is asked before anything is stopped: one holder we may not
    // stop makes the row wait with all of them still running.
    std::vector<Stoppable> targets(holders.size());
    for (std::size_t i = 0; i < holders.size(); ++i)
        if (auto reason = prepare(holders[i], targets[i])) {
            outcome.kind = DeployOutcome::Kind::Waits;
            outcome.waitReason = std::move(*reason);
            return outcome;
        }

    const auto giveBack = [&](std::optional<std::string> reason) {
        startAgain(targets, destination, outcome.linesAfter);
        if (cancel.isSet()) {
            outcome.kind = DeployOutcome::Kind::Cancelled;
        } else {
            outcome.kind = DeployOutcome::Kind::Waits;
            outcome.waitReason = reason.value_or(std::string());
        }
        return outcome;
    };
    for (Stoppable& target : targets) {
        if (cancel.isSet()) return giveBack(std::nullopt);
        std::optional<std::string> refused;
        if (target.isService()) {
            refused = stopService(target, &cancel);
            if (!refused) outcome.linesBefore.push_back(logLine(target.displayName + " stopped to replace " + fileName + "."));
        } else {
            refused = closeProgram(target, fileName, forceClose, &cancel);
            if (!refused)
                outcome.linesBefore.push_back(logLine(pidText(target.holder) + " closed to replace " + fileName + "."));
            else if (target.stopped)  // ended by force: said so, and on we go
                outcome.linesBefore.push_back(std::move(*refused)), refused.reset();
        }
        if (refused) return giveBack(refused);
        outcome.wasInUse = true;
    }
    if (cancel.isSet()) return giveBack(std::nullopt);

    std::string aside;
    if (!replaceKeepingOld(source, destination, aside)) {
        const DWORD error = GetLastError();
        startAgain(targets, destination, outcome.linesAfter);
        SetLastError(error);
        outcome.kind = DeployOutcome::Kind::Failed;
        return outcome;
    }

    // Services first: they decide whether the new file stays.
    outcome.kind = DeployOutcome::Kind::Replaced;
    for (Stoppable& target : targets) {
        if (!target.isService()) continue;
        if (startService(target, true)) {
            outcome.linesAfter.push_back(logLine(target.displayName + " started again."));
            continue;
        }
        // It does not run with the new file: every service we started goes
        // down again, the old file comes back, and they all run with it.
        for (Stoppable& other : targets)
            if (other.isService() && serviceState(other.service.get()) != SERVICE_STOPPED) stopService(other, nullptr);
        target.stopped = true;
        if (target.process) waitEnded(target.process.get(), kServiceWait, nullptr);  // it no longer runs the new file
        if (aside.empty() || !putOldBack(aside, destination)) {
            outcome.linesAfter.push_back(logLine(target.displayName + " did not start with the new file; the old file could not be put back: " +
                                                 systemErrorText(GetLastError()) + "."));
            outcome.kind = DeployOutcome::Kind::Failed;
            return outcome;  // the old file stays aside, never deleted
        }
        aside.clear();
        for (Stoppable& other : targets)
            if (other.isService() && other.stopped) startService(other, false);
        outcome.linesAfter.push_back(logLine(target.displayName + " did not start with the new file; the old file is back."));
        outcome.kind = DeployOutcome::Kind::GaveUpOldBack;
        break;
    }
    for (Stoppable& target : targets)
        if (!target.isService()) {
            const unsigned long pid = startProgram(target, destination);
            if (pid) outcome.linesAfter.push_back(logLine(target.holder.process + " started again (pid " + std::to_string(pid) + ")."));
            else outcome.linesAfter.push_back(logLine(target.holder.process + " could not be started again: " + systemErrorText(GetLastError()) + "."));
        }
    if (!aside.empty() && !DeleteFileA(aside.c_str())) outcome.setAside = aside;
    return outcome;
}

}  // namespace moravel
