#include "core/PendingRenames.h"

#include <windows.h>

#include "core/FileSeams.h"
#include "core/Handle.h"
#include "core/SetAside.h"
#include "core/Text.h"
#include "core/Paths.h"

namespace moravel {

namespace {

constexpr const char* kSessionManager = "System\\CurrentControlSet\\Control\\Session Manager";
constexpr const wchar_t* kListValue = L"PendingFileRenameOperations";

UniqueKey openSessionManager(REGSAM access) {
    UniqueKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, access, key.put()) != ERROR_SUCCESS) key.reset();
    return key;
}

// The list's texts as stored, in pairs. They are read and written as wide
// texts: the entries of other programs go back exactly as they were, whatever
// characters they hold.
bool readEntries(HKEY key, std::vector<std::wstring>& entries) {
    std::vector<wchar_t> data;
    DWORD size = 0;
    LONG result = ERROR_MORE_DATA;
    while (result == ERROR_MORE_DATA) {
        result = RegQueryValueExW(key, kListValue, nullptr, nullptr, nullptr, &size);
        if (result == ERROR_FILE_NOT_FOUND) return true;  // no list: nothing waits
        if (result != ERROR_SUCCESS) return false;
        data.assign(size / sizeof(wchar_t) + 1, L'\0');
        result = RegQueryValueExW(key, kListValue, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size);
    }
    if (result != ERROR_SUCCESS) return false;
    // Texts end with a zero; the list ends with one more, which reads as an
    // empty text left over after the last pair (a delete's empty destination
    // sits inside its pair).
    const std::size_t count = size / sizeof(wchar_t);
    std::size_t start = 0;
    for (std::size_t i = 0; i <= count; ++i) {
        if (i < count && data[i] != L'\0') continue;
        if (i > start || i < count) entries.emplace_back(data.data() + start, i - start);
        start = i + 1;
    }
    if (entries.size() % 2 == 1 && entries.back().empty()) entries.pop_back();
    return true;
}

bool writeEntries(HKEY key, const std::vector<std::wstring>& entries) {
    if (entries.empty()) {
        const LONG result = RegDeleteValueW(key, kListValue);
        return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
    }
    std::wstring data;
    for (const std::wstring& entry : entries) data.append(entry).push_back(L'\0');
    data.push_back(L'\0');
    return RegSetValueExW(key, kListValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
}


bool startsWith(const std::string& text, const char* prefix) {
    const std::size_t length = std::char_traits<char>::length(prefix);
    return text.size() >= length && lstrcmpiA(text.substr(0, length).c_str(), prefix) == 0;
}

// A path of the list ("\??\C:\dir\file", "!\??\UNC\server\share\file", the
// "!" saying that the destination may be replaced) or of a program
// ("\\?\C:\dir\file") as a program plainly names it.
std::string plainPath(std::string path) {
    if (!path.empty() && path[0] == '!') path.erase(0, 1);
    if (startsWith(path, "\\??\\") || startsWith(path, "\\\\?\\")) path.erase(0, 4);
    if (startsWith(path, "UNC\\")) path.replace(0, 3, "\\");
    return path;
}

bool samePath(const std::wstring& entry, const std::string& path) {
    return lstrcmpiA(plainPath(narrow(entry)).c_str(), plainPath(path).c_str()) == 0;
}

// Takes the pair out of the list, the other entries as they were. True when
// it is not in the list (any more).
bool removeFromList(const std::string& from, const std::string& to) {
    const UniqueKey key = openSessionManager(KEY_QUERY_VALUE | KEY_SET_VALUE);
    std::vector<std::wstring> entries;
    if (!key || !readEntries(key.get(), entries)) return false;
    std::vector<std::wstring> kept;
    for (std::size_t i = 0; i + 1 < entries.size(); i += 2) {
        if (samePath(entries[i], from) && samePath(entries[i + 1], to)) continue;
        kept.push_back(entries[i]);
        kept.push_back(entries[i + 1]);
    }
    if (entries.size() % 2 == 1) kept.push_back(entries.back());
    return kept.size() == entries.size() || writeEntries(key.get(), kept);
}

// A copy of a read-only source is read-only.
bool deleteFile(const std::string& path) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return deleteSetAside(path);
}

}  // namespace

std::optional<std::vector<PendingRename>> pendingRenames() {
    const UniqueKey key = openSessionManager(KEY_QUERY_VALUE);
    std::vector<std::wstring> entries;
    if (!key || !readEntries(key.get(), entries)) return std::nullopt;
    std::vector<PendingRename> renames;
    for (std::size_t i = 0; i + 1 < entries.size(); i += 2)
        renames.push_back({plainPath(narrow(entries[i])), plainPath(narrow(entries[i + 1]))});
    return renames;
}

bool mayScheduleRenames() {
    return fileSeams().scheduleRename || static_cast<bool>(openSessionManager(KEY_SET_VALUE));
}

bool scheduleReplace(const std::string& file, const std::string& destination, ScheduledReplace& scheduled) {
    ScheduledReplace made{fullPath(file), fullPath(destination)};
    if (!fileStamp(made.file, made.size, made.hash)) return false;
    const auto& stand = fileSeams().scheduleRename;
    const bool listed = stand ? stand(made.file, made.destination)
                              : MoveFileExA(made.file.c_str(), made.destination.c_str(),
                                            MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING) != FALSE;
    if (listed) scheduled = std::move(made);
    return listed;
}

bool cancelReplace(const ScheduledReplace& replace) {
    const bool unlisted = removeFromList(replace.file, replace.destination);
    // Without its file the entry does nothing: the restart's move fails.
    if (deleteFile(replace.file)) return true;
    // Left beside the destination, out of the list: it goes at the restart.
    if (unlisted) MoveFileExA(replace.file.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return unlisted;
}

ReplaceState settleReplace(const ScheduledReplace& replace) {
    if (fileExists(replace.file)) {
        const std::optional<std::vector<PendingRename>> renames = pendingRenames();
        if (!renames) return ReplaceState::Pending;  // cannot tell: it may still come
        for (const PendingRename& rename : *renames)
            if (lstrcmpiA(rename.from.c_str(), plainPath(replace.file).c_str()) == 0 &&
                lstrcmpiA(rename.to.c_str(), plainPath(replace.destination).c_str()) == 0)
                return ReplaceState::Pending;
        // Out of the list, by a restart whose move failed or by someone else: it never comes.
        deleteFile(replace.file);
        return ReplaceState::NotDone;
    }
    removeFromList(replace.file, replace.destination);
    std::uint64_t size = 0, hash = 0;
    const bool done = fileStamp(replace.destination, size, hash) && size == replace.size && hash == replace.hash;
    return done ? ReplaceState::Done : ReplaceState::NotDone;
}

bool fileStamp(const std::string& path, std::uint64_t& size, std::uint64_t& hash) {
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const UniqueFile file(
        CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return false;
    // FNV-1a, 64 bits: enough to tell one build from another.
    std::vector<unsigned char> chunk(1 << 20);
    size = 0;
    hash = 0xCBF29CE484222325ull;
    DWORD read = 0;
    while (ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr)) {
        if (read == 0) return true;
        size += read;
        for (DWORD i = 0; i < read; ++i) hash = (hash ^ chunk[i]) * 0x100000001B3ull;
    }
    return false;
}

}  // namespace moravel
