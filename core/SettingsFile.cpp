#include "core/SettingsFile.h"

#include <windows.h>

#include <cctype>
#include <cstdint>
#include <vector>

#include "core/AppError.h"
#include "core/Files.h"
#include "core/Handle.h"
#include "core/Text.h"

namespace moravel {

namespace {

constexpr DWORD kSectionListSize = 0x4000;
constexpr DWORD kValueSize = 2048;

bool isProfileBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' ||
           c == '\x1a';
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// An option is written while it is on and taken out while it is off, so a
// file whose projects never use it reads exactly as before it existed.
bool writeOption(const std::string& section, const char* key, bool on, const char* file) {
    return WritePrivateProfileStringA(section.c_str(), key, on ? "1" : nullptr, file) != FALSE;
}

}  // namespace

std::string profileValue(const std::string& path, const std::string& section, const char* key) {
    std::string buffer(kValueSize, '\0');
    const DWORD length = GetPrivateProfileStringA(section.c_str(), key, "", buffer.data(),
                                                  kValueSize, path.c_str());
    buffer.resize(length);
    return buffer;
}

std::string settingsFilePath(const std::string& startDirectory) {
    return startDirectory + "\\Moravel.ini";
}

std::vector<std::string> profileSectionNames(const std::string& path) {
    std::string buffer(kSectionListSize, '\0');
    const DWORD length =
        GetPrivateProfileStringA(nullptr, nullptr, "", buffer.data(), kSectionListSize, path.c_str());
    std::vector<std::string> names;
    std::size_t at = 0;
    while (at < length) {
        std::size_t end = buffer.find('\0', at);
        if (end == std::string::npos || end > length) end = length;
        if (end == at) break;
        names.emplace_back(buffer, at, end - at);
        at = end + 1;
    }
    return names;
}

int profileInteger(std::string_view text, int defaultValue) {
    std::size_t at = 0;
    while (at < text.size() && text[at] == ' ') ++at;
    text.remove_prefix(at);
    if (text.empty()) return defaultValue;

    std::int64_t value = 0;
    bool negative = false;
    int base = 10;
    if (text[0] == '$') {
        base = 16;
        text.remove_prefix(1);
    } else if (text[0] == 'x' || text[0] == 'X') {
        base = 16;
        text.remove_prefix(1);
    } else if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (text[0] == '+' || text[0] == '-') {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return defaultValue;
    for (char c : text) {
        const int digit = base == 16 ? hexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (digit < 0) return defaultValue;
        value = value * base + digit;
        if (value > 0x80000000LL) return defaultValue;  // past any 32-bit value either way
    }
    if (negative) value = -value;
    if (value > INT32_MAX || value < INT32_MIN) return defaultValue;
    return static_cast<int>(value);
}

std::string profileValueText(const std::string& value) {
    if (value.empty()) return value;
    const char first = value.front(), last = value.back();
    const bool blankEnd = isProfileBlank(first) || isProfileBlank(last);
    const bool quoted = value.size() >= 2 && (first == '"' || first == '\'') && last == first;
    return blankEnd || quoted ? "\"" + value + "\"" : value;
}

bool SettingsFile::IgnoreCase::operator()(const std::string& a, const std::string& b) const {
    return compareTextIgnoreCase(a, b) < 0;
}

std::string SettingsFile::load(TProjects& projects) {
    known_.clear();
    // What a run ended halfway through a save left beside the file: its
    // scratch files, and the old file it was replacing.
    removeScratchFilesBeside({path_});
    const auto written = [](const std::string& path) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
        return (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
    };
    for (const std::string& aside : setAsideFilesOf(path_)) {
        // A save that could neither replace the file nor put it back left it
        // aside: it goes back under its name. One older than the file is the
        // file replaced; a newer one holds the bytes a failed write in place
        // could not give back, and stays for the user.
        if (!fileExists(path_))
            MoveFileExA(aside.c_str(), path_.c_str(), MOVEFILE_WRITE_THROUGH);
        else if (written(aside) <= written(path_))
            DeleteFileA(aside.c_str());
    }
    {
        // The profile reader gives an unreadable file as an empty one; the
        // user must hear that the projects are not all there.
        const UniqueFile file(CreateFileA(path_.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            const DWORD error = GetLastError();
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? std::string()
                                                                                   : systemErrorText(error);
        }
    }
    for (const std::string& section : profileSectionNames(path_)) {
        std::string destination = profileValue(path_, section, "destination");
        std::string source = profileValue(path_, section, "source");
        auto record = std::make_unique<TFileObject>(std::move(source), std::move(destination));
        if (profileInteger(profileValue(path_, section, "versionBackup"), 0) > 0)
            record->VersionBackup = true;
        record->ReplaceInUse = profileInteger(profileValue(path_, section, "replaceInUse"), 0) > 0;
        record->QueueOnChange = profileInteger(profileValue(path_, section, "queueOnChange"), 0) > 0;
        record->RestartHolder = profileInteger(profileValue(path_, section, "restartHolder"), 0) > 0;
        record->ForceClose = profileInteger(profileValue(path_, section, "forceClose"), 0) > 0;
        record->TryWhenFree = profileInteger(profileValue(path_, section, "tryWhenFree"), 0) > 0;
        record->AtRestart = profileInteger(profileValue(path_, section, "atRestart"), 0) > 0;
        record->Set = profileValue(path_, section, "Set");
        projects.add(section, std::move(record));
        known_.insert(section);
    }
    return {};
}

void SettingsFile::save(const TProjects& projects) {
    const auto refuse = [&]() { throw AppError("Unable to write to " + path_); };

    ScratchFile scratch(path_);
    if (!(fileExists(path_) ? scratch.copyFrom(path_) : scratch.createEmpty())) refuse();
    const char* file = scratch.path().c_str();

    for (const std::string& section : profileSectionNames(scratch.path())) {
        if (projects.find(section) < 0 && known_.count(section) &&
            !WritePrivateProfileStringA(section.c_str(), nullptr, nullptr, file))
            refuse();
    }
    for (int i = 0; i < projects.count(); ++i) {
        const std::string& name = projects.nameAt(i);
        const TFileObject& record = projects.recordAt(i);
        if (!WritePrivateProfileStringA(name.c_str(), "Source",
                                        profileValueText(record.Source).c_str(), file) ||
            !WritePrivateProfileStringA(name.c_str(), "Destination",
                                        profileValueText(record.Destination).c_str(), file) ||
            !WritePrivateProfileStringA(name.c_str(), "VersionBackup",
                                        record.VersionBackup ? "1" : "0", file) ||
            !writeOption(name, "ReplaceInUse", record.ReplaceInUse, file) ||
            !writeOption(name, "QueueOnChange", record.QueueOnChange, file) ||
            !writeOption(name, "RestartHolder", record.RestartHolder, file) ||
            !writeOption(name, "ForceClose", record.ForceClose, file) ||
            !writeOption(name, "TryWhenFree", record.TryWhenFree, file) ||
            !writeOption(name, "AtRestart", record.AtRestart, file) ||
            !WritePrivateProfileStringA(name.c_str(), "Set",
                                        record.Set.empty() ? nullptr : profileValueText(record.Set).c_str(), file))
            refuse();
    }
    // Flush the system's cache of the scratch file before it takes the place
    // of the settings file.
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, file);
    if (scratch.commit() != ReplaceOutcome::Replaced) refuse();

    known_.clear();
    for (int i = 0; i < projects.count(); ++i) known_.insert(projects.nameAt(i));
}

}  // namespace moravel
