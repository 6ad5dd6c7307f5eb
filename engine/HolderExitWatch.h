#pragma once
#include <functional>
#include <memory>
#include <vector>

namespace moravel {

// Tells once every given process has ended, within milliseconds and without
// polling: a thread-pool wait on each process, so no thread of ours and no
// ceiling on how many. A process already gone counts as ended. The notice
// is called on a pool thread and must only pass the word on (post a
// message). Destroying the watch before then stops it: no notice comes once
// the destructor has returned, and no handle is left behind.
class HolderExitWatch {
public:
    HolderExitWatch(const std::vector<unsigned long>& pids, std::function<void()> notice);
    ~HolderExitWatch();
    HolderExitWatch(const HolderExitWatch&) = delete;
    HolderExitWatch& operator=(const HolderExitWatch&) = delete;

    // False when some process could not be watched (no rights to wait on
    // it): no notice will come then, and the caller keeps to its timer.
    bool watching() const noexcept { return watching_; }

private:
    struct State;
    std::unique_ptr<State> state_;
    bool watching_ = false;
};

}  // namespace moravel
