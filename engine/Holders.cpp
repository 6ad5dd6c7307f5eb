#include "engine/Holders.h"

#include <windows.h>
#include <restartmanager.h>
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

#include "core/Handle.h"
#include "core/Library.h"
#include "core/Text.h"
#include "engine/HandleTable.h"
#include "engine/ProcessFacts.h"

namespace moravel {

std::string holdersText(const std::vector<Holder>& holders) {
    std::string text;
    for (const Holder& holder : holders) {
        if (!text.empty()) text += ", ";
        text += holder.process + " (pid " + std::to_string(holder.pid) + ")";
    }
    return text;
}

namespace {

using Clock = std::chrono::steady_clock;
using Answers = std::vector<std::vector<Holder>>;

std::wstring wide(const std::string& text) {
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), result.data(), length);
    return result;
}


// File names compare without regard to letter case, as the file system does.
std::wstring upper(std::wstring text) {
    if (!text.empty()) CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

std::wstring finalPath(HANDLE file, DWORD flags) {
    std::wstring path(MAX_PATH, L'\0');
    for (int tries = 0; tries < 3; ++tries) {
        const DWORD length = GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()), flags);
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return upper(std::move(path));
        }
        path.resize(length);  // too small: the length asked for counts the terminator
    }
    return {};
}

// ---- the Restart Manager ------------------------------------------------------------------

class RestartManager {
public:
    RestartManager() : module_(LoadLibraryA("rstrtmgr.dll")) {
        start_ = procAddress<decltype(start_)>(module_.get(), "RmStartSession");
        register_ = procAddress<decltype(register_)>(module_.get(), "RmRegisterResources");
        list_ = procAddress<decltype(list_)>(module_.get(), "RmGetList");
        end_ = procAddress<decltype(end_)>(module_.get(), "RmEndSession");
    }

    // What it tells of a process that uses a file.
    struct User {
        std::string name;
        std::uint64_t started = 0;
    };

    // The processes that use the file; empty when it does not know.
    std::map<DWORD, User> users(const std::wstring& path) const {
        if (!start_ || !register_ || !list_ || !end_) return {};
        DWORD session = 0;
        WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
        if (start_(&session, 0, key) != ERROR_SUCCESS) return {};
        std::map<DWORD, User> pids;
        LPCWSTR files[] = {path.c_str()};
        if (register_(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS) {
            std::vector<RM_PROCESS_INFO> found(4);
            for (int tries = 0; tries < 3; ++tries) {
                UINT needed = 0, count = static_cast<UINT>(found.size());
                DWORD reasons = 0;
                const DWORD result = list_(session, &needed, &count, found.data(), &reasons);
                if (result == ERROR_MORE_DATA) {
                    found.resize(needed + 4u);  // more may start meanwhile
                    continue;
                }
                if (result == ERROR_SUCCESS)
                    for (UINT i = 0; i < count && i < found.size(); ++i) {
                        const FILETIME& started = found[i].Process.ProcessStartTime;
                        pids[found[i].Process.dwProcessId] = {
                            narrow(found[i].strAppName),
                            (std::uint64_t{started.dwHighDateTime} << 32) | started.dwLowDateTime};
                    }
                break;
            }
        }
        end_(session);
        return pids;
    }

private:
    UniqueLibrary module_;
    DWORD(WINAPI* start_)(DWORD*, DWORD, WCHAR*) = nullptr;
    DWORD(WINAPI* register_)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT, LPCWSTR*) = nullptr;
    DWORD(WINAPI* list_)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, LPDWORD) = nullptr;
    DWORD(WINAPI* end_)(DWORD) = nullptr;
};

// ---- the system's handle table ------------------------------------------------------------

// A destination as the handle table route compares it: its path within its
// volume (cheap to ask of every handle), then its whole path to be sure,
// asked only when some handle's path within its volume is the same.
struct Target {
    std::wstring inVolume;
    std::wstring whole;
    std::wstring name;  // as given, for the whole path when it is needed

