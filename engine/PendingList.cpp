#include "engine/PendingList.h"

#include <algorithm>

#include "core/AppError.h"
#include "core/Text.h"

namespace moravel {

std::string PendingRow::holderTip() const {
    if (holders.empty() || holders == kReadOnly) return holders;
    return "Held by " + holders;
}

std::string PendingRow::holderSentence(bool replaceInUse) const {
    if (holders.empty()) return {};
    if (holders == kReadOnly) return name + " is " + holders + ".";
    return name + " is held by " + holders + (replaceInUse ? ", which does not let it be renamed." : ".");
}

void PendingList::checkIndex(int position) const {
    if (position < 0 || position >= count())
        throw AppError("List index out of bounds (" + std::to_string(position) + ")");
}

const PendingRow& PendingList::rowAt(int position) const {
    checkIndex(position);
    return rows_[static_cast<std::size_t>(position)];
}

std::uint64_t PendingList::queue(const std::string& name, const std::string& addedAt, const std::string& putBack) {
    // After every row that does not sort above the new name, so a name that
    // is already present gets the place after it.
    const auto place = std::upper_bound(
        rows_.begin(), rows_.end(), name,
        [](const std::string& n, const PendingRow& row) { return compareText(n, row.name) < 0; });
    const std::size_t at = static_cast<std::size_t>(place - rows_.begin());

    PendingRow row;
    row.id = nextId_++;
    row.name = name;
    row.addedAt = addedAt;
    row.putBack = putBack;
    rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(at), std::move(row));
    positionsValid_ = false;

    if (observer_) observer_->rowInserted(static_cast<int>(at), rows_[at]);
    return rows_[at].id;
}

void PendingList::erase(std::size_t at) {
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(at));
    positionsValid_ = false;
    if (observer_) observer_->rowRemoved(static_cast<int>(at));
}

void PendingList::deleteAt(int position) {
    checkIndex(position);
    erase(static_cast<std::size_t>(position));
}

int PendingList::findByName(std::string_view name) const {
    for (std::size_t i = 0; i < rows_.size(); ++i)
        if (compareTextIgnoreCase(rows_[i].name, name) == 0) return static_cast<int>(i);
    return -1;
}

int PendingList::positionOf(std::uint64_t id) const {
    if (!positionsValid_) {
        positions_.clear();
        for (std::size_t i = 0; i < rows_.size(); ++i) positions_.emplace(rows_[i].id, i);
        positionsValid_ = true;
    }
    const auto found = positions_.find(id);
    return found == positions_.end() ? -1 : static_cast<int>(found->second);
}

const PendingRow* PendingList::find(std::uint64_t id) const {
    const int position = positionOf(id);
    return position < 0 ? nullptr : &rows_[static_cast<std::size_t>(position)];
}

PendingRow* PendingList::changing(std::uint64_t id, int& position) {
    position = positionOf(id);
    return position < 0 ? nullptr : &rows_[static_cast<std::size_t>(position)];
}

void PendingList::countFailure(std::uint64_t id) {
    int position = -1;
    PendingRow* row = changing(id, position);
    if (!row) return;
    ++row->attempts;
    if (observer_) observer_->rowChanged(position, *row, RowChange::Attempts);
}

void PendingList::markDone(std::uint64_t id) {
    int position = -1;
    PendingRow* row = changing(id, position);
    if (!row) return;
    ++row->doneMarks;
    if (observer_) observer_->rowChanged(position, *row, RowChange::DoneMarks);
}

void PendingList::markAtRestart(std::uint64_t id) {
    int position = -1;
    PendingRow* row = changing(id, position);
    if (!row || row->atRestart) return;
    row->atRestart = true;
    if (observer_) observer_->rowChanged(position, *row, RowChange::Attempts);
}

void PendingList::setHolders(std::uint64_t id, const std::string& holders) {
    int position = -1;
    PendingRow* row = changing(id, position);
    if (!row || row->holders == holders) return;
    row->holders = holders;
    if (observer_) observer_->rowChanged(position, *row, RowChange::Holders);
}

void PendingList::remove(std::uint64_t id) {
    const int position = positionOf(id);
    if (position >= 0) erase(static_cast<std::size_t>(position));
}

}  // namespace moravel
