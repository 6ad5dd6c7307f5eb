#include "engine/HolderControl.h"

#include <windows.h>

#include <algorithm>
#include <optional>

#include "core/Clock.h"
#include "core/Handle.h"
#include "core/Text.h"
#include "engine/ProcessFacts.h"
#include "engine/ServiceControl.h"

namespace moravel {

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

constexpr Milliseconds kServiceWait{30000};  // to stop, and to start
constexpr Milliseconds kRunsOnFor{3000};     // a service that stops at once with a bad file has done so by then
constexpr Milliseconds kCloseWait{10000};    // a program asked to close
constexpr Milliseconds kEndWait{5000};       // a program ended by force
constexpr Milliseconds kPutBackWait{2000};   // the old file's way back, refused while its user lets go

std::string logLine(const std::string& text) { return timestampText(localNow()) + " " + text; }

std::string pidText(const Holder& holder) { return holder.process + " (pid " + std::to_string(holder.pid) + ")"; }

// The same process: its pid, and its start time where both are known.
bool sameProcess(const Holder& a, const Holder& b) {
    return a.pid == b.pid && (a.started == 0 || b.started == 0 || a.started == b.started);
}

// ---- the old file's moves aside and back --------------------------------------------------

// Renames the destination aside under a set-aside name of ours, never over a
// file already there: the set-aside path, or empty when refused.
std::string moveOldAside(const std::string& destination) { return renameAside(destination); }

// Puts the old file back in the destination's place, over whatever is there;
// tried for a moment while the file's last user lets go.
bool putOldBack(const std::string& aside, const std::string& destination) {
    return putBack(aside, destination, PutBack::OverNewFile, kPutBackWait);
}

// ---- one holder ---------------------------------------------------------------------------

// A holder we stop and start again: a service, or a program.
struct Stoppable {
    Holder holder;
    // A service:
    ControlledService service;
    std::string displayName;
    // A program:
    UniqueHandle process;
    std::string image;
    StartedAs startedAs;
    // Ours from the moment it is asked to stop, until it runs again; its
    // bound is how long it may take to stop.
    bool asked = false;
    Clock::time_point bound;

    bool isService() const { return static_cast<bool>(service); }
    void ask(Milliseconds limit) {
        asked = true;
        bound = Clock::now() + limit;
    }
    // Once asked: whether it has stopped by now, or, waiting, by its bound.
    bool down(bool waitForBound) {
        const Milliseconds left =
            waitForBound ? std::max(std::chrono::duration_cast<Milliseconds>(bound - Clock::now()), Milliseconds{0})
                         : Milliseconds{0};
        if (!isService()) return waitForEnd(process.get(), left, nullptr);
        return waitUntil([this] { return service.state() == SERVICE_STOPPED; }, left, nullptr) &&
               (!service.process() || waitForEnd(service.process(), left, nullptr));
    }
};

class Deploy {
public:
    Deploy(const std::string& source, const std::string& destination, const DeployAttempt& attempt,
           const CancelEvent& cancel, CopyProgress* progress)
        : source_(source), destination_(destination), fileName_(fileNamePart(destination)), attempt_(attempt),
          cancel_(cancel), progress_(progress) {}

    DeployOutcome run(const std::vector<Holder>& holders);

private:
    std::optional<std::string> check(const Holder& holder, Stoppable& target) const;
    std::optional<std::string> checkService(const ServiceOf& service, const Holder& holder, Stoppable& target) const;
    std::optional<std::string> checkProgram(const Holder& holder, Stoppable& target) const;
    bool copyToScratch();
    bool stopAll();
    bool stopService(Stoppable& target);
    bool closeProgram(Stoppable& target);
    bool swap();
    void startServicesWithTheNewFile();
    void giveUpTheNewFile(Stoppable& failed);
    void startAgain();
    void startAgain(Stoppable& target);
    void waits(std::string reason) {
        outcome_.kind = DeployOutcome::Kind::Waits;
        outcome_.waitReason = std::move(reason);
    }
    void failed(const std::string& line) {
        outcome_.kind = DeployOutcome::Kind::Failed;
        outcome_.linesBefore.push_back(logLine(line));
    }

