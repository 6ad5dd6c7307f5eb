// The released programs started in one directory again and again: the first
// /queue starts the instance, later ones hand their names to it, the console
// program waits for the outcome (with an instance, or running the update
// itself), and each exits with a code a build script can test.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "core/Paths.h"
#include "core/SetAside.h"
#include "core/SettingsFile.h"
#include "engine/TestFiles.h"
#include "ui/Instance.h"
#include "ui/MainUnit.h"
#include "ui/Pipe.h"

namespace moravel::test {

extern std::string g_program, g_console;

namespace {

bool waitFor(const std::function<bool()>& done, ULONGLONG milliseconds = 10000) {
    for (const ULONGLONG end = GetTickCount64() + milliseconds; !done(); Sleep(20))
        if (GetTickCount64() >= end) return false;
    return true;
}

// A program started in a directory, its standard output and error read to their end.
class Started {
public:
    Started(const std::string& program, const std::string& arguments, const std::string& directory,
            bool oneOutput = false) {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE outRead, outWrite, errRead, errWrite;
        CreatePipe(&outRead, &outWrite, &inherit, 0);
        CreatePipe(&errRead, &errWrite, &inherit, 0);
        SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = outWrite;
        startup.hStdError = oneOutput ? outWrite : errWrite;
        std::string line = "\"" + program + "\" " + arguments;
        PROCESS_INFORMATION info = {};
        if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, directory.c_str(), &startup, &info)) {
            CloseHandle(info.hThread);
            process_.reset(info.hProcess);
        }
        CloseHandle(outWrite);
        CloseHandle(errWrite);
        readers_.emplace_back(&Started::readAll, this, outRead, &out);
        readers_.emplace_back(&Started::readAll, this, errRead, &err);
    }
    ~Started() {
        if (code(0) == -1 && process_) TerminateProcess(process_.get(), 1);  // whatever holds its outputs ends with it
        for (std::thread& reader : readers_) reader.join();
    }
    // Its exit code; -1 while it runs on.
    int code(DWORD milliseconds = 60000) {
        DWORD code = static_cast<DWORD>(-1);
        if (process_ && WaitForSingleObject(process_.get(), milliseconds) == WAIT_OBJECT_0)
            GetExitCodeProcess(process_.get(), &code);
        return static_cast<int>(code);
    }
    // Whether its outputs have ended, the time given at most.
    bool outputsEnded(DWORD milliseconds) {
        return waitFor([this] { return ended_ == 2; }, milliseconds);
    }
    std::string out, err;

private:
    void readAll(HANDLE pipe, std::string* text) {
        char buffer[4096];
        for (DWORD n = 0; ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0;) text->append(buffer, n);
        CloseHandle(pipe);
        ++ended_;
    }
    UniqueHandle process_;
    std::vector<std::thread> readers_;
    std::atomic<int> ended_{0};
};

// "dd-mm-yy hh:mm:ss " at the start of a line becomes "TIME ".
std::string untimed(const std::string& text) {
    std::string result;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at) == std::string::npos ? text.size() : text.find('\n', at) + 1;
        std::string line = text.substr(at, end - at);
        if (line.size() > 18 && line[2] == '-' && line[5] == '-' && line[8] == ' ' && line[11] == ':')
            line = "TIME " + line.substr(18);
        result += line;
        at = end;
    }
    return result;
}

