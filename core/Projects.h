#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/ObjectUnit.h"

namespace moravel {

// The project registry: names kept sorted by the user locale's comparison
// with letter case ignored, each carrying the record it owns. Alpha and ALPHA
// are one project; the first spelling stored is the one kept.
class TProjects {
public:
    int count() const noexcept { return static_cast<int>(entries_.size()); }

    // Positions run from 0 to count() - 1; anything else raises
    // "List index out of bounds (n)".
    const std::string& nameAt(int index) const;
    TFileObject& recordAt(int index) const;

    // Position of the name, or -1.
    int find(std::string_view name) const;

    // A name already present keeps its stored spelling and position and takes
    // the new record; the record it carried before is released.
    int add(const std::string& name, std::unique_ptr<TFileObject> record);

    void remove(int index);

    // The record of a name, or null when there is no such project.
    TFileObject* lookup(std::string_view name) const;

    // The names of the projects in the set (letter case ignored), in
    // registry order; none for an empty set name.
    std::vector<std::string> membersOf(std::string_view set) const;
    // The names, each project's own and those of every other member of its
    // set, each once, in the order first met. Unknown names stay as they are.
    std::vector<std::string> withTheirSets(const std::vector<std::string>& names) const;
    // The set names in use, each once (in the first project's spelling), sorted.
    std::vector<std::string> setNames() const;

private:
    struct Entry {
        std::string name;
        std::unique_ptr<TFileObject> record;
    };

    // First position whose name is not below the given one.
    std::size_t lowerBound(std::string_view name) const;
    void checkIndex(int index) const;

    std::vector<Entry> entries_;
    // The records by their stored spelling, byte for byte: a pass looks up
    // every queued name, and nearly all are spelled as stored. No two names
    // are equal with letter case ignored, so a name found here is the one
    // the locale's comparison would find too.
    std::unordered_map<std::string, TFileObject*> bySpelling_;
};

}  // namespace moravel
