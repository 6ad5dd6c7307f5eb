#include <gtest/gtest.h>

#include "core/Paths.h"

namespace moravel {
namespace {

// The file system takes either separator, so a destination typed with
// slashes lies in the same folder as one typed with backslashes.
TEST(Paths, TheFolderOfAPathEndsAtItsLastSeparatorOfEitherKindOrAtTheDriveColon) {
    const struct { const char* path; const char* folder; } cases[] = {
        {"C:\\apps\\tool.exe", "C:\\apps\\"},
        {"C:/apps/tool.exe", "C:/apps/"},
        {"C:\\apps/sub\\tool.exe", "C:\\apps/sub\\"},
        {"C:/apps\\sub/tool.exe", "C:/apps\\sub/"},
        {"sub/tool.exe", "sub/"},
        {"//server/share/tool.exe", "//server/share/"},
        {"\\\\server\\share\\tool.exe", "\\\\server\\share\\"},
        {"C:tool.exe", "C:"},
        {"C:", "C:"},
        {"C:\\apps\\", "C:\\apps\\"},
        {"tool.exe", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(folderOf(c.path), c.folder);
        EXPECT_EQ(folderOf(c.path) + std::string(fileNamePart(c.path)), c.path) << "the name is the rest";
    }
}

}  // namespace
}  // namespace moravel
