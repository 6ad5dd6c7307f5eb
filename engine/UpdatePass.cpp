#include "engine/UpdatePass.h"

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <thread>
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

// A copy of a row's files: its progress shows in the row, and the window
// system goes on working meanwhile, under the rules that hold at every pump
// of a pass. Removing the row cancels the copy of its update (not that of its
// backup: the update it belongs to is in place by then).
class UpdatePass::RowProgress final : public CopyProgress {
public:
    static constexpr std::uint64_t kShowEveryMs = 100;

    RowProgress(UpdatePass& pass, std::uint64_t id, bool cancelWhenRemoved)
        : pass_(pass), id_(id), cancelWhenRemoved_(cancelWhenRemoved) {}
    ~RowProgress() {
        if (percent_ < 0) return;
        try {
            pass_.host_.endCopyProgress();
        } catch (...) {
            // Only the display of a copy that has ended: nothing to undo.
        }
    }
    RowProgress(const RowProgress&) = delete;
    RowProgress& operator=(const RowProgress&) = delete;

    bool copying(std::uint64_t copied, std::uint64_t total) override {
        position_ = pass_.pending_.positionOf(id_, position_);
        const int percent = total == 0 || copied >= total ? 100 : static_cast<int>(copied * 100 / total);
        const std::uint64_t now = GetTickCount64();
        if (position_ >= 0 && percent != percent_ && (percent_ < 0 || now - shownAt_ >= kShowEveryMs)) {
            pass_.host_.showCopyProgress(position_, percent);
            percent_ = percent;
            shownAt_ = now;
        }
        pass_.pumpMessages();
        return !cancelWhenRemoved_ || pass_.pending_.positionOf(id_, position_) >= 0;
    }

private:
    UpdatePass& pass_;
    const std::uint64_t id_;
    const bool cancelWhenRemoved_;
    int position_ = -1;
    int percent_ = -1;  // shown, or -1 before the first showing
    std::uint64_t shownAt_ = 0;
};

