#include "engine/RowJob.h"

#include <windows.h>

#include <utility>

#include "core/Clock.h"
#include "core/Files.h"
#include "core/Handle.h"
#include "engine/FileVersion.h"
#include "engine/HolderControl.h"
#include "engine/Holders.h"

namespace moravel {

namespace {

// The destination is missing: the user must learn where its old bytes are.
std::string notPutBackLine(const std::string& destination, const std::string& oldFile) {
    return timestampText(localNow()) + " " + std::string(fileNamePart(destination)) +
           " could not be put back: the old file is " +
           (oldFile.empty() ? std::string("lost") : std::string(fileNamePart(oldFile))) + ".";
}

// Each chunk of a copy tells the job how far it is and asks whether to go on.
struct JobProgress final : CopyProgress {
    explicit JobProgress(Job& j) : job(j) {}
    bool copying(std::uint64_t copied, std::uint64_t total) override {
        job.report(copied, total);
        return !job.cancelled();
    }
    Job& job;
};

// Copies the source beside the destination under a name of ours that no
// sweep takes, and asks the system to move it over the destination at the
// next restart. Cancelled (the row removed, the program ending), it leaves
// nothing behind, scheduled or not.
RowOutcome replaceAtRestart(const TFileObject& project, Job& job) {
    RowOutcome outcome;
    outcome.result = RowOutcome::Result::Busy;
    const std::string destination = fullPath(project.Destination);
    const std::string name(fileNamePart(destination));
    const auto refused = [&](const std::string& why) {
        if (job.cancelled()) return RowOutcome{};
        outcome.waitReason = timestampText(localNow()) + " " + name + " cannot be replaced at the next restart: " +
                             why + ".";
        return outcome;
    };
    const auto failed = [&](DWORD error) {
        return refused(error == ERROR_ACCESS_DENIED ? "that needs administrator rights" : systemErrorText(error));
    };
    // Its protection holds at the restart too: it waits like any busy file.
    if (isReadOnly(destination)) return outcome;
    if (onNetworkShare(destination)) return refused("it is on a network share");
    if (!mayScheduleRenames()) return failed(ERROR_ACCESS_DENIED);

    std::string file = restartFileName(destination);
    for (int tries = 0; tries < 16 && fileExists(file); ++tries) file = restartFileName(destination);
    {
        JobProgress progress(job);
        ScratchFile scratch(file, InPlace::Never);
        if (!scratch.copyFrom(project.Source, &progress) || job.cancelled() ||
            scratch.commit() != ReplaceOutcome::Replaced)
            return failed(GetLastError());
    }
    ScheduledReplace scheduled;
    if (job.cancelled() || !scheduleReplace(file, destination, scheduled) || job.cancelled()) {
        const DWORD error = GetLastError();
        cancelReplace(scheduled.file.empty() ? ScheduledReplace{file, destination} : scheduled);
        return failed(error);
    }
    outcome.result = RowOutcome::Result::AtRestart;
    outcome.atRestart = std::move(scheduled);
    outcome.linesBefore.push_back(timestampText(localNow()) + " " + name + " will be replaced at the next restart.");
    return outcome;
}

}  // namespace

RowOutcome copyRow(const TFileObject& project, bool inUse, Job& job) {
    JobProgress progress(job);

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

bool isLongCopy(const TFileObject& project) noexcept {
    return fileSize(project.Source) >= kLongCopy;
}

RowOutcome deployRow(const TFileObject& project, HolderFinder& finder, const std::vector<Holder>& refusedEarlier,
                     Job& job) {
    RowOutcome outcome;
    outcome.result = RowOutcome::Result::Busy;
    std::vector<std::vector<Holder>> found = finder.find({project.Destination});
    if (found.empty() || found.front().empty()) return outcome;  // nobody known to stop: it waits
    JobProgress progress(job);
    DeployOutcome deployed = deployOverHolders(project.Source, project.Destination, found.front(),
                                               {project.ForceClose, refusedEarlier}, job.cancelEvent(), &progress);
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
        case DeployOutcome::Kind::Waits:
            outcome.waitReason = std::move(deployed.waitReason);
            outcome.refused = std::move(deployed.refused);
            break;
        // Tried again every delay, it would restart the service over and over.
        case DeployOutcome::Kind::GaveUpOldBack: outcome.result = RowOutcome::Result::LeavesList; break;
        case DeployOutcome::Kind::Failed:
        case DeployOutcome::Kind::Cancelled: outcome.result = RowOutcome::Result::Failed; break;
    }
    // Tried again, the new file in place would look up to date.
    if (!deployed.oldFileAside.empty()) outcome.result = RowOutcome::Result::NeedsUser;
    return outcome;
}

RowJob orAtRestart(RowJob work) {
    return [work = std::move(work)](const TFileObject& project, Job& job) {
        RowOutcome tried;
        tried.result = RowOutcome::Result::Busy;
        if (work) tried = work(project, job);
        if (tried.result != RowOutcome::Result::Busy || job.cancelled()) return tried;
        RowOutcome last = replaceAtRestart(project, job);
        // What the first try did and said comes first. Its reason to wait
        // says why it came to this; a refusal here is the reason now.
        std::vector<std::string> lines = std::move(tried.linesBefore);
        lines.insert(lines.end(), tried.linesAfter.begin(), tried.linesAfter.end());
        if (last.result == RowOutcome::Result::AtRestart && !tried.waitReason.empty())
            lines.push_back(std::move(tried.waitReason));
        lines.insert(lines.end(), last.linesBefore.begin(), last.linesBefore.end());
        last.linesBefore = std::move(lines);
        last.setAside = std::move(tried.setAside);
        if (last.result == RowOutcome::Result::Busy && last.waitReason.empty())
            last.waitReason = std::move(tried.waitReason);
        return last;
    };
}

RowJob freeRowWork(bool destinationMissing) {
    return [destinationMissing](const TFileObject& p, Job& job) {
        RowOutcome outcome = copyRow(p, false, job);
        if (destinationMissing && outcome.result == RowOutcome::Result::Failed && !job.cancelled())
            outcome.linesBefore.push_back("DBG: " + p.Source + " to " + p.Destination + " cannot copy");
        return outcome;
    };
}

RowJob busyRowWork(const TFileObject& project, const std::shared_ptr<HolderFinder>& finder,
                   const std::vector<Holder>& refused, RowJob given, bool& onItsThread) {
    RowJob work = std::move(given);
    if (!work && project.RestartHolder && finder)
        work = [finder, refused](const TFileObject& p, Job& job) { return deployRow(p, *finder, refused, job); };
    onItsThread = static_cast<bool>(work);
    if (!work && project.ReplaceInUse)  // the project lets a busy file be renamed aside
        work = [](const TFileObject& p, Job& job) { return copyRow(p, true, job); };
    if (project.AtRestart) work = orAtRestart(std::move(work));
    return work;
}

// ---- the job under way -------------------------------------------------------------------

void RunningRowJob::start(std::uint64_t row, const TFileObject& project, RowJob work, Job::Notice notice) {
    auto outcome = std::make_shared<RowOutcome>();
    job_ = Job::start(
        [outcome, project, work = std::move(work)](Job& job) {
            try {
                *outcome = work(project, job);
            } catch (...) {
                *outcome = RowOutcome{};  // a failed attempt
            }
        },
        std::move(notice));
    outcome_ = std::move(outcome);
    row_ = row;
    project_ = project;
    shownPercent_ = -1;
}

std::optional<int> RunningRowJob::newPercent() {
    if (!job_) return std::nullopt;
    job_->newsTaken();
    const int percent = job_->percent();
    if (percent < 0 || percent == shownPercent_) return std::nullopt;
    shownPercent_ = percent;
    return percent;
}

RowOutcome RunningRowJob::take(TFileObject& project) {
    RowOutcome outcome = std::move(*outcome_);
    project = std::move(*project_);
    job_.reset();
    outcome_.reset();
    project_.reset();
    shownPercent_ = -1;
    return outcome;
}

void RunningRowJob::cancel() const noexcept {
    if (job_) job_->cancel();
}

void RunningRowJob::forgetNotice() noexcept {
    if (job_) job_->forgetNotice();
}

void RunningRowJob::waitForEnd() const noexcept {
    if (job_) job_->waitForEnd(INFINITE);
}

RunningRowJob::~RunningRowJob() {
    if (!job_) return;
    job_->forgetNotice();
    job_->cancel();
    job_->waitForEnd(INFINITE);
}

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

}  // namespace moravel