    const std::string& source_;
    const std::string& destination_;
    const std::string fileName_;
    const DeployAttempt& attempt_;
    const CancelEvent& cancel_;
    CopyProgress* const progress_;
    std::vector<Stoppable> targets_;
    std::optional<ScratchFile> scratch_;
    std::string aside_;  // the old file, while it may have to go back
    DeployOutcome outcome_;
};

// ---- checking every holder first ----------------------------------------------------------

// What a holder is and whether we may stop it; the reason to wait when not
// (empty: the holder found is gone, and the next attempt looks again).
std::optional<std::string> Deploy::check(const Holder& holder, Stoppable& target) const {
    target.holder = holder;
    if (holder.how != Holder::Hold::Runs)
        return logLine(fileName_ + " is open in " + pidText(holder) + "; Moravel closes only programs that run it.");
    const std::vector<ServiceOf> services = servicesIn(holder.pid);
    if (services.size() > 1)
        return logLine(services.front().displayName + " shares its process with other services; Moravel does not stop it.");
    if (auto reason = services.empty() ? checkProgram(holder, target) : checkService(services.front(), holder, target))
        return reason;
    for (const Holder& earlier : attempt_.refusedEarlier)
        if (sameProcess(earlier, holder))
            return logLine(target.isService() ? target.displayName + " did not stop." : pidText(holder) + " did not close.");
    return std::nullopt;
}

std::optional<std::string> Deploy::checkService(const ServiceOf& service, const Holder& holder,
                                                 Stoppable& target) const {
    target.displayName = service.displayName;
    if (!target.service.open(service.name))
        return logLine(target.displayName + " could not be stopped: " + systemErrorText(GetLastError()) + ".");
    // Without the right to wait on its process, the stopped state alone tells.
    target.service.followProcess(holder.pid);
    if (holder.started && target.service.process() && startTime(target.service.process()) != holder.started)
        return std::string();
    return std::nullopt;
}

std::optional<std::string> Deploy::checkProgram(const Holder& holder, Stoppable& target) const {
    const std::string notOurs = logLine(pidText(holder) + " holds the file; Moravel does not close it.");
    if (holder.pid == GetCurrentProcessId() || holder.pid <= 4) return notOurs;
    target.process.reset(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ,
                                     FALSE, holder.pid));
    if (!target.process) return GetLastError() == ERROR_INVALID_PARAMETER ? std::string() : notOurs;  // gone, or not ours
    if (holder.started && startTime(target.process.get()) != holder.started) return std::string();
    target.image = imagePath(target.process.get());
    if (target.image.empty() || isSystemProcess(target.process.get()) ||
        !inOurSession(holder.pid) || !sameUserAsUs(target.process.get()))
        return notOurs;
    target.startedAs = startedAs(target.process.get());
    switch (reach(holder.pid, false)) {
        case Reach::Askable: return std::nullopt;
        case Reach::Disabled: return logLine(pidText(holder) + " cannot be asked to close: its window is disabled.");
        case Reach::NoWindow:
            if (attempt_.forceClose) return std::nullopt;
            return logLine(pidText(holder) + " has no window to be asked to close.");
    }
    return std::nullopt;
}

// ---- the copy, before anything stops ------------------------------------------------------

bool Deploy::copyToScratch() {
    scratch_.emplace(destination_, InPlace::Never);
    if (scratch_->copyFrom(source_, progress_)) return true;
    if (cancel_.isSet()) {
        outcome_.kind = DeployOutcome::Kind::Cancelled;
        return false;
    }
    failed(fileName_ + " could not be replaced: " + systemErrorText(GetLastError()) + ".");
    return false;
}

// ---- stopping -----------------------------------------------------------------------------

bool Deploy::stopAll() {
    for (Stoppable& target : targets_) {
        if (cancel_.isSet()) return false;
        if (!(target.isService() ? stopService(target) : closeProgram(target))) return false;
        outcome_.wasInUse = true;
    }
    return !cancel_.isSet();
}

