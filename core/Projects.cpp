#include "core/Projects.h"

#include <algorithm>

#include "core/AppError.h"
#include "core/Text.h"

namespace moravel {

void TProjects::checkIndex(int index) const {
    if (index < 0 || index >= count())
        throw AppError("List index out of bounds (" + std::to_string(index) + ")");
}

const std::string& TProjects::nameAt(int index) const {
    checkIndex(index);
    return entries_[static_cast<std::size_t>(index)].name;
}

TFileObject& TProjects::recordAt(int index) const {
    checkIndex(index);
    return *entries_[static_cast<std::size_t>(index)].record;
}

std::size_t TProjects::lowerBound(std::string_view name) const {
    std::size_t lo = 0, hi = entries_.size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (compareTextIgnoreCase(entries_[mid].name, name) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

int TProjects::find(std::string_view name) const {
    const std::size_t at = lowerBound(name);
    if (at < entries_.size() && compareTextIgnoreCase(entries_[at].name, name) == 0)
        return static_cast<int>(at);
    return -1;
}

TFileObject* TProjects::lookup(std::string_view name) const {
    if (const auto spelled = bySpelling_.find(std::string(name)); spelled != bySpelling_.end())
        return spelled->second;
    const int at = find(name);
    return at < 0 ? nullptr : entries_[static_cast<std::size_t>(at)].record.get();
}

int TProjects::add(const std::string& name, std::unique_ptr<TFileObject> record) {
    const std::size_t at = lowerBound(name);
    if (at < entries_.size() && compareTextIgnoreCase(entries_[at].name, name) == 0) {
        bySpelling_[entries_[at].name] = record.get();
        entries_[at].record = std::move(record);
    } else {
        bySpelling_[name] = record.get();
        entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(at),
                        Entry{name, std::move(record)});
    }
    return static_cast<int>(at);
}

void TProjects::remove(int index) {
    checkIndex(index);
    bySpelling_.erase(entries_[static_cast<std::size_t>(index)].name);
    entries_.erase(entries_.begin() + index);
}

std::vector<std::string> TProjects::membersOf(std::string_view set) const {
    std::vector<std::string> names;
    if (set.empty()) return names;
    for (const Entry& entry : entries_)
        if (compareTextIgnoreCase(entry.record->Set, set) == 0) names.push_back(entry.name);
    return names;
}

std::vector<std::string> TProjects::withTheirSets(const std::vector<std::string>& names) const {
    std::vector<std::string> all;
    const auto add = [&all](const std::string& name) {
        for (const std::string& there : all)
            if (compareTextIgnoreCase(there, name) == 0) return;
        all.push_back(name);
    };
    for (const std::string& name : names) {
        add(name);
        if (const TFileObject* project = lookup(name))
            for (const std::string& member : membersOf(project->Set)) add(member);
    }
    return all;
}

std::vector<std::string> TProjects::setNames() const {
    std::vector<std::string> sets;
    for (const Entry& entry : entries_) {
        const std::string& set = entry.record->Set;
        if (set.empty()) continue;
        const auto at = std::lower_bound(sets.begin(), sets.end(), set, [](const std::string& a, const std::string& b) {
            return compareTextIgnoreCase(a, b) < 0;
        });
        if (at == sets.end() || compareTextIgnoreCase(*at, set) != 0) sets.insert(at, set);
    }
    return sets;
}

}  // namespace moravel
