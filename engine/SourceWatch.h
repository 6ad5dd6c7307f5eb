#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/Clock.h"

namespace moravel {

class PendingList;
class TProjects;

// Notices that the source of a project marked "queue when the source
// changes" was written, replaced or renamed into place, and says when to
// queue it: once the file has been quiet for the quiet time and nobody holds
// it open for writing any more, so a build still writing it is not caught
// halfway.
//
// It compares each watched source's size and times at every poll, driven by
// a window timer: no worker thread and no wait handle for the window's
// several message loops to keep in mind, and it sees changes on network
// shares that never notify. A hundred sources cost a hundred attribute reads.
class SourceWatch {
public:
    static constexpr int kQuietMilliseconds = 2000;
    static constexpr unsigned kPollMilliseconds = 500;

    // Looks at every watched source once and returns the names to queue now,
    // in registry order. A project seen for the first time (loaded, added, the
    // option just set, its source changed to another file) is only noted.
    // A project already pending is not returned; its change is forgotten, the
    // pending row copies the new file anyway. A member of a set is returned
    // only once no changed source of its set is still being written.
    std::vector<std::string> poll(const TProjects& projects, const PendingList& pending);

    // Notes the sources of projects newly watched as they are now, without
    // looking for changes: called when projects were edited, so that a change
    // right after the edit is not taken for the first sight of the file.
    void notice(const TProjects& projects);

    // Whether any project was watched at the last poll.
    bool watching() const noexcept { return !watched_.empty(); }

private:
    struct Stamp {
        bool exists = false;
        std::uint64_t size = 0;
        std::uint64_t written = 0;
        std::uint64_t created = 0;
        bool operator==(const Stamp&) const = default;
    };
    struct Watched {
        std::string path;  // the source as a full path, when last looked at
        Stamp stamp;
        bool changed = false;
        LocalTime changedAt = 0;  // when the last change was seen
        std::string set;          // the project's set: its members are queued once all are quiet
        bool quiet = false;       // changed, and quiet at this poll
    };
    static Stamp stampOf(const std::string& path);

    std::map<std::string, Watched> watched_;  // by the registry's spelling of the name
};

// False while someone holds the file open for writing (or it is missing);
// other failures to read are the pass's to report.
bool readableWithoutSharingViolation(const std::string& path);

}  // namespace moravel
