#include "engine/ProcessFacts.h"

#include <algorithm>
#include <vector>

#include "core/Files.h"
#include "core/Handle.h"
#include "core/Library.h"
#include "core/Text.h"

namespace moravel {

namespace {

std::vector<BYTE> tokenUser(HANDLE process) {
    UniqueHandle token;
    if (!OpenProcessToken(process, TOKEN_QUERY, token.put())) return {};
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size);
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) return {};
    return user;
}

}  // namespace

std::string imagePath(HANDLE process) {
    char path[MAX_PATH * 2] = {};
    DWORD size = sizeof path;
    return QueryFullProcessImageNameA(process, 0, path, &size) ? std::string(path, size) : std::string();
}

std::uint64_t startTime(HANDLE process) {
    FILETIME created = {}, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}

std::uint64_t startTimeOf(unsigned long pid) {
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    return process ? startTime(process.get()) : 0;
}

bool sameUserAsUs(HANDLE process) {
    const std::vector<BYTE> theirs = tokenUser(process), ours = tokenUser(GetCurrentProcess());
    if (theirs.empty() || ours.empty()) return false;
    return EqualSid(reinterpret_cast<const TOKEN_USER*>(theirs.data())->User.Sid,
                    reinterpret_cast<const TOKEN_USER*>(ours.data())->User.Sid) != FALSE;
}

bool inOurSession(unsigned long pid) {
    DWORD theirs = 0, ours = 0;
    return ProcessIdToSessionId(pid, &theirs) && ProcessIdToSessionId(GetCurrentProcessId(), &ours) && theirs == ours;
}

bool isSystemProcess(HANDLE process) {
    const std::string image = imagePath(process);
    if (image.empty()) return true;
    const std::string imageName(fileNamePart(image));
    static const char* const kNames[] = {"system",       "smss.exe",    "csrss.exe",    "wininit.exe",
                                         "winlogon.exe", "services.exe", "lsass.exe",    "svchost.exe",
                                         "dwm.exe",      "explorer.exe", "winedevice.exe", "plugplay.exe",
                                         "rpcss.exe"};
    for (const char* system : kNames)
        if (compareTextIgnoreCase(imageName, system) == 0) return true;
    return false;
}

StartedAs startedAs(HANDLE process) {
    using Query = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    const Query query = procAddress<Query>(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess");
    if (!query) return {};

    // Where its process block is. A 32-bit program on 64-bit Windows reads
    // only other 32-bit programs, whose 32-bit block the system names apart.
    constexpr ULONG kProcessBasicInformation = 0, kProcessWow64Information = 26;
    BOOL ownWow64 = FALSE, theirWow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &ownWow64);
    IsWow64Process(process, &theirWow64);
    if (ownWow64 != theirWow64) return {};
    ULONG_PTR block = 0;
    if (ownWow64) {
        if (query(process, kProcessWow64Information, &block, sizeof block, nullptr) < 0) return {};
    } else {
        ULONG_PTR basic[6] = {};  // exit status, the block, affinity, priority, pid, parent pid
        if (query(process, kProcessBasicInformation, basic, sizeof basic, nullptr) < 0) return {};
        block = basic[1];
    }

    const auto read = [process](ULONG_PTR at, void* into, std::size_t size) {
        SIZE_T got = 0;
        return at && ReadProcessMemory(process, reinterpret_cast<LPCVOID>(at), into, size, &got) && got == size;
    };
    struct CountedText {  // as the system keeps its texts: length in bytes, room, where
        USHORT length, maximumLength;
        ULONG_PTR buffer;
    };
    const auto text = [&](const CountedText& counted) {
        std::wstring wide(counted.length / sizeof(wchar_t), L'\0');
        return !wide.empty() && read(counted.buffer, wide.data(), wide.size() * sizeof(wchar_t))
                   ? narrow(wide)
                   : std::string();
    };
    // The parameters are 4 pointers into the block. In them, after 16 bytes
    // and 5 pointers, come the working folder (a text and a handle), then the
    // library path, the image and the command line (3 texts on).
    constexpr std::size_t kParametersAt = 4 * sizeof(ULONG_PTR), kFolderAt = 16 + 5 * sizeof(ULONG_PTR);
    ULONG_PTR parameters = 0;
    CountedText folder = {}, commandLine = {};
    if (!read(block + kParametersAt, &parameters, sizeof parameters) ||
        !read(parameters + kFolderAt, &folder, sizeof folder) ||
        !read(parameters + kFolderAt + 3 * sizeof(CountedText) + sizeof(ULONG_PTR), &commandLine, sizeof commandLine))
        return {};
    return {text(commandLine), text(folder), runsElevated(process)};
}

