#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace moravel {

// One queued project. The name is the only link to the project: every
// attempt looks it up in the registry again.
struct PendingRow {
    std::uint64_t id = 0;  // stays with the row while positions shift
    std::string name;
    std::string addedAt;   // timestamp text of the moment it was queued
    int attempts = 0;      // failed attempts
    int doneMarks = 0;     // one per successful copy; done rows leave at the end of a pass
    bool atRestart = false;  // its destination is replaced at the next restart: not tried again
    std::string putBack;     // the version it puts back from its backup; empty: it copies the source
    // Who holds the destination, while the attempts find it busy:
    // "devenv.exe (pid 4412), MyHost.exe (pid 912)", kReadOnly, or empty when unknown.
    std::string holders;

    bool isDone() const noexcept { return doneMarks > 0; }
    std::string attemptsText() const { return atRestart ? "at restart" : std::to_string(attempts); }
    // "Held by devenv.exe (pid 4412)", "read-only", or empty.
    std::string holderTip() const;
    // "Alpha is held by devenv.exe (pid 4412).", "Alpha is read-only.", or empty.
    // For a project that may replace a file in use, a holder that stopped
    // it is named as the reason: "..., which does not let it be renamed."
    std::string holderSentence(bool replaceInUse = false) const;
};

// What a read-only destination shows where a holder would be named.
inline constexpr const char* kReadOnly = "read-only";

// What changed in a row: its attempts, which a view shows, its done marks,
// which it does not, or who holds its destination, which its tip shows.
enum class RowChange { Attempts, DoneMarks, Holders };

// Told of every change, so a view can follow row by row instead of rebuilding.
class PendingListObserver {
public:
    virtual void rowInserted(int position, const PendingRow& row) = 0;
    virtual void rowRemoved(int position) = 0;
    virtual void rowChanged(int position, const PendingRow& row, RowChange change) = 0;

protected:
    ~PendingListObserver() = default;
};

// The queue of the update engine, kept sorted by name with the user locale's
// case-sensitive comparison. Rows are followed by id: an id stays with its
// row while positions shift as rows come and go. Positions are zero-based
// and serve the view (the observer, the selected line).
class PendingList {
public:
    void setObserver(PendingListObserver* observer) noexcept { observer_ = observer; }

    int count() const noexcept { return static_cast<int>(rows_.size()); }
    const PendingRow& rowAt(int position) const;  // "List index out of bounds (n)"

    // Inserts a row at its sorted place with no attempts; returns its id.
    std::uint64_t queue(const std::string& name, const std::string& addedAt, const std::string& putBack = "");
    void deleteAt(int position);

    // The first row whose name equals the given one, letter case ignored; -1 if none.
    int findByName(std::string_view name) const;

    // By id: the row, or null once it has left the list; its position, or -1.
    const PendingRow* find(std::uint64_t id) const;
    int positionOf(std::uint64_t id) const;
    // A row that has left the list is let be: nothing to count or mark.
    void countFailure(std::uint64_t id);
    void markDone(std::uint64_t id);
    void markAtRestart(std::uint64_t id);  // told as a change of its attempts, which it shows in their place
    void setHolders(std::uint64_t id, const std::string& holders);
    void remove(std::uint64_t id);

private:
    void checkIndex(int position) const;
    PendingRow* changing(std::uint64_t id, int& position);
    void erase(std::size_t at);

    std::vector<PendingRow> rows_;
    std::uint64_t nextId_ = 1;
    PendingListObserver* observer_ = nullptr;
    // Positions by id, made again at the first look after rows came or went:
    // a pass looks its rows up many times and changes the list only at its end.
    mutable std::unordered_map<std::uint64_t, std::size_t> positions_;
    mutable bool positionsValid_ = false;
};

}  // namespace moravel
