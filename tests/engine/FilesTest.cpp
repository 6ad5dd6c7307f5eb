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
        const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (c.setup == RollBack ? FILE_SHARE_DELETE : 0);  // a reader's
        UniqueFile reader(c.setup == Seam ? INVALID_HANDLE_VALUE
                                          : CreateFileA(target.c_str(), GENERIC_READ, share, 0, OPEN_EXISTING, 0, 0));
        UniqueHandle mapping(c.setup == Mapped ? CreateFileMappingA(reader.get(), 0, PAGE_READONLY, 0, 0, 0) : 0);
        void* view = mapping ? MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0) : nullptr;
        replaceError = c.error;
        const ScopedFileSeams seams;
        if (c.setup == Seam) fileSeams().replaceFile = [](auto& to, auto&, auto& backup) {
            if ((replaceError & 0xFFFF) == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) MoveFileA(to.c_str(), backup.c_str());
            if (replaceError & 0x10000) CreateDirectoryA(to.c_str(), nullptr);
            return SetLastError(replaceError & 0xFFFF), false;
        };
        fileSeams().moveIntoPlace = [](auto&, auto& to) { return !CreateDirectoryA(to.c_str(), nullptr); };
        ScratchFile scratch(target, c.setup == UpdateReader ? InPlace::Never : InPlace::Allowed);
        const std::string aside = c.setup == RollBack ? replaceEvenIfInUse(source, target).stranded : "";
        const O outcome = c.setup == RollBack ? (aside.empty() ? O::Unchanged : O::Stranded)
                          : scratch.copyFrom(source)      ? scratch.commit() : O::Unchanged;
        EXPECT_EQ(outcome, c.outcome);
        EXPECT_EQ(readFile(outcome == O::Stranded ? aside + scratch.kept() : target), outcome == O::Replaced ? fresh : old);
        EXPECT_EQ(filesIn(dir.path()).size(), c.setup == FullDisk ? 3u : 2u) << "the source, old or new, the filler";
        if (view) UnmapViewOfFile(view);
    }
}

// The copy of our own, no stand-in: a cancel from its progress stops it after
// the chunk under way; a copy that ends carries the source's attributes and
// time (over a target, ReplaceFileA has its own say about attributes).
TEST(Replace, ARealCopyCancelledHalfwayLeavesTheTargetAsItWasAndAWholeOneCarriesAttributesAndTime) {
    struct Progress final : CopyProgress {
        bool cancel = false;
        std::uint64_t copied = 0;
        bool copying(std::uint64_t done, std::uint64_t) override { return (copied = done) == 0 || !cancel; }
    };
    const struct { const char* what; bool cancel; const char* before; } cases[] = {
        {"cancelled after the first chunk over a target", true, "old"},
        {"cancelled after the first chunk, no target yet", true, nullptr},
        {"copied whole, no target yet", false, nullptr}};
    const std::string content = std::string(3 << 20, 'n') + "tail";
    const DWORD carried = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    const FILETIME written{0x12345600, 0x01c2a3b4};  // in 2003
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string source = dir / "s.dat", target = dir / "t.dat";
        writeFile(source, content);
        if (c.before) writeFile(target, c.before);
        if (const UniqueFile file(CreateFileA(source.c_str(), FILE_WRITE_ATTRIBUTES, 0, 0, OPEN_EXISTING, 0, 0)); file)
            SetFileTime(file.get(), nullptr, nullptr, &written);
        ASSERT_TRUE(SetFileAttributesA(source.c_str(), carried));
        Progress progress;
        progress.cancel = c.cancel;
        EXPECT_EQ(replaceFile(source, target, &progress), c.cancel ? O::Unchanged : O::Replaced);
        EXPECT_EQ(progress.copied, c.cancel ? 1u << 20 : content.size()) << "where the copy stopped";
        EXPECT_EQ(filesIn(dir.path()).size(), c.cancel && !c.before ? 1u : 2u) << "no scratch file is left";
        if (c.cancel) {
            EXPECT_EQ(exists(target) ? readFile(target) : "none", c.before ? c.before : "none");
            continue;
        }
        WIN32_FILE_ATTRIBUTE_DATA data{};
        ASSERT_TRUE(GetFileAttributesExA(target.c_str(), GetFileExInfoStandard, &data));
        EXPECT_TRUE(readFile(target) == content);
        EXPECT_EQ(data.dwFileAttributes & carried, carried);
        EXPECT_EQ(CompareFileTime(&data.ftLastWriteTime, &written), 0);
    }
}

TEST(Replace, NextStartRemovesTheScratchFileOfARunEndedHalfwayAndNothingElse) {
    if (const char* in = std::getenv("MORAVEL_KILLED_IN")) {  // the second process: half a copy, then it is ended
        fileSeams().copyFile = [](auto& from, auto& to, auto&) {
            return writeFile(to, readFile(from).substr(0, 1 << 20)), Sleep(INFINITE), false; };
        return (void)replaceFile(std::string(in) + "\\s.dat", std::string(in) + "\\t.dat");
    }
    TempDir dir;
    writeFile(dir / "s.dat", std::string(2 << 20, 'n'));
    for (const char* name : {"t.dat", "~0a1b2c3d", "~1234ABCD", "~moravel.tmp"}) writeFile(dir / name, name);
    const std::vector<std::string> before = filesIn(dir.path());
    SetEnvironmentVariableA("MORAVEL_KILLED_IN", dir.path().c_str());
    std::string line = "\"" + besideTestProgram("engine_tests.exe") + "\" --gtest_filter=*RunEndedHalfway*";
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
}

}  // namespace
}  // namespace moravel
