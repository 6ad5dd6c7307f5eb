#include "engine/UpdatePass.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "core/AppError.h"
#include "core/Clock.h"
#include "core/Files.h"
#include "core/Handle.h"
#include "core/Projects.h"
#include "engine/FileVersion.h"
#include "engine/Holders.h"
#include "engine/PendingList.h"
#include "engine/Scheduler.h"

namespace moravel {

bool destinationIsFree(const std::string& path) {
    // On Windows a read-only file refuses every write, by administrators
    // too; Wine run as root lets the open through, so we ask.
    if (isReadOnly(path)) return false;
    const UniqueFile probe(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(probe);
}

void UpdatePass::RunUpdatePass() {
    // The pump in CopySucceeded runs timer ticks and "Update Now": a pass
    // already under way finishes on its own, and the next one comes at the
    // countdown it restarts.
    if (running_) return;
    running_ = true;

    // However the pass ends, a later one must be able to start, and the user
    // must get "Update Now" back.
    struct EndOfPass {
        UpdatePass& pass;
        bool buttonEnabled = false;
        ~EndOfPass() {
            pass.running_ = false;
            if (buttonEnabled) return;
            try {
                pass.host_.setUpdateNowEnabled(true);
            } catch (...) {
                // Already unwinding with the error that matters; the window shows that one.
            }
        }
    } end{*this};

    host_.setUpdateNowEnabled(false);
    setAside_.sweep();

    // Rows are followed by id: the pump may remove rows or queue new ones,
    // which shifts positions. Rows queued meanwhile wait for the next pass.
    std::vector<std::uint64_t> ids;
    ids.reserve(static_cast<std::size_t>(pending_.count()));
    for (int i = 0; i < pending_.count(); ++i) ids.push_back(pending_.rowAt(i).id);
    ++passes_;
    nextLookups_.clear();
    dueLookups_.clear();
    for (const std::uint64_t id : ids) tryRow(id);
    lookUpHolders();

    host_.setLastAttemptText(timestampText(localNow()));
    for (int i = pending_.count() - 1; i >= 0; --i)
        if (pending_.rowAt(i).isDone()) pending_.deleteAt(i);

    host_.setUpdateNowEnabled(true);
    end.buttonEnabled = true;
    if (pending_.count() > 0)
        scheduler_.ScheduleNextUpdate();
    else
        scheduler_.StopUpdates();
    host_.refreshPendingState();
}

void UpdatePass::tryRow(std::uint64_t id) {
    if (pending_.positionOf(id) < 0) return;  // removed by the user meanwhile

    // Positions are looked up again right before they are used, in case
    // anything in between let the window system run.
    const auto failed = [&] {
        const int position = pending_.positionOf(id);
        if (position >= 0) CopyFailed(position);
    };
    const auto succeeded = [&](bool wasInUse = false) {
        const int position = pending_.positionOf(id);
        if (position >= 0) CopySucceeded(position, wasInUse);
    };

    bool busy = false;
    try {
        const TFileObject* project = projects_.lookup(pending_.rowAt(pending_.positionOf(id)).name);
        if (!project) {
            // Its project was removed while it waited: it can never succeed,
            // but it stays for the user to see and remove.
            failed();
            return;
        }
        // Copies: the record may be edited or removed while messages are pumped.
        const std::string source = project->Source;
        const std::string destination = project->Destination;
        const bool mayReplaceInUse = project->ReplaceInUse;

        if (!fileExists(source)) {
            host_.appendLog("Source \"" + source + "\" doesn't exist.");
            failed();
        } else if (fileExists(destination)) {
            if (destinationIsFree(destination)) {
                if (replaceFile(source, destination))
                    succeeded();
                else
                    failed();
            } else if (mayReplaceInUse && replaceInUse(source, destination)) {
                // The project lets a busy file be renamed aside.
                succeeded(true);
            } else {
                // Someone else holds it open (or it is read-only): try again next pass.
                busy = true;
                destinationBusy(id, destination);
                failed();
            }
        } else if (replaceFile(source, destination)) {
            succeeded();
        } else {
            host_.appendLog("DBG: " + source + " to " + destination + " cannot copy");
            failed();
        }
    } catch (...) {
        // Anything that goes wrong with one row is a failed attempt of that
        // row, and the others are still tried. When counting it fails too,
        // that error ends the pass.
        failed();
    }
    // A holder is shown only while the attempts find the destination busy.
    if (!busy && finder_) showHolders(id, "");
}

void UpdatePass::destinationBusy(std::uint64_t id, const std::string& destination) {
    if (!finder_) return;
    const auto streak = lastLookups_.find(id);
    const long long lastLookup = streak == lastLookups_.end() ? -1 : streak->second;
    nextLookups_[id] = lastLookup;
    // Asked again only at every few passes, all rows at the same ones, so
    // that long streaks cost one lookup now and then, not one every pass.
    if (lastLookup < 0 || (passes_ % kHolderLookupEvery == 0 && passes_ - lastLookup >= kHolderLookupEvery))
        dueLookups_.push_back({id, destination, lastLookup});
}

void UpdatePass::lookUpHolders() {
    // Rows that were not found busy in this pass end their streak.
    lastLookups_ = std::move(nextLookups_);
    nextLookups_.clear();
    if (dueLookups_.empty()) return;

    std::stable_sort(dueLookups_.begin(), dueLookups_.end(),
                     [](const DueLookup& a, const DueLookup& b) { return a.lastLookup < b.lastLookup; });
    if (dueLookups_.size() > kHolderLookupsPerPass) dueLookups_.resize(kHolderLookupsPerPass);
    // A read-only destination needs no search: nobody has to hold it.
    std::vector<bool> readOnly;
    std::vector<std::string> paths;
    for (const DueLookup& due : dueLookups_) {
        readOnly.push_back(isReadOnly(due.destination));
        if (!readOnly.back()) paths.push_back(due.destination);
    }
    std::vector<std::vector<Holder>> answers;
    try {
        if (!paths.empty()) answers = finder_->find(paths);
    } catch (...) {
        // Who holds a file is a courtesy: when it cannot be found, nobody is named.
    }
    answers.resize(paths.size());
    for (std::size_t i = 0, answer = 0; i < dueLookups_.size(); ++i) {
        lastLookups_[dueLookups_[i].id] = passes_;
        try {
            showHolders(dueLookups_[i].id, readOnly[i] ? kReadOnly : holdersText(answers[answer++]));
        } catch (...) {
            // The log refused the line: the next rows are still told.
        }
    }
    dueLookups_.clear();
}

void UpdatePass::showHolders(std::uint64_t id, const std::string& holders) {
    const int position = pending_.positionOf(id);
    if (position < 0 || pending_.rowAt(position).holders == holders) return;
    pending_.setHolders(position, holders);
    const std::string sentence = pending_.rowAt(position).holderSentence();
    if (!sentence.empty()) host_.appendLog(timestampText(localNow()) + " " + sentence);
}

bool UpdatePass::replaceInUse(const std::string& source, const std::string& destination) {
    InUseReplacement result = replaceEvenIfInUse(source, destination);
    if (!result.setAside.empty()) setAside_.remember(std::move(result.setAside));
    return result.replaced;
}

void UpdatePass::removeEarlierSetAsideFiles() {
    for (int i = 0; i < projects_.count(); ++i) {
        const TFileObject& project = projects_.recordAt(i);
        if (project.ReplaceInUse) setAside_.collectLeftovers(project.Destination);
    }
}

void UpdatePass::CopySucceeded(int position, bool wasInUse) {
    const PendingRow& row = pending_.rowAt(position);
    const std::uint64_t id = row.id;
    const std::string name = row.name;
    const TFileObject* record = projects_.lookup(name);
    if (!record) throw AppError("No project named " + name);
    const TFileObject project = *record;  // the pump below may edit or remove the record

    const std::string version = GetFileVersionText(project.Source);
    host_.appendLog(timestampText(localNow()) + " " + project.Source + " [v" + version + "] -> " +
                    project.Destination);
    if (wasInUse)
        host_.appendLog(timestampText(localNow()) + " " + std::string(fileNamePart(project.Destination)) +
                        " was in use; the running copy keeps the old file until it restarts.");
    if (project.VersionBackup) host_.appendLog(makeVersionBackup(project, version));

    host_.pumpMessages();

    // The user may have removed rows, this one included, during the pump.
    const int now = pending_.positionOf(id);
    if (now >= 0) pending_.markDone(now);
}

void UpdatePass::CopyFailed(int position) {
    const std::string name = pending_.rowAt(position).name;
    pending_.countFailure(position);
    if (host_.logFailures())
        host_.appendLog(timestampText(localNow()) + " Failed " + name + " (busy).");
}

}  // namespace moravel
