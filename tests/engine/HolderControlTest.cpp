#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <optional>
#include <thread>

#include "TempDir.h"
#include "core/Text.h"
#include "engine/HandleTable.h"
#include "engine/HolderControl.h"
#include "engine/HolderExitWatch.h"
#include "engine/Release.h"
#include "engine/ReleaseJournal.h"
#include "engine/ServiceControl.h"
#include "engine/TestFiles.h"

namespace moravel {
namespace {

using test::besideTestProgram;
using Kind = DeployOutcome::Kind;

// A program of the test's (a build of the holder program), ended whatever happens.
struct Program {
    UniqueHandle process, thread;
    unsigned long pid = 0;
    Program(std::string commandLine, const std::string& folder) {
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup, &info))
            return;
        process.reset(info.hProcess), thread.reset(info.hThread), pid = info.dwProcessId;
    }
    explicit Program(unsigned long id) : process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id)), pid(id) {}
    ~Program() { TerminateProcess(process.get(), 0), WaitForSingleObject(process.get(), 5000); }
    bool runs() const { return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT; }
};

bool runs(unsigned long pid) {
    const UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

// What the builds started so far wrote in the folder: "AcB".
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

// The programs the deploy started again: they run, and are ended with the test.
std::vector<std::unique_ptr<Program>> startedAgain(const DeployOutcome& outcome) {
    std::vector<std::unique_ptr<Program>> programs;
    for (const std::string& line : outcome.linesAfter)
        if (const std::size_t at = line.find("started again (pid "); at != std::string::npos)
            programs.push_back(std::make_unique<Program>(std::stoul(line.substr(at + 19))));
    return programs;
}

std::vector<Holder> holdersOf(const std::string& path) { return SystemHolderFinder(10000).find({path}).front(); }

unsigned long pidOf(const char* image) {
    const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry))
        if (compareTextIgnoreCase(entry.szExeFile, image) == 0) return entry.th32ProcessID;
    return 0;
}

