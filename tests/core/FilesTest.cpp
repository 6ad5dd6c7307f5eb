#include <gtest/gtest.h>

#include <windows.h>

#include "TempDir.h"
#include "core/Files.h"
#include "core/Handle.h"

namespace moravel {
namespace {

using test::filesIn;
using test::readFile;
using test::TempDir;
using test::writeFile;

// Whatever happens, the target has all of the new bytes or all of its old
// ones, and its folder holds nothing else: no scratch file of ours, and none
// the system leaves when asked to replace a file someone holds.
TEST(Replace, TheTargetGetsTheNewBytesOrKeepsItsOwnAndNothingIsLeft) {
    enum Setup { Free, NoTarget, Reader, ReaderSharingDelete, NoSharing, ReadOnly, NoFolder, NoSource };
    struct Case {
        const char* what;
        Setup setup;
        bool longPath;  // the longest path the system takes
        bool replaced;
    } cases[] = {
        {"target free", Free, false, true},
        {"no target yet", NoTarget, false, true},
        {"a path of 259 characters", Free, true, true},
        {"read by a program that shares writing", Reader, false, true},
        {"read by a program that shares deletion", ReaderSharingDelete, false, true},
        {"held without sharing", NoSharing, false, false},
        {"read-only", ReadOnly, false, false},
        {"folder missing", NoFolder, false, false},
        {"source missing", NoSource, false, false},
    };
    TempDir sources;
    const std::string source = sources / "new.bin";
    const std::string newBytes("new bytes\r\n\0 and more", 21);
    writeFile(source, newBytes);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string folder = dir.path();
        const std::string name = c.longPath ? "longname.bin" : "target.bin";
        if (c.longPath) {
            folder += "\\" + std::string(MAX_PATH - 1 - folder.size() - name.size() - 2, 'f');
            ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
        }
        if (c.setup == NoFolder) folder += "\\gone";
        const std::string target = folder + "\\" + name;
        if (c.setup != NoTarget && c.setup != NoFolder) writeFile(target, "old");

        UniqueFile held;
        const DWORD shares[] = {FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, 0};
        if (c.setup == Reader || c.setup == ReaderSharingDelete || c.setup == NoSharing) {
            held.reset(CreateFileA(target.c_str(), GENERIC_READ, shares[c.setup - Reader], nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(held);
        }
        if (c.setup == ReadOnly) test::setReadOnly(target, true);

        EXPECT_EQ(replaceFile(c.setup == NoSource ? sources / "gone.bin" : source, target), c.replaced);
        held.reset();
        test::setReadOnly(target, false);
        if (c.setup == NoFolder) {
            EXPECT_FALSE(test::exists(folder));
            continue;
        }
        EXPECT_EQ(readFile(target), c.replaced ? newBytes : "old");
        EXPECT_EQ(filesIn(folder), std::vector<std::string>{name});
    }
}

}  // namespace
}  // namespace moravel