void UpdatePass::RunUpdatePass() {
    // The pumps of a pass (after each copy, and all through a long one) run
    // timer ticks and "Update Now": a pass already under way finishes on its
    // own, and the next one comes at the countdown it restarts.
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
    logFailures_.reset();
    setAside_.sweep();

    // Rows are followed by id: the pump may remove rows or queue new ones,
    // which shifts positions. Rows queued meanwhile wait for the next pass.
    std::vector<std::uint64_t> ids;
    ids.reserve(static_cast<std::size_t>(pending_.count()));
    for (int i = 0; i < pending_.count(); ++i) ids.push_back(pending_.rowAt(i).id);
    ++passes_;
    nextLookups_.clear();
    dueLookups_.clear();
    for (std::size_t i = 0; i < ids.size(); ++i) tryRow(ids[i], static_cast<int>(i));
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

void UpdatePass::tryRow(std::uint64_t id, int position) {
    // Where the row stood when the pass began, unless the user removed or
    // queued rows meanwhile.
    position = pending_.positionOf(id, position);
    if (position < 0) return;  // removed by the user meanwhile

    // Positions are looked up again right before they are used, in case
    // anything in between let the window system run.
    const auto failed = [&] {
        position = pending_.positionOf(id, position);
        if (position >= 0) CopyFailed(position);
    };
    const auto succeeded = [&](bool wasInUse = false) {
        position = pending_.positionOf(id, position);
        if (position >= 0) CopySucceeded(position, wasInUse);
    };
    const auto replace = [&](const std::string& source, const std::string& destination) {
        RowProgress progress(*this, id, true);
        // A reader that came since the probe shares writing at most: the
        // update waits for it rather than write past it.
        ScratchFile scratch(destination, InPlace::Never);
        if (!scratch.copyFrom(source, &progress)) return ReplaceOutcome::Unchanged;
        const ReplaceOutcome outcome = scratch.commit();
        if (outcome == ReplaceOutcome::Stranded) logNotPutBack(destination, scratch.kept());
        return outcome;
    };
    const auto removedMeanwhile = [&] { return pending_.positionOf(id, position) < 0; };

    bool busy = false;
    try {
        const TFileObject* project = projects_.lookup(pending_.rowAt(position).name);
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
        } else if (const DestinationState state = probeDestination(destination);
                   state != DestinationState::Missing) {
            const ReplaceOutcome outcome =
                state == DestinationState::Free ? replace(source, destination) : ReplaceOutcome::Busy;
            if (outcome == ReplaceOutcome::Replaced) {
                succeeded();
            } else if (outcome != ReplaceOutcome::Busy) {
                failed();
            } else if (mayReplaceInUse && replaceInUse(source, destination, id)) {
                // The project lets a busy file be renamed aside.
                succeeded(true);
            } else {
                // Someone else holds it open (or it is read-only): try again next pass.
                busy = true;
                destinationBusy(id, destination);
                failed();
            }
        } else if (replace(source, destination) == ReplaceOutcome::Replaced) {
            succeeded();
        } else if (!removedMeanwhile()) {
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
};

void UpdatePass::lookUpHolders() {
    // Rows that were not found busy in this pass end their streak.
    lastLookups_ = std::move(nextLookups_);
    nextLookups_.clear();
    takeHolders();  // a lookup that ended during the pass answers the rows still busy
    if (dueLookups_.empty()) return;
    if (search_) {
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
        std::thread(searchHolders, search, finder_, std::move(destinations)).detach();
        search_ = std::move(search);
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
    {
        const std::lock_guard<std::mutex> lock(search_->mutex);
        if (!search_->finished) return;
        texts = std::move(search_->texts);
    }
    search_.reset();
    const std::vector<std::uint64_t> ids = std::move(searchIds_);
    searchIds_.clear();
    texts.resize(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        // The answer is for the streak it was asked in: not for a row that
        // was found free since (its holder already cleared), nor a row gone.
        const auto streak = lastLookups_.find(ids[i]);
        if (streak == lastLookups_.end() || streak->second != searchPass_) continue;
        try {
            showHolders(ids[i], texts[i]);
        } catch (...) {
            // The log refused the line: the next rows are still told.
        }
    }
}

void UpdatePass::setHoldersFoundNotice(std::function<void()> notice) {
    notice_ = std::move(notice);
    if (!search_) return;
    const std::lock_guard<std::mutex> lock(search_->mutex);
    search_->notice = notice_;
}

UpdatePass::~UpdatePass() {
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
                               const std::vector<std::string>& destinations) noexcept {
    try {
        std::vector<std::string> texts(destinations.size());
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
                for (std::size_t i = 0; i < asked.size(); ++i) texts[asked[i]] = holdersText(answers[i]);
            }
        } catch (...) {
            // Who holds a file is a courtesy: when it cannot be found, nobody is named.
        }
        const std::lock_guard<std::mutex> lock(search->mutex);
        search->texts = std::move(texts);
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
    const std::string sentence = pending_.rowAt(position).holderSentence();
    if (!sentence.empty()) host_.appendLog(timestampText(localNow()) + " " + sentence);
}

bool UpdatePass::replaceInUse(const std::string& source, const std::string& destination, std::uint64_t id) {
    InUseReplacement result;
    {
        RowProgress progress(*this, id, true);
        result = replaceEvenIfInUse(source, destination, &progress);
    }
    if (!result.setAside.empty()) setAside_.remember(std::move(result.setAside));
    // Never remembered for deletion: it is the only copy of the old file.
    if (!result.stranded.empty()) logNotPutBack(destination, result.stranded);
    return result.replaced;
}

void UpdatePass::logNotPutBack(const std::string& destination, const std::string& oldFile) {
    // The destination is missing: the user must learn where its old bytes are.
    host_.appendLog(timestampText(localNow()) + " " + std::string(fileNamePart(destination)) +
                    " could not be put back: the old file is " +
                    (oldFile.empty() ? std::string("lost") : std::string(fileNamePart(oldFile))) + ".");
}

void UpdatePass::removeEarlierSetAsideFiles() {
    std::vector<std::string> destinations;
    for (int i = 0; i < projects_.count(); ++i) {
        const TFileObject& project = projects_.recordAt(i);
        if (project.ReplaceInUse) setAside_.collectLeftovers(project.Destination);
        destinations.push_back(project.Destination);
    }
    // Also the folder of the backups, which lie beside the destination.
    removeScratchFilesBeside(destinations);
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
    if (project.VersionBackup) {
        RowProgress progress(*this, id, false);
        host_.appendLog(makeVersionBackup(project, version, &progress));
    }

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