    const std::wstring& wholePath() {
        if (!whole.empty() || name.empty()) return whole;
        const UniqueFile file(open(name));
        if (file) whole = finalPath(file.get(), VOLUME_NAME_DOS);
        return whole;
    }
    // No data access, every sharing: holders never keep this open out.
    static HANDLE open(const std::wstring& name) {
        return CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    }
};

Target targetOf(const std::string& path) {
    const std::wstring name = wide(path);
    const UniqueFile file(Target::open(name));
    if (file) return {finalPath(file.get(), VOLUME_NAME_NONE), L"", name};

    // Refused even that: the full path as written, in the form the system gives.
    const DWORD size = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (size == 0) return {};
    std::wstring full(size, L'\0');
    full.resize(GetFullPathNameW(name.c_str(), size, full.data(), nullptr));
    if (full.size() < 3) return {};
    Target target;
    if (full.compare(0, 2, L"\\\\") == 0) {
        target.whole = upper(L"\\\\?\\UNC\\" + full.substr(2));
        const std::size_t server = full.find(L'\\', 2);
        const std::size_t share = server == std::wstring::npos ? server : full.find(L'\\', server + 1);
        if (share != std::wstring::npos) target.inVolume = upper(full.substr(share));
    } else {
        target.whole = upper(L"\\\\?\\" + full);
        target.inVolume = upper(full.substr(2));
    }
    return target;
}

