#include "engine/UpdatePass.h"

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "core/AppError.h"
#include "core/Clock.h"
#include "core/Files.h"
#include "core/Handle.h"
#include "core/Projects.h"
#include "engine/FileVersion.h"
#include "engine/HolderControl.h"
#include "engine/Holders.h"
#include "engine/PendingList.h"
#include "engine/Scheduler.h"

namespace moravel {

DestinationState probeDestination(const std::string& path) {
    // The open alone tells the usual cases apart, a busy file included, with
    // no other look at the file: a pass over many busy rows costs little more
    // than their opens.
    const UniqueFile probe(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (probe) {
        // On Windows a read-only file refuses every write, by administrators
        // too; Wine run as root lets the open through, so we ask.
        BY_HANDLE_FILE_INFORMATION info;
        const bool readOnly = GetFileInformationByHandle(probe.get(), &info) &&
                              (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY);
        return readOnly ? DestinationState::Busy : DestinationState::Free;
    }
    switch (GetLastError()) {
        case ERROR_SHARING_VIOLATION: return DestinationState::Busy;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return DestinationState::Missing;
        default:
            // A folder, a file we may not write, a name the system refuses:
            // only a file counts as there.
            return fileExists(path) ? DestinationState::Busy : DestinationState::Missing;
    }
}

namespace {

// The destination is missing: the user must learn where its old bytes are.
std::string notPutBackLine(const std::string& destination, const std::string& oldFile) {
    return timestampText(localNow()) + " " + std::string(fileNamePart(destination)) +
           " could not be put back: the old file is " +
           (oldFile.empty() ? std::string("lost") : std::string(fileNamePart(oldFile))) + ".";
}

}  // namespace

RowOutcome copyRow(const TFileObject& project, bool inUse, Job& job) {
    // Each chunk of the copy tells the job how far it is and asks whether to go on.
    struct Progress final : CopyProgress {
        explicit Progress(Job& j) : job(j) {}
        bool copying(std::uint64_t copied, std::uint64_t total) override {
            job.report(copied, total);
            return !job.cancelled();
        }
        Job& job;
    } progress(job);

    RowOutcome outcome;
    if (!inUse) {
        // A reader that came since the probe shares writing at most: the
        // update waits for it rather than write past it.
        ScratchFile scratch(project.Destination, InPlace::Never);
        if (!scratch.copyFrom(project.Source, &progress)) return outcome;
        const ReplaceOutcome replaced = scratch.commit();
        if (replaced == ReplaceOutcome::Stranded) {
            outcome.linesBefore.push_back(notPutBackLine(project.Destination, scratch.kept()));
            return outcome;
        }
        if (replaced == ReplaceOutcome::Busy && !job.cancelled()) {
            if (!project.ReplaceInUse) {
                outcome.result = RowOutcome::Result::Busy;
                return outcome;
            }
            inUse = true;  // the project lets a busy file be renamed aside
        } else if (replaced != ReplaceOutcome::Replaced) {
            return outcome;
        }
    }
    if (inUse) {
        InUseReplacement replaced = replaceEvenIfInUse(project.Source, project.Destination, &progress);
        if (!replaced.setAside.empty()) outcome.setAside.push_back(std::move(replaced.setAside));
        if (!replaced.stranded.empty()) {
            // Never remembered for deletion: it is the only copy of the old file.
            outcome.linesBefore.push_back(notPutBackLine(project.Destination, replaced.stranded));
            return outcome;
        }
        if (!replaced.replaced) {
            if (!job.cancelled()) outcome.result = RowOutcome::Result::Busy;
            return outcome;
        }
        outcome.wasInUse = true;
    }
    outcome.result = RowOutcome::Result::Succeeded;
    outcome.version = GetFileVersionText(project.Source);
    // Cancelled while it is made (the row removed, the program ending), the
    // backup fails and says so; the update stays.
    if (project.VersionBackup) outcome.linesAfter.push_back(makeVersionBackup(project, outcome.version, &progress));
    return outcome;
}

RowOutcome deployRow(const TFileObject& project, HolderFinder& finder, Job& job) {
    RowOutcome outcome;
    outcome.result = RowOutcome::Result::Busy;
    std::vector<std::vector<Holder>> found = finder.find({project.Destination});
    if (found.empty() || found.front().empty()) return outcome;  // nobody known to stop: it waits
    DeployOutcome deployed = deployOverHolders(project.Source, project.Destination, found.front(),
                                               project.ForceClose, job.cancelEvent());
    outcome.linesBefore = std::move(deployed.linesBefore);
    outcome.linesAfter = std::move(deployed.linesAfter);
    if (!deployed.setAside.empty()) outcome.setAside.push_back(std::move(deployed.setAside));
    switch (deployed.kind) {
        case DeployOutcome::Kind::Replaced:
            // Not "in use" as a rename aside is: what held it runs the new file now.
            outcome.result = RowOutcome::Result::Succeeded;
            outcome.version = GetFileVersionText(project.Source);
            if (project.VersionBackup)
                outcome.linesAfter.push_back(makeVersionBackup(project, outcome.version, nullptr));
            break;
        case DeployOutcome::Kind::AlreadyUpToDate: outcome.result = RowOutcome::Result::DoneWithoutCopy; break;
        case DeployOutcome::Kind::Waits: outcome.waitReason = std::move(deployed.waitReason); break;
        // Tried again every delay, it would restart the service over and over.
        case DeployOutcome::Kind::GaveUpOldBack: outcome.result = RowOutcome::Result::LeavesList; break;
        case DeployOutcome::Kind::Failed:
        case DeployOutcome::Kind::Cancelled: outcome.result = RowOutcome::Result::Failed; break;
    }
    return outcome;
}

namespace {

// A log line without the timestamp that leads it.
std::string withoutTime(const std::string& line) {
    const std::size_t date = line.find(' ');
    const std::size_t time = date == std::string::npos ? date : line.find(' ', date + 1);
    return time == std::string::npos ? line : line.substr(time + 1);
}

std::uint64_t sizeOfFile(const std::string& path) noexcept {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

}  // namespace

void UpdatePass::RunUpdatePass(bool keepCountdown) {
    // Timer ticks and "Update Now" while a pass runs (paused for a job, or
    // in one of its pumps): the pass under way finishes on its own, and the
    // next one comes at the countdown it restarts.
    if (running_) return;
    running_ = true;
    keepCountdown_ = keepCountdown;
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
        ++passes_;
        nextLookups_.clear();
        dueLookups_.clear();
    });
}

void UpdatePass::walk(const std::function<void()>& first) {
    // However the walk ends, a later pass must be able to start, and the
    // user must get "Update Now" back; only a pause keeps the pass running.
    struct Guard {
        UpdatePass& pass;
        bool paused = false;
        ~Guard() {
            pass.walking_ = false;
            if (paused) return;
            pass.running_ = false;
            if (pass.buttonEnabled_) return;
            try {
                pass.host_.setUpdateNowEnabled(true);
            } catch (...) {
                // Already unwinding with the error that matters; the window shows that one.
            }
        }
    } guard{*this};
    walking_ = true;
    if (first) first();
    while (!stopping_ && next_ < ids_.size()) {
        if (tryRow(ids_[next_++])) {
            guard.paused = true;  // resumed by jobNews()
            return;
        }
    }
    finishPass();
}

void UpdatePass::finishPass() {
    lookUpHolders();
    host_.setLastAttemptText(timestampText(localNow()));
    for (int i = pending_.count() - 1; i >= 0; --i)
        if (pending_.rowAt(i).isDone()) pending_.deleteAt(i);

    host_.setUpdateNowEnabled(true);
    buttonEnabled_ = true;
    if (pending_.count() == 0)
        scheduler_.StopUpdates();
    else if (!keepCountdown_ || !scheduler_.running())
        scheduler_.ScheduleNextUpdate();
    host_.refreshPendingState();
    if (std::exchange(passAgain_, false) && freedNotice_) {
        passDue_ = true;  // the notice alone names no row: holdersEnded() must still run a pass
        freedNotice_();
    }
}

// True when the row's work went on as a job: the walk pauses.
bool UpdatePass::tryRow(std::uint64_t id) {
    const int position = pending_.positionOf(id);
    if (position < 0) return false;  // removed by the user meanwhile

    bool busy = false;
    try {
        const TFileObject* record = projects_.lookup(pending_.rowAt(position).name);
        if (!record) {
            // Its project was removed while it waited: it can never succeed,
            // but it stays for the user to see and remove.
            failed(id);
            return false;
        }
        // The project as this attempt begins: an edit made meanwhile applies from the next one.
        const TFileObject project = *record;
        RowJob work;
        bool onItsThread = false;
        if (!fileExists(project.Source)) {
            host_.appendLog("Source \"" + project.Source + "\" doesn't exist.");
            failed(id);
        } else if (const DestinationState state = probeDestination(project.Destination);
                   state == DestinationState::Busy) {
            if (busyHandler_) work = busyHandler_(project);
            if (!work && project.RestartHolder && finder_)
                work = [finder = finder_](const TFileObject& p, Job& job) { return deployRow(p, *finder, job); };
            onItsThread = static_cast<bool>(work);
            if (!work && project.ReplaceInUse)  // the project lets a busy file be renamed aside
                work = [](const TFileObject& p, Job& job) { return copyRow(p, true, job); };
            if (!work) {
                // Someone else holds it open (or it is read-only): try again next pass.
                busy = true;
                destinationBusy(id, project.Destination);
                failed(id);
            }
        } else {
            const bool missing = state == DestinationState::Missing;
            work = [missing](const TFileObject& p, Job& job) {
                RowOutcome outcome = copyRow(p, false, job);
                if (missing && outcome.result == RowOutcome::Result::Failed && !job.cancelled())
                    outcome.linesBefore.push_back("DBG: " + p.Source + " to " + p.Destination + " cannot copy");
                return outcome;
            };
        }
        if (work && (onItsThread || sizeOfFile(project.Source) >= kJobFrom)) {
            try {
                startJob(id, project, work);  // a copy: when no thread can be had, it runs right here
                return true;
            } catch (const std::bad_alloc&) {
                throw;
            } catch (...) {
                // No thread to be had.
            }
        }
        if (work) {
            finishRow(id, project, [&] {
                Job here;
                return work(project, here);
            });
            return false;
        }
    } catch (...) {
        // Anything that goes wrong with one row is a failed attempt of that
        // row, and the others are still tried. When counting it fails too,
        // that error ends the pass.
        failed(id);
    }
    // A holder is shown only while the attempts find the destination busy.
    if (!busy && finder_) showHolders(id, "");
    return false;
}

void UpdatePass::startJob(std::uint64_t id, const TFileObject& project, RowJob work) {
    auto outcome = std::make_shared<RowOutcome>();
    job_ = Job::start(
        [outcome, project, work = std::move(work)](Job& job) {
            try {
                *outcome = work(project, job);
            } catch (...) {
                *outcome = RowOutcome{};  // a failed attempt
            }
        },
        jobNotice_);
    jobOutcome_ = std::move(outcome);
    jobRow_ = id;
    jobProject_ = project;
    shownPercent_ = -1;
}

void UpdatePass::finishRow(std::uint64_t id, const TFileObject& project,
                           const std::function<RowOutcome()>& outcome) {
    bool busy = false;
    try {
        const RowOutcome done = outcome();
        busy = done.result == RowOutcome::Result::Busy;
        applyOutcome(id, project, done);
    } catch (...) {
        failed(id);  // as in tryRow: when that fails too, the pass ends
    }
    if (!busy && finder_) showHolders(id, "");
}

void UpdatePass::jobNews() {
    if (!job_) return;
    job_->newsTaken();
    const int position = pending_.positionOf(jobRow_);
    if (position < 0) job_->cancel();
    if (!job_->ended()) {
        const int percent = job_->percent();
        if (position >= 0 && percent >= 0 && percent != shownPercent_) {
            shownPercent_ = percent;
            host_.showCopyProgress(position, percent);
        }
        return;
    }
    const std::shared_ptr<Job> job = std::move(job_);
    const std::shared_ptr<RowOutcome> outcome = std::move(jobOutcome_);
    const TFileObject project = *jobProject_;
    jobProject_.reset();
    const std::uint64_t id = jobRow_;
    walk([&] {
        logFailures_.reset();  // the user may have changed it while the job ran
        if (shownPercent_ >= 0) host_.endCopyProgress();
        shownPercent_ = -1;
        // Done is done: a row removed from the list, or a project removed
        // from the registry, during its copy is still logged as copied.
        finishRow(id, project, [&] { return *outcome; });
    });
}

void UpdatePass::followRows() {
    if (job_ && pending_.positionOf(jobRow_) < 0) job_->cancel();
}

void UpdatePass::stop() {
    stopping_ = true;
    if (job_) job_->cancel();
}

void UpdatePass::waitForJob() const {
    if (job_) job_->waitForEnd(INFINITE);
}

void UpdatePass::setJobNotice(std::function<void()> notice) {
    jobNotice_ = std::move(notice);
    if (!job_) return;
    if (!jobNotice_) job_->forgetNotice();
}

void UpdatePass::applyOutcome(std::uint64_t id, const TFileObject& project, const RowOutcome& outcome) {
    for (const std::string& path : outcome.setAside) setAside_.remember(path);
    for (const std::string& line : outcome.linesBefore) host_.appendLog(line);
    const auto linesAfter = [&] {
        for (const std::string& line : outcome.linesAfter) host_.appendLog(line);
    };
    switch (outcome.result) {
        case RowOutcome::Result::Succeeded:
            CopySucceeded(id, project, outcome);
            break;
        case RowOutcome::Result::Failed:
            failed(id);
            break;
        case RowOutcome::Result::Busy:
            // Told once a streak: the same reason at a later time is no news.
            if (const std::string reason = withoutTime(outcome.waitReason);
                !reason.empty() && waitReasons_[id] != reason) {
                waitReasons_[id] = reason;
                host_.appendLog(outcome.waitReason);
            }
            destinationBusy(id, project.Destination);
            failed(id);
            break;
        case RowOutcome::Result::DoneWithoutCopy:
            linesAfter();
            if (const int position = pending_.positionOf(id); position >= 0) pending_.markDone(position);
            break;
        case RowOutcome::Result::LeavesList:
            linesAfter();
            if (const int position = pending_.positionOf(id); position >= 0) pending_.deleteAt(position);
            break;
    }
}

void UpdatePass::failed(std::uint64_t id) {
    const int position = pending_.positionOf(id);
    if (position >= 0) CopyFailed(position);
}

void UpdatePass::destinationBusy(std::uint64_t id, const std::string& destination) {
    if (!finder_) return;
    const auto streak = lastLookups_.find(id);
    const long long lastLookup = streak == lastLookups_.end() ? -1 : streak->second;
    nextLookups_[id] = lastLookup;
    // Asked again only at every few passes, all rows at the same ones, so
    // that long streaks cost one lookup now and then, not one every pass;
    // rows that could not be asked at theirs, at the next pass.
    if (lastLookup < 0 ||
        (passes_ - lastLookup >= kHolderLookupEvery && (passes_ % kHolderLookupEvery == 0 || lookupsWaiting_)))
        dueLookups_.push_back({id, destination, lastLookup});
}

// What a lookup's thread shares with the passes. The thread owns copies of
// everything else it uses, so that it may outlive the pass that started it.
struct UpdatePass::HolderSearch {
    std::mutex mutex;
    std::function<void()> notice;  // none once nobody listens any more
    bool finished = false;
    std::vector<std::string> texts;  // one per destination: holders, kReadOnly or empty
    std::vector<std::vector<unsigned long>> pids;  // the same holders' process ids
};

// What the exit watches of rows share with their threads: the rows whose
// holders have all ended.
struct UpdatePass::FreedRows {
    std::mutex mutex;
    std::vector<std::uint64_t> ids;
};

void UpdatePass::lookUpHolders() {
    // Rows that were not found busy in this pass end their streak.
    lastLookups_ = std::move(nextLookups_);
    nextLookups_.clear();
    const auto streakEnded = [this](const auto& entry) { return !lastLookups_.count(entry.first); };
    std::erase_if(waitReasons_, streakEnded);
    std::erase_if(exitWatches_, streakEnded);
    takeHolders();  // a lookup that ended during the pass answers the rows still busy
    if (dueLookups_.empty()) return;
    if (search_ && GetTickCount64() - searchStarted_ > lookupBound_) {
        // Stuck (a handle tied up in a call that never returns, a hung
        // share): its answer is dropped when it comes, and a fresh thread
        // asks for the rows due now.
        {
            const std::lock_guard<std::mutex> lock(search_->mutex);
            search_->notice = nullptr;
        }
        search_.reset();
        searchIds_.clear();
    }
    // One running at a time, and never more than a few abandoned ones besides.
    if (search_ || liveLookups_->load() > kAbandonedAtMost) {
        lookupsWaiting_ = true;
        dueLookups_.clear();
        return;
    }

    std::stable_sort(dueLookups_.begin(), dueLookups_.end(),
                     [](const DueLookup& a, const DueLookup& b) { return a.lastLookup < b.lastLookup; });
    lookupsWaiting_ = dueLookups_.size() > kHolderLookupsPerPass;
    if (lookupsWaiting_) dueLookups_.resize(kHolderLookupsPerPass);
    std::vector<std::string> destinations;
    for (const DueLookup& due : dueLookups_) {
        lastLookups_[due.id] = passes_;
        searchIds_.push_back(due.id);
        destinations.push_back(due.destination);
    }
    dueLookups_.clear();
    searchPass_ = passes_;
    try {
        auto search = std::make_shared<HolderSearch>();
        search->notice = notice_;
        ++*liveLookups_;
        try {
            std::thread(searchHolders, search, finder_, std::move(destinations), liveLookups_).detach();
        } catch (...) {
            --*liveLookups_;
            throw;
        }
        search_ = std::move(search);
        searchStarted_ = GetTickCount64();
    } catch (...) {
        // No thread to look with: nobody is named this time.
        searchIds_.clear();
    }
}

void UpdatePass::holdersFound() {
    // During a pass the rows' streaks are still being counted: its end takes the answers.
    if (!running_) takeHolders();
}

void UpdatePass::takeHolders() {
    if (!search_) return;
    std::vector<std::string> texts;
    std::vector<std::vector<unsigned long>> pids;
    {
        const std::lock_guard<std::mutex> lock(search_->mutex);
        if (!search_->finished) return;
        texts = std::move(search_->texts);
        pids = std::move(search_->pids);
    }
    search_.reset();
    const std::vector<std::uint64_t> ids = std::move(searchIds_);
    searchIds_.clear();
    texts.resize(ids.size());
    pids.resize(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        // The answer is for the streak it was asked in: not for a row that
        // was found free since (its holder already cleared), nor a row gone.
        const auto streak = lastLookups_.find(ids[i]);
        if (streak == lastLookups_.end() || streak->second != searchPass_) continue;
        try {
            showHolders(ids[i], texts[i]);
            watchHolders(ids[i], pids[i]);
        } catch (...) {
            // The log refused the line: the next rows are still told.
        }
    }
}

void UpdatePass::watchHolders(std::uint64_t id, const std::vector<unsigned long>& pids) {
    exitWatches_.erase(id);
    const int position = pending_.positionOf(id);
    const TFileObject* project = position >= 0 ? projects_.lookup(pending_.rowAt(position).name) : nullptr;
    if (pids.empty() || !project || !project->TryWhenFree || !freedNotice_) return;
    if (!freedRows_) freedRows_ = std::make_shared<FreedRows>();
    auto watch = std::make_unique<HolderExitWatch>(
        pids, [freed = freedRows_, notice = freedNotice_, id] {
            {
                const std::lock_guard<std::mutex> lock(freed->mutex);
                freed->ids.push_back(id);
            }
            notice();
        });
    if (watch->watching()) exitWatches_[id] = std::move(watch);
}

bool UpdatePass::holdersEnded() {
    std::vector<std::uint64_t> ids;
    if (freedRows_) {
        const std::lock_guard<std::mutex> lock(freedRows_->mutex);
        ids.swap(freedRows_->ids);
    }
    bool due = std::exchange(passDue_, false);
    for (const std::uint64_t id : ids) {
        exitWatches_.erase(id);
        // Should it still be busy, the next attempt asks anew who holds it.
        if (const auto streak = lastLookups_.find(id); streak != lastLookups_.end()) streak->second = -1;
        due = due || pending_.positionOf(id) >= 0;
    }
    if (!due || !running_) return due;
    passAgain_ = true;  // the pass under way may have tried the row already
    return false;
}

void UpdatePass::setHoldersFoundNotice(std::function<void()> notice) {
    notice_ = std::move(notice);
    if (!search_) return;
    const std::lock_guard<std::mutex> lock(search_->mutex);
    search_->notice = notice_;
}

UpdatePass::~UpdatePass() {
    exitWatches_.clear();
    // A job is ours to end: cancelled, and waited for, so that its scratch
    // file is gone before we are (at exit, the process ends right after).
    if (job_) {
        job_->forgetNotice();
        job_->cancel();
        job_->waitForEnd(INFINITE);
    }
    // A lookup still running finishes on its own, telling nobody.
    if (!search_) return;
    try {
        const std::lock_guard<std::mutex> lock(search_->mutex);
        search_->notice = nullptr;
    } catch (...) {
        // A lock that cannot be taken: nothing better to do while being destroyed.
    }
}

// On the lookup's own thread.
void UpdatePass::searchHolders(const std::shared_ptr<HolderSearch>& search, const std::shared_ptr<HolderFinder>& finder,
                               const std::vector<std::string>& destinations,
                               const std::shared_ptr<std::atomic<int>>& live) noexcept {
    // However it ends, it no longer counts as running.
    struct Ended {
        std::atomic<int>& live;
        ~Ended() { --live; }
    } ended{*live};
    try {
        std::vector<std::string> texts(destinations.size());
        std::vector<std::vector<unsigned long>> pids(destinations.size());
        try {
            // A read-only destination needs no search: nobody has to hold it.
            std::vector<std::size_t> asked;
            std::vector<std::string> paths;
            for (std::size_t i = 0; i < destinations.size(); ++i) {
                if (isReadOnly(destinations[i])) {
                    texts[i] = kReadOnly;
                } else {
                    asked.push_back(i);
                    paths.push_back(destinations[i]);
                }
            }
            if (!paths.empty()) {
                std::vector<std::vector<Holder>> answers = finder->find(paths);
                answers.resize(paths.size());
                for (std::size_t i = 0; i < asked.size(); ++i) {
                    texts[asked[i]] = holdersText(answers[i]);
                    for (const Holder& holder : answers[i]) pids[asked[i]].push_back(holder.pid);
                }
            }
        } catch (...) {
            // Who holds a file is a courtesy: when it cannot be found, nobody is named.
        }
        const std::lock_guard<std::mutex> lock(search->mutex);
        search->texts = std::move(texts);
        search->pids = std::move(pids);
        search->finished = true;
        if (search->notice) search->notice();
    } catch (...) {
        // Out of memory or no lock: the passes see the lookup as still running.
    }
}

void UpdatePass::showHolders(std::uint64_t id, const std::string& holders) {
    const int position = pending_.positionOf(id);
    if (position < 0 || pending_.rowAt(position).holders == holders) return;
    pending_.setHolders(position, holders);
    // A project that may replace its file in use is only still busy when the
    // holder refused the rename.
    const TFileObject* project = projects_.lookup(pending_.rowAt(position).name);
    const std::string sentence = pending_.rowAt(position).holderSentence(project && project->ReplaceInUse);
    if (!sentence.empty()) host_.appendLog(timestampText(localNow()) + " " + sentence);
}

void UpdatePass::removeEarlierSetAsideFiles() {
    std::vector<std::string> destinations;
    for (int i = 0; i < projects_.count(); ++i) destinations.push_back(projects_.recordAt(i).Destination);
    sweepAtStart(destinations, setAside_);
}

void UpdatePass::CopySucceeded(std::uint64_t id, const TFileObject& project, const RowOutcome& outcome) {
    const std::string version = outcome.version.empty() ? GetFileVersionText(project.Source) : outcome.version;
    host_.appendLog(timestampText(localNow()) + " " + project.Source + " [v" + version + "] -> " +
                    project.Destination);
    if (outcome.wasInUse)
        host_.appendLog(timestampText(localNow()) + " " + std::string(fileNamePart(project.Destination)) +
                        " was in use; the running copy keeps the old file until it restarts.");
    for (const std::string& line : outcome.linesAfter) host_.appendLog(line);

    pumpMessages();

    // The user may have removed rows, this one included, during the pump.
    const int now = pending_.positionOf(id);
    if (now >= 0) pending_.markDone(now);
}

void UpdatePass::CopyFailed(int position) {
    const std::string name = pending_.rowAt(position).name;
    pending_.countFailure(position);
    if (logFailures())
        host_.appendLog(timestampText(localNow()) + " Failed " + name + " (busy).");
}

void UpdatePass::pumpMessages() {
    logFailures_.reset();
    host_.pumpMessages();
}

bool UpdatePass::logFailures() {
    if (!running_) return host_.logFailures();
    if (!logFailures_) logFailures_ = host_.logFailures();
    return *logFailures_;
}

}  // namespace moravel
