#include "engine/FreedRows.h"

#include <mutex>
#include <utility>

namespace moravel {

// What the watches share with their pool threads: the rows whose holders
// have all ended.
struct FreedRows::Shared {
    std::mutex mutex;
    std::vector<std::uint64_t> ids;
};

FreedRows::FreedRows() : shared_(std::make_shared<Shared>()) {}

std::unique_ptr<HolderExitWatch> FreedRows::watchEnd(std::uint64_t id, const std::vector<unsigned long>& pids) const {
    if (pids.empty() || !notice_) return nullptr;
    auto watch = std::make_unique<HolderExitWatch>(pids, [shared = shared_, notice = notice_, id] {
        {
            const std::lock_guard<std::mutex> lock(shared->mutex);
            shared->ids.push_back(id);
        }
        notice();
    });
    if (!watch->watching()) watch.reset();
    return watch;
}

void FreedRows::watch(std::uint64_t id, const std::vector<unsigned long>& pids) {
    watches_.erase(id);
    if (auto watch = watchEnd(id, pids)) watches_[id] = std::move(watch);
}

void FreedRows::holdBack(std::uint64_t id, const std::vector<Holder>& refused) {
    holds_.erase(id);
    std::vector<unsigned long> pids;
    for (const Holder& holder : refused) pids.push_back(holder.pid);
    // Without a watch the hold still serves: the deploy only heeds a refused
    // holder that still holds the file.
    if (!refused.empty()) holds_[id] = {refused, watchEnd(id, pids)};
}

std::vector<Holder> FreedRows::heldBackBy(std::uint64_t id) const {
    const auto hold = holds_.find(id);
    return hold == holds_.end() ? std::vector<Holder>() : hold->second.refused;
}

void FreedRows::keepOnly(const std::function<bool(std::uint64_t id)>& keep) {
    std::erase_if(watches_, [&keep](const auto& entry) { return !keep(entry.first); });
    std::erase_if(holds_, [&keep](const auto& entry) { return !keep(entry.first); });
}

bool FreedRows::passDue(bool passRunning, const std::function<bool(std::uint64_t id)>& freed) {
    std::vector<std::uint64_t> ids;
    {
        const std::lock_guard<std::mutex> lock(shared_->mutex);
        ids.swap(shared_->ids);
    }
    bool due = std::exchange(passDue_, false);
    for (const std::uint64_t id : ids) {
        watches_.erase(id);
        holds_.erase(id);
        due = freed(id) || due;
    }
    if (!due || !passRunning) return due;
    passAgain_ = true;
    return false;
}

void FreedRows::passEnded() {
    if (!std::exchange(passAgain_, false) || !notice_) return;
    passDue_ = true;  // the notice alone names no row: the news must still run a pass
    notice_();
}

}  // namespace moravel
