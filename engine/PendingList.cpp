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

int PendingList::queue(const std::string& name, const std::string& addedAt) {
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
    rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(at), std::move(row));

    const int position = static_cast<int>(at);
    if (observer_) observer_->rowInserted(position, rows_[at]);
    return position;
}

void PendingList::deleteAt(int position) {
    checkIndex(position);
    rows_.erase(rows_.begin() + position);
    if (observer_) observer_->rowRemoved(position);
}

int PendingList::findByName(std::string_view name) const {
    for (std::size_t i = 0; i < rows_.size(); ++i)
        if (compareTextIgnoreCase(rows_[i].name, name) == 0) return static_cast<int>(i);
    return -1;
}

int PendingList::positionOf(std::uint64_t id, int hint) const {
    if (hint >= 0 && hint < count() && rows_[static_cast<std::size_t>(hint)].id == id) return hint;
    for (std::size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].id == id) return static_cast<int>(i);
    return -1;
}

void PendingList::countFailure(int position) {
    checkIndex(position);
    PendingRow& row = rows_[static_cast<std::size_t>(position)];
    ++row.attempts;
    if (observer_) observer_->rowChanged(position, row, RowChange::Attempts);
}

void PendingList::markDone(int position) {
    checkIndex(position);
    PendingRow& row = rows_[static_cast<std::size_t>(position)];
    ++row.doneMarks;
    if (observer_) observer_->rowChanged(position, row, RowChange::DoneMarks);
}

void PendingList::setHolders(int position, const std::string& holders) {
    checkIndex(position);
    PendingRow& row = rows_[static_cast<std::size_t>(position)];
    if (row.holders == holders) return;
    row.holders = holders;
    if (observer_) observer_->rowChanged(position, row, RowChange::Holders);
}

}  // namespace moravel