// Which of the targets each process of the table has open.
std::vector<std::vector<DWORD>> handleUsers(std::vector<Target>& targets, Clock::time_point deadline) {
    std::vector<std::vector<DWORD>> users(targets.size());
    std::multimap<std::wstring, std::size_t> byInVolume;
    for (std::size_t i = 0; i < targets.size(); ++i)
        if (!targets[i].inVolume.empty()) byInVolume.emplace(targets[i].inVolume, i);
    if (byInVolume.empty()) return users;

    // A handle of our own tells which type number files have in this table.
    char self[MAX_PATH * 2] = {};
    GetModuleFileNameA(nullptr, self, sizeof self - 1);
    const UniqueFile ownFile(CreateFileA(self, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    if (!ownFile) return users;
    const HandleSnapshot table;
    const DWORD ownPid = GetCurrentProcessId();
    int fileType = -1;
    for (std::size_t i = 0; i < table.size() && fileType < 0; ++i)
        if (table[i].pid == ownPid && table[i].handle == reinterpret_cast<ULONG_PTR>(ownFile.get()))
            fileType = table[i].objectTypeIndex;
    if (fileType < 0) return users;

    std::map<ULONG_PTR, UniqueHandle> processes;  // opened once per lookup, null when refused
    for (std::size_t i = 0; i < table.size(); ++i) {
        const HandleEntry& entry = table[i];
        if (entry.objectTypeIndex != fileType || entry.pid == ownPid) continue;
        if (Clock::now() > deadline) return {};

        auto [process, added] = processes.try_emplace(entry.pid);
        if (added) process->second.reset(OpenProcess(PROCESS_DUP_HANDLE, FALSE, static_cast<DWORD>(entry.pid)));
        if (!process->second) continue;
        UniqueHandle copy;
        if (!DuplicateHandle(process->second.get(), reinterpret_cast<HANDLE>(entry.handle), GetCurrentProcess(),
                             copy.put(), 0, FALSE, DUPLICATE_SAME_ACCESS))
            continue;
        // Only disk files are asked their name: a name query on a pipe can wait
        // for the other end for ever.
        if (GetFileType(copy.get()) != FILE_TYPE_DISK) continue;
        const auto [first, last] = byInVolume.equal_range(finalPath(copy.get(), VOLUME_NAME_NONE));
        if (first == last) continue;
        const std::wstring whole = finalPath(copy.get(), VOLUME_NAME_DOS);
        for (auto match = first; match != last; ++match)
            if (targets[match->second].wholePath() == whole) users[match->second].push_back(static_cast<DWORD>(entry.pid));
    }
    return users;
}

// ---- programs running from a file ----------------------------------------------------------

// A program holds its own executable and the libraries it has loaded without
// any file handle for them, so the handle table never names it. Its image
// path and its module list do. Names are compared first (cheap, and nearly
// always different); only a path whose file name matches is opened and
// compared by its final path, as the handle table route compares.
class RunningUsers {
public:
    explicit RunningUsers(std::vector<Target>& targets) : targets_(targets) {
        for (std::size_t i = 0; i < targets_.size(); ++i)
            if (!targets_[i].name.empty()) byName_.emplace(upper(fileName(targets_[i].name)), i);
    }

    // Which targets the process with this pid runs from or has loaded.
    std::vector<std::size_t> of(DWORD pid) {
        std::vector<std::size_t> found;
        if (byName_.empty()) return found;
        const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        if (process) {
            std::wstring image(MAX_PATH * 2, L'\0');
            DWORD size = static_cast<DWORD>(image.size());
            if (QueryFullProcessImageNameW(process.get(), 0, image.data(), &size)) {
                image.resize(size);
                match(image, found);
            }
        }
        const UniqueFile modules(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid));
        if (modules) {
            MODULEENTRY32W entry = {};
            entry.dwSize = sizeof entry;
            for (BOOL more = Module32FirstW(modules.get(), &entry); more; more = Module32NextW(modules.get(), &entry))
                match(entry.szExePath, found);
        }
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());
        return found;
    }

private:
    static std::wstring fileName(const std::wstring& path) {
        const std::size_t at = path.find_last_of(L"\\/:");
        return at == std::wstring::npos ? path : path.substr(at + 1);
    }

    void match(const std::wstring& path, std::vector<std::size_t>& found) {
        const auto [first, last] = byName_.equal_range(upper(fileName(path)));
        if (first == last) return;
        auto known = finalPaths_.find(path);
        if (known == finalPaths_.end()) {
            const UniqueFile file(Target::open(path));
            known = finalPaths_.emplace(path, file ? finalPath(file.get(), VOLUME_NAME_DOS) : L"").first;
        }
        if (known->second.empty()) return;
        for (auto candidate = first; candidate != last; ++candidate)
            if (targets_[candidate->second].wholePath() == known->second) found.push_back(candidate->second);
    }

    std::vector<Target>& targets_;
    std::multimap<std::wstring, std::size_t> byName_;
    std::map<std::wstring, std::wstring> finalPaths_;  // each file opened once per lookup
};

// ---- one lookup ---------------------------------------------------------------------------

std::map<DWORD, std::string> processNames() {
    std::map<DWORD, std::string> names;
    const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return names;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry))
        names[entry.th32ProcessID] = entry.szExeFile;
    return names;
}

