#include <gtest/gtest.h>

#include <optional>

#include "TempDir.h"
#include "core/ObjectUnit.h"
#include "engine/FakeTimer.h"
#include "engine/FileVersion.h"
#include "engine/TestFiles.h"

namespace moravel {
namespace {

using test::besideTestProgram;
using test::filesIn;
using test::readFile;
using test::TempDir;
using test::writeFile;

TEST(FileVersion, ReadsTheFileVersionOrZeros) {
    TempDir dir;
    writeFile(dir / "notes.txt", "just text, no resource");
    writeFile(dir / "fake.exe", "MZ but nothing after it");
    const std::string copied = dir / "copy of ver2.exe";
    ASSERT_TRUE(CopyFileA(besideTestProgram("ver2.exe").c_str(), copied.c_str(), FALSE));

    struct Case {
        std::string path;
        const char* version;
    } cases[] = {
        {besideTestProgram("ver2.exe"), "2.0.0.0"},  // product version 3.1.0.0 is not it
        {besideTestProgram("ver65535.exe"), "1.65535.0.65535"},
        {copied, "2.0.0.0"},
        {besideTestProgram("holdfile.exe"), "0.0.0.0"},  // a program without a version resource
        {dir / "notes.txt", "0.0.0.0"},
        {dir / "fake.exe", "0.0.0.0"},
        {dir / "missing.exe", "0.0.0.0"},
        {dir.path(), "0.0.0.0"},
        {"", "0.0.0.0"},
    };
    for (const Case& c : cases) EXPECT_EQ(GetFileVersionText(c.path), c.version) << c.path;
}

TEST(FileVersion, BackupNameMovesOnlyTheLastExtensionOfTheFileName) {
    struct Case {
        const char* destination;
        const char* version;
        const char* backup;
    } cases[] = {
        {"C:\\apps\\tool.exe", "1.2.3.4", "C:\\apps\\tool-1.2.3.4.exe"},
        {"archive.tar.gz", "1.0.0.0", "archive.tar-1.0.0.0.gz"},
        {"C:\\rel1.5\\tool", "1.0.0.0", "C:\\rel1.5\\tool-1.0.0.0"},
        {"C:/apps/tool.exe", "1.2.3.4", "C:/apps/tool-1.2.3.4.exe"},  // the colon splits, not "/"
        {"tool", "1.0.0.0", "tool-1.0.0.0"},
        {"C:tool.dll", "0.0.0.0", "C:tool-0.0.0.0.dll"},
        {"\\\\server\\share.v2\\lib.a.b", "9.8.7.6", "\\\\server\\share.v2\\lib.a-9.8.7.6.b"},
        {"C:\\apps\\.profile", "1.0.0.0", "C:\\apps\\-1.0.0.0.profile"},
        {"C:\\apps\\tool.", "1.0.0.0", "C:\\apps\\tool-1.0.0.0."},
        {"C:\\apps\\", "1.0.0.0", "C:\\apps\\-1.0.0.0"},
        {"", "0.0.0.0", "-0.0.0.0"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(versionBackupPath(c.destination, c.version), c.backup) << c.destination;
}

TEST(FileVersion, BackupCopiesTheSourceAndReplacesAnEarlierOne) {
    TempDir dir;
    test::FixedClock clock(makeLocalTime(2031, 2, 3, 4, 5, 6));
    const std::string stamp = timestampText(clock.now());
    TFileObject project(dir / "new.txt", dir / "data.txt");
    const std::string backup = dir / "data-0.0.0.0.txt";

    writeFile(project.Source, "first");
    EXPECT_EQ(makeVersionBackup(project, "0.0.0.0"), stamp + " Created version backup.");
    EXPECT_EQ(readFile(backup), "first");

    writeFile(project.Source, "second, longer");
    EXPECT_EQ(makeVersionBackup(project, "0.0.0.0"), stamp + " Created version backup.");
    EXPECT_EQ(readFile(backup), "second, longer");

    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"data-0.0.0.0.txt", "new.txt"}))
        << "the destination itself is not the backup's business";
}

// A backup is written (past a reader too) or reported as failed, and either
// way nothing else is left beside it.
TEST(FileVersion, BackupIsWrittenOrReportedAndLeavesNothingBehind) {
    TempDir dir;
    test::FixedClock clock(makeLocalTime(2031, 2, 3, 4, 5, 6));
    const std::string created = timestampText(clock.now()) + " Created version backup.";
    const std::string failed = timestampText(clock.now()) + " Failed to create version backup!";
    const std::string backup = dir / "tool-1.0.0.0.exe";
    enum Setup { OtherProcess, NoSharing, Reader, ReaderSharingDelete, ReadOnly, NoFolder, NoSource };
    const struct {
        const char* what;
        Setup setup;
        bool written;
    } cases[] = {
        {"backup held open by another program", OtherProcess, false},
        {"backup held open in this process", NoSharing, false},
        {"backup read by a program that shares writing", Reader, true},
        {"backup read by a program that shares deletion", ReaderSharingDelete, true},
        {"backup read-only", ReadOnly, false},
        {"backup folder missing", NoFolder, false},
        {"source gone", NoSource, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TFileObject project(dir / (c.setup == NoSource ? "gone.exe" : "tool.exe"),
                            c.setup == NoFolder ? dir / "gone\\tool.exe" : dir / "tool.exe");
        writeFile(dir / "tool.exe", std::string("new build, ") + c.what);
        writeFile(backup, "old backup");
        {
            std::optional<test::HeldByOtherProcess> elsewhere;
            std::optional<test::HeldFile> here;
            if (c.setup == OtherProcess) elsewhere.emplace(backup);
            if (c.setup == NoSharing) here.emplace(backup);
            if (c.setup == Reader) here.emplace(backup, FILE_SHARE_READ | FILE_SHARE_WRITE);
            if (c.setup == ReaderSharingDelete) here.emplace(backup, FILE_SHARE_READ | FILE_SHARE_DELETE);
            if (c.setup == ReadOnly) test::setReadOnly(backup, true);
            ASSERT_TRUE((elsewhere && elsewhere->held()) || (here && here->held()) || c.setup >= ReadOnly);
            EXPECT_EQ(makeVersionBackup(project, "1.0.0.0"), c.written ? created : failed);
            test::setReadOnly(backup, false);
        }
        EXPECT_EQ(readFile(backup), c.written ? readFile(dir / "tool.exe") : "old backup");
        EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"tool-1.0.0.0.exe", "tool.exe"}))
            << "no scratch file left behind";
    }
}

}  // namespace
}  // namespace moravel
