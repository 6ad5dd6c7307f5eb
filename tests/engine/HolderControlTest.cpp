#include <gtest/gtest.h>
#include <windows.h>
#include <winsvc.h>

#include <optional>

#include "TempDir.h"
#include "engine/HolderControl.h"
#include "engine/HolderExitWatch.h"
#include "engine/ServiceControl.h"
#include "engine/TestFiles.h"

namespace moravel {
namespace {

using test::besideTestProgram;
using Kind = DeployOutcome::Kind;

struct Ended {  // a process of the test's, ended whatever happens
    HANDLE process;
    ~Ended() { TerminateProcess(process, 0), WaitForSingleObject(process, 5000); }
};

// What the builds started so far wrote in the folder: "AB".
std::string ran(const std::string& folder, std::size_t atLeast) {
    std::string letters;
    for (int i = 0; i < 100 && letters.size() < atLeast; ++i, Sleep(50))
        letters = test::exists(folder + "\\ran.txt") ? test::readFile(folder + "\\ran.txt") : "";
    return letters;
}

std::string said(const DeployOutcome& outcome) {
    std::string text = outcome.waitReason;
    for (const auto* lines : {&outcome.linesBefore, &outcome.linesAfter})
        for (const auto& line : *lines) text += line + "|";
    return text;
}

TEST(DeployOverHolders, ClosesAProgramReplacesItsFileAndStartsItAgainUnlessItStaysOpen) {
    struct Case { const char* argument; const char* name; bool forceClose; Kind kind; const char* ran; const char* said; };
    const Case cases[] = {{"", "tool.exe", false, Kind::Replaced, "AB", ") closed to replace tool.exe.|"},
                          {"stay", "tool.exe", false, Kind::Waits, "Astay", ") did not close."},
                          {"stay", "tool.exe", true, Kind::Replaced, "AstayBstay", "did not close and was ended to replace tool.exe.|"},
                          {"", "explorer.exe", true, Kind::Waits, "A", "holds the file; Moravel does not close it."}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.argument) + c.name + (c.forceClose ? " forceClose" : ""));
        test::TempDir dir;
        const std::string tool = dir / "tool.exe", work = dir / "work";  // started again in the same folder
        std::string commandLine = "\"" + tool + "\" " + c.argument;
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        ASSERT_TRUE(CopyFileA(besideTestProgram("holder_a.exe").c_str(), tool.c_str(), FALSE) && CreateDirectoryA(work.c_str(), nullptr) &&
                    CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, work.c_str(), &startup, &info));
        const UniqueHandle process(info.hProcess), thread(info.hThread);
        const Ended ended{process.get()};
        ASSERT_FALSE(ran(work, 1).empty());
        const DeployOutcome outcome = deployOverHolders(besideTestProgram("holder_b.exe"), tool, {{c.name, info.dwProcessId}},
                                                        c.forceClose, CancelEvent{});
        EXPECT_EQ(outcome.kind, c.kind);
        EXPECT_EQ(ran(work, std::string(c.ran).size()), c.ran);
        EXPECT_NE(said(outcome).find(c.said), std::string::npos) << said(outcome);
        EXPECT_TRUE(sameContent(tool, besideTestProgram(c.kind == Kind::Replaced ? "holder_b.exe" : "holder_a.exe")));
        EXPECT_EQ(WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT, c.kind == Kind::Waits);
        const std::size_t pidAt = said(outcome).rfind("started again (pid ");
        EXPECT_EQ(pidAt != std::string::npos, c.kind == Kind::Replaced);
        if (pidAt == std::string::npos) continue;
        const UniqueHandle again(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, std::stoul(said(outcome).substr(pidAt + 19))));
        EXPECT_TRUE(again && WaitForSingleObject(again.get(), 0) == WAIT_TIMEOUT);
        const Ended endedAgain{again.get()};
    }
}