class ProgramTest : public ::testing::Test {
protected:
    ProgramTest() {
        std::string settings;
        for (const std::string name : {"Alpha", "Beta", "Gone", "Held", "Later"}) {
            if (name != "Gone") writeFile(dir / (name + ".src"), "new " + name);
            writeFile(dir / (name + ".dst"), "old");
            settings += "[" + name + "]\r\nSource=" + dir / (name + ".src") + "\r\nDestination=" + dir / (name + ".dst") +
                        (name == "Later" ? "\r\nAtRestart=1\r\n" : "\r\n");
        }
        writeFile(dir / "Moravel.ini", settings);
        CharUpperBuffA(upper.data(), static_cast<DWORD>(upper.size()));
    }
    ~ProgramTest() override {
        // Ours to end: with rows pending it would ask before closing. Also
        // one that a start in other letter case may have made on its own.
        for (const std::string& directory : {dir.path(), upper}) endInstance(directory);
        // Any other of ours still running did not answer on its pipe: a fault,
        // and the test program's end would wait for it.
        const std::vector<DWORD> left = ourProcesses();
        EXPECT_EQ(left.size(), 0u) << "a Moravel process outlived its test without answering on its pipe";
        for (const DWORD id : left) endProcess(id);
    }
    // The processes of the two programs under test, by the file name of their image.
    static std::vector<DWORD> ourProcesses() {
        std::vector<DWORD> ours;
        const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        PROCESSENTRY32 entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry))
            for (const std::string* program : {&g_program, &g_console})
                if (lstrcmpiA(entry.szExeFile, std::string(fileNamePart(*program)).c_str()) == 0) ours.push_back(entry.th32ProcessID);
        return ours;
    }
    static void endProcess(DWORD id) {
        if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id)) {
            TerminateProcess(process, 0);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    }
    static void endInstance(const std::string& directory) {
        if (const DWORD id = instanceProcess(directory)) endProcess(id);
    }

    // Runs the program in `directory`: its exit code, -1 when it did not end in time.
    static int run(const std::string& arguments, const std::string& directory, const std::string& program = g_program,
                   DWORD milliseconds = 20000) {
        std::string line = "\"" + program + "\" " + arguments;
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        DWORD code = static_cast<DWORD>(-1);
        if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, directory.c_str(), &startup, &process))
            return -2;
        if (WaitForSingleObject(process.hProcess, milliseconds) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return static_cast<int>(code);
    }

    // The process that answers on the pipe of the directory's settings file.
    static DWORD instanceProcess(const std::string& directory) {
        PipeClient pipe;
        for (const ULONGLONG end = GetTickCount64() + 2000; GetTickCount64() < end; Sleep(10))
            switch (pipe.open(pipeName(instanceKey(settingsFilePath(directory))))) {
                case PipeClient::Open::Opened: return pipe.serverProcess();
                case PipeClient::Open::Absent: return 0;
                case PipeClient::Open::Again: break;  // every instance of the pipe taken for a moment
            }
        return 0;
    }
    DWORD instanceProcess() const { return instanceProcess(dir.path()); }
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
    EXPECT_EQ(run("/queue Alpha /wait", dir.path()), kExitBadCommandLine);  // the window program does not wait
    EXPECT_EQ(textOf(), "Moravel");
}

TEST_F(ProgramTest, APlainStartWhereOneRunsBringsItsWindowBackAndEnds) {
    EXPECT_EQ(run("/hide /queue Alpha", dir.path()), kExitQueued);  // minimised: no notification area here
    ASSERT_TRUE(waitFor([&] { return textOf() == "Moravel (1 pending)"; }));
    EXPECT_EQ(run("", dir.path()), kExitQueued);
    EXPECT_EQ(run("", dir.path(), g_console), kExitQueued);
    const HWND window = FindWindowExA(nullptr, nullptr, "TMainForm", nullptr);
    EXPECT_FALSE(FindWindowExA(nullptr, window, "TMainForm", nullptr)) << "one window";
    EXPECT_TRUE(IsWindowVisible(window) && !IsIconic(window));
}

// The system's list of renames at restart, as it was before the test.
class RenamesKept {
public:
    RenamesKept() {
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_, nullptr);
        DWORD size = static_cast<DWORD>(value_.size());
        had_ = RegQueryValueExA(key_, kValue, nullptr, nullptr, reinterpret_cast<BYTE*>(value_.data()), &size) == 0;
        value_.resize(had_ ? size : 0);
    }
    ~RenamesKept() {
        if (had_)
            RegSetValueExA(key_, kValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(value_.data()), static_cast<DWORD>(value_.size()));
        else
            RegDeleteValueA(key_, kValue);
        RegCloseKey(key_);
    }

private:
    static constexpr char kKey[] = "System\\CurrentControlSet\\Control\\Session Manager";
    static constexpr char kValue[] = "PendingFileRenameOperations";
    HKEY key_ = nullptr;
    std::string value_ = std::string(65536, '\0');
    bool had_ = false;
};

