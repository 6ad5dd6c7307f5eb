#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "engine/HolderExitWatch.h"
#include "engine/Holders.h"

namespace moravel {

// Rows of projects that try as soon as their destination is free: once a
// lookup has named who holds it, their processes are watched, and when the
// last one has ended the row is freed. The notice is called on a pool
// thread and must only pass the word on; the freed rows are taken later on
// the owner's thread.
class FreedRows {
public:
    FreedRows();

    void setNotice(std::function<void()> notice) { notice_ = std::move(notice); }

    // Watches the processes for the row, instead of any it watched before;
    // none (or none that may be waited on) means no watch.
    void watch(std::uint64_t id, const std::vector<unsigned long>& pids);
    // Holders that refused to stop at the row's deploy: kept for its next
    // attempts (which do not ask them again), and watched like the holders
    // above, instead of any refused before, until the last has ended.
    void holdBack(std::uint64_t id, const std::vector<Holder>& refused);
    std::vector<Holder> heldBackBy(std::uint64_t id) const;
    // Stops watching rows for which keep() says no.
    void keepOnly(const std::function<bool(std::uint64_t id)>& keep);
    void clear() {
        watches_.clear();
        holds_.clear();
    }

    // Whether a pass is due now: for a row freed since the last call that
    // `freed` (told of each) says is still listed, or asked for at the end of
    // a pass. While a pass runs none is due now: that one asks for another
    // at its end (it may have tried the row already).
    bool passDue(bool passRunning, const std::function<bool(std::uint64_t id)>& freed);
    // The pass under way has ended: a pass asked for meanwhile comes by the notice.
    void passEnded();

private:
    struct Shared;
    std::unique_ptr<HolderExitWatch> watchEnd(std::uint64_t id, const std::vector<unsigned long>& pids) const;
    std::shared_ptr<Shared> shared_;
    std::function<void()> notice_;
    std::map<std::uint64_t, std::unique_ptr<HolderExitWatch>> watches_;
    struct Hold {
        std::vector<Holder> refused;
        std::unique_ptr<HolderExitWatch> watch;
    };
    std::map<std::uint64_t, Hold> holds_;
    bool passAgain_ = false;  // rows freed while a pass ran: another one at its end
    bool passDue_ = false;    // that one, asked for
};

}  // namespace moravel
