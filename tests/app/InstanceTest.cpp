// The released program started in one directory again and again: the first
// /queue starts the instance, later ones hand their names to it, and each
// exits with a code a build script can test.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>

#include "TempDir.h"
#include "core/SettingsFile.h"
#include "ui/Instance.h"
#include "ui/MainUnit.h"

namespace moravel::test {

extern std::string g_program;

namespace {

bool waitFor(const std::function<bool()>& done) {
    for (const ULONGLONG end = GetTickCount64() + 10000; !done(); Sleep(20))
        if (GetTickCount64() >= end) return false;
    return true;
}

class ProgramTest : public ::testing::Test {
protected:
    ProgramTest() {
        std::string settings;
        for (const std::string name : {"Alpha", "Beta"}) {
            writeFile(dir / (name + ".src"), "new " + name);
            writeFile(dir / (name + ".dst"), "old");
            settings += "[" + name + "]\r\nSource=" + dir / (name + ".src") + "\r\nDestination=" + dir / (name + ".dst") + "\r\n";
        }
        writeFile(dir / "Moravel.ini", settings);
        CharUpperBuffA(upper.data(), static_cast<DWORD>(upper.size()));
    }
    ~ProgramTest() override {
        // Ours to end: with rows pending it would ask before closing. Also
        // one that a start in other letter case may have made on its own.
        for (const std::string& directory : {dir.path(), upper})
            if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, instanceProcess(directory))) {
                TerminateProcess(process, 0);
                WaitForSingleObject(process, 5000);
                CloseHandle(process);
            }
    }

    // Runs the program in `directory`; returns its exit code (-1: it did not
    // end in time) and what it wrote to its standard error.
    int run(const std::string& arguments, const std::string& directory, std::string* error = nullptr) {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE readEnd = nullptr, writeEnd = nullptr;
        if (!CreatePipe(&readEnd, &writeEnd, &inherit, 65536)) return -2;
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        std::string line = "\"" + g_program + "\" " + arguments;
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdError = writeEnd;
        PROCESS_INFORMATION process = {};
        DWORD code = static_cast<DWORD>(-1);
        if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, directory.c_str(), &startup,
                           &process)) {
            if (WaitForSingleObject(process.hProcess, 20000) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        CloseHandle(writeEnd);
        char buffer[4096];
        DWORD available = 0, got = 0;
        while (error && PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
               ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0)
            error->append(buffer, got);
        CloseHandle(readEnd);
        return static_cast<int>(code);
    }

    DWORD instanceProcess(const std::string& directory = {}) const {
        DWORD process = 0;
        const std::string key = instanceKey(settingsFilePath(directory.empty() ? dir.path() : directory));
        if (HWND receiver = FindWindowExA(HWND_MESSAGE, nullptr, key.c_str(), nullptr))
            GetWindowThreadProcessId(receiver, &process);
        return process;
    }
    // The instance's main window, or one of its controls: its text.
    std::string textOf(int control = 0) const {
        HWND hwnd = nullptr;
        DWORD owner = 0;
        while ((hwnd = FindWindowExA(nullptr, hwnd, "TMainForm", nullptr)) &&
               (GetWindowThreadProcessId(hwnd, &owner), owner != instanceProcess())) {
        }
        if (hwnd && control) hwnd = GetDlgItem(hwnd, control);
        char text[4096] = {};
        DWORD_PTR ignored = 0;
        if (hwnd) SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_BLOCK, 2000, &ignored);
        return text;
    }
    bool replaced(const std::string& name) const {
        try {
            return readFile(dir / (name + ".dst")) == "new " + name;
        } catch (...) {
            return false;
        }
    }

    TempDir dir;
    std::string upper = dir.path();  // the same directory, spelled in capitals
};

TEST_F(ProgramTest, AQueueStartsTheInstanceOrHandsItsNamesToItAndExitsWithACode) {
    ASSERT_EQ(instanceProcess(), 0u);
    // None runs: this one starts it (in the directory spelled in other letter case), and returns.
    EXPECT_EQ(run("/queue Alpha Delta", upper), kExitUnknownName);
    EXPECT_NE(instanceProcess(), 0u);
    EXPECT_TRUE(waitFor([&] { return textOf() == "Moravel (1 pending)"; })) << textOf();
    EXPECT_NE(textOf(TMainForm::Memo1).find(" Delta not queued: there is no such project."), std::string::npos);

    // It runs: the names go to it.
    EXPECT_EQ(run("-queue alpha \"Beta\" -NOW", dir.path()), kExitQueued);
    EXPECT_TRUE(waitFor([&] { return replaced("Alpha") && replaced("Beta"); }));
    EXPECT_TRUE(waitFor([&] { return textOf() == "Moravel"; })) << textOf();

    std::string usage;
    EXPECT_EQ(run("/queue Alpha /fast", dir.path(), &usage), kExitBadCommandLine);
    EXPECT_EQ(usage.rfind("Unknown switch /fast.\r\n\r\nUsage:\r\n  Moravel.exe ", 0), 0u) << usage;
    EXPECT_EQ(textOf(), "Moravel");
}

}  // namespace
}  // namespace moravel::test
