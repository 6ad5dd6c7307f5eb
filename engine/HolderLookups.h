#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/Job.h"

namespace moravel {

class HolderFinder;

// Who holds the destinations of busy rows. A pass tells it which rows it
// found busy; at the pass's end it starts one lookup for those that are due:
// at the first busy attempt of a streak, then again every few passes while it
// lasts, all rows at the same passes, the longest waiting first up to a
// bound. The lookup runs as a job (one at a time); its notice must only pass
// the word on, and the answers are taken later on the owner's thread. A
// lookup that runs longer than its bound is abandoned (its answer dropped)
// and the next one starts on a fresh thread; while kAbandonedAtMost
// abandoned ones still run, none starts. Rows that left the list or whose
// busy streak ended meanwhile get no answer.
class HolderLookups {
public:
    static constexpr int kEvery = 4;  // passes
    static constexpr std::size_t kPerPass = 1000;
    static constexpr int kAbandonedAtMost = 3;

    ~HolderLookups();

    void setFinder(std::shared_ptr<HolderFinder> finder) noexcept { finder_ = std::move(finder); }
    bool enabled() const noexcept { return finder_ != nullptr; }
    void setNotice(Job::Notice notice);
    void setBound(std::uint64_t milliseconds) noexcept { bound_ = milliseconds; }

    // What a lookup found: for each row still in the busy streak it was asked
    // in, its holders' text (kReadOnly for a read-only destination, empty for
    // nobody known) and their process ids.
    struct Answer {
        std::uint64_t id;
        std::string holders;
        std::vector<unsigned long> pids;
    };

    // The pass's side: a pass begins, finds rows busy, and ends. At its end,
    // rows it did not find busy end their streak; the answers of a lookup
    // that has ended are handed back, and a lookup starts for the rows due.
    void passBegins();
    void noteBusy(std::uint64_t id, const std::string& destination);
    std::vector<Answer> passEnds();
    // The row is to be asked again at its next busy attempt (its holders have ended).
    void askAgain(std::uint64_t id);

    // A reason to wait (a log line) is news once a streak, whatever time
    // leads it: true when this one is new.
    bool newReason(std::uint64_t id, const std::string& line);

    // Between passes: the answers of a lookup that has ended, as above.
    std::vector<Answer> takeAnswers();
    bool running() const noexcept { return search_ != nullptr; }  // started, answers not yet taken
    // Whether the row's busy streak went on at the last pass.
    bool inStreak(std::uint64_t id) const { return lastLookups_.count(id) != 0; }

private:
    struct Search;
    void start();

    std::shared_ptr<HolderFinder> finder_;
    Job::Notice notice_;
    std::uint64_t bound_ = 20000;
    long long passes_ = 0;
    // Busy rows: the pass that last looked up their holders, -1 for none yet.
    std::map<std::uint64_t, long long> lastLookups_;
    std::map<std::uint64_t, long long> nextLookups_;  // the same, as this pass finds the rows
    struct Due {
        std::uint64_t id;
        std::string destination;
        long long lastLookup;
    };
    std::vector<Due> due_;
    bool waiting_ = false;  // rows were due while a lookup ran, or past the bound
    std::map<std::uint64_t, std::string> reasons_;  // logged in this busy streak

    std::shared_ptr<Search> search_;
    std::shared_ptr<Job> job_;
    std::uint64_t started_ = 0;
    std::vector<std::shared_ptr<Job>> abandoned_;
};

}  // namespace moravel
