#include "engine/TestFiles.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <stdexcept>

namespace moravel::test {

std::string besideTestProgram(const std::string& fileName) {
    char self[MAX_PATH * 2];
    const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    if (length == 0 || length >= sizeof self) throw std::runtime_error("no module file name");
    std::string path(self, length);
    return path.substr(0, path.find_last_of("\\/") + 1) + fileName;
}

std::string wineShareServer() {
    const char* prefix = std::getenv("WINEPREFIX");
    if (!prefix || !GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version")) return {};
    std::string folder = std::string("Z:") + prefix + "/dosdevices/unc/moravel-test";  // Z: is the Unix root
    std::replace(folder.begin(), folder.end(), '/', '\\');
    CreateDirectoryA(folder.substr(0, folder.rfind('\\')).c_str(), nullptr);
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

HeldFile::HeldFile(const std::string& path, DWORD share)
    : file_(CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr)) {}

HeldByOtherProcess::HeldByOtherProcess(const std::string& path, DWORD share, const std::string& program) {
    static std::atomic<unsigned> counter{0};
    const std::string stem = "moravel-holdfile-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(counter++);
    const std::string readyName = stem + "-ready", quitName = stem + "-quit";
    ready_.reset(CreateEventA(nullptr, TRUE, FALSE, readyName.c_str()));
    quit_.reset(CreateEventA(nullptr, TRUE, FALSE, quitName.c_str()));
    if (!ready_ || !quit_) throw std::runtime_error("cannot create events");

    std::string commandLine;
    for (const std::string& argument : {program.empty() ? besideTestProgram("holdfile.exe") : program,
                                        readyName, quitName, std::to_string(share), path})
        commandLine += "\"" + argument + "\" ";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        throw std::runtime_error("cannot start holdfile.exe");
    CloseHandle(info.hThread);
    process_.reset(info.hProcess);

    // Either it holds the file, or it has given up and ended.
    const HANDLE waitFor[] = {ready_.get(), process_.get()};
    held_ = WaitForMultipleObjects(2, waitFor, FALSE, 30000) == WAIT_OBJECT_0;
}

HeldByOtherProcess::~HeldByOtherProcess() {
    SetEvent(quit_.get());
    WaitForSingleObject(process_.get(), 30000);
}

}  // namespace moravel::test