Answers lookUp(const std::vector<std::string>& paths, Clock::time_point deadline) {
    // Each path's holders, and how each holds it.
    std::vector<std::map<DWORD, Holder::Hold>> held(paths.size());
    std::vector<bool> answered(paths.size());
    std::map<DWORD, RestartManager::User> told;  // what the Restart Manager tells of them
    const DWORD ownPid = GetCurrentProcessId();
    std::optional<std::map<DWORD, std::string>> names;  // taken once, when somebody is found

    // The Restart Manager is the documented way and knows services too; it
    // gets the first half of the time.
    const Clock::time_point halfway = Clock::now() + (deadline - Clock::now()) / 2;
    const RestartManager restartManager;
    for (std::size_t i = 0; i < paths.size() && Clock::now() < halfway; ++i)
        for (auto& [pid, user] : restartManager.users(wide(paths[i]))) {
            held[i][pid] = Holder::Hold::Opened;
            told[pid] = std::move(user);
            answered[i] = true;
        }

    std::vector<Target> targets(paths.size());
    bool anyLeft = false;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (Clock::now() > deadline) continue;
        targets[i] = targetOf(paths[i]);
        anyLeft = anyLeft || !answered[i];
    }
    // The handle table for the paths the Restart Manager did not answer.
    if (anyLeft) {
        const auto users = handleUsers(targets, deadline);
        for (std::size_t i = 0; i < users.size(); ++i)
            for (const DWORD pid : users[i])
                if (!answered[i]) held[i].emplace(pid, Holder::Hold::Opened);
    }
    // Who runs each file: among every process for those paths, among the
    // Restart Manager's answer for the others.
    std::vector<DWORD> candidates;
    if (anyLeft) {
        names = processNames();
        for (const auto& entry : *names) candidates.push_back(entry.first);
    } else {
        for (const auto& entry : told) candidates.push_back(entry.first);
    }
    RunningUsers running(targets);
    for (const DWORD pid : candidates) {
        if (pid == ownPid || pid == 0) continue;
        if (Clock::now() > deadline) break;
        for (const std::size_t i : running.of(pid))
            if (!answered[i] || held[i].count(pid)) held[i][pid] = Holder::Hold::Runs;
    }

    Answers answers(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        for (const auto& [pid, how] : held[i]) {
            if (pid == ownPid) continue;
            if (!names) names = processNames();
            const auto name = names->find(pid);
            const auto user = told.find(pid);
            answers[i].push_back({name != names->end() ? name->second : user != told.end() ? user->second.name : "",
                                  pid, how, user != told.end() ? user->second.started : startTimeOf(pid)});
        }
        std::sort(answers[i].begin(), answers[i].end(), [](const Holder& a, const Holder& b) {
            const int order = compareTextIgnoreCase(a.process, b.process);
            return order != 0 ? order < 0 : a.pid < b.pid;
        });
    }
    return answers;
}

// Lookups under way, and pauses asked for: one excludes the other.
struct Exclusion {
    std::mutex mutex;
    std::condition_variable changed;
    int lookups = 0, pauses = 0;
};
Exclusion exclusion;

// One lookup under way, unless a pause came first and outlasts the deadline.
class LookupUnderWay {
public:
    explicit LookupUnderWay(Clock::time_point deadline) {
        std::unique_lock lock(exclusion.mutex);
        allowed_ = exclusion.changed.wait_until(lock, deadline, [] { return exclusion.pauses == 0; });
        if (allowed_) ++exclusion.lookups;
    }
    ~LookupUnderWay() {
        if (!allowed_) return;
        {
            const std::lock_guard lock(exclusion.mutex);
            --exclusion.lookups;
        }
        exclusion.changed.notify_all();
    }
    LookupUnderWay(const LookupUnderWay&) = delete;
    LookupUnderWay& operator=(const LookupUnderWay&) = delete;
    bool allowed() const { return allowed_; }

private:
    bool allowed_ = false;
};

}  // namespace

HolderLookupPause::HolderLookupPause() {
    std::unique_lock lock(exclusion.mutex);
    ++exclusion.pauses;  // no lookup starts from now on
    exclusion.changed.wait_for(lock, std::chrono::seconds(2), [] { return exclusion.lookups == 0; });
}

HolderLookupPause::~HolderLookupPause() {
    {
        const std::lock_guard lock(exclusion.mutex);
        --exclusion.pauses;
    }
    exclusion.changed.notify_all();
}

std::vector<std::vector<Holder>> SystemHolderFinder::find(const std::vector<std::string>& paths) {
    // The lookup watches the time itself, between handles. What it cannot
    // time is a name query that waits for another program's I/O: an answer
    // that comes that late is not given.
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeLimitMs_);
    const LookupUnderWay underWay(deadline);
    if (!underWay.allowed()) return Answers(paths.size());
    Answers answers = lookUp(paths, deadline);
    if (Clock::now() > deadline + std::chrono::milliseconds(50)) return Answers(paths.size());
    return answers;
}


}  // namespace moravel
