#include "engine/HolderControl.h"

#include <windows.h>

#include <cstring>
#include <optional>

#include "core/Clock.h"
#include "core/Files.h"
#include "core/Handle.h"
#include "core/Text.h"
#include "engine/ProcessFacts.h"
#include "engine/ServiceControl.h"

namespace moravel {

namespace {

using Milliseconds = std::chrono::milliseconds;

constexpr Milliseconds kServiceWait{30000};  // to stop, and to start
constexpr Milliseconds kRunsOnFor{3000};     // a service that stops at once with a bad file has done so by then
constexpr Milliseconds kCloseWait{10000};    // a program asked to close
constexpr Milliseconds kEndWait{5000};       // a program ended by force

std::string logLine(const std::string& text) { return timestampText(localNow()) + " " + text; }

std::string pidText(const Holder& holder) { return holder.process + " (pid " + std::to_string(holder.pid) + ")"; }

// A holder we stop and start again: a service, or a program.
struct Stoppable {
    Holder holder;
    bool stopped = false;
    // A service:
    ControlledService service;
    std::string displayName;
    // A program:
    UniqueHandle process;
    std::string image;
    StartedAs startedAs;

    bool isService() const { return static_cast<bool>(service); }
};

// ---- checking every holder first ----------------------------------------------------------

// Finds out what a holder is and whether we may stop it; the reason to wait
// when not.
std::optional<std::string> prepare(const Holder& holder, Stoppable& target) {
    target.holder = holder;
    const std::vector<ServiceOf> services = servicesIn(holder.pid);
    if (services.size() > 1)
        return logLine(services.front().displayName + " shares its process with other services; Moravel does not stop it.");
    if (services.size() == 1) {
        target.displayName = services.front().displayName;
        if (!target.service.open(services.front().name))
            return logLine(target.displayName + " could not be stopped: " + systemErrorText(GetLastError()) + ".");
        // Without the right to wait on its process, the stopped state alone tells.
        target.service.followProcess(holder.pid);
        return std::nullopt;
    }

    const std::string notOurs = logLine(pidText(holder) + " holds the file; Moravel does not close it.");
    if (holder.pid == GetCurrentProcessId() || holder.pid <= 4 || isSystemProcess(holder.process)) return notOurs;
    target.process.reset(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE,
                                     holder.pid));
    if (!target.process || !inOurSession(holder.pid) || !sameUserAsUs(target.process.get())) return notOurs;
    target.image = imagePath(target.process.get());
    target.startedAs = startedAs(target.process.get());
    if (target.image.empty()) return notOurs;
    return std::nullopt;
}

// ---- stopping -----------------------------------------------------------------------------

std::optional<std::string> stopService(Stoppable& target, const CancelEvent* cancel) {
    switch (target.service.stop(kServiceWait, cancel)) {
        case ControlledService::Result::Done: target.stopped = true; return std::nullopt;
        case ControlledService::Result::Cancelled: return std::string();
        case ControlledService::Result::Refused:
            return logLine(target.displayName + " could not be stopped: " + systemErrorText(GetLastError()) + ".");
        case ControlledService::Result::TimedOut: break;
    }
    return logLine(target.displayName + " did not stop.");
}

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
    const bool closed = search.asked > 0 && waitForEnd(target.process.get(), kCloseWait, cancel);
    if (closed || hasEnded(target.process.get())) {
        target.stopped = true;
        return std::nullopt;
    }
    if (cancel && cancel->isSet()) return std::string();
    if (!forceClose) return logLine(pidText(target.holder) + " did not close.");
    if (!TerminateProcess(target.process.get(), 1) || !waitForEnd(target.process.get(), kEndWait, nullptr))
        return logLine(pidText(target.holder) + " could not be ended: " + systemErrorText(GetLastError()) + ".");
    target.stopped = true;
    return logLine(pidText(target.holder) + " did not close and was ended to replace " + fileName + ".");
}

// ---- starting again -----------------------------------------------------------------------

// Starts a program again from its image, with its command line and in its
// working folder where known (else none, and the destination's folder).
// Returns the new pid, 0 on failure.
unsigned long startProgram(Stoppable& target, const std::string& destination) {
    const StartedAs& was = target.startedAs;
    std::string commandLine = was.commandLine.empty() ? "\"" + target.image + "\"" : was.commandLine;
    const std::string folder = was.folder.empty() ? directoryPart(destination) : was.folder;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(target.image.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &info))
        return 0;
    const UniqueHandle thread(info.hThread);
    target.process.reset(info.hProcess);
    target.stopped = false;
    return info.dwProcessId;
}