TEST_F(ProgramTest, TheConsoleProgramWaitsForTheOutcomeWithOrWithoutAnInstance) {
    const RenamesKept renames;
    HeldByOtherProcess held(dir / "Held.dst"), later(dir / "Later.dst");
    ASSERT_TRUE(held.held() && later.held());
    const std::string pid = std::to_string(held.pid());
    const auto copied = [&](const std::string& name) {
        return "TIME " + dir / (name + ".src") + " [v0.0.0.0] -> " + dir / (name + ".dst") + "\r\n";
    };
    const struct {
        const char* arguments;
        int code;
        std::string out, err;
    } cases[] = {
        {"/queue Alpha /now /wait:30", kExitDone, copied("Alpha"), ""},
        {"/queue Gone /now /wait:30", kExitFailed, "Source \"" + dir / "Gone.src" + "\" doesn't exist.\r\n", ""},
        {"/queue Beta Delta /now /wait:30", kExitUnknownName, copied("Beta"),
         "TIME Delta not queued: there is no such project.\r\n"},
        {"/queue Held /now /wait:4", kExitTimeUp, "",
         "TIME Held is held by holdfile.exe (pid " + pid + ").\r\nHeld still waits (1 attempt): held by holdfile.exe (pid " +
             pid + ").\r\n"},
        {"/queue Later /now /wait:30", kExitAtRestart, "TIME Later.dst will be replaced at the next restart.\r\n", ""},
    };
    for (const bool instance : {false, true}) {
        if (instance) {
            ASSERT_EQ(run("/hide /queue Alpha", dir.path()), kExitQueued);
        }
        for (const auto& c : cases) {
            for (const std::string name : {"Alpha", "Beta"}) writeFile(dir / (name + ".dst"), "old");
            Started console(g_console, c.arguments, dir.path());
            EXPECT_EQ(console.code(), c.code) << c.arguments << (instance ? " (instance)" : " (here)");
            EXPECT_TRUE(console.outputsEnded(5000));
            EXPECT_EQ(untimed(console.out), c.out) << c.arguments << (instance ? " (instance)" : " (here)");
            EXPECT_EQ(untimed(console.err), c.err) << c.arguments << (instance ? " (instance)" : " (here)");
            EXPECT_EQ(instanceProcess() != 0, instance) << "nothing left running after the run here";
        }
    }
}

TEST_F(ProgramTest, TheConsoleRunPutsBackASetThatARunLeftHalfwayBeforeItSweeps) {
    // Killed during the set's deploy: Alpha.dst has its new bytes, its old ones kept aside.
    const std::string alpha = dir / "Alpha.dst", kept = setAsideName(alpha, 1), journal = dir / "Moravel-release.ini";
    writeFile(kept, "kept");
    writeFile(journal, "[Tools]\r\nFile1=" + alpha + "\r\nAside1=" + kept + "\r\n");
    Started console(g_console, "/queue Delta /wait:30", dir.path());
    EXPECT_EQ(console.code(), kExitUnknownName);
    EXPECT_TRUE(console.outputsEnded(5000));
    EXPECT_NE(console.err.find(" Tools was interrupted; its files are as before.\r\n"), std::string::npos) << console.err;
    EXPECT_TRUE(readFile(alpha) == "kept" && !exists(kept) && !exists(journal));
}

TEST_F(ProgramTest, WhileTheConsoleProgramUpdatesTheFolderItselfLaterStartsWaitForIt) {
    HeldByOtherProcess held(dir / "Held.dst");
    Started here(g_console, "/queue Held /now /wait:7", dir.path());
    ASSERT_TRUE(waitFor([&] { return instanceProcess() != 0; }));
    // Answered "busy": it waits for the run to end, then starts the instance.
    EXPECT_EQ(run("/queue Alpha", dir.path()), kExitQueued);
    EXPECT_EQ(here.code(0), kExitTimeUp) << "the run had ended first";
    EXPECT_TRUE(waitFor([&] { return textOf() == "Moravel (1 pending)"; })) << textOf();
}

TEST_F(ProgramTest, AnInstanceStartedFromTheConsoleDoesNotHoldItsCallersOutput) {
    // A build step that reads the output to its end must get the end when
    // the console program ends, not when the instance it started does.
    Started console(g_console, "/queue Alpha", dir.path(), true);
    EXPECT_EQ(console.code(20000), kExitQueued);
    EXPECT_TRUE(console.outputsEnded(5000));
    EXPECT_NE(instanceProcess(), 0u) << "the instance runs on";
    endInstance(dir.path());  // so that a reader still waiting gets its end
}

