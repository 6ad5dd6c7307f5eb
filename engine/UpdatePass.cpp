#include "engine/UpdatePass.h"

#include <algorithm>

#include "core/Clock.h"
#include "core/Projects.h"
#include "core/Text.h"
#include "engine/FileVersion.h"
#include "engine/PendingList.h"
#include "engine/Scheduler.h"

namespace moravel {

void UpdatePass::setNotice(std::function<void()> notice) {
    notice_ = std::move(notice);
    lookups_.setNotice(notice_);
    freed_.setNotice(notice_);
    if (!notice_) job_.forgetNotice();
}

// ---- the walk -------------------------------------------------------------------------------

void UpdatePass::startPass(bool keepCountdown, bool byUser) {
    // Timer ticks and "Update Now" while a pass runs (paused for a job, or
    // in one of its pumps): the pass under way finishes on its own, and the
    // next one comes at the countdown it restarts.
    if (running_) return;
    running_ = true;
    keepCountdown_ = keepCountdown;
    byUser_ = byUser;
    stopping_ = false;
    buttonEnabled_ = false;
    walk([this] {
        host_.setUpdateNowEnabled(false);
        logFailures_.reset();
        setAside_.sweep();
        // Rows are followed by id: while the walk is paused or pumps, rows
        // may be removed or queued, which shifts positions. Rows queued
        // meanwhile wait for the next pass.
        ids_.clear();
        ids_.reserve(static_cast<std::size_t>(pending_.count()));
        for (int i = 0; i < pending_.count(); ++i) ids_.push_back(pending_.rowAt(i).id);
        next_ = 0;
        lookups_.passBegins();
        release_.passBegins();
    });
}

void UpdatePass::walk(const std::function<void()>& first) {
    // However the walk ends, a later pass must be able to start, and the
    // user must get "Update Now" back; only a pause keeps the pass running.
    struct Guard {
        UpdatePass& pass;
        bool paused = false, settled = false;
        void settle() {
            settled = true;
            pass.walking_ = false;
            if (paused) return;
            pass.running_ = false;
            if (!pass.buttonEnabled_) pass.host_.setUpdateNowEnabled(true);
        }
        ~Guard() {
            if (settled) return;
            try {
                settle();
                pass.host_.walkEnds();
            } catch (...) {
                // Already unwinding with the error that matters; the window shows that one.
            }
        }
    } guard{*this};
    walking_ = true;
    host_.walkBegins();
    if (first) first();
    while (!stopping_ && next_ < ids_.size() && !guard.paused)
        guard.paused = tryRow(ids_[next_++]);  // a job: resumed by engineNews()
    if (!guard.paused) finishPass();
    guard.settle();
    host_.walkEnds();  // may raise: the log refused the walk's lines
}

void UpdatePass::finishPass() {
    // A lookup that ended during the pass answers the rows still busy.
    const std::vector<HolderLookups::Answer> answers = lookups_.passEnds();
    freed_.keepOnly([this](std::uint64_t id) { return lookups_.inStreak(id); });
    holders_.show(answers);
    host_.setLastAttemptText(timestampText(localNow()));
    for (int i = pending_.count() - 1; i >= 0; --i)
        if (pending_.rowAt(i).isDone()) pending_.deleteAt(i);

    // The pass is over from here: a refresh of the display may give "Update Now" back.
    running_ = false;
    host_.setUpdateNowEnabled(true);
    buttonEnabled_ = true;
    if (pending_.count() == 0)
        scheduler_.StopUpdates();
    else if (!keepCountdown_ || !scheduler_.running())
        scheduler_.ScheduleNextUpdate();
    host_.refreshPendingState();
    freed_.passEnded();
}

// True when the row's work went on as a job: the walk pauses.
bool UpdatePass::tryRow(std::uint64_t id) {
    const PendingRow* row = pending_.find(id);
    // Removed by the user meanwhile, settled until the restart, or by its set's job.
    if (!row || row->atRestart || release_.handedOver(id)) return false;
    try {
        const TFileObject* record = projects_.lookup(row->name);
        if (!record || (needsUser(id) && record->Set.empty())) {
            // Its project was removed while it waited, or what its deploy left is
            // the user's to settle (a set's member holds its set back in setWork).
            failed(id, RowEnd::Failed);
            return false;
        }
        // The project as this attempt begins: an edit made meanwhile applies from the next one.
        const std::string putBack = row->putBack;
        const TFileObject project = puttingBack(*record, putBack);
        Work work = project.Set.empty() ? chooseWork(id, project) : setWork(putBack, project);
        work.job = puttingBack(std::move(work.job), putBack);
        if (!work.job) return false;
        if (work.onItsThread || isLongCopy(project)) {
            try {
                job_.start(id, project, work.job, notice_);
                return true;
            } catch (const std::bad_alloc&) {
                throw;
            } catch (...) {
                // No thread to be had: the work runs right here.
            }
        }
        finishRow(id, project, [&] {
            Job here;
            return work.job(project, here);
        });
    } catch (...) {
        // Anything that goes wrong with one row is a failed attempt of that row (a set's
        // job taken is no longer under way), and the others are still tried. When
        // counting it fails too, that error ends the pass.
        release_.drop(), failed(id, RowEnd::Failed);
        holders_.show(id, "");
    }
    return false;
}

UpdatePass::Work UpdatePass::chooseWork(std::uint64_t id, const TFileObject& project) {
    Work work;
    if (!fileExists(project.Source)) {
        log(id, "Source \"" + project.Source + "\" doesn't exist.");
        failed(id, RowEnd::Failed);
        holders_.show(id, "");
        return work;
    }
    const DestinationState state = probeDestination(project.Destination);
    if (state != DestinationState::Busy) {
        work.job = freeRowWork(state == DestinationState::Missing);
        return work;
    }
    // Holders that refused in this streak are asked again only when the user asks.
    const std::vector<Holder> refused = byUser_ ? std::vector<Holder>() : freed_.heldBackBy(id);
    work.job = busyRowWork(project, finder_, refused, busyHandler_ ? busyHandler_(project, refused) : RowJob(),
                           work.onItsThread);
    if (!work.job) {
        // Someone else holds it open (or it is read-only): try again next pass.
        lookups_.noteBusy(id, project.Destination);
        failed(id, RowEnd::Waits);
    }
    return work;
}

// A set is tried as one: the walk is at its first pending row, and its rows
// still to come in this pass (those that put back the same version, or
// none) go to one job. One left for the user to settle holds them all back.
UpdatePass::Work UpdatePass::setWork(const std::string& putBack, const TFileObject& project) {
    std::vector<ReleaseMember> members;
    bool held = false;
    for (std::size_t i = next_ - 1; i < ids_.size(); ++i) {
        const PendingRow* row = pending_.find(ids_[i]);
        const TFileObject* record = row && !row->atRestart ? projects_.lookup(row->name) : nullptr;
        if (!record || row->putBack != putBack || compareTextIgnoreCase(record->Set, project.Set) != 0) continue;
        held = held || needsUser(ids_[i]);
        members.push_back({ids_[i], puttingBack(*record, putBack), putBack,
                           byUser_ ? std::vector<Holder>() : freed_.heldBackBy(ids_[i])});
    }
    Work work{held ? RowJob() : release_.take(project.Set, members, finder_, releaseJournal), true};
    for (const ReleaseMember& member : held ? members : std::vector<ReleaseMember>())
        release_.handOver(member.row), failed(member.row, RowEnd::Failed);
    return work;
}

bool UpdatePass::jobNews() {
    if (!job_.running()) return false;
    const std::uint64_t id = job_.row();
    const bool rowThere = pending_.find(id) != nullptr && !release_.rowLeft(pending_);  // a set's: all of them
    if (!rowThere) job_.cancel();
    if (!job_.ended()) {
        const std::optional<int> percent = job_.newPercent();
        if (rowThere && percent) host_.showCopyProgress(id, *percent);
        return false;
    }
    const bool shown = job_.progressShown();
    TFileObject project("", "");
    const RowOutcome outcome = job_.take(project);
    walk([&] {
        logFailures_.reset();  // the user may have changed it while the job ran
        if (shown) host_.endCopyProgress(id);
        // Done is done: a row removed from the list, or a project removed
        // from the registry, during its copy is still logged as copied.
        finishRow(id, project, [&] { return outcome; });
    });
    return true;
}

void UpdatePass::finishRow(std::uint64_t id, const TFileObject& project,
                           const std::function<RowOutcome()>& outcome) {
    try {
        const RowOutcome done = outcome();
        if (!release_.underWay()) return applyOutcome(id, project, done);
    } catch (...) {
        failed(id, RowEnd::Failed);  // as in tryRow: when that fails too, the pass ends
        holders_.show(id, "");
        return;
    }
    // A set's job: each of its rows by its own outcome.
    release_.finish([this](std::uint64_t row, const TFileObject& member, const RowOutcome& done) {
        finishRow(row, member, [&] { return done; });
    });
}

void UpdatePass::applyOutcome(std::uint64_t id, const TFileObject& project, const RowOutcome& outcome) {
    for (const std::string& path : outcome.setAside) setAside_.remember(path);
    for (const std::string& line : outcome.linesBefore) log(id, line);
    const auto linesAfter = [&] { for (const std::string& line : outcome.linesAfter) log(id, line); };
    if (outcome.result != RowOutcome::Result::Busy) holders_.show(id, "");
    switch (outcome.result) {
        case RowOutcome::Result::Succeeded:
            CopySucceeded(id, project, outcome);
            break;
        case RowOutcome::Result::Failed:
            linesAfter();
            failed(id, RowEnd::Failed);
            break;
        case RowOutcome::Result::Busy:
            // Told once a streak: the same reason at a later time is no news.
            if (lookups_.newReason(id, outcome.waitReason)) log(id, outcome.waitReason, true);
            linesAfter();
            if (!outcome.refused.empty()) freed_.holdBack(id, outcome.refused);
            lookups_.noteBusy(id, project.Destination);
            failed(id, RowEnd::Waits);
            break;
        case RowOutcome::Result::DoneWithoutCopy:
            linesAfter();
            pending_.markDone(id);
            host_.rowTried(id, RowEnd::Done);
            break;
        case RowOutcome::Result::NeedsUser:
            linesAfter();
            needUser_.push_back(id);
            failed(id, RowEnd::Failed);
            break;
        case RowOutcome::Result::LeavesList:
            linesAfter();
            host_.rowTried(id, RowEnd::LeftList);
            pending_.remove(id);
            break;
        case RowOutcome::Result::AtRestart:
            host_.rowTried(id, atRestart.scheduled(id, project, outcome.atRestart, pending_));
            break;
    }
}

void UpdatePass::CopySucceeded(std::uint64_t id, const TFileObject& project, const RowOutcome& outcome) {
    const std::string version = outcome.version.empty() ? GetFileVersionText(project.Source) : outcome.version;
    const std::string name(fileNamePart(project.Destination));
    log(id, timestampText(localNow()) + " " +
                (outcome.putBackTo.empty() ? project.Source + " [v" + version + "] -> " + project.Destination
                                           : name + " put back to " + outcome.putBackTo + "."));
    if (outcome.wasInUse)
        log(id, timestampText(localNow()) + " " + name + " was in use; the running copy keeps the old file until it restarts.");
    for (const std::string& line : outcome.linesAfter) log(id, line);

    pumpMessages();

    // The user may have removed rows, this one included, during the pump.
    pending_.markDone(id);
    host_.rowTried(id, RowEnd::Done);
}

void UpdatePass::CopyFailed(std::uint64_t id) {
    const PendingRow* row = pending_.find(id);
    if (!row) return;
    const std::string name = row->name;
    pending_.countFailure(id);
    if (logFailures()) log(id, timestampText(localNow()) + " Failed " + name + " (busy).");
}

bool UpdatePass::logFailures() {
    if (!running_) return host_.logFailures();
    if (!logFailures_) logFailures_ = host_.logFailures();
    return *logFailures_;
}

// ---- news from the engine's threads ---------------------------------------------------------

bool UpdatePass::engineNews() {
    // During a pass the rows' streaks are still being counted: its end takes the answers.
    if (!running_) holders_.show(lookups_.takeAnswers());
    const bool resumed = jobNews();
    const bool due = freed_.passDue(running_, [this](std::uint64_t id) {
        lookups_.askAgain(id);  // should it still be busy, the next attempt asks anew who holds it
        return pending_.find(id) != nullptr;
    });
    if (!due) return resumed;
    RunUpdatePass(true);  // the row is tried the moment its holders are gone; the ticks keep their time
    return true;
}

// ---- the job under way, and the start ------------------------------------------------------

void UpdatePass::followRows() {
    if (job_.running() && (!pending_.find(job_.row()) || release_.rowLeft(pending_))) job_.cancel();
    atRestart.followRows(pending_);
}

void UpdatePass::removeEarlierSetAsideFiles() {
    std::vector<std::string> destinations;
    for (int i = 0; i < projects_.count(); ++i) destinations.push_back(projects_.recordAt(i).Destination);
    sweepAtStart(destinations, setAside_);
}

}  // namespace moravel
