#include <gtest/gtest.h>

#include <algorithm>

#include "TempDir.h"
#include "core/Handle.h"
#include "engine/HandleTable.h"
#include "engine/Holders.h"
#include "engine/TestFiles.h"

namespace moravel {
namespace {

using test::HeldByOtherProcess;
using test::TempDir;

std::string holder(const HeldByOtherProcess& process) { return "holdfile.exe (pid " + std::to_string(process.pid()) + ")"; }

TEST(SystemHolderFinder, NamesTheOtherProcessesThatHoldEachFileWithoutLeakingHandles) {
    TempDir dir;
    for (const char* name : {"one.txt", "two.txt", "free.txt", "ours.txt", "run.txt"}) test::writeFile(dir / name, "x");
    HeldByOtherProcess one(dir / "one.txt");
    // Two readers that let each other in: both named, in pid order.
    HeldByOtherProcess first(dir / "two.txt", FILE_SHARE_READ), second(dir / "two.txt", FILE_SHARE_READ);
    test::HeldFile ours(dir / "ours.txt");
    // A program running from a file holds it without any handle to it.
    ASSERT_TRUE(CopyFileA(test::besideTestProgram("holdfile.exe").c_str(), (dir / "tool.exe").c_str(), FALSE));
    HeldByOtherProcess running(dir / "run.txt", FILE_SHARE_READ, dir / "tool.exe");
    // One that also has its own executable open runs it all the same.
    ASSERT_TRUE(CopyFileA(test::besideTestProgram("holdfile.exe").c_str(), (dir / "self.exe").c_str(), FALSE));
    HeldByOtherProcess self(dir / "self.exe", FILE_SHARE_READ, dir / "self.exe");
    ASSERT_TRUE(one.held() && first.held() && second.held() && ours.held() && running.held() && self.held());
    const unsigned long low = std::min(first.pid(), second.pid()), high = std::max(first.pid(), second.pid());

    std::string otherSpelling = dir / "ONE.TXT";
    for (char& c : otherSpelling)
        if (c == '\\') c = '/';
    SystemHolderFinder finder(10000);
    const std::vector<std::string> paths = {dir / "one.txt", dir / "two.txt", dir / "free.txt", dir / "ours.txt",
                                            dir / "missing.txt", otherSpelling, dir / "TOOL.exe", dir / "run.txt", dir / "self.exe"};
    const std::string tool = "tool.exe (pid " + std::to_string(running.pid()) + ")";
    const std::vector<std::string> expected = {
        holder(one), "holdfile.exe (pid " + std::to_string(low) + "), holdfile.exe (pid " + std::to_string(high) + ")",
        "", "", "", holder(one), tool, tool, "self.exe (pid " + std::to_string(self.pid()) + ")"};
    // How each holds it (Opened, Runs), and when it started, which tells it from a later process with its pid.
    const std::vector<std::string> expectedHow = {"O", "OO", "", "", "", "O", "R", "O", "R"};
    std::vector<std::string> named, how;
    for (const auto& answer : finder.find(paths)) {
        named.push_back(holdersText(answer));
        how.emplace_back();
        for (const Holder& holder : answer) {
            how.back() += holder.how == Holder::Hold::Runs ? "R" : "O";
            const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, holder.pid));
            FILETIME started = {}, unused;
            ASSERT_TRUE(GetProcessTimes(process.get(), &started, &unused, &unused, &unused));
            EXPECT_EQ(holder.started, (std::uint64_t{started.dwHighDateTime} << 32) | started.dwLowDateTime);
        }
    }
    EXPECT_EQ(named, expected);
    EXPECT_EQ(how, expectedHow);

    // Whatever one lookup opens, it closes: processes, copies of their handles,
    // snapshots. (The system may add a lock's handle once.)
    const int before = openHandleCount();
    ASSERT_GT(before, 0);
    for (int i = 0; i < 30; ++i) finder.find(paths);
    EXPECT_LE(openHandleCount(), before + 2);

    // Past its time it gives up and names nobody.
    EXPECT_EQ(SystemHolderFinder(0).find(paths), std::vector<std::vector<Holder>>(paths.size()));
}

}  // namespace
}  // namespace moravel
