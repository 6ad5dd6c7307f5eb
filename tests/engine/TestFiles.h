#pragma once
// Files the engine tests need beyond a temporary folder: busy files held by
// this process or by a second one, and the helper programs built beside the
// test executable.
#include <windows.h>

#include <string>
#include <vector>

#include "core/Handle.h"

namespace moravel::test {

// A program built next to this test executable ("holdfile.exe", "ver2.exe").
std::string besideTestProgram(const std::string& fileName);

// Under Wine, the folder behind the prefix's UNC server "moravel-test": a
// folder made in it is the share \\moravel-test\<its name>. Empty elsewhere.
std::string wineShareServer();

// Holds a file open in this process with the given sharing, as an editor or
// a running program would; closed when the object goes.
class HeldFile {
public:
    explicit HeldFile(const std::string& path, DWORD share = 0);
    bool held() const { return static_cast<bool>(file_); }
    void release() { file_.reset(); }

private:
    UniqueFile file_;
};

// Holds files open from a second process (holdfile.exe, or a copy of it
// started from another path, to be a running program there), with no sharing
// unless told, until the object goes. A path starting with "@" names a file
// that lists the paths, one a line.
class HeldByOtherProcess {
public:
    explicit HeldByOtherProcess(const std::string& path, DWORD share = 0, const std::string& program = "");
    ~HeldByOtherProcess();
    HeldByOtherProcess(const HeldByOtherProcess&) = delete;
    HeldByOtherProcess& operator=(const HeldByOtherProcess&) = delete;

    bool held() const { return held_; }
    unsigned long pid() const { return GetProcessId(process_.get()); }

private:
    UniqueHandle ready_, quit_, process_;
    bool held_ = false;
};

}  // namespace moravel::test
