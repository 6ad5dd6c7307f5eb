#include <gtest/gtest.h>

#include "TempDir.h"
#include "core/Files.h"
#include "engine/TestFiles.h"

namespace moravel {
namespace {

using namespace test;
using O = ReplaceOutcome;

DWORD replaceError = 0;  // what the stand-in for ReplaceFileA answers
bool nameTaken = false;  // after moving the old file aside, it takes the target's name

// Whatever a replace meets, the target holds the old bytes or the new ones as
// the outcome says (the old ones kept elsewhere only when stranded), and no
// scratch file is left.
TEST(Replace, TargetHoldsOldOrNewAsTheOutcomeSaysAndNoScratchFileIsLeft) {
    enum Setup { Mapped, FullDisk, UpdateReader, Seam, RollBack };
    const struct {
        const char* what;
        Setup setup;
        std::size_t before, after;
        DWORD error;
        bool taken;
        O outcome;
    } cases[] = {
        {"mapped by a reader, shrinking", Mapped, 8192, 100, 0, false, O::Busy},
        {"mapped by a reader, growing", Mapped, 100, 8192, 0, false, O::Replaced},
        {"full disk under a reader sharing writing", FullDisk, 8192, 24576, 0, false, O::Replaced},
        {"reader since the probe of an update", UpdateReader, 100, 200, 0, false, O::Busy},
        {"1175: nothing moved", Seam, 10, 20, ERROR_UNABLE_TO_REMOVE_REPLACED, false, O::Replaced},
        {"1176: nothing moved", Seam, 10, 20, ERROR_UNABLE_TO_MOVE_REPLACEMENT, false, O::Replaced},
        {"1177: the old file aside", Seam, 10, 20, ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, false, O::Replaced},
        {"1177, then the name taken", Seam, 10, 20, ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, true, O::Stranded},
        {"in use, its roll-back refused", RollBack, 10, 20, 0, true, O::Stranded},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.setup == FullDisk && smallDisk().empty()) continue;  // no disk to fill without root
        TempDir dir(c.setup == FullDisk ? smallDisk() : "");
        const std::string target = dir / "t.dat", source = dir / "s.dat";
        const std::string old(c.before, 'o'), fresh(c.after, 'n');
        writeFile(target, old);
        writeFile(source, fresh);
        ULARGE_INTEGER room{};
        if (c.setup == FullDisk && GetDiskFreeSpaceExA(dir.path().c_str(), &room, nullptr, nullptr))
            writeFile(dir / "filler", std::string(room.QuadPart - (36 << 10), 'f'));  // the copy fits, not the growth
        // A reader, as an editor or a scanner is: sharing writing (and deletion, for a rename to pass it).
        const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (c.setup == RollBack ? FILE_SHARE_DELETE : 0);
        UniqueFile reader(c.setup == Seam ? INVALID_HANDLE_VALUE
                                          : CreateFileA(target.c_str(), GENERIC_READ, share, nullptr,
                                                        OPEN_EXISTING, 0, nullptr));
        UniqueHandle mapping(
            c.setup == Mapped ? CreateFileMappingA(reader.get(), nullptr, PAGE_READONLY, 0, 0, nullptr) : nullptr);
        void* view = mapping ? MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0) : nullptr;
        ASSERT_EQ(view != nullptr, c.setup == Mapped);
        replaceError = c.error;
        nameTaken = c.taken;
        replaceFileForTests = c.setup != Seam ? nullptr : +[](const std::string& replaced, const std::string&,
                                                              const std::string& backup) {
            if (replaceError == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) MoveFileA(replaced.c_str(), backup.c_str());
            if (nameTaken) CreateDirectoryA(replaced.c_str(), nullptr);
            SetLastError(replaceError);
            return false;
        };
        moveIntoPlaceForTests = [](const std::string&, const std::string& destination) {
            return !CreateDirectoryA(destination.c_str(), nullptr);
        };
        O outcome;
        std::string kept;
        if (c.setup == RollBack) {
            InUseReplacement result = replaceEvenIfInUse(source, target);
            outcome = result.replaced ? O::Replaced : result.stranded.empty() ? O::Unchanged : O::Stranded;
            kept = result.stranded;
        } else {
            ScratchFile scratch(target, c.setup == UpdateReader ? InPlace::Never : InPlace::Allowed);
            ASSERT_TRUE(scratch.copyFrom(source));
            outcome = scratch.commit();
            kept = scratch.kept();
        }
        replaceFileForTests = nullptr;
        moveIntoPlaceForTests = nullptr;
        if (view) UnmapViewOfFile(view);
        mapping.reset();
        reader.reset();
        DeleteFileA((dir / "filler").c_str());
        EXPECT_EQ(outcome, c.outcome);
        EXPECT_EQ(readFile(outcome == O::Stranded ? kept : target), outcome == O::Replaced ? fresh : old);
        RemoveDirectoryA(target.c_str());
        EXPECT_EQ(filesIn(dir.path()).size(), 2u) << "the source and the old or new file, nothing else";
    }
}

}  // namespace
}  // namespace moravel