// Starts again what was stopped (after a refusal or a cancel: on the old file).
void startAgain(std::vector<Stoppable>& targets, const std::string& destination, std::vector<std::string>& lines) {
    for (Stoppable& target : targets) {
        if (!target.stopped) continue;
        if (target.isService()) {
            if (target.service.start(kServiceWait, Milliseconds{0}, nullptr)) {
                target.stopped = false;
                lines.push_back(logLine(target.displayName + " started again."));
            }
        } else if (const unsigned long pid = startProgram(target, destination)) {
            lines.push_back(logLine(target.holder.process + " started again (pid " + std::to_string(pid) + ")."));
        }
    }
}

// ---- the file -----------------------------------------------------------------------------

// Replaces destination with source and keeps the old file aside (its path in
// aside) so it can be put back. The destination is never missing for long and
// the old file never lost: each move is checked, and a failed one undone.
bool replaceKeepingOld(const std::string& source, const std::string& destination, std::string& aside) {
    aside.clear();
    ScratchFile scratch(destination, InPlace::Never);
    if (!scratch.copyFrom(source)) return false;
    if (GetFileAttributesA(destination.c_str()) == INVALID_FILE_ATTRIBUTES)
        return scratch.commit() == ReplaceOutcome::Replaced;
    for (std::uint16_t unique = static_cast<std::uint16_t>(GetTickCount()), tries = 0; tries < 100; ++unique, ++tries) {
        const std::string candidate = setAsideName(destination, unique);
        if (GetFileAttributesA(candidate.c_str()) == INVALID_FILE_ATTRIBUTES) {
            aside = candidate;
            break;
        }
    }
    if (aside.empty() || !MoveFileExA(destination.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH)) {
        aside.clear();
        return false;
    }
    if (scratch.commit() == ReplaceOutcome::Replaced) return true;
    const DWORD error = GetLastError();
    // Nobody else may take the name meanwhile; should the move back still be
    // refused, the old file stays aside, under a name the leftover sweep
    // never deletes while the destination is missing.
    waitUntil([&] { return MoveFileExA(aside.c_str(), destination.c_str(), MOVEFILE_WRITE_THROUGH) != FALSE; },
              Milliseconds{2000}, nullptr);
    aside.clear();
    SetLastError(error);
    return false;
}