DWORD serviceState(SC_HANDLE service, DWORD* pid = nullptr) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    return pid ? (*pid = status.dwProcessId, status.dwCurrentState) : status.dwCurrentState;
}

struct TestService {  // stopped and deleted whatever happens
    UniqueService manager{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)}, service;
    ~TestService() {
        SERVICE_STATUS status;
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        for (int i = 0; i < 100 && serviceState(service.get()) != SERVICE_STOPPED; ++i) Sleep(50);
        DeleteService(service.get());
    }
};

TEST(DeployOverHolders, StartsAServiceAgainWithTheNewFileOrElseWithTheOldOne) {
    test::TempDir dir;
    const std::string tool = dir / "svc.exe", image = "\"" + tool + "\" service";
    ASSERT_TRUE(CopyFileA(besideTestProgram("holder_a.exe").c_str(), tool.c_str(), FALSE));
    TestService test;
    test.service.reset(CreateServiceA(test.manager.get(), "MoravelTestHolder", "Moravel Test Holder", SERVICE_ALL_ACCESS,
                                      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, image.c_str(),
                                      nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(test.service) << GetLastError();
    for (int i = 0; i < 3 && !StartServiceA(test.service.get(), 0, nullptr); ++i) Sleep(500);  // a fresh prefix may time out
    ASSERT_EQ(ran(dir.path(), 1), "A");

    struct Case { const char* source; Kind kind; const char* ran; const char* said; };
    const Case cases[] = {
        {"holder_b.exe", Kind::Replaced, "AB", "Moravel Test Holder stopped to replace svc.exe.|"},
        {"holder_x.exe", Kind::GaveUpOldBack, "ABXB", "Moravel Test Holder did not start with the new file; the old file is back.|"},
        {"holder_b.exe", Kind::AlreadyUpToDate, "ABXB", "svc.exe is already up to date.|"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        DWORD pid = 0;
        for (int i = 0; i < 100 && serviceState(test.service.get(), &pid) != SERVICE_RUNNING; ++i) Sleep(50);
        const DeployOutcome outcome = deployOverHolders(besideTestProgram(c.source), tool, {{"svc.exe", pid}}, false,
                                                        CancelEvent{});
        EXPECT_EQ(outcome.kind, c.kind);
        EXPECT_EQ(ran(dir.path(), std::string(c.ran).size()), c.ran);
        EXPECT_NE(said(outcome).find(c.said), std::string::npos) << said(outcome);
        EXPECT_EQ(serviceState(test.service.get()), DWORD{SERVICE_RUNNING});
        EXPECT_TRUE(sameContent(tool, besideTestProgram("holder_b.exe")));
        EXPECT_EQ(test::filesIn(dir.path()), (std::vector<std::string>{"ran.txt", "svc.exe"}));
    }
}

TEST(HolderExitWatch, NoticesOnceTheLastHolderHasEndedAndNeverOnceDestroyed) {
    test::TempDir dir;
    test::writeFile(dir / "held.txt", "x");
    std::optional<test::HeldByOtherProcess> first(std::in_place, dir / "held.txt", FILE_SHARE_READ),
        second(std::in_place, dir / "held.txt", FILE_SHARE_READ);
    const UniqueHandle noticed(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    const int handles = openHandleCount();
    for (int i = 0; i < 5; ++i) HolderExitWatch early({first->pid()}, [&] { SetEvent(noticed.get()); });
    EXPECT_LE(openHandleCount(), handles + 1);  // the system may keep one of its own for the threads

    HolderExitWatch watch({first->pid(), second->pid()}, [&] { SetEvent(noticed.get()); });
    ASSERT_TRUE(watch.watching());
    first.reset();
    EXPECT_EQ(WaitForSingleObject(noticed.get(), 300), WAIT_TIMEOUT);
    second.reset();
    EXPECT_EQ(WaitForSingleObject(noticed.get(), 1000), WAIT_OBJECT_0);
}

}  // namespace
}  // namespace moravel
