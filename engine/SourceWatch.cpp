#include "engine/SourceWatch.h"

#include <windows.h>

#include <algorithm>

#include "core/Handle.h"
#include "core/Paths.h"
#include "core/Projects.h"
#include "core/Text.h"
#include "engine/PendingList.h"

namespace moravel {

namespace {

std::uint64_t ticks(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

bool readableWithoutSharingViolation(const std::string& path) {
    // Sharing only reading: the open fails while any other handle may write.
    const UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) return true;
    switch (GetLastError()) {
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return false;
        default:
            return true;
    }
}

SourceWatch::Stamp SourceWatch::stampOf(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (path.empty() || !GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return {};
    return {true, (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow,
            ticks(data.ftLastWriteTime), ticks(data.ftCreationTime)};
}

void SourceWatch::notice(const TProjects& projects) {
    for (int i = 0; i < projects.count(); ++i) {
        const TFileObject& project = projects.recordAt(i);
        if (!project.QueueOnChange) continue;
        const std::string path = fullPath(project.Source);
        const auto seen = watched_.find(projects.nameAt(i));
        if (seen == watched_.end() || seen->second.path != path)
            watched_[projects.nameAt(i)] = Watched{path, stampOf(path), false, localNow(), project.Set};
    }
}

std::vector<std::string> SourceWatch::poll(const TProjects& projects, const PendingList& pending) {
    const LocalTime now = localNow();
    std::map<std::string, Watched> before = std::move(watched_);
    watched_.clear();
    std::vector<std::string> toQueue;

    for (int i = 0; i < projects.count(); ++i) {
        const TFileObject& project = projects.recordAt(i);
        if (!project.QueueOnChange) continue;
        const std::string& name = projects.nameAt(i);
        const std::string path = fullPath(project.Source);
        const Stamp stamp = stampOf(path);

        const auto seen = before.find(name);
        if (seen == before.end() || seen->second.path != path) {
            watched_[name] = Watched{path, stamp, false, now, project.Set};
            continue;
        }
        Watched entry = seen->second;
        // A file out of sight (a share that dropped off the network, a build
        // that deletes before it writes) changes nothing by itself: back as
        // it was, it is no new build.
        if (stamp.exists && stamp != entry.stamp) {
            entry.stamp = stamp;
            entry.changed = true;
            entry.changedAt = now;
        }
        // The clock may be set back: the quiet time then starts again.
        if (entry.changedAt > now) entry.changedAt = now;
        entry.quiet = entry.changed && stamp.exists && now >= addMilliseconds(entry.changedAt, kQuietMilliseconds) &&
                      readableWithoutSharingViolation(path);
        entry.set = project.Set;
        watched_[name] = std::move(entry);
    }
    // A member of a set waits until every changed source of its set is quiet:
    // then the set is queued once, as one release.
    for (auto& [name, entry] : watched_) {
        if (!entry.quiet) continue;
        const bool setStillChanging = !entry.set.empty() && std::any_of(watched_.begin(), watched_.end(), [&](const auto& other) {
            return other.second.changed && !other.second.quiet && compareTextIgnoreCase(other.second.set, entry.set) == 0;
        });
        if (setStillChanging) continue;
        entry.changed = false;
        if (pending.findByName(name) < 0) toQueue.push_back(name);
    }
    for (auto& [name, entry] : watched_) entry.quiet = false;
    return toQueue;
}

}  // namespace moravel
