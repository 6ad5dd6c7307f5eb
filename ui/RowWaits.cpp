#include "ui/RowWaits.h"

#include <algorithm>
#include <cctype>

#include "core/Clock.h"
#include "core/Projects.h"
#include "engine/PendingList.h"

namespace moravel {

namespace {

// "Alpha still waits (3 attempts): held by devenv.exe (pid 4412)."
std::string stillWaitsLine(const PendingRow& row) {
    std::string line = row.name + " still waits (" + std::to_string(row.attempts) +
                       (row.attempts == 1 ? " attempt)" : " attempts)");
    std::string holders = row.holderTip();
    if (!holders.empty()) {
        holders[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(holders[0])));
        line += ": " + holders;
    }
    return line + ".";
}

}  // namespace

NamedRows queueNamed(const TProjects& projects, PendingList& pending, const std::vector<std::string>& names) {
    NamedRows named;
    std::vector<std::string> known;
    for (const std::string& name : names) {
        const int at = projects.find(name);
        const std::vector<std::string> set = at >= 0 ? std::vector<std::string>{} : projects.membersOf(name);
        if (at >= 0)
            known.push_back(projects.nameAt(at));  // as the registry spells it, as the chooser would
        else if (!set.empty())
            known.insert(known.end(), set.begin(), set.end());  // a set's name queues the set
        else
            named.unknown.push_back(timestampText(localNow()) + " " + name + " not queued: there is no such project.");
    }
    // A member queues its whole set; a command waits for every row of it.
    for (const std::string& spelled : projects.withTheirSets(known)) {
        const int position = pending.findByName(spelled);
        const std::uint64_t id =
            position >= 0 ? pending.rowAt(position).id : pending.queue(spelled, timestampText(localNow()));
        if (std::find(named.rows.begin(), named.rows.end(), id) == named.rows.end()) named.rows.push_back(id);
    }
    return named;
}

void RowWaits::add(std::uint64_t wait, const NamedRows& named, unsigned long long deadline) {
    for (const std::string& line : named.unknown) output_.waitLine(wait, line, true);
    Wait added{wait, {}, !named.unknown.empty(), deadline};
    // A row already waiting for the restart is never tried again, so nothing
    // would end it: it has ended as it will.
    for (const std::uint64_t id : named.rows)
        if (const PendingRow* row = pending_.find(id))
            added.rows.push_back({id, row->name, row->atRestart ? Ended::AtRestart : Ended::Not});
    waits_.push_back(std::move(added));
    finishEnded();  // also one with no row to wait for
}

void RowWaits::drop(std::uint64_t wait) noexcept {
    waits_.erase(std::remove_if(waits_.begin(), waits_.end(), [wait](const Wait& w) { return w.id == wait; }),
                 waits_.end());
}

void RowWaits::rowLine(std::uint64_t row, const std::string& line, bool whyItWaits) {
    for (const Wait& wait : waits_)
        for (const Row& followed : wait.rows)
            if (followed.id == row && followed.ended == Ended::Not) output_.waitLine(wait.id, line, whyItWaits);
}

void RowWaits::rowTried(std::uint64_t row, RowEnd end) {
    switch (end) {
        case RowEnd::Waits: return;  // tried again at the next pass
        case RowEnd::Done: return RowWaits::end(row, Ended::Done);
        case RowEnd::AtRestart: return RowWaits::end(row, Ended::AtRestart);
        case RowEnd::Failed:
        case RowEnd::LeftList: return RowWaits::end(row, Ended::Failed);
    }
}

void RowWaits::end(std::uint64_t row, Ended ended) {
    for (Wait& wait : waits_)
        for (Row& followed : wait.rows)
            if (followed.id == row && followed.ended == Ended::Not) followed.ended = ended;
    finishEnded();
}

void RowWaits::rowsLeft() {
    for (Wait& wait : waits_)
        for (Row& followed : wait.rows)
            if (followed.ended == Ended::Not && !pending_.find(followed.id)) {
                followed.ended = Ended::Failed;
                output_.waitLine(wait.id, followed.name + " was removed from the list.", true);
            }
    finishEnded();
}

void RowWaits::tick(unsigned long long now) {
    std::vector<Wait> due;
    for (auto it = waits_.begin(); it != waits_.end();)
        if (now >= it->deadline) {
            due.push_back(std::move(*it));
            it = waits_.erase(it);
        } else {
            ++it;
        }
    for (const Wait& wait : due) {
        for (const Row& followed : wait.rows)
            if (const PendingRow* row = followed.ended == Ended::Not ? pending_.find(followed.id) : nullptr)
                output_.waitLine(wait.id, stillWaitsLine(*row), true);
        finish(wait);
    }
}

void RowWaits::finishEnded() {
    std::vector<Wait> ended;
    for (auto it = waits_.begin(); it != waits_.end();)
        if (std::all_of(it->rows.begin(), it->rows.end(), [](const Row& r) { return r.ended != Ended::Not; })) {
            ended.push_back(std::move(*it));
            it = waits_.erase(it);
        } else {
            ++it;
        }
    for (const Wait& wait : ended) finish(wait);
}

void RowWaits::finish(const Wait& wait) {
    std::vector<Ended> ends;
    for (const Row& row : wait.rows) ends.push_back(row.ended);
    output_.waitEnded(wait.id, exitCode(ends, wait.unknownNames));
}

int RowWaits::exitCode(const std::vector<Ended>& rows, bool unknownNames) noexcept {
    const auto any = [&rows](Ended ended) { return std::find(rows.begin(), rows.end(), ended) != rows.end(); };
    if (any(Ended::Failed)) return kExitFailed;
    if (any(Ended::Not)) return kExitTimeUp;
    if (any(Ended::AtRestart)) return kExitAtRestart;
    return unknownNames ? kExitUnknownName : kExitDone;
}

}  // namespace moravel
