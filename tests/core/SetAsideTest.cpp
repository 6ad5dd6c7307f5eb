#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <map>

#include "TempDir.h"
#include "core/Handle.h"
#include "core/SetAside.h"

namespace moravel {
namespace {
using namespace test;
using Contents = std::map<std::string, std::string>;  // file name: its bytes

void writeHoursAgo(const std::string& path, const std::string& content, int hours) {
    writeFile(path, content);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const auto at = ((0ull + now.dwHighDateTime) << 32 | now.dwLowDateTime) - hours * 36000000000ull;
    const FILETIME then{static_cast<DWORD>(at), static_cast<DWORD>(at >> 32)};
    const UniqueFile file(CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file && SetFileTime(file.get(), nullptr, nullptr, &then));
}

// A run ended between moving a destination's old file aside and the new one
// in leaves the destination missing: its old file is the only copy there is.
TEST(SetAside, TheStartCollectsOurOldFilesAndPutsTheNewestBackWhereItsDestinationIsMissing) {
    const std::string tool = setAsideName("tool.exe", 0x1a2b), older = setAsideName("tool.exe", 1),
                      newest = setAsideName("tool.exe", 2), oldest = setAsideName("tool.exe", 3);
    std::string upperTag = setAsideName("tool.exe", 0x5e6f), otherCheck = tool;  // letter case aside, ours
    std::transform(upperTag.end() - 8, upperTag.end(), upperTag.end() - 8, ::toupper);
    otherCheck.back() = otherCheck.back() == '0' ? '1' : '0';
    const Contents lookAlikes = {{"tool.exe.old-1a2b", "x"}, {"tool.exe.old-20231015", "x"}, {upperTag, "x"},
                                 {otherCheck, "x"}, {tool + ".bak", "x"}, {setAsideName("other.exe", 5), "x"},
                                 {"~moravel.tmp", "x"}, {"~1234ABCD", "x"}};
    const Contents threeOld = {{older, "older"}, {newest, "newest"}, {oldest, "oldest"}};
    const std::map<std::string, int> hoursAgo = {{older, 2}, {newest, 1}, {oldest, 30}};
    const struct {
        const char* what;
        Contents before;
        std::string held;  // open without sharing deletion while the start sweeps
        Contents after;    // and the look-alikes, which stay
    } cases[] = {
        {"destinations there: our old files and scratch files go",
         {{"tool.exe", "new"}, {"lib.dll", "new lib"}, {tool, "old"}, {setAsideName("lib.dll", 4), "old lib"},
          {"~" + tool.substr(tool.size() - 8), "part"}},
         "", {{"tool.exe", "new"}, {"lib.dll", "new lib"}}},
        {"a destination missing: the newest old file goes back, the others go", threeOld, "", {{"tool.exe", "newest"}}},
        {"the newest cannot go back: nothing beside the missing destination goes", threeOld, newest, threeOld},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        Contents before = c.before, after = c.after, found;
        before.insert(lookAlikes.begin(), lookAlikes.end());
        after.insert(lookAlikes.begin(), lookAlikes.end());
        for (const auto& [name, content] : before)
            writeHoursAgo(dir / name, content, hoursAgo.count(name) ? hoursAgo.at(name) : 0);
        const UniqueFile held(c.held.empty() ? INVALID_HANDLE_VALUE
                                             : CreateFileA((dir / c.held).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                           nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_EQ(static_cast<bool>(held), !c.held.empty());
        SetAsideFiles leftovers;
        sweepAtStart({dir / "tool.exe", dir / "lib.dll", dir / "tool.exe"}, leftovers);
        for (const std::string& name : filesIn(dir.path())) found[name] = readFile(dir / name);
        EXPECT_EQ(found, after);
        EXPECT_EQ(leftovers.remembered().size(), 0u) << "nothing is left to delete later";
    }
}

}  // namespace
}  // namespace moravel