bool runsElevated(HANDLE process) {
    UniqueHandle token;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    return OpenProcessToken(process, TOKEN_QUERY, token.put()) &&
           GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
           elevation.TokenIsElevated != 0;
}

namespace {

using UniqueAttributeList = Unique<NullTraits<LPPROC_THREAD_ATTRIBUTE_LIST, DeleteProcThreadAttributeList>>;

// Attributes that make the shell the parent of a new process: it then runs
// with the shell's rights, the user's own. Each part must live until the
// process is made.
struct ThroughTheShell {
    UniqueHandle shell;
    HANDLE parent = nullptr;
    std::vector<char> room;
    UniqueAttributeList attributes;

    // False when there is no shell, or it may not be used so.
    bool make() {
        DWORD pid = 0;
        if (const HWND desktop = GetShellWindow()) GetWindowThreadProcessId(desktop, &pid);
        shell.reset(pid ? OpenProcess(PROCESS_CREATE_PROCESS, FALSE, pid) : nullptr);
        parent = shell.get();
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        room.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(room.data());
        if (!shell || size == 0 || !InitializeProcThreadAttributeList(list, 1, 0, &size)) return false;
        attributes.reset(list);
        return UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_PARENT_PROCESS, &parent, sizeof parent,
                                         nullptr, nullptr) != FALSE;
    }
};

}  // namespace

Restart startAsItRan(const std::string& image, const StartedAs& was, const std::string& fallbackFolder) {
    Restart restart;
    std::string commandLine = was.commandLine.empty() ? "\"" + image + "\"" : was.commandLine;
    const std::string folder = was.folder.empty() ? fallbackFolder : was.folder;
    STARTUPINFOEXA startup = {};
    startup.StartupInfo.cb = sizeof startup.StartupInfo;
    DWORD flags = 0;
    ThroughTheShell shell;
    if (!was.elevated && runsElevated(GetCurrentProcess())) {
        if (!shell.make()) {
            restart.notAsItRan = true;
            return restart;
        }
        startup.StartupInfo.cb = sizeof startup;
        startup.lpAttributeList = shell.attributes.get();
        flags = EXTENDED_STARTUPINFO_PRESENT;
    }
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(image.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup.StartupInfo, &info))
        return restart;
    restart.process.reset(info.hProcess);
    restart.thread.reset(info.hThread);
    restart.pid = info.dwProcessId;
    return restart;
}

bool hasEnded(HANDLE process) { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }

bool waitForEnd(HANDLE process, std::chrono::milliseconds limit, const CancelEvent* cancel) {
    const auto milliseconds = static_cast<unsigned long>(std::max<long long>(limit.count(), 0));
    if (!cancel) return WaitForSingleObject(process, milliseconds) != WAIT_TIMEOUT;
    return cancel->waitFor(process, milliseconds) == CancelEvent::Wait::Signalled;
}

namespace {

struct WindowSearch {
    DWORD pid;
    bool ask;  // post WM_CLOSE to each askable one
    bool askable = false, disabled = false;
};

BOOL CALLBACK searchWindow(HWND window, LPARAM context) noexcept {
    auto& search = *reinterpret_cast<WindowSearch*>(context);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != search.pid || !IsWindowVisible(window) || GetWindow(window, GW_OWNER)) return TRUE;
    if (!IsWindowEnabled(window))
        search.disabled = true;
    else if (!search.ask || PostMessageA(window, WM_CLOSE, 0, 0))
        search.askable = true;
    return TRUE;
}

}  // namespace

Reach reach(unsigned long pid, bool ask) {
    WindowSearch search{pid, ask};
    EnumWindows(searchWindow, reinterpret_cast<LPARAM>(&search));
    return search.askable ? Reach::Askable : search.disabled ? Reach::Disabled : Reach::NoWindow;
}

}  // namespace moravel