bool putOldBack(const std::string& aside, const std::string& destination) {
    return waitUntil(
        [&] {
            return MoveFileExA(aside.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
                   FALSE;
        },
        Milliseconds{2000}, nullptr);
}

// ---- the deploy, step by step -------------------------------------------------------------

class Deploy {
public:
    Deploy(const std::string& source, const std::string& destination, bool forceClose, const CancelEvent& cancel)
        : source_(source), destination_(destination), fileName_(fileNamePart(destination)), forceClose_(forceClose),
          cancel_(cancel) {}

    DeployOutcome run(const std::vector<Holder>& holders);

private:
    bool checkEveryHolder(const std::vector<Holder>& holders);
    bool stopAll();
    void giveBack(std::optional<std::string> reason);
    void restartServices(std::string& aside);
    void startPrograms();

    const std::string& source_;
    const std::string& destination_;
    const std::string fileName_;
    const bool forceClose_;
    const CancelEvent& cancel_;
    std::vector<Stoppable> targets_;
    DeployOutcome outcome_;
};

// Everything is asked before anything is stopped: one holder we may not stop
// makes the row wait with all of them still running.
bool Deploy::checkEveryHolder(const std::vector<Holder>& holders) {
    targets_ = std::vector<Stoppable>(holders.size());
    for (std::size_t i = 0; i < holders.size(); ++i)
        if (auto reason = prepare(holders[i], targets_[i])) {
            outcome_.kind = DeployOutcome::Kind::Waits;
            outcome_.waitReason = std::move(*reason);
            return false;
        }
    return true;
}

bool Deploy::stopAll() {
    for (Stoppable& target : targets_) {
        if (cancel_.isSet()) {
            giveBack(std::nullopt);
            return false;
        }
        std::optional<std::string> refused;
        if (target.isService()) {
            refused = stopService(target, &cancel_);
            if (!refused) outcome_.linesBefore.push_back(logLine(target.displayName + " stopped to replace " + fileName_ + "."));
        } else {
            refused = closeProgram(target, fileName_, forceClose_, &cancel_);
            if (!refused)
                outcome_.linesBefore.push_back(logLine(pidText(target.holder) + " closed to replace " + fileName_ + "."));
            else if (target.stopped)  // ended by force: said so, and on we go
                outcome_.linesBefore.push_back(std::move(*refused)), refused.reset();
        }
        if (refused) {
            giveBack(refused);
            return false;
        }
        outcome_.wasInUse = true;
    }
    if (!cancel_.isSet()) return true;
    giveBack(std::nullopt);
    return false;
}

void Deploy::giveBack(std::optional<std::string> reason) {
    startAgain(targets_, destination_, outcome_.linesAfter);
    if (cancel_.isSet()) {
        outcome_.kind = DeployOutcome::Kind::Cancelled;
    } else {
        outcome_.kind = DeployOutcome::Kind::Waits;
        outcome_.waitReason = reason.value_or(std::string());
    }
}

// Services first: they decide whether the new file stays.
void Deploy::restartServices(std::string& aside) {
    for (Stoppable& target : targets_) {
        if (!target.isService()) continue;
        if (target.service.start(kServiceWait, kRunsOnFor, nullptr)) {
            target.stopped = false;
            outcome_.linesAfter.push_back(logLine(target.displayName + " started again."));
            continue;
        }
        // It does not run with the new file: every service we started goes
        // down again, the old file comes back, and they all run with it.
        for (Stoppable& other : targets_)
            if (other.isService() && other.service.state() != SERVICE_STOPPED) {
                if (other.service.stop(kServiceWait, nullptr) == ControlledService::Result::Done) other.stopped = true;
            }
        target.stopped = true;
        if (target.service.process()) waitForEnd(target.service.process(), kServiceWait, nullptr);  // it no longer runs the new file
        if (aside.empty() || !putOldBack(aside, destination_)) {
            outcome_.linesAfter.push_back(logLine(target.displayName + " did not start with the new file; the old file could not be put back: " +
                                                  systemErrorText(GetLastError()) + "."));
            outcome_.kind = DeployOutcome::Kind::Failed;
            return;  // the old file stays aside, never deleted
        }
        aside.clear();
        for (Stoppable& other : targets_)
            if (other.isService() && other.stopped && other.service.start(kServiceWait, Milliseconds{0}, nullptr))
                other.stopped = false;
        outcome_.linesAfter.push_back(logLine(target.displayName + " did not start with the new file; the old file is back."));
        outcome_.kind = DeployOutcome::Kind::GaveUpOldBack;
        break;
    }
}

void Deploy::startPrograms() {
    for (Stoppable& target : targets_)
        if (!target.isService()) {
            const unsigned long pid = startProgram(target, destination_);
            if (pid) outcome_.linesAfter.push_back(logLine(target.holder.process + " started again (pid " + std::to_string(pid) + ")."));
            else outcome_.linesAfter.push_back(logLine(target.holder.process + " could not be started again: " + systemErrorText(GetLastError()) + "."));
        }
}

DeployOutcome Deploy::run(const std::vector<Holder>& holders) {
    if (sameContent(source_, destination_)) {
        outcome_.kind = DeployOutcome::Kind::AlreadyUpToDate;
        outcome_.linesBefore.push_back(logLine(fileName_ + " is already up to date."));
        return std::move(outcome_);
    }
    const HolderLookupPause pause;  // we are about to end and start processes
    if (!checkEveryHolder(holders) || !stopAll()) return std::move(outcome_);

    std::string aside;
    if (!replaceKeepingOld(source_, destination_, aside)) {
        const DWORD error = GetLastError();
        startAgain(targets_, destination_, outcome_.linesAfter);
        SetLastError(error);
        outcome_.kind = DeployOutcome::Kind::Failed;
        return std::move(outcome_);
    }
    outcome_.kind = DeployOutcome::Kind::Replaced;
    restartServices(aside);
    if (outcome_.kind == DeployOutcome::Kind::Failed) return std::move(outcome_);
    startPrograms();
    if (!aside.empty() && !DeleteFileA(aside.c_str())) outcome_.setAside = aside;
    return std::move(outcome_);
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
    return Deploy(source, destination, forceClose, cancel).run(holders);
}

}  // namespace moravel