bool Deploy::stopService(Stoppable& target) {
    target.ask(kServiceWait);
    switch (target.service.stop(kServiceWait, &cancel_)) {
        case ControlledService::Result::Done:
            outcome_.linesBefore.push_back(logLine(target.displayName + " stopped to replace " + fileName_ + "."));
            return true;
        case ControlledService::Result::Refused:
            target.asked = false;  // it was not asked after all
            waits(logLine(target.displayName + " could not be stopped: " + systemErrorText(GetLastError()) + "."));
            return false;
        case ControlledService::Result::Failed:
            waits(logLine(target.displayName + " did not stop."));
            outcome_.refused.push_back(target.holder);
            return false;
        case ControlledService::Result::Cancelled: return false;
    }
    return false;
}

// Asks a program to close as the user would, and waits for it to end; with
// forceClose, ends one that did not, or that has no window to ask.
bool Deploy::closeProgram(Stoppable& target) {
    const Reach reached = reach(target.holder.pid, true);
    if (reached == Reach::Askable) {
        target.ask(kCloseWait);
        if (waitForEnd(target.process.get(), kCloseWait, &cancel_)) {
            outcome_.linesBefore.push_back(logLine(pidText(target.holder) + " closed to replace " + fileName_ + "."));
            return true;
        }
        if (cancel_.isSet()) return false;
        if (!attempt_.forceClose) {
            waits(logLine(pidText(target.holder) + " did not close."));
            outcome_.refused.push_back(target.holder);
            return false;
        }
    } else if (reached == Reach::Disabled || !attempt_.forceClose) {
        waits(std::string());  // its windows changed since they were checked: the next attempt looks again
        return false;
    }
    target.ask(kEndWait);
    if (!TerminateProcess(target.process.get(), 1) || !waitForEnd(target.process.get(), kEndWait, &cancel_)) {
        if (!cancel_.isSet())
            waits(logLine(pidText(target.holder) + " could not be ended: " + systemErrorText(GetLastError()) + "."));
        return false;
    }
    outcome_.linesBefore.push_back(
        logLine(pidText(target.holder) + " did not close and was ended to replace " + fileName_ + "."));
    return true;
}

// ---- the swap -----------------------------------------------------------------------------

// The old file aside, the new one from the scratch file into its place; when
// that last move fails, the old file goes back.
bool Deploy::swap() {
    if (fileExists(destination_)) {
        aside_ = moveOldAside(destination_);
        if (aside_.empty()) {
            failed(fileName_ + " could not be replaced: " + systemErrorText(GetLastError()) + ".");
            return false;
        }
    }
    if (scratch_->commit() == ReplaceOutcome::Replaced) return true;
    failed(fileName_ + " could not be replaced: " + systemErrorText(GetLastError()) + ".");
    if (!aside_.empty() && !putOldBack(aside_, destination_)) {
        outcome_.linesBefore.push_back(
            logLine(fileName_ + " could not be put back: the old file is " + std::string(fileNamePart(aside_)) + "."));
        outcome_.oldFileAside = aside_;
    }
    aside_.clear();
    return false;
}

// ---- starting again -----------------------------------------------------------------------

// Services first: they decide whether the new file stays.
void Deploy::startServicesWithTheNewFile() {
    for (Stoppable& target : targets_) {
        if (!target.isService()) continue;
        const ControlledService::Result started = target.service.start(kServiceWait, kRunsOnFor, &cancel_);
        if (started == ControlledService::Result::Done || started == ControlledService::Result::Cancelled) {
            target.asked = false;
            outcome_.linesAfter.push_back(logLine(target.displayName + " started again."));
        } else if (!cancel_.isSet()) {
            giveUpTheNewFile(target);
            return;
        }
    }
}

