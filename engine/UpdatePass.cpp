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
