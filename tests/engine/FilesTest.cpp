#include <gtest/gtest.h>
#include <cstdlib>

#include "TempDir.h"
#include "core/Files.h"
#include "engine/TestFiles.h"

namespace moravel {
namespace {
using namespace test;
using O = ReplaceOutcome;
DWORD replaceError = 0;  // what the stand-in for ReplaceFileA answers; after 1177 a folder may take the name

// Whatever a replace meets, its target holds old or new bytes as the outcome says, and no scratch file is left.
TEST(Replace, TargetHoldsOldOrNewAsTheOutcomeSaysAndNoScratchFileIsLeft) {
    enum Setup { Mapped, FullDisk, UpdateReader, Seam, RollBack };
    const struct { const char* what; Setup setup; std::size_t before, after; DWORD error; O outcome; } cases[] = {
        {"mapped by a reader, shrinking", Mapped, 8192, 100, 0, O::Busy},
        {"mapped by a reader, growing", Mapped, 100, 8192, 0, O::Replaced},
        {"full disk under a reader sharing writing", FullDisk, 8192, 24576, 0, O::Replaced},
        {"reader since the probe of an update", UpdateReader, 100, 200, 0, O::Busy},
        {"1175, or 1176 with a backup name: nothing moved", Seam, 10, 20, ERROR_UNABLE_TO_MOVE_REPLACEMENT, O::Replaced},
        {"1177: the old file aside", Seam, 10, 20, ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, O::Replaced},
        {"1177, then the name taken", Seam, 10, 20, ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 | 0x10000, O::Stranded},
        {"in use, its roll-back refused", RollBack, 10, 20, 0, O::Stranded},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.setup == FullDisk && smallDisk().empty()) continue;  // no disk to fill without root
        TempDir dir(c.setup == FullDisk ? smallDisk() : "");
        const std::string target = dir / "t.dat", source = dir / "s.dat", old(c.before, 'o'), fresh(c.after, 'n');
        writeFile(target, old), writeFile(source, fresh);
        if (ULARGE_INTEGER room{}; c.setup == FullDisk && GetDiskFreeSpaceExA(dir.path().c_str(), &room, 0, 0))
            writeFile(dir / "filler", std::string(room.QuadPart - (36 << 10), 'f'));  // the copy fits, not the growth
        UniqueFile reader(c.setup == Seam ? INVALID_HANDLE_VALUE : CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ |
                          FILE_SHARE_WRITE | (c.setup == RollBack ? FILE_SHARE_DELETE : 0), 0, OPEN_EXISTING, 0, 0));
        UniqueHandle mapping(c.setup == Mapped ? CreateFileMappingA(reader.get(), 0, PAGE_READONLY, 0, 0, 0) : 0);
        void* view = mapping ? MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0) : nullptr;
        replaceError = c.error;
        replaceFileForTests = c.setup != Seam ? nullptr : +[](const std::string& to, const std::string&,
                                                              const std::string& backup) {
            if ((replaceError & 0xFFFF) == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) MoveFileA(to.c_str(), backup.c_str());
            if (replaceError & 0x10000) CreateDirectoryA(to.c_str(), nullptr);
            return SetLastError(replaceError & 0xFFFF), false;
        };
        moveIntoPlaceForTests = [](const std::string&, const std::string& to) { return !CreateDirectoryA(to.c_str(), 0); };
        ScratchFile scratch(target, c.setup == UpdateReader ? InPlace::Never : InPlace::Allowed);
        const std::string aside = c.setup == RollBack ? replaceEvenIfInUse(source, target).stranded : "";
        const O outcome = c.setup == RollBack ? (aside.empty() ? O::Unchanged : O::Stranded)
                          : scratch.copyFrom(source)      ? scratch.commit() : O::Unchanged;
        replaceFileForTests = nullptr, moveIntoPlaceForTests = nullptr;
        DeleteFileA((dir / "filler").c_str());
        EXPECT_EQ(outcome, c.outcome);
        const std::string& holder = outcome != O::Stranded ? target : aside.empty() ? scratch.kept() : aside;
        EXPECT_EQ(readFile(holder), outcome == O::Replaced ? fresh : old);
        RemoveDirectoryA(target.c_str());
        EXPECT_EQ(filesIn(dir.path()).size(), 2u) << "the source and the old or new file, nothing else";
        if (view) UnmapViewOfFile(view);
    }
}

TEST(Replace, DISABLED_CopyHeldHalfway) {  // the next test's second process, ended halfway through its copy
    copyFileForTests = [](auto& from, auto& to, auto&) {  // half of it, then nothing until the process is ended
        return writeFile(to, readFile(from).substr(0, 1 << 20)), Sleep(INFINITE), false; };
    const std::string dir = std::getenv("MORAVEL_KILLED_IN");
    replaceFile(dir + "\\s.dat", dir + "\\t.dat");
}

// The next start removes the scratch file of a run ended halfway, and not a user's file that looks alike.
TEST(Replace, NextStartRemovesTheScratchFileOfARunEndedHalfwayAndNothingElse) {
    TempDir dir;
    writeFile(dir / "s.dat", std::string(2 << 20, 'n'));
    for (const char* name : {"t.dat", "~0a1b2c3d", "~1234ABCD", "~moravel.tmp"}) writeFile(dir / name, name);
    const std::vector<std::string> before = filesIn(dir.path());
    SetEnvironmentVariableA("MORAVEL_KILLED_IN", dir.path().c_str());
    std::string line = "\"" + besideTestProgram("engine_tests.exe") + "\" --gtest_filter=*CopyHeldHalfway*"
                       " --gtest_also_run_disabled_tests";
    STARTUPINFOA start{};
    start.cb = sizeof start;
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start, &child));
    for (int i = 0; i < 500 && filesIn(dir.path()) == before; ++i) Sleep(20);
    TerminateProcess(child.hProcess, 9);
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hThread), CloseHandle(child.hProcess);
    EXPECT_EQ(filesIn(dir.path()).size(), before.size() + 1) << "the ended run left its scratch file";
    removeScratchFilesBeside({dir / "t.dat"});
    EXPECT_EQ(filesIn(dir.path()), before);
    for (const char* name : {"t.dat", "~0a1b2c3d", "~1234ABCD", "~moravel.tmp"}) EXPECT_EQ(readFile(dir / name), name);
}

}  // namespace
}  // namespace moravel
