#include "engine/HolderLookups.h"

#include <windows.h>

#include <algorithm>
#include <mutex>

#include "core/Files.h"
#include "engine/Holders.h"
#include "engine/PendingList.h"

namespace moravel {

// What a lookup's job shares with us: the rows asked and, once done, the
// answers. The job owns copies of everything else it uses, so that it may
// outlive whoever started it.
struct HolderLookups::Search {
    std::vector<std::uint64_t> ids;
    long long pass = 0;
    std::mutex mutex;
    bool finished = false;
    std::vector<std::string> texts;                // one per row: holders, kReadOnly or empty
    std::vector<std::vector<unsigned long>> pids;  // the same holders' process ids
};

namespace {

// On the lookup's own thread.
void lookUp(HolderFinder& finder, const std::vector<std::string>& destinations, std::vector<std::string>& texts,
            std::vector<std::vector<unsigned long>>& pids) {
    texts.assign(destinations.size(), std::string());
    pids.assign(destinations.size(), {});
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
        if (paths.empty()) return;
        std::vector<std::vector<Holder>> answers = finder.find(paths);
        answers.resize(paths.size());
        for (std::size_t i = 0; i < asked.size(); ++i) {
            texts[asked[i]] = holdersText(answers[i]);
            for (const Holder& holder : answers[i]) pids[asked[i]].push_back(holder.pid);
        }
    } catch (...) {
        // Who holds a file is a courtesy: when it cannot be found, nobody is named.
    }
}

}  // namespace

HolderLookups::~HolderLookups() {
    // A lookup still running finishes on its own, telling nobody.
    if (job_) job_->forgetNotice();
}

void HolderLookups::setNotice(Job::Notice notice) {
    notice_ = std::move(notice);
    if (job_ && !notice_) job_->forgetNotice();
}

void HolderLookups::passBegins() {
    ++passes_;
    nextLookups_.clear();
    due_.clear();
}

void HolderLookups::noteBusy(std::uint64_t id, const std::string& destination) {
    if (!finder_) return;
    const auto streak = lastLookups_.find(id);
    const long long lastLookup = streak == lastLookups_.end() ? -1 : streak->second;
    nextLookups_[id] = lastLookup;
    // Asked again only at every few passes, all rows at the same ones, so
    // that long streaks cost one lookup now and then, not one every pass;
    // rows that could not be asked at theirs, at the next pass.
    if (lastLookup < 0 || (passes_ - lastLookup >= kEvery && (passes_ % kEvery == 0 || waiting_)))
        due_.push_back({id, destination, lastLookup});
}

void HolderLookups::askAgain(std::uint64_t id) {
    if (const auto streak = lastLookups_.find(id); streak != lastLookups_.end()) streak->second = -1;
}

bool HolderLookups::newReason(std::uint64_t id, const std::string& line) {
    // Without the timestamp that leads it.
    const std::size_t date = line.find(' ');
    const std::size_t time = date == std::string::npos ? date : line.find(' ', date + 1);
    const std::string reason = time == std::string::npos ? line : line.substr(time + 1);
    if (reason.empty() || reasons_[id] == reason) return false;
    reasons_[id] = reason;
    return true;
}

std::vector<HolderLookups::Answer> HolderLookups::passEnds() {
    lastLookups_ = std::move(nextLookups_);
    nextLookups_.clear();
    std::erase_if(reasons_, [this](const auto& entry) { return !lastLookups_.count(entry.first); });
    std::vector<Answer> answers = takeAnswers();
    if (due_.empty()) return answers;
    if (job_ && !job_->ended() && GetTickCount64() - started_ > bound_) {
        // Stuck (a handle tied up in a call that never returns, a hung
        // share): its answer is dropped when it comes, and a fresh thread
        // asks for the rows due now.
        job_->forgetNotice();
        abandoned_.push_back(std::move(job_));
        search_.reset();
    }
    std::erase_if(abandoned_, [](const std::shared_ptr<Job>& job) { return job->ended(); });
    // One running at a time, and never more than a few abandoned ones besides.
    if (search_ || static_cast<int>(abandoned_.size()) > kAbandonedAtMost) {
        waiting_ = true;
        due_.clear();
        return answers;
    }
    start();
    return answers;
}

void HolderLookups::start() {
    std::stable_sort(due_.begin(), due_.end(), [](const Due& a, const Due& b) { return a.lastLookup < b.lastLookup; });
    waiting_ = due_.size() > kPerPass;
    if (waiting_) due_.resize(kPerPass);
    auto search = std::make_shared<Search>();
    search->pass = passes_;
    std::vector<std::string> destinations;
    for (const Due& due : due_) {
        lastLookups_[due.id] = passes_;
        search->ids.push_back(due.id);
        destinations.push_back(due.destination);
    }
    due_.clear();
    try {
        job_ = Job::start(
            [search, finder = finder_, destinations = std::move(destinations)](Job&) {
                std::vector<std::string> texts;
                std::vector<std::vector<unsigned long>> pids;
                lookUp(*finder, destinations, texts, pids);
                const std::lock_guard<std::mutex> lock(search->mutex);
                search->texts = std::move(texts);
                search->pids = std::move(pids);
                search->finished = true;
            },
            notice_);
        search_ = std::move(search);
        started_ = GetTickCount64();
    } catch (...) {
        // No thread to look with: nobody is named this time.
    }
}

std::vector<HolderLookups::Answer> HolderLookups::takeAnswers() {
    std::vector<Answer> answers;
    if (!search_) return answers;
    std::vector<std::string> texts;
    std::vector<std::vector<unsigned long>> pids;
    {
        const std::lock_guard<std::mutex> lock(search_->mutex);
        if (!search_->finished) return answers;
        texts = std::move(search_->texts);
        pids = std::move(search_->pids);
    }
    const std::shared_ptr<Search> search = std::move(search_);
    job_.reset();
    texts.resize(search->ids.size());
    pids.resize(search->ids.size());
    for (std::size_t i = 0; i < search->ids.size(); ++i) {
        // The answer is for the streak it was asked in: not for a row that
        // was found free since (its holder already cleared), nor a row gone.
        const auto streak = lastLookups_.find(search->ids[i]);
        if (streak == lastLookups_.end() || streak->second != search->pass) continue;
        answers.push_back({search->ids[i], std::move(texts[i]), std::move(pids[i])});
    }
    return answers;
}

}  // namespace moravel
