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

    // Runs the program in `directory`: its exit code, -1 when it did not end in time.
    int run(const std::string& arguments, const std::string& directory) {
        std::string line = "\"" + g_program + "\" " + arguments;
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        DWORD code = static_cast<DWORD>(-1);
        if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, directory.c_str(), &startup, &process))
            return -2;
        if (WaitForSingleObject(process.hProcess, 20000) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
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
        HWND hwnd = FindWindowExA(nullptr, nullptr, "TMainForm", nullptr);
        for (DWORD owner = 0; hwnd && (GetWindowThreadProcessId(hwnd, &owner), owner != instanceProcess());)
            hwnd = FindWindowExA(nullptr, hwnd, "TMainForm", nullptr);
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

    // It runs: the names go to it, and the update they ask for empties the
    // list. The destinations are read only then: a reader holds the file,
    // and a row found held waits for the next tick, a minute away.
    EXPECT_EQ(run("-queue alpha \"Beta\" -NOW", dir.path()), kExitQueued);
    EXPECT_TRUE(waitFor([&] { return textOf() == "Moravel"; })) << textOf() << "\n" << textOf(TMainForm::Memo1);
    EXPECT_TRUE(replaced("Alpha") && replaced("Beta"));

    EXPECT_EQ(run("/queue Alpha /fast", dir.path()), kExitBadCommandLine);
    EXPECT_EQ(textOf(), "Moravel");
}

TEST_F(ProgramTest, APlainStartWhereOneRunsBringsItsWindowBackAndEnds) {
    EXPECT_EQ(run("/hide /queue Alpha", dir.path()), kExitQueued);  // minimised: no notification area here
    ASSERT_TRUE(waitFor([&] { return textOf() == "Moravel (1 pending)"; }));
    EXPECT_EQ(run("", dir.path()), kExitQueued);
    const HWND window = FindWindowExA(nullptr, nullptr, "TMainForm", nullptr);
    EXPECT_FALSE(FindWindowExA(nullptr, window, "TMainForm", nullptr)) << "one window";
    EXPECT_TRUE(IsWindowVisible(window) && !IsIconic(window));
}

}  // namespace
}  // namespace moravel::test
