// The released program started twice in one directory: the second hands its
// /queue to the first and exits with a code a build script can test.
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

bool waitFor(const std::function<bool()>& done, DWORD milliseconds = 10000) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    while (!done()) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(20);
    }
    return true;
}

class ProgramTest : public ::testing::Test {
protected:
    ProgramTest() {
        for (const char* name : {"Alpha", "Beta"}) {
            writeFile(dir / (std::string(name) + ".src"), std::string("new ") + name);
            writeFile(dir / (std::string(name) + ".dst"), "old");
            settings += std::string("[") + name + "]\r\nSource=" + dir / (std::string(name) + ".src") +
                        "\r\nDestination=" + dir / (std::string(name) + ".dst") + "\r\n";
        }
        writeFile(dir / "Moravel.ini", settings);
    }
    ~ProgramTest() override {
        // The instances are ours to end: they would ask before closing with
        // rows pending. Also one a start in other letter case may have made.
        std::string upper = dir.path();
        CharUpperBuffA(upper.data(), static_cast<DWORD>(upper.size()));
        for (const std::string& directory : {dir.path(), upper})
            if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, instanceProcess(directory))) {
                TerminateProcess(process, 0);
                WaitForSingleObject(process, 5000);
                CloseHandle(process);
            }
    }

    // Starts the program in the test's directory; its standard error goes to
    // a pipe when one is given.
    HANDLE start(const std::string& arguments, HANDLE errorPipe = nullptr) {
        const std::string directory = startIn.empty() ? dir.path() : startIn;
        std::string line = "\"" + g_program + "\" " + arguments;
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        if (errorPipe) {
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdError = errorPipe;
        }
        PROCESS_INFORMATION process = {};
        if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, errorPipe != nullptr, 0, nullptr,
                            directory.c_str(), &startup, &process))
            return nullptr;
        CloseHandle(process.hThread);
        return process.hProcess;
    }
    // The exit code of one run, or -1 when it did not end within the time;
    // what it wrote to its standard error goes to `error`.
    int run(const std::string& arguments, std::string* error = nullptr) {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE readEnd = nullptr, writeEnd = nullptr;
        if (!CreatePipe(&readEnd, &writeEnd, &inherit, 65536)) return -3;
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        HANDLE process = start(arguments, writeEnd);
        CloseHandle(writeEnd);
        DWORD code = static_cast<DWORD>(-1);
        if (!process || WaitForSingleObject(process, 20000) != WAIT_OBJECT_0 || !GetExitCodeProcess(process, &code))
            code = static_cast<DWORD>(-1);
        if (process) CloseHandle(process);
        char buffer[4096];
        DWORD available = 0, got = 0;
        while (error && PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
               ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0)
            error->append(buffer, got);
        CloseHandle(readEnd);
        return static_cast<int>(code);
    }

    HWND receiver(const std::string& directory) const {
        return FindWindowExA(HWND_MESSAGE, nullptr, instanceKey(settingsFilePath(directory)).c_str(), nullptr);
    }
    HWND receiver() const { return receiver(dir.path()); }
    DWORD instanceProcess(const std::string& directory) const {
        DWORD process = 0;
        if (HWND hwnd = receiver(directory)) GetWindowThreadProcessId(hwnd, &process);
        return process;
    }
    DWORD instanceProcess() const { return instanceProcess(dir.path()); }
    HWND mainWindow() const {
        const DWORD process = instanceProcess();
        for (HWND hwnd = nullptr; (hwnd = FindWindowExA(nullptr, hwnd, "TMainForm", nullptr));) {
            DWORD owner = 0;
            GetWindowThreadProcessId(hwnd, &owner);
            if (owner == process) return hwnd;
        }
        return nullptr;
    }
    std::string textOf(HWND hwnd) const {
        char text[4096] = {};
        DWORD_PTR ignored = 0;
        SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_BLOCK, 2000, &ignored);
        return text;
    }
    std::string caption() const { return textOf(mainWindow()); }
    std::string log() const { return textOf(GetDlgItem(mainWindow(), TMainForm::Memo1)); }
    bool replaced(const char* name) const {
        try {
            return readFile(dir / (std::string(name) + ".dst")) == std::string("new ") + name;
        } catch (...) {
            return false;
        }
    }

    TempDir dir;
    std::string settings;
    std::string startIn;  // the directory as the next start spells it; the test's own when empty
};

TEST_F(ProgramTest, ASecondProcessQueuesIntoTheRunningOneAndExitsWithItsAnswer) {
    HANDLE first = start("");
    ASSERT_TRUE(first);
    CloseHandle(first);
    ASSERT_TRUE(waitFor([&] { return mainWindow() != nullptr; }));

    // The same directory spelled in other letter case is the same instance.
    startIn = dir.path();
    CharUpperBuffA(startIn.data(), static_cast<DWORD>(startIn.size()));
    EXPECT_EQ(run("/queue Alpha Gamma"), kExitUnknownName);
    startIn.clear();
    EXPECT_TRUE(waitFor([&] { return caption() == "Moravel (1 pending)"; })) << caption();
    EXPECT_NE(log().find(" Gamma not queued: there is no such project."), std::string::npos) << log();

    EXPECT_EQ(run("-queue alpha \"Beta\" -NOW"), kExitQueued);
    EXPECT_TRUE(waitFor([&] { return replaced("Alpha") && replaced("Beta"); }));
    EXPECT_TRUE(waitFor([&] { return caption() == "Moravel"; })) << caption();

    std::string usage;
    EXPECT_EQ(run("/queue", &usage), kExitBadCommandLine);
    EXPECT_EQ(usage.rfind("/queue needs at least one project name.\r\n\r\nUsage:\r\n  Moravel.exe ", 0), 0u) << usage;
    EXPECT_EQ(run("/queue Alpha /fast"), kExitBadCommandLine);
    EXPECT_EQ(caption(), "Moravel");
}

TEST_F(ProgramTest, WithNoneRunningTheQueueStartsOneThatQueuesAndReturnsAtOnce) {
    ASSERT_EQ(receiver(), nullptr);
    EXPECT_EQ(run("/queue Alpha /now"), kExitQueued);
    EXPECT_NE(instanceProcess(), 0u);
    EXPECT_NE(instanceProcess(), GetCurrentProcessId());
    EXPECT_TRUE(waitFor([&] { return replaced("Alpha"); }));
    EXPECT_FALSE(replaced("Beta"));
}

}  // namespace
}  // namespace moravel::test
