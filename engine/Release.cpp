#include "engine/Release.h"

#include <windows.h>

#include <algorithm>
#include <deque>
#include <optional>

#include "core/FileCopy.h"
#include "core/Files.h"
#include "core/Handle.h"
#include "core/Text.h"
#include "engine/FileVersion.h"
#include "engine/HolderStops.h"
#include "engine/PendingList.h"
#include "engine/ReleaseJournal.h"

namespace moravel {

namespace {

using Result = RowOutcome::Result;

// The copies of all members told as one.
struct SetProgress final : CopyProgress {
    SetProgress(Job& j, std::uint64_t all) : job(j), total(all) {}
    bool copying(std::uint64_t copied, std::uint64_t) override {
        job.report(done + copied, total);
        return !job.cancelled();
    }
    Job& job;
    std::uint64_t total, done = 0;
};

struct Member {
    explicit Member(ReleaseMember& member) : given(member), name(fileNamePart(member.project.Destination)) {}
    ReleaseMember& given;
    std::string name;  // the destination's file name, as the lines give it
    bool changed = true;
    std::optional<ScratchFile> scratch;
    JournalEntry kept;        // the destination, and where its old file is kept
    bool movedAside = false;  // the old file is under kept.aside
    bool inPlace = false;     // the new file has the destination's name
    RowOutcome outcome;
};

class SetDeploy {
public:
    SetDeploy(const std::string& set, std::vector<ReleaseMember>& given, HolderFinder* finder,
              const std::string& journal, Job& job)
        : set_(set), finder_(finder), journal_(journal), job_(job), attempt_{forceClose(given), refused(given)},
          stops_(set, attempt_, job.cancelEvent(), said_) {
        for (ReleaseMember& member : given) members_.emplace_back(member);
        putBack_ = given.front().putBack;
    }
    std::vector<RowOutcome> run();

private:
    static bool forceClose(const std::vector<ReleaseMember>& given) {
        return std::all_of(given.begin(), given.end(), [](const ReleaseMember& m) {
            return !m.project.RestartHolder || m.project.ForceClose;
        });
    }
    static std::vector<Holder> refused(const std::vector<ReleaseMember>& given) {
        std::vector<Holder> all;
        for (const ReleaseMember& member : given) all.insert(all.end(), member.refusedEarlier.begin(), member.refusedEarlier.end());
        return all;
    }
    std::vector<Member*> changed() {
        std::vector<Member*> them;
        for (Member& member : members_)
            if (member.changed) them.push_back(&member);
        return them;
    }
    bool sourcesThere();
    bool check();
    bool copyAll();
    bool keepJournal();
    bool swapAll();
    bool putAllBack();
    void waits(Member& member, std::string reason);
    void ends(Result result, const std::string& line);
    void succeeded();
    std::vector<RowOutcome> outcomes();