// A service does not run with the new file: every service we started goes
// down again, the old file comes back, and they all run with it.
void Deploy::giveUpTheNewFile(Stoppable& failed) {
    for (Stoppable& other : targets_)
        if (other.isService() && !other.asked) {
            other.ask(kServiceWait);
            other.service.stop(kServiceWait, &cancel_);
        }
    failed.ask(kServiceWait);
    if (failed.service.process())  // it no longer runs the new file
        waitForEnd(failed.service.process(), kServiceWait, &cancel_);
    if (aside_.empty() || !putOldBack(aside_, destination_)) {
        outcome_.linesAfter.push_back(logLine(failed.displayName + " did not start with the new file; the old file could not be put back: " +
                                              systemErrorText(GetLastError()) + "; it is " +
                                              std::string(fileNamePart(aside_)) + "."));
        outcome_.kind = DeployOutcome::Kind::Failed;
        outcome_.oldFileAside = aside_;  // never deleted
    } else {
        outcome_.linesAfter.push_back(logLine(failed.displayName + " did not start with the new file; the old file is back."));
        outcome_.kind = DeployOutcome::Kind::GaveUpOldBack;
    }
    aside_.clear();
}

// Every holder asked to stop that is down (after a cancel: by its bound) runs
// again, on whatever the destination holds now.
void Deploy::startAgain() {
    for (Stoppable& target : targets_)
        if (target.asked && target.down(cancel_.isSet())) startAgain(target);
}

void Deploy::startAgain(Stoppable& target) {
    target.asked = false;
    if (target.isService()) {
        const ControlledService::Result started = target.service.start(kServiceWait, Milliseconds{0}, &cancel_);
        if (started == ControlledService::Result::Done || started == ControlledService::Result::Cancelled)
            outcome_.linesAfter.push_back(logLine(target.displayName + " started again."));
        else
            outcome_.linesAfter.push_back(
                logLine(target.displayName + " could not be started again: " + systemErrorText(GetLastError()) + "."));
        return;
    }
    const Restart restart = startAsItRan(target.image, target.startedAs, directoryPart(destination_));
    if (restart.process)
        outcome_.linesAfter.push_back(
            logLine(target.holder.process + " started again (pid " + std::to_string(restart.pid) + ")."));
    else if (restart.notAsItRan)
        outcome_.linesAfter.push_back(logLine(target.holder.process +
                                              " was not started again: it ran without the administrator rights Moravel has."));
    else
        outcome_.linesAfter.push_back(
            logLine(target.holder.process + " could not be started again: " + systemErrorText(GetLastError()) + "."));
}

// ---- the deploy ---------------------------------------------------------------------------

DeployOutcome Deploy::run(const std::vector<Holder>& holders) {
    if (sameContent(source_, destination_)) {
        outcome_.kind = DeployOutcome::Kind::AlreadyUpToDate;
        outcome_.linesBefore.push_back(logLine(fileName_ + " is already up to date."));
        return std::move(outcome_);
    }
    // Renaming a read-only file aside would get round its protection: it
    // waits like any busy file, and the pass says why.
    if (isReadOnly(destination_)) {
        waits(std::string());
        return std::move(outcome_);
    }
    // Everything is checked before anything is stopped: one holder we may not
    // stop makes the row wait with all of them still running.
    targets_ = std::vector<Stoppable>(holders.size());
    for (std::size_t i = 0; i < holders.size(); ++i)
        if (auto reason = check(holders[i], targets_[i])) {
            waits(std::move(*reason));
            return std::move(outcome_);
        }
    if (!copyToScratch()) return std::move(outcome_);

    const HolderLookupPause pause;  // we are about to end and start processes
    if (stopAll() && swap()) {
        outcome_.kind = DeployOutcome::Kind::Replaced;
        startServicesWithTheNewFile();
    } else if (cancel_.isSet()) {
        outcome_.kind = DeployOutcome::Kind::Cancelled;
        if (std::any_of(targets_.begin(), targets_.end(), [](const Stoppable& target) { return target.asked; }))
            outcome_.linesBefore.push_back(logLine(fileName_ + " was not replaced: the update was cancelled."));
    }
    startAgain();
    if (!aside_.empty() && !DeleteFileA(aside_.c_str())) outcome_.setAside = aside_;
    return std::move(outcome_);
}

}  // namespace

DeployOutcome deployOverHolders(const std::string& source, const std::string& destination,
                                const std::vector<Holder>& holders, const DeployAttempt& attempt,
                                const CancelEvent& cancel, CopyProgress* progress) {
    return Deploy(source, destination, attempt, cancel, progress).run(holders);
}

}  // namespace moravel
