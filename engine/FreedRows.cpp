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

void FreedRows::watch(std::uint64_t id, const std::vector<unsigned long>& pids) {
    watches_.erase(id);
    if (pids.empty() || !notice_) return;
    auto watch = std::make_unique<HolderExitWatch>(pids, [shared = shared_, notice = notice_, id] {
        {
            const std::lock_guard<std::mutex> lock(shared->mutex);
            shared->ids.push_back(id);
        }
        notice();
    });
    if (watch->watching()) watches_[id] = std::move(watch);
}

void FreedRows::keepOnly(const std::function<bool(std::uint64_t id)>& keep) {
    std::erase_if(watches_, [&keep](const auto& entry) { return !keep(entry.first); });
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