    const std::string& set_;
    HolderFinder* finder_;
    const std::string& journal_;
    Job& job_;
    DeployAttempt attempt_;
    DeployOutcome said_;  // what the holders' steps said
    HolderStops stops_;
    std::deque<Member> members_;  // they stay where they are: each owns its scratch file
    std::string putBack_;
    std::vector<std::string> failedLines_;
};

// Every member's source is there: a backup of the version put back, or the
// build to deploy.
bool SetDeploy::sourcesThere() {
    for (Member& member : members_) {
        const std::string& source = member.given.project.Source;
        if (fileExists(source)) continue;
        const std::string line =
            putBack_.empty() ? "Source \"" + source + "\" doesn't exist."
                             : stampedLine(set_ + ": nothing put back: " + member.name + " has no backup of version " +
                                           putBack_ + ".");
        for (Member& each : members_) each.outcome.result = putBack_.empty() ? Result::Failed : Result::LeavesList;
        members_.front().outcome.linesBefore.push_back(line);
        if (putBack_.empty()) failedLines_.push_back(stampedLine(set_ + ": nothing replaced; every file is as before."));
        return false;
    }
    return true;
}

void SetDeploy::waits(Member& member, std::string reason) {
    for (Member* each : changed()) each->outcome.result = Result::Busy;
    member.outcome.waitReason = std::move(reason);
    member.outcome.refused = said_.refused;
}

// Whether every changed member can be replaced now; else the set waits.
bool SetDeploy::check() {
    std::vector<Member*> toStop;
    std::vector<std::string> paths;
    for (Member* member : changed()) {
        const TFileObject& project = member->given.project;
        const std::string& destination = project.Destination;
        if (probeDestination(destination) != DestinationState::Busy) continue;
        // A read-only file is never replaced; the pass names it, as it names
        // the holders of a busy file nobody may stop or rename aside.
        if (isReadOnly(destination)) return waits(*member, ""), false;
        if (!project.RestartHolder || !finder_) {
            // Renamed aside when its turn comes, unless its holder does not share deletion.
            if (!project.ReplaceInUse || !mayRenameAside(destination)) return waits(*member, ""), false;
            continue;
        }
        toStop.push_back(member);
        paths.push_back(destination);
    }
    if (toStop.empty()) return true;
    const std::vector<std::vector<Holder>> found = finder_->find(paths);
    for (std::size_t i = 0; i < toStop.size(); ++i) {
        if (i >= found.size() || found[i].empty()) return waits(*toStop[i], ""), false;  // nobody known to stop
        if (auto reason = stops_.check(toStop[i]->name, found[i])) return waits(*toStop[i], std::move(*reason)), false;
    }
    return true;
}

bool SetDeploy::copyAll() {
    std::uint64_t total = 0;
    for (Member* member : changed()) total += fileSize(member->given.project.Source);
    SetProgress progress(job_, total);
    for (Member* member : changed()) {
        member->scratch.emplace(member->given.project.Destination, InPlace::Never);
        if (!member->scratch->copyFrom(member->given.project.Source, &progress)) {
            if (!job_.cancelled())
                failedLines_.push_back(stampedLine(member->name + " could not be replaced: " + systemErrorText(GetLastError()) + "."));
            return false;
        }
        progress.done += fileSize(member->given.project.Source);
    }
    return true;
}

// Before the first destination is replaced: where each old file will be kept.
bool SetDeploy::keepJournal() {
    std::vector<JournalEntry> entries;
    for (Member* member : changed()) {
        member->kept.destination = fullPath(member->given.project.Destination);
        if (fileExists(member->kept.destination))
            member->kept.aside = fullPath(takeSetAsideName(member->kept.destination, [](const std::string& name) {
                return fileExists(name) ? (SetLastError(ERROR_FILE_EXISTS), false) : true;
            }));
        entries.push_back(member->kept);
    }
    if (journal_.empty() || writeJournal(journal_, set_, entries)) return true;
    failedLines_.push_back(stampedLine(set_ + " could not be replaced: its journal could not be written: " +
                                       systemErrorText(GetLastError()) + "."));
    return false;
}

bool SetDeploy::swapAll() {
    for (Member* member : changed()) {
        const JournalEntry& kept = member->kept;
        if (!kept.aside.empty()) {
            if (!MoveFileExA(kept.destination.c_str(), kept.aside.c_str(), MOVEFILE_WRITE_THROUGH)) break;
            member->movedAside = true;
        }
        if (member->scratch->commit() != ReplaceOutcome::Replaced) break;
        member->inPlace = true;
        if (releaseReplacedSeam()) releaseReplacedSeam()(kept.destination);
    }
    for (Member* member : changed())
        if (!member->inPlace) {
            failedLines_.push_back(stampedLine(member->name + " could not be replaced: " + systemErrorText(GetLastError()) + "."));
            return false;
        }
    return true;
}

// Every member back to its old bytes; true when all are.
bool SetDeploy::putAllBack() {
    bool all = true;
    std::vector<Member*> them = changed();
    for (auto at = them.rbegin(); at != them.rend(); ++at) {
        Member& member = **at;
        if (!member.movedAside && !(member.inPlace && member.kept.aside.empty())) continue;
        if (putOldFileBack(member.kept)) {
            member.movedAside = member.inPlace = false;
            continue;
        }
        all = false;
        member.outcome.result = Result::NeedsUser;
        failedLines_.push_back(stampedLine(member.name + " could not be put back: the old file is " +
                                           std::string(fileNamePart(member.kept.aside)) + "."));
    }
    if (all && !journal_.empty()) eraseFromJournal(journal_, set_);
    return all;
}

// Nothing replaced: the changed members end so, the lines in the order of
// what happened.
void SetDeploy::ends(Result result, const std::string& line) {
    for (Member* member : changed())
        if (member->outcome.result != Result::NeedsUser) member->outcome.result = result;
    if (!line.empty()) failedLines_.push_back(stampedLine(line));
}

void SetDeploy::succeeded() {
    for (Member* member : changed()) {
        RowOutcome& outcome = member->outcome;
        const TFileObject& project = member->given.project;
        outcome.result = Result::Succeeded;
        // A member renamed aside past its running holder: that one keeps the old file until it restarts.
        outcome.wasInUse = member->movedAside && !deleteSetAside(member->kept.aside);
        if (outcome.wasInUse) outcome.setAside.push_back(member->kept.aside);
        outcome.version = putBack_.empty() ? GetFileVersionText(project.Source) : putBack_;
        outcome.putBackTo = putBack_;
        if (project.VersionBackup) outcome.linesAfter.push_back(makeVersionBackup(project, outcome.version, nullptr));
    }
}

std::vector<RowOutcome> SetDeploy::outcomes() {
    std::vector<Member*> them = changed();
    if (!them.empty()) {
        std::vector<std::string>& before = them.front()->outcome.linesBefore;
        before.insert(before.begin(), said_.linesBefore.begin(), said_.linesBefore.end());
        std::vector<std::string>& after = them.back()->outcome.linesAfter;
        after.insert(after.end(), said_.linesAfter.begin(), said_.linesAfter.end());
        after.insert(after.end(), failedLines_.begin(), failedLines_.end());
    }
    std::vector<RowOutcome> all;
    for (Member& member : members_) all.push_back(std::move(member.outcome));
    return all;
}

std::vector<RowOutcome> SetDeploy::run() {
    if (!sourcesThere()) return outcomes();
    for (Member& member : members_)
        if (sameContent(member.given.project.Source, member.given.project.Destination)) {
            member.changed = false;
            member.outcome.result = Result::DoneWithoutCopy;
            member.outcome.linesBefore.push_back(stampedLine(member.name + " is already up to date."));
        }
    if (changed().empty() || !check()) return outcomes();
    const std::string nothing = set_ + ": nothing replaced; every file is as before.";
    if (!copyAll()) {
        ends(Result::Failed, job_.cancelled() ? "" : nothing);
        return outcomes();
    }
    const HolderLookupPause pause;  // we are about to end and start processes
    bool done = false;
    if (!stops_.stopAll()) {
        if (said_.kind == DeployOutcome::Kind::Waits && !job_.cancelled()) waits(*changed().front(), said_.waitReason);
        else ends(Result::Failed, stops_.anyAsked() ? nothing : "");
    } else if (!keepJournal() || !swapAll()) {
        putAllBack();
        ends(Result::Failed, nothing);
    } else if (const auto failed = stops_.startServicesOnTheNewFiles()) {
        const bool back = putAllBack();
        said_.linesAfter.push_back(stampedLine(*failed + " did not start with the new files" +
                                               (back ? "; the old files are back." : ".")));
        ends(Result::LeavesList, back ? nothing : "");
    } else {
        done = true;
    }
    if (!done && job_.cancelled() && stops_.anyAsked())
        said_.linesBefore.push_back(stampedLine(set_ + " was not replaced: the update was cancelled."));
    stops_.startAgain(directoryPart(members_.front().given.project.Destination));
    if (done) {
        if (!journal_.empty()) eraseFromJournal(journal_, set_);
        succeeded();
        const std::size_t count = changed().size();
        said_.linesAfter.push_back(stampedLine(set_ + ": " + std::to_string(count) + (count == 1 ? " file " : " files ") +
                                               (putBack_.empty() ? "replaced" : "put back to " + putBack_) + " together."));
    }
    return outcomes();
}

}  // namespace

RowJob releaseJob(std::string set, std::vector<ReleaseMember> members, std::shared_ptr<HolderFinder> finder,
                  std::string journal, std::shared_ptr<std::vector<RowOutcome>> outcomes) {
    return [set = std::move(set), members = std::move(members), finder = std::move(finder),
            journal = std::move(journal), outcomes](const TFileObject&, Job& job) mutable {
        try {
            if (!members.empty()) *outcomes = SetDeploy(set, members, finder.get(), journal, job).run();
        } catch (...) {
            outcomes->clear();  // each member a failed attempt; what a crash would leave, the next start puts back
        }
        return RowOutcome{};
    };
}

TFileObject puttingBack(TFileObject project, const std::string& version) {
    if (version.empty()) return project;
    project.Source = versionBackupPath(project.Destination, version);
    project.VersionBackup = false;
    return project;
}

RowJob puttingBack(RowJob work, const std::string& version) {
    if (version.empty() || !work) return work;
    return [work = std::move(work), version](const TFileObject& project, Job& job) {
        RowOutcome outcome = work(project, job);
        if (outcome.result == Result::Succeeded) outcome.putBackTo = version;
        return outcome;
    };
}

std::vector<std::string> backupVersions(const std::string& destination) {
    // The backup name with "*" for the version: "tool-*.exe".
    const std::string pattern = versionBackupPath(destination, "*");
    const std::string name(fileNamePart(pattern));
    const std::string before = name.substr(0, name.rfind('*')), after = name.substr(name.rfind('*') + 1);
    std::vector<std::pair<std::vector<unsigned long>, std::string>> versions;
    WIN32_FIND_DATAA data;
    const UniqueFind find(FindFirstFileA(pattern.c_str(), &data));
    for (bool more = static_cast<bool>(find); more; more = FindNextFileA(find.get(), &data)) {
        const std::string found = data.cFileName;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || found.size() <= before.size() + after.size()) continue;
        const std::string version = found.substr(before.size(), found.size() - before.size() - after.size());
        // Four numbers, as the backups are named: "1.2.3.4".
        std::vector<unsigned long> numbers;
        std::size_t at = 0;
        for (std::size_t dot; numbers.size() < 5; at = dot + 1) {
            dot = version.find('.', at);
            const std::string part = version.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
            if (part.empty() || part.size() > 5 || part.find_first_not_of("0123456789") != std::string::npos) break;
            numbers.push_back(std::stoul(part));
            if (dot == std::string::npos) break;
        }
        if (numbers.size() == 4 && std::count(version.begin(), version.end(), '.') == 3) versions.push_back({numbers, version});
    }
    std::sort(versions.begin(), versions.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::string> newestFirst;
    for (const auto& [numbers, version] : versions) newestFirst.push_back(version);
    return newestFirst;
}

std::function<void(const std::string&)>& releaseReplacedSeam() {
    static std::function<void(const std::string&)> seam;
    return seam;
}

bool ReleaseRows::handedOver(std::uint64_t row) const {
    return std::find(handed_.begin(), handed_.end(), row) != handed_.end();
}

bool ReleaseRows::rowLeft(const PendingList& pending) const {
    return std::any_of(members_.begin(), members_.end(), [&](const ReleaseMember& m) { return !pending.find(m.row); });
}

RowJob ReleaseRows::take(const std::string& set, std::vector<ReleaseMember> members,
                         std::shared_ptr<HolderFinder> finder, const std::string& journal) {
    for (const ReleaseMember& member : members) handed_.push_back(member.row);
    members_ = members;
    outcomes_ = std::make_shared<std::vector<RowOutcome>>();
    return releaseJob(set, std::move(members), std::move(finder), journal, outcomes_);
}

void ReleaseRows::finish(const std::function<void(std::uint64_t, const TFileObject&, const RowOutcome&)>& settle) {
    const std::vector<ReleaseMember> members = std::move(members_);
    const std::shared_ptr<std::vector<RowOutcome>> outcomes = std::move(outcomes_);
    drop();
    for (std::size_t i = 0; i < members.size(); ++i)
        settle(members[i].row, members[i].project, i < outcomes->size() ? (*outcomes)[i] : RowOutcome{});
}

}  // namespace moravel