// The threads of a process, by id.
std::vector<DWORD> threadsOf(DWORD process) {
    std::vector<DWORD> threads;
    const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
        if (entry.th32OwnerProcessID == process) threads.push_back(entry.th32ThreadID);
    return threads;
}

void suspendOrResume(const std::vector<DWORD>& threads, bool suspend) {
    for (const DWORD id : threads)
        if (const UniqueHandle thread(OpenThread(THREAD_SUSPEND_RESUME, FALSE, id)); thread)
            suspend ? SuspendThread(thread.get()) : ResumeThread(thread.get());
}

TEST_F(ProgramTest, WhileItsLastJobEndsAfterExitLaterStartsWaitForTheProcessAndMakeNoSecondInstance) {
    // Tool's destination is a running program that does not close when
    // asked: its deploy waits for it on a thread of its own, which is held
    // still here, so that after Exit the process waits for that job.
    const std::string tool = dir / "Tool.exe";
    ASSERT_TRUE(CopyFileA(besideTestProgram("holder_a.exe").c_str(), tool.c_str(), FALSE));
    writeFile(dir / "Moravel.ini", readFile(dir / "Moravel.ini") + "[Tool]\r\nSource=" +
                                       besideTestProgram("holder_b.exe") + "\r\nDestination=" + tool +
                                       "\r\nRestartHolder=1\r\n");
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION holder = {};
    std::string line = "\"" + tool + "\" stay";
    ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.path().c_str(), &startup, &holder));
    const UniqueHandle holderThread(holder.hThread), holderProcess(holder.hProcess);
    ASSERT_TRUE(waitFor([] { return FindWindowA("MoravelHolder", nullptr) != nullptr; }));

    ASSERT_EQ(run("/queue Alpha", dir.path()), kExitQueued);
    const DWORD first = instanceProcess();
    const UniqueHandle firstProcess(OpenProcess(SYNCHRONIZE, FALSE, first));
    ASSERT_TRUE(waitFor([&] { return textOf() == "Moravel (1 pending)"; }));
    const std::vector<DWORD> idle = threadsOf(first);
    ASSERT_EQ(run("/queue Tool /now", dir.path()), kExitQueued);
    std::vector<DWORD> job;
    ASSERT_TRUE(waitFor([&] {
        job.clear();
        for (const DWORD thread : threadsOf(first))
            if (std::find(idle.begin(), idle.end(), thread) == idle.end()) job.push_back(thread);
        return !job.empty();
    }));
    Sleep(1500);  // it has asked the holder to close, and waits
    suspendOrResume(job, true);

    // Exit, and yes to the question the pending rows ask.
    PostMessageA(FindWindowA("TMainForm", nullptr), WM_CLOSE, 0, 0);
    HWND box = nullptr;
    ASSERT_TRUE(waitFor([&] { return (box = FindWindowA("TMoravelConfirm", "Confirm")) != nullptr; }));
    PostMessageA(box, WM_COMMAND, IDYES, 0);
    ASSERT_TRUE(waitFor([] { return FindWindowA("TMainForm", nullptr) == nullptr; }));

    // Beyond the time an answer may take: they wait, and no second window comes.
    Started queue(g_program, "/queue Beta", dir.path());
    Started plain(g_program, "", dir.path());
    Sleep(6500);
    EXPECT_EQ(queue.code(0), -1) << "the queue command waits for the closing instance";
    EXPECT_EQ(FindWindowA("TMainForm", nullptr), nullptr) << "no second instance while the first one ends";
    EXPECT_EQ(WaitForSingleObject(firstProcess.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // The job ends: so does the first instance, and the next one takes the command.
    suspendOrResume(job, false);
    EXPECT_EQ(queue.code(), kExitQueued);
    EXPECT_TRUE(waitFor([&] { return textOf() == "Moravel (1 pending)"; })) << textOf();
    const HWND window = FindWindowA("TMainForm", nullptr);
    EXPECT_FALSE(FindWindowExA(nullptr, window, "TMainForm", nullptr)) << "one window";
    // The start that lost the race ends by itself (on a busy machine, later).
    EXPECT_TRUE(waitFor([] { return ourProcesses().size() == 1; }, 30000)) << ourProcesses().size();
    TerminateProcess(holderProcess.get(), 0);
}

}  // namespace
}  // namespace moravel::test
