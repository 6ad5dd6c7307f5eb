#include "engine/HolderStops.h"

#include <windows.h>

#include <algorithm>
#include <chrono>

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

std::string pidText(const Holder& holder) { return holder.process + " (pid " + std::to_string(holder.pid) + ")"; }

// The same process: its pid, and its start time where both are known.
bool sameProcess(const Holder& a, const Holder& b) {
    return a.pid == b.pid && (a.started == 0 || b.started == 0 || a.started == b.started);
}

}  // namespace

std::string stampedLine(const std::string& text) { return timestampText(localNow()) + " " + text; }

// A holder we stop and start again: a service, or a program.
struct HolderStops::Stoppable {
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

HolderStops::HolderStops(std::string what, const DeployAttempt& attempt, const CancelEvent& cancel,
                         DeployOutcome& outcome)
    : what_(std::move(what)), attempt_(attempt), cancel_(cancel), outcome_(outcome) {}

// A deploy ended by an error after stopAll() leaves nothing of ours down.
HolderStops::~HolderStops() {
    try {
        for (Stoppable& target : targets_)
            if (target.asked && target.down(true)) startAgain(target, directoryPart(target.image));
    } catch (...) {
        // Nothing may leave a destructor: what could not start stays down, as after a failed start.
    }
}

void HolderStops::waits(std::string reason) {
    outcome_.kind = DeployOutcome::Kind::Waits;
    outcome_.waitReason = std::move(reason);
}

// ---- checking every holder first ----------------------------------------------------------

std::optional<std::string> HolderStops::check(const std::string& fileName, const std::vector<Holder>& holders) {
    for (const Holder& holder : holders) {
        if (std::any_of(targets_.begin(), targets_.end(),
                        [&](const Stoppable& target) { return sameProcess(target.holder, holder); }))
            continue;  // it holds another file of the deploy too: stopped once
        targets_.emplace_back();
        if (auto reason = check(fileName, holder, targets_.back())) return reason;
    }
    return std::nullopt;
}

namespace {

std::optional<std::string> checkService(const ServiceOf& service, const Holder& holder, ControlledService& target) {
    if (!target.open(service.name))
        return stampedLine(service.displayName + " could not be stopped: " + systemErrorText(GetLastError()) + ".");
    // Without the right to wait on its process, the stopped state alone tells.
    target.followProcess(holder.pid);
    if (holder.started && target.process() && startTime(target.process()) != holder.started) return std::string();
    return std::nullopt;
}

}  // namespace

// What a holder is and whether we may stop it; the reason to wait when not
// (empty: the holder found is gone, and the next attempt looks again).
std::optional<std::string> HolderStops::check(const std::string& fileName, const Holder& holder,
                                              Stoppable& target) const {
    target.holder = holder;
    if (holder.how != Holder::Hold::Runs)
        return stampedLine(fileName + " is open in " + pidText(holder) + "; Moravel closes only programs that run it.");
    const std::vector<ServiceOf> services = servicesIn(holder.pid);
    if (services.size() > 1)
        return stampedLine(services.front().displayName + " shares its process with other services; Moravel does not stop it.");
    if (services.size() == 1) {
        target.displayName = services.front().displayName;
        if (auto reason = checkService(services.front(), holder, target.service)) return reason;
    } else {
        const std::string notOurs = stampedLine(pidText(holder) + " holds the file; Moravel does not close it.");
        if (holder.pid == GetCurrentProcessId() || holder.pid <= 4) return notOurs;
        target.process.reset(OpenProcess(
            SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, holder.pid));
        if (!target.process)  // gone, or not ours
            return GetLastError() == ERROR_INVALID_PARAMETER ? std::string() : notOurs;
        if (holder.started && startTime(target.process.get()) != holder.started) return std::string();
        target.image = imagePath(target.process.get());
        if (target.image.empty() || isSystemProcess(target.process.get()) || !inOurSession(holder.pid) ||
            !sameUserAsUs(target.process.get()))
            return notOurs;
        target.startedAs = startedAs(target.process.get());
        switch (reach(holder.pid, false)) {
            case Reach::Askable: break;
            case Reach::Disabled:
                return stampedLine(pidText(holder) + " cannot be asked to close: its window is disabled.");
            case Reach::NoWindow:
                if (attempt_.forceClose) break;
                return stampedLine(pidText(holder) + " has no window to be asked to close.");
        }
    }
    for (const Holder& earlier : attempt_.refusedEarlier)
        if (sameProcess(earlier, holder))
            return stampedLine(target.isService() ? target.displayName + " did not stop." : pidText(holder) + " did not close.");
    return std::nullopt;
}

// ---- stopping -----------------------------------------------------------------------------

bool HolderStops::stopAll() {
    for (Stoppable& target : targets_) {
        if (cancel_.isSet()) return false;
        if (!(target.isService() ? stopService(target) : closeProgram(target))) return false;
        outcome_.wasInUse = true;
    }
    return !cancel_.isSet();
}

bool HolderStops::stopService(Stoppable& target) {
    target.ask(kServiceWait);
    switch (target.service.stop(kServiceWait, &cancel_)) {
        case ControlledService::Result::Done:
            outcome_.linesBefore.push_back(stampedLine(target.displayName + " stopped to replace " + what_ + "."));
            return true;
        case ControlledService::Result::Refused:
            target.asked = false;  // it was not asked after all
            waits(stampedLine(target.displayName + " could not be stopped: " + systemErrorText(GetLastError()) + "."));
            return false;
        case ControlledService::Result::Failed:
            waits(stampedLine(target.displayName + " did not stop."));
            outcome_.refused.push_back(target.holder);
            return false;
        case ControlledService::Result::Cancelled: return false;
    }
    return false;
}

// Asks a program to close as the user would, and waits for it to end; with
// forceClose, ends one that did not, or that has no window to ask.
bool HolderStops::closeProgram(Stoppable& target) {
    const Reach reached = reach(target.holder.pid, true);
    if (reached == Reach::Askable) {
        target.ask(kCloseWait);
        if (waitForEnd(target.process.get(), kCloseWait, &cancel_)) {
            outcome_.linesBefore.push_back(stampedLine(pidText(target.holder) + " closed to replace " + what_ + "."));
            return true;
        }
        if (cancel_.isSet()) return false;
        if (!attempt_.forceClose) {
            waits(stampedLine(pidText(target.holder) + " did not close."));
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
            waits(stampedLine(pidText(target.holder) + " could not be ended: " + systemErrorText(GetLastError()) + "."));
        return false;
    }
    outcome_.linesBefore.push_back(
        stampedLine(pidText(target.holder) + " did not close and was ended to replace " + what_ + "."));
    return true;
}

// ---- starting again -----------------------------------------------------------------------

// Services first: they decide whether the new files stay. One that does not
// run with them: every service we started goes down again, and it has ended.
std::optional<std::string> HolderStops::startServicesOnTheNewFiles() {
    for (Stoppable& target : targets_) {
        if (!target.isService()) continue;
        const ControlledService::Result started = target.service.start(kServiceWait, kRunsOnFor, &cancel_);
        if (started == ControlledService::Result::Done || started == ControlledService::Result::Cancelled) {
            target.asked = false;
            outcome_.linesAfter.push_back(stampedLine(target.displayName + " started again."));
            continue;
        }
        if (cancel_.isSet()) continue;
        for (Stoppable& other : targets_)
            if (other.isService() && !other.asked) {
                other.ask(kServiceWait);
                other.service.stop(kServiceWait, &cancel_);
            }
        target.ask(kServiceWait);
        if (target.service.process())  // it no longer runs the new file
            waitForEnd(target.service.process(), kServiceWait, &cancel_);
        return target.displayName;
    }
    return std::nullopt;
}

bool HolderStops::anyAsked() const {
    return std::any_of(targets_.begin(), targets_.end(), [](const Stoppable& target) { return target.asked; });
}

void HolderStops::startAgain(const std::string& fallbackFolder) {
    for (Stoppable& target : targets_)
        if (target.asked && target.down(cancel_.isSet())) startAgain(target, fallbackFolder);
}

void HolderStops::startAgain(Stoppable& target, const std::string& fallbackFolder) {
    target.asked = false;
    if (target.isService()) {
        const ControlledService::Result started = target.service.start(kServiceWait, Milliseconds{0}, &cancel_);
        if (started == ControlledService::Result::Done || started == ControlledService::Result::Cancelled)
            outcome_.linesAfter.push_back(stampedLine(target.displayName + " started again."));
        else
            outcome_.linesAfter.push_back(
                stampedLine(target.displayName + " could not be started again: " + systemErrorText(GetLastError()) + "."));
        return;
    }
    const Restart restart = startAsItRan(target.image, target.startedAs, fallbackFolder);
    if (restart.process)
        outcome_.linesAfter.push_back(
            stampedLine(target.holder.process + " started again (pid " + std::to_string(restart.pid) + ")."));
    else if (restart.notAsItRan)
        outcome_.linesAfter.push_back(stampedLine(target.holder.process +
                                                  " was not started again: it ran without the administrator rights Moravel has."));
    else
        outcome_.linesAfter.push_back(
            stampedLine(target.holder.process + " could not be started again: " + systemErrorText(GetLastError()) + "."));
}

}  // namespace moravel
