#include "engine/AtRestart.h"

#include <windows.h>

#include <charconv>

#include "core/Clock.h"
#include "core/Files.h"
#include "core/SettingsFile.h"
#include "engine/FileVersion.h"
#include "engine/PendingList.h"

namespace moravel {

namespace {

bool readNumber(const std::string& text, std::uint64_t& number) {
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, number);
    return error == std::errc() && at == end && !text.empty();
}

}  // namespace

std::string atRestartMemoryPath(const std::string& settingsPath) {
    return folderOf(settingsPath) + "Moravel-restart.ini";
}

std::vector<std::string> AtRestartRows::recall(const std::string& memoryPath) {
    memory_ = memoryPath;
    std::vector<std::string> lines;
    const std::vector<std::string> sections = profileSectionNames(memory_);
    for (const std::string& section : sections) {
        Entry entry;
        entry.source = profileValue(memory_, section, "Source");
        entry.destination = profileValue(memory_, section, "Destination");
        entry.replace.file = profileValue(memory_, section, "File");
        entry.replace.destination = profileValue(memory_, section, "Target");
        // Not written by us: nothing to judge, and no file of somebody else's to delete.
        if (!readNumber(profileValue(memory_, section, "Size"), entry.replace.size) ||
            !readNumber(profileValue(memory_, section, "Hash"), entry.replace.hash) ||
            !isRestartFileOf(entry.replace.file, entry.replace.destination))
            continue;
        const std::string start = timestampText(localNow()) + " ";
        const std::string name(fileNamePart(entry.replace.destination));
        switch (settleReplace(entry.replace)) {
            case ReplaceState::Done:
                lines.push_back(start + entry.source + " [v" + GetFileVersionText(entry.replace.destination) + "] -> " +
                                entry.destination);
                break;
            case ReplaceState::Pending:
                lines.push_back(start + name + " will be replaced at the next restart.");
                entries_.push_back(std::move(entry));
                break;
            case ReplaceState::NotDone:
                lines.push_back(start + name + " was not replaced at the restart.");
                break;
        }
    }
    if (!sections.empty()) remember();
    return lines;
}

RowEnd AtRestartRows::scheduled(std::uint64_t row, const TFileObject& project, const ScheduledReplace& replace,
                                PendingList& pending) {
    entries_.push_back({row, project.Source, project.Destination, replace});
    if (!pending.find(row)) {
        followRows(pending);
        return RowEnd::LeftList;
    }
    pending.markAtRestart(row);
    remember();
    return RowEnd::AtRestart;
}

void AtRestartRows::followRows(const PendingList& pending) {
    std::vector<Entry> kept;
    for (Entry& entry : entries_) {
        if (entry.row != 0 && !pending.find(entry.row)) {
            if (cancelReplace(entry.replace)) continue;
            entry.row = 0;  // it still happens: the next start tells
        }
        kept.push_back(std::move(entry));
    }
    const bool changed = kept.size() != entries_.size();  // the memory has no rows
    entries_ = std::move(kept);
    if (changed) remember();
}

void AtRestartRows::remember() const {
    if (memory_.empty()) return;
    if (entries_.empty()) {
        DeleteFileA(memory_.c_str());
        return;
    }
    ScratchFile scratch(memory_, InPlace::Never);
    if (!scratch.createEmpty()) return;
    const char* file = scratch.path().c_str();
    int number = 0;
    for (const Entry& entry : entries_) {
        const std::string section = std::to_string(++number);
        const struct {
            const char* key;
            std::string value;
        } values[] = {{"Source", entry.source},
                      {"Destination", entry.destination},
                      {"File", entry.replace.file},
                      {"Target", entry.replace.destination},
                      {"Size", std::to_string(entry.replace.size)},
                      {"Hash", std::to_string(entry.replace.hash)}};
        for (const auto& [key, value] : values)
            if (!WritePrivateProfileStringA(section.c_str(), key, profileValueText(value).c_str(), file)) return;
    }
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, file);  // out of the system's cache, onto the disk
    scratch.commit();
}

}  // namespace moravel