TEST(DeployOverHolders, StopsOnlyProgramsThatRunTheFileAndMayBeAskedAndStartsThemAgain) {
    enum Who { Runner, Reader, WindowlessReader };
    enum Twist { None, ReadOnly, OtherStartTime, RefusedEarlier, NamedAsTheShell, TheSystemsPid };
    struct Case { Who who; const char* argument; bool forceClose; Twist twist; Kind kind; const char* ran; const char* said; };
    const char* const kOnlyRunners = "); Moravel closes only programs that run it.";
    const Case cases[] = {
        {Runner, "", false, None, Kind::Replaced, "AcB", ") closed to replace tool.exe.|"},
        {Runner, "stay", false, None, Kind::Waits, "Astayc", ") did not close."},
        {Runner, "stay", true, None, Kind::Replaced, "AstaycBstay", ") did not close and was ended to replace tool.exe.|"},
        {Runner, "disabled", true, None, Kind::Waits, "Adisabled", ") cannot be asked to close: its window is disabled."},
        {Reader, "read", false, None, Kind::Waits, "Aread", kOnlyRunners},
        {Reader, "read", true, None, Kind::Waits, "Aread", kOnlyRunners},
        {WindowlessReader, "", false, None, Kind::Waits, "", kOnlyRunners},
        {WindowlessReader, "", true, None, Kind::Waits, "", kOnlyRunners},
        {Runner, "", true, ReadOnly, Kind::Waits, "A", ""},  // the pass names it read-only
        {Runner, "", true, OtherStartTime, Kind::Waits, "A", ""},  // not who was found: the next attempt looks again
        {Runner, "", false, RefusedEarlier, Kind::Waits, "AAstay", ") did not close."},  // and the other is not asked
        {Runner, "", false, NamedAsTheShell, Kind::Replaced, "AcB", ") closed to replace tool.exe.|"},
        {Runner, "", false, TheSystemsPid, Kind::Waits, "A", ") holds the file; Moravel does not close it."}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.who << " " << c.argument << " " << c.forceClose << " " << c.twist);
        test::TempDir dir;
        const std::string tool = dir / "tool.exe", work = dir / "work";  // started again in the same folder
        ASSERT_TRUE(CopyFileA(besideTestProgram("holder_a.exe").c_str(), tool.c_str(), FALSE) && CreateDirectoryA(work.c_str(), nullptr));
        std::optional<Program> program, second;
        std::optional<test::HeldByOtherProcess> windowless;
        if (c.who == Runner) program.emplace("\"" + tool + "\" " + c.argument, work);
        if (c.who == Reader) program.emplace("\"" + besideTestProgram("holder_a.exe") + "\" read \"" + tool + "\"", work);
        if (c.who == WindowlessReader) windowless.emplace(tool, FILE_SHARE_READ);
        ASSERT_TRUE(c.who == WindowlessReader ? windowless->held() : !ran(work, 1).empty());
        if (c.twist == RefusedEarlier) {
            second.emplace("\"" + tool + "\" stay", work);
            ASSERT_EQ(ran(work, 6), "AAstay");
        }
        std::vector<Holder> holders = holdersOf(tool);
        ASSERT_EQ(holders.size(), c.twist == RefusedEarlier ? 2u : 1u);
        DeployAttempt attempt{c.forceClose, {}};
        if (c.twist == ReadOnly) test::setReadOnly(tool, true);
        if (c.twist == OtherStartTime) holders[0].started += 1;
        if (c.twist == RefusedEarlier) attempt.refusedEarlier = {holders[0].pid == second->pid ? holders[0] : holders[1]};
        if (c.twist == NamedAsTheShell) holders[0].process = "explorer.exe";
        if (c.twist == TheSystemsPid) holders = {{"tool.exe", pidOf("services.exe"), Holder::Hold::Runs}};
        ASSERT_NE(holders[0].pid, 0u);

        const DeployOutcome outcome = deployOverHolders(besideTestProgram("holder_b.exe"), tool, holders, attempt, CancelEvent{});
        if (c.twist == ReadOnly) test::setReadOnly(tool, false);
        const auto again = startedAgain(outcome);
        EXPECT_EQ(outcome.kind, c.kind);
        EXPECT_EQ(ran(work, std::string(c.ran).size()), c.ran);
        const unsigned long pid = second ? second->pid : program && c.twist != TheSystemsPid ? program->pid : holders[0].pid;
        const std::string who = c.who == Runner ? "" : "tool.exe is open in ";
        if (*c.said)
            EXPECT_NE(said(outcome).find(who + holders[0].process + " (pid " + std::to_string(pid) + c.said), std::string::npos)
                << said(outcome);
        else
            EXPECT_EQ(said(outcome), "");
        EXPECT_TRUE(sameContent(tool, besideTestProgram(c.kind == Kind::Replaced ? "holder_b.exe" : "holder_a.exe")));
        EXPECT_EQ(runs(program ? program->pid : windowless->pid()), c.kind == Kind::Waits);
        EXPECT_TRUE(runs(holders[0].pid) || c.kind == Kind::Replaced);
        EXPECT_EQ(again.size(), c.kind == Kind::Replaced ? 1u : 0u);
        for (const auto& started : again) EXPECT_TRUE(started->runs());
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

// Holds the file for reading once it has the given bytes, until it goes: a
// reader that comes after the holders were looked up.
struct HoldOnceItHas {
    std::atomic<bool> stop{false};
    std::optional<test::HeldFile> held;
    std::thread thread;
    HoldOnceItHas(const std::string& path, const std::string& like)
        : thread([this, path, like] {
              for (; !stop && !held; Sleep(5))
                  if (sameContent(path, like)) held.emplace(path, FILE_SHARE_READ);
          }) {}
    ~HoldOnceItHas() { stop = true, thread.join(); }
};

TEST(DeployOverHolders, StartsAServiceAgainWithTheNewFileOrElseWithTheOldOneAndTheOthersWhateverHappens) {
    test::TempDir dir;
    const std::string tool = dir / "svc.exe", image = "\"" + tool + "\" service", work = dir / "work";
    ASSERT_TRUE(CopyFileA(besideTestProgram("holder_a.exe").c_str(), tool.c_str(), FALSE) && CreateDirectoryA(work.c_str(), nullptr));
    TestService test;
    test.service.reset(CreateServiceA(test.manager.get(), "MoravelTestHolder", "Moravel Test Holder", SERVICE_ALL_ACCESS,
                                      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, image.c_str(),
                                      nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(test.service) << GetLastError();
    for (int i = 0; i < 3 && !StartServiceA(test.service.get(), 0, nullptr); ++i) Sleep(500);  // a fresh prefix may time out
    ASSERT_EQ(ran(dir.path(), 1), "A");

    // The last new file will not run and its old one cannot go back (a reader came): the program beside runs again.
    struct Case { const char* source; bool programBeside; Kind kind; const char* ran; const char* said; };
    const Case cases[] = {
        {"holder_b.exe", false, Kind::Replaced, "AB", "Moravel Test Holder stopped to replace svc.exe.|"},
        {"holder_x.exe", false, Kind::GaveUpOldBack, "ABXB", "Moravel Test Holder did not start with the new file; the old file is back.|"},
        {"holder_b.exe", false, Kind::AlreadyUpToDate, "ABXB", "svc.exe is already up to date.|"},
        {"holder_x.exe", true, Kind::Failed, "ABXBXX", "did not start with the new file; the old file could not be put back: "}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        DWORD pid = 0;
        for (int i = 0; i < 100 && serviceState(test.service.get(), &pid) != SERVICE_RUNNING; ++i) Sleep(50);
        std::vector<Holder> holders = {{"svc.exe", pid, Holder::Hold::Runs}};
        std::optional<Program> program;
        std::optional<HoldOnceItHas> reader;
        if (c.programBeside) {
            program.emplace("\"" + tool + "\"", work);
            ASSERT_EQ(ran(work, 1), "B");
            holders.push_back({"svc.exe", program->pid, Holder::Hold::Runs});
            reader.emplace(tool, besideTestProgram(c.source));
        }
        const DeployOutcome outcome = deployOverHolders(besideTestProgram(c.source), tool, holders, {}, CancelEvent{});
        reader.reset();
        const auto again = startedAgain(outcome);
        EXPECT_EQ(outcome.kind, c.kind);
        EXPECT_EQ(ran(dir.path(), std::string(c.ran).size()), c.ran);
        EXPECT_NE(said(outcome).find(c.said), std::string::npos) << said(outcome);
        if (c.programBeside) {
            EXPECT_EQ(ran(work, 3), "BcX");
            EXPECT_EQ(again.size(), 1u);
            EXPECT_EQ(test::filesIn(dir.path()), (std::vector<std::string>{"ran.txt", "svc.exe", std::string(fileNamePart(outcome.oldFileAside))}));
            EXPECT_TRUE(sameContent(outcome.oldFileAside, besideTestProgram("holder_b.exe")));
            EXPECT_NE(said(outcome).find("; it is " + std::string(fileNamePart(outcome.oldFileAside)) + ".|"), std::string::npos);
            continue;
        }
        EXPECT_EQ(serviceState(test.service.get()), DWORD{SERVICE_RUNNING});
        EXPECT_TRUE(sameContent(tool, besideTestProgram("holder_b.exe")));
        EXPECT_EQ(test::filesIn(dir.path()), (std::vector<std::string>{"ran.txt", "svc.exe"}));
    }
}

// However a deploy ends after stopping a program, the program runs again on
// the old file, and the lines come in the order of what happened.
TEST(DeployOverHolders, ACancelledOrFailedDeployStartsAgainWhatItStoppedOnTheOldFile) {
    struct Case { const char* argument; bool cancel; Kind kind; const char* ran; std::vector<const char*> said; };
    const Case cases[] = {
        {"slow", true, Kind::Cancelled, "AslowcAslow", {" tool.exe was not replaced: the update was cancelled.|", " started again (pid "}},
        {"", false, Kind::Failed, "AcA", {") closed to replace tool.exe.|", " tool.exe could not be replaced: ", " started again (pid "}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument);
        test::TempDir dir;
        const std::string tool = dir / "tool.exe", work = dir / "work";
        ASSERT_TRUE(CopyFileA(besideTestProgram("holder_a.exe").c_str(), tool.c_str(), FALSE) && CreateDirectoryA(work.c_str(), nullptr));
        Program program("\"" + tool + "\" " + c.argument, work);
        ASSERT_FALSE(ran(work, 1).empty());
        const std::vector<Holder> holders = holdersOf(tool);
        // A reader the lookup did not see refuses the rename.
        std::optional<test::HeldByOtherProcess> reader;
        if (!c.cancel) reader.emplace(tool, FILE_SHARE_READ);
        const CancelEvent cancel;
        DeployOutcome outcome;
        std::thread deploy([&] { outcome = deployOverHolders(besideTestProgram("holder_b.exe"), tool, holders, {}, cancel); });
        if (c.cancel) ran(work, 6), cancel.set();  // halfway through its closing
        deploy.join();
        const auto again = startedAgain(outcome);
        EXPECT_EQ(outcome.kind, c.kind);
        EXPECT_EQ(ran(work, std::string(c.ran).size()), c.ran);
        std::size_t at = 0;
        for (const char* line : c.said) {
            at = said(outcome).find(line, at);
            EXPECT_NE(at, std::string::npos) << line << " in " << said(outcome);
        }
        ASSERT_EQ(again.size(), 1u);
        EXPECT_TRUE(again.front()->runs());
        EXPECT_TRUE(sameContent(tool, besideTestProgram("holder_a.exe")));
    }
}

// ---- a set of files deployed together --------------------------------------------------------

// Runs a set's job here, the members' destinations stopping what runs them.
std::vector<RowOutcome> deploySet(const std::vector<std::pair<std::string, std::string>>& sourceAndDestination,
                                  const std::string& journal) {
    std::vector<ReleaseMember> members;
    for (const auto& [source, destination] : sourceAndDestination) {
        members.push_back({members.size() + 1, TFileObject(source, destination), "", {}});
        members.back().project.RestartHolder = true;
    }
    const auto outcomes = std::make_shared<std::vector<RowOutcome>>();
    Job here;
    releaseJob("Release Tools", members, std::make_shared<SystemHolderFinder>(10000), journal, outcomes)(members[0].project, here);
    return *outcomes;
}

// Every line of a set's outcomes, as one deploy's.
DeployOutcome asOneDeploy(const std::vector<RowOutcome>& outcomes) {
    DeployOutcome all;
    for (const RowOutcome& outcome : outcomes)
        for (const auto* lines : {&outcome.linesBefore, &outcome.linesAfter}) all.linesAfter.insert(all.linesAfter.end(), lines->begin(), lines->end());
    return all;
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// A program that runs tool.exe with helper.dll loaded, and a service that
// does: stopped once and started once, on both new files, or else on both
// old ones; the journal gone either way, nothing of ours left beside them.
// A job ended by an error halfway still starts again what it stopped.
TEST(Release, WhatRunsTheFilesOfASetIsStoppedOnceAndStartedOnceOnAllNewFilesOrAllOld) {
    struct Case { bool service; const char* exe; RowOutcome::Result result; const char* ran; std::vector<const char*> said; bool endsByError = false; };
    const Case cases[] = {
        {false, "holder_b.exe", RowOutcome::Result::Succeeded, "AacBb",
         {") closed to replace Release Tools.|", " started again (pid ", " Release Tools: 2 files replaced together.|"}},
        {true, "holder_x.exe", RowOutcome::Result::LeavesList, "AaXbAa",
         {" Moravel Test Set stopped to replace Release Tools.|",
          " Moravel Test Set did not start with the new files; the old files are back.|", " Moravel Test Set started again.|",
          " Release Tools: nothing replaced; every file is as before.|"}},
        {false, "holder_b.exe", RowOutcome::Result::Failed, "AacBa", {}, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.exe);
        test::TempDir dir, settings;
        const std::string tool = dir / "tool.exe", helper = dir / "helper.dll", work = dir / "work", journal = settings / "Moravel-release.ini";
        ASSERT_TRUE(CopyFileA(besideTestProgram("holder_a.exe").c_str(), tool.c_str(), FALSE) &&
                    CopyFileA(besideTestProgram("helper_a.dll").c_str(), helper.c_str(), FALSE) &&
                    CreateDirectoryA(work.c_str(), nullptr));
        std::optional<Program> program;
        TestService service;
        if (c.service) {
            const std::string image = "\"" + tool + "\" service";
            service.service.reset(CreateServiceA(service.manager.get(), "MoravelTestSet", "Moravel Test Set", SERVICE_ALL_ACCESS,
                                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                                 image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
            ASSERT_TRUE(service.service) << GetLastError();
            for (int i = 0; i < 3 && !StartServiceA(service.service.get(), 0, nullptr); ++i) Sleep(500);
        } else {
            program.emplace("\"" + tool + "\"", work);
        }
        const std::string ranIn = c.service ? dir.path() : work;
        ASSERT_EQ(ran(ranIn, 2), "Aa");

        if (c.endsByError) releaseReplacedSeam() = [](const std::string&) { throw std::runtime_error("ended"); };
        const std::vector<RowOutcome> outcomes =
            deploySet({{besideTestProgram(c.exe), tool}, {besideTestProgram("helper_b.dll"), helper}}, journal);
        releaseReplacedSeam() = nullptr;
        if (c.endsByError) {  // no line says what started again: it is found by its name
            EXPECT_EQ(ran(ranIn, std::string(c.ran).size()), c.ran);
            EXPECT_TRUE(Program(pidOf("tool.exe")).runs());
            continue;
        }
        const DeployOutcome lines = asOneDeploy(outcomes);
        auto again = startedAgain(lines);
        ASSERT_EQ(outcomes.size(), 2u);
        for (const RowOutcome& outcome : outcomes) EXPECT_EQ(outcome.result, c.result);
        EXPECT_EQ(ran(ranIn, std::string(c.ran).size()), c.ran);
        std::size_t at = 0;
        for (const char* line : c.said) {
            at = said(lines).find(line, at);
            EXPECT_NE(at, std::string::npos) << line << " in " << said(lines);
        }
        EXPECT_EQ(count(said(lines), "started again"), 1u) << said(lines);
        const bool replaced = c.result == RowOutcome::Result::Succeeded;
        EXPECT_TRUE(sameContent(tool, besideTestProgram(replaced ? "holder_b.exe" : "holder_a.exe")));
        EXPECT_TRUE(sameContent(helper, besideTestProgram(replaced ? "helper_b.dll" : "helper_a.dll")));
        EXPECT_EQ(test::filesIn(settings.path()), std::vector<std::string>{});
        for (const auto& started : again) EXPECT_TRUE(started->runs());
        again.clear();
        const std::vector<std::string> ours = {"helper.dll", "ran.txt", "tool.exe"}, theirs = {"helper.dll", "tool.exe"};
        EXPECT_EQ(test::filesIn(dir.path()), c.service ? ours : theirs);
    }
}

// A run ended at any moment of a set's replace leaves, after the next start,
// every member with its old bytes (a member that had no file, none) and
// nothing of ours beside them; a set that ended is all new.
TEST(Release, ARunEndedWhileASetIsReplacedIsPutBackAtTheNextStart) {
    const struct { int endedAfter; bool allNew; } cases[] = {{1, false}, {2, false}, {3, false}, {0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.endedAfter);
        test::TempDir dir, settings;
        const std::string journal = settings / "Moravel-release.ini";
        std::vector<std::pair<std::string, std::string>> members;
        std::vector<std::string> destinations;
        for (const char* name : {"a", "b", "c"}) {
            members.push_back({dir / (name + std::string(".new")), dir / (name + std::string(".dst"))});
            destinations.push_back(members.back().second);
            test::writeFile(members.back().first, std::string("new ") + name);
            if (*name != 'c') test::writeFile(members.back().second, std::string("old ") + name);  // c has none yet
        }
        int replaced = 0;
        releaseReplacedSeam() = [&](const std::string&) {
            if (++replaced == c.endedAfter) throw std::runtime_error("ended");
        };
        deploySet(members, journal);
        releaseReplacedSeam() = nullptr;
        EXPECT_EQ(test::exists(journal), !c.allNew);

        const std::vector<std::string> lines = putBackInterruptedReleases(journal);
        SetAsideFiles setAside;
        sweepAtStart(destinations, setAside);
        EXPECT_EQ(lines.size(), c.allNew ? 0u : 1u);
        if (!lines.empty()) {
            EXPECT_TRUE(lines[0].ends_with(" Release Tools was interrupted; its files are as before.")) << lines[0];
        }
        for (const auto& [source, destination] : members) {
            const std::string name(fileNamePart(destination).substr(0, 1));
            EXPECT_EQ(test::exists(destination) ? test::readFile(destination) : "", c.allNew ? "new " + name : name == "c" ? "" : "old " + name);
        }
        EXPECT_EQ(test::filesIn(dir.path()).size(), c.allNew ? 6u : 5u) << "nothing of ours beside them";
        EXPECT_FALSE(test::exists(journal));
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
