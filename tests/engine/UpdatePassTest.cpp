#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <optional>

#include "TempDir.h"
#include "core/AppError.h"
#include "core/Files.h"
#include "core/Handle.h"
#include "core/Projects.h"
#include "engine/FakeTimer.h"
#include "engine/Holders.h"
#include "engine/PendingList.h"
#include "engine/Release.h"
#include "engine/TestFiles.h"
#include "engine/UpdatePass.h"

namespace moravel {
namespace {

using test::besideTestProgram;
using test::filesIn;
using test::HeldByOtherProcess;
using test::HeldFile;
using test::readFile;
using test::TempDir;
using test::writeFile;

// The window as the pass sees it: the log it appends to, the button, the
// labels and the pump, all recorded.
class FakeHost : public UpdateHost {
public:
    void appendLog(const std::string& line) override {
        if (!refuseLinesWith.empty() && line.find(refuseLinesWith) != std::string::npos)
            throw AppError("The log cannot take another line");
        log.push_back(line);
    }
    bool logFailures() const override { return alsoLogFailures; }
    void pumpMessages() override {
        ++pumps;
        if (onPump) onPump();
    }
    void setUpdateNowEnabled(bool enabled) override { shown.updateNow = enabled; }
    void setLastAttemptText(const std::string& text) override { shown.lastAttempt = text; }
    void refreshPendingState() override { shown.refreshed = true; }
    void showCopyProgress(std::uint64_t, int percent) override { progress.push_back(std::to_string(percent) + " %"); }
    void endCopyProgress(std::uint64_t) override { progress.push_back("end"); }
    void rowTried(std::uint64_t, RowEnd end) override { ends.push_back(end); }

    // What the window shows of a pass, as the user sees it after the pass.
    struct Shown {
        bool updateNow = false;
        std::string lastAttempt, nextUpdate;
        bool refreshed = false;
        bool operator==(const Shown&) const = default;
        friend std::ostream& operator<<(std::ostream& out, const Shown& s) {
            return out << "Update Now " << s.updateNow << ", last attempt '" << s.lastAttempt << "', next '"
                       << s.nextUpdate << "', refreshed " << s.refreshed;
        }
    } shown;
    std::vector<std::string> log;
    std::vector<std::string> progress;  // what the copied row shows
    std::vector<RowEnd> ends;           // how each attempt ended
    bool alsoLogFailures = false;
    int pumps = 0;
    std::string refuseLinesWith;       // appendLog raises for lines containing this
    std::function<void()> onPump;      // what the user or the timer does meanwhile
};

class UpdatePassTest : public ::testing::Test {
protected:
    UpdatePassTest()
        : scheduler(timer, [this](const std::string& text) { host.shown.nextUpdate = text; }),
          pass(projects, pending, scheduler, host) {
        pass.setNotice([event = news.get()] { SetEvent(event); });
    }

    // Waits for the engine's next notice and takes its news, as the window
    // would; false when none came in time.
    bool takeNews(DWORD milliseconds = 10000) {
        if (WaitForSingleObject(news.get(), milliseconds) != WAIT_OBJECT_0) return false;
        pass.engineNews();
        return true;
    }
    // A pass to its end, with the news of its jobs taken as the window takes them.
    void runPass() {
        pass.RunUpdatePass();
        while (pass.running()) ASSERT_TRUE(takeNews());
    }
    // A pass, then the answer of the holder lookup it started.
    void runPassAndLookUp() {
        runPass();
        if (pass.holdersPending()) takeNews();
    }

    // A project whose source holds `content` and whose destination holds
    // `destination` (no destination file when that is null).
    void addProject(const std::string& name, const char* destinationContent = "old",
                    const std::string& content = "new ") {
        const std::string source = dir / (name + ".src");
        const std::string destination = dir / (name + ".dst");
        writeFile(source, content + name);
        if (destinationContent) writeFile(destination, destinationContent);
        projects.add(name, std::make_unique<TFileObject>(source, destination));
    }
    TFileObject& project(const std::string& name) { return *projects.lookup(name); }
    void queue(std::initializer_list<const char*> names) {
        for (const char* name : names) pending.queue(name, "added");
    }

    // -1 when the row is no longer queued.
    int attempts(const std::string& name) const {
        const int at = pending.findByName(name);
        return at < 0 ? -1 : pending.rowAt(at).attempts;
    }
    bool queued(const std::string& name) const { return pending.findByName(name) >= 0; }
    bool replaced(const std::string& name) {
        return readFile(project(name).Destination) == readFile(project(name).Source);
    }

    std::string successLine(const std::string& name, const std::string& version = "0.0.0.0") {
        return stamp + " " + project(name).Source + " [v" + version + "] -> " +
               project(name).Destination;
    }
    std::string failedLine(const std::string& name) { return stamp + " Failed " + name + " (busy)."; }
    std::string missingLine(const std::string& name) {
        return "Source \"" + project(name).Source + "\" doesn't exist.";
    }
    std::string cannotCopyLine(const std::string& name) {
        return "DBG: " + project(name).Source + " to " + project(name).Destination + " cannot copy";
    }

    // A clean slate for the next case of a table.
    void forgetEverything() {
        projects = TProjects();
        while (pending.count() > 0) pending.deleteAt(0);
        host = FakeHost();
    }

    // What a pass that ran to its end shows, rows left or not.
    FakeHost::Shown completedPass(bool rowsLeft) {
        return {true, stamp, rowsLeft ? inOneMinute : std::string("<disabled>"), true};
    }

    TempDir dir;
    test::FixedClock clock{makeLocalTime(2031, 1, 2, 3, 4, 5)};
    const std::string stamp = timestampText(clock.now());
    const std::string inOneMinute = timestampText(makeLocalTime(2031, 1, 2, 3, 5, 5));
    TProjects projects;
    PendingList pending;
    test::FakeTimer timer;
    FakeHost host;
    Scheduler scheduler;
    UpdatePass pass;
    // Set by the engine's notice; the test then takes its news, as the window would.
    UniqueHandle news{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
};

TEST(DestinationProbe, FreeOnlyWhenNobodyHoldsItAndItIsWritableMissingUnlessAFileIsThere) {
    TempDir dir;
    const std::string file = dir / "target.bin";
    writeFile(file, "x");
    EXPECT_EQ(probeDestination(file), DestinationState::Free);
    {
        HeldFile held(file);
        ASSERT_TRUE(held.held());
        EXPECT_EQ(probeDestination(file), DestinationState::Busy) << "held with no sharing";
    }
    for (const DWORD share : {DWORD{FILE_SHARE_READ}, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE},
                              DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}}) {
        HeldFile held(file, share);
        ASSERT_TRUE(held.held());
        EXPECT_EQ(probeDestination(file), DestinationState::Busy) << "held sharing " << share;
    }
    {
        HeldByOtherProcess held(file);
        ASSERT_TRUE(held.held());
        EXPECT_EQ(probeDestination(file), DestinationState::Busy) << "held by another process";
    }
    EXPECT_EQ(probeDestination(file), DestinationState::Free) << "the probe itself keeps nothing open";
    test::setReadOnly(file, true);
    EXPECT_EQ(probeDestination(file), DestinationState::Busy) << "read-only";
    test::setReadOnly(file, false);
    EXPECT_EQ(probeDestination(dir / "missing.bin"), DestinationState::Missing);
    EXPECT_EQ(probeDestination(dir / "nowhere\\missing.bin"), DestinationState::Missing);
    EXPECT_EQ(probeDestination(dir / "a?b"), DestinationState::Missing) << "a name the system refuses";
    EXPECT_EQ(probeDestination(dir.path()), DestinationState::Missing) << "a folder";
    EXPECT_EQ(readFile(file), "x");
}

TEST_F(UpdatePassTest, EmptyListCompletesAndStopsTheTimer) {
    timer.reset(true, 60000);
    pass.RunUpdatePass();
    EXPECT_EQ(host.shown, completedPass(false));
    EXPECT_FALSE(timer.running());
    EXPECT_TRUE(host.log.empty());
    EXPECT_FALSE(pass.running());
}

TEST_F(UpdatePassTest, FreeDestinationIsReplacedLoggedWithItsVersionAndLeaves) {
    const std::string source = dir / "build\\tool.exe";
    CreateDirectoryA((dir / "build").c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(besideTestProgram("ver2.exe").c_str(), source.c_str(), FALSE));
    writeFile(dir / "tool.exe", "the old program");
    projects.add("Tool", std::make_unique<TFileObject>(source, dir / "tool.exe"));
    addProject("waiting");
    queue({"tool", "waiting"});  // the row's spelling need not match the project's
    HeldFile busy(project("waiting").Destination);

    pass.RunUpdatePass();

    EXPECT_EQ(readFile(dir / "tool.exe"), readFile(source));
    EXPECT_EQ(host.log, (std::vector<std::string>{stamp + " " + source + " [v2.0.0.0] -> " +
                                                  dir / "tool.exe"}));
    EXPECT_FALSE(queued("tool"));
    EXPECT_EQ(attempts("waiting"), 1);
    EXPECT_EQ(host.shown, completedPass(true));
    EXPECT_TRUE(timer.running());
    EXPECT_EQ(host.pumps, 1);
    EXPECT_EQ(filesIn(dir.path()),
              (std::vector<std::string>{"tool.exe", "waiting.dst", "waiting.src"}));
}

TEST_F(UpdatePassTest, BusyDestinationCountsOneAttemptPerPassUntilReleased) {
    enum Hold { NoSharing, SharingAll, OtherProcess, ReadOnly };
    for (const Hold hold : {NoSharing, SharingAll, OtherProcess, ReadOnly}) {
        for (const bool logFailures : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "hold " << hold << ", log failures " << logFailures);
            const std::string name = "p" + std::to_string(hold) + (logFailures ? "on" : "off");
            addProject(name, "in use");
            queue({name.c_str()});
            host.alsoLogFailures = logFailures;
            host.log.clear();
            const std::string& destination = project(name).Destination;
            {
                std::optional<HeldFile> inProcess;
                std::optional<HeldByOtherProcess> elsewhere;
                if (hold == NoSharing) inProcess.emplace(destination);
                if (hold == SharingAll)
                    inProcess.emplace(destination, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
                if (hold == OtherProcess) elsewhere.emplace(destination);
                if (hold == ReadOnly) test::setReadOnly(destination, true);
                ASSERT_TRUE(hold == ReadOnly || (inProcess && inProcess->held()) ||
                            (elsewhere && elsewhere->held()));

                for (int i = 1; i <= 3; ++i) {
                    pass.RunUpdatePass();
                    EXPECT_EQ(attempts(name), i);
                }
                test::setReadOnly(destination, false);
            }
            EXPECT_EQ(readFile(destination), "in use");
            const std::vector<std::string> failures(3, failedLine(name));
            EXPECT_EQ(host.log, logFailures ? failures : std::vector<std::string>{});

            pass.RunUpdatePass();
            EXPECT_FALSE(queued(name));
            EXPECT_TRUE(replaced(name));
        }
    }
    EXPECT_FALSE(timer.running());
}

TEST_F(UpdatePassTest, MissingDestinationIsCopiedWithoutProbeOrCountedWithCannotCopy) {
    struct Case {
        const char* what;
        std::string destination;
        bool copied;
    } cases[] = {
        {"no file yet", dir / "fresh.dst", true},
        {"folder missing", dir / "nowhere\\fresh.dst", false},
        {"a folder in its place", dir / "folder.dst", false},
    };
    CreateDirectoryA((dir / "folder.dst").c_str(), nullptr);
    for (const bool logFailures : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << c.what << ", log failures " << logFailures);
            DeleteFileA((dir / "fresh.dst").c_str());
            addProject("row", nullptr);
            project("row").Destination = c.destination;
            queue({"row"});
            host.alsoLogFailures = logFailures;
            host.log.clear();

            pass.RunUpdatePass();

            if (c.copied) {
                EXPECT_FALSE(queued("row"));
                EXPECT_TRUE(replaced("row"));
                EXPECT_EQ(host.log, (std::vector<std::string>{successLine("row")}));
            } else {
                EXPECT_EQ(attempts("row"), 1);
                std::vector<std::string> expected{cannotCopyLine("row")};
                if (logFailures) expected.push_back(failedLine("row"));
                EXPECT_EQ(host.log, expected);
                pending.deleteAt(pending.findByName("row"));
            }
        }
    }
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"row.src"})
        << "no scratch file beside a destination that could not be written";
    EXPECT_EQ(filesIn(dir / "folder.dst"), std::vector<std::string>{});
}

TEST_F(UpdatePassTest, MissingSourceCountsAndTheOtherRowsAreStillTried) {
    addProject("a");
    addProject("b");
    addProject("c");
    addProject("d");
    DeleteFileA(project("b").Source.c_str());
    project("d").Source = dir.path();  // a folder is no file to copy
    queue({"a", "b", "c", "d"});
    host.alsoLogFailures = true;

    pass.RunUpdatePass();

    EXPECT_EQ(host.log, (std::vector<std::string>{successLine("a"), missingLine("b"), failedLine("b"),
                                                  successLine("c"), missingLine("d"),
                                                  failedLine("d")}));
    EXPECT_TRUE(replaced("a"));
    EXPECT_TRUE(replaced("c"));
    EXPECT_EQ(readFile(project("b").Destination), "old");
    EXPECT_EQ(readFile(project("d").Destination), "old");
    EXPECT_FALSE(queued("a"));
    EXPECT_EQ(attempts("b"), 1);
    EXPECT_FALSE(queued("c"));
    EXPECT_EQ(attempts("d"), 1);
    EXPECT_EQ(host.shown, completedPass(true));
}

TEST_F(UpdatePassTest, RowWhoseProjectIsGoneCountsAFailureAndStays) {
    addProject("a");
    addProject("c");
    queue({"a", "ghost", "c"});
    for (const bool logFailures : {false, true}) {
        host.alsoLogFailures = logFailures;
        host.log.clear();
        pass.RunUpdatePass();
        const std::vector<std::string> expected =
            logFailures ? std::vector<std::string>{failedLine("ghost")}
                        : std::vector<std::string>{successLine("a"), successLine("c")};
        EXPECT_EQ(host.log, expected);
    }
    EXPECT_EQ(attempts("ghost"), 2);
    EXPECT_EQ(pending.count(), 1);
    EXPECT_TRUE(timer.running());
}

TEST_F(UpdatePassTest, AnErrorWhileHandlingARowIsAFailedAttemptOfThatRowOnly) {
    enum Setup { Replace, NoDestination, NoSource, NoFolder };
    struct Case {
        const char* what;
        Setup setup;
        const char* refuse;  // lines the log refuses
        bool pumpFails;
        bool backup;
        bool destinationReplaced;
    } cases[] = {
        {"success line refused", Replace, "x.src [v", false, false, true},
        {"success line refused, no destination before", NoDestination, "x.src [v", false, false, true},
        {"backup line refused", Replace, "version backup", false, true, true},
        {"pump fails", Replace, "", true, false, true},
        {"pump fails, no destination before", NoDestination, "", true, false, true},
        {"source-missing line refused", NoSource, "doesn't exist", false, false, false},
        {"cannot-copy line refused", NoFolder, "cannot copy", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir fresh;
        forgetEverything();

        const std::string destination = fresh / "x.dst";
        writeFile(fresh / "x.src", "new");
        if (c.setup != NoDestination) writeFile(destination, "old");
        projects.add("x", std::make_unique<TFileObject>(
                              c.setup == NoSource ? fresh / "gone.src" : fresh / "x.src",
                              c.setup == NoFolder ? fresh / "gone\\x.dst" : destination));
        project("x").VersionBackup = c.backup;
        addProject("y");
        queue({"x", "y"});
        host.refuseLinesWith = c.refuse;
        if (c.pumpFails)
            host.onPump = [&] {
                if (host.pumps == 1) throw AppError("pump");  // while x is handled
            };

        pass.RunUpdatePass();

        EXPECT_EQ(attempts("x"), 1) << "counted once, and not done";
        EXPECT_EQ(c.destinationReplaced, fileExists(destination) && readFile(destination) == "new");
        EXPECT_FALSE(queued("y")) << "the next row is still tried";
        EXPECT_TRUE(replaced("y"));
        EXPECT_EQ(host.shown, completedPass(true));
    }
}

TEST_F(UpdatePassTest, ErrorWhileCountingAFailureEndsThePassButFreesUpdateNow) {
    addProject("a");
    addProject("b");
    addProject("c");
    queue({"a", "b", "c"});
    host.alsoLogFailures = true;
    host.refuseLinesWith = " Failed ";
    std::optional<HeldFile> busy(std::in_place, project("b").Destination);

    try {
        pass.RunUpdatePass();
        ADD_FAILURE() << "the error should end the pass";
    } catch (const AppError& e) {
        EXPECT_STREQ(e.what(), "The log cannot take another line");
    }
    EXPECT_EQ(host.shown, (FakeHost::Shown{true, "", "", false})) << "no time, no schedule, no refresh";
    EXPECT_FALSE(pass.running());
    EXPECT_TRUE(timer.calls.empty()) << "the timer keeps ticking as it was";
    // The row that failed was counted before the log refused, then once more
    // by the guard; the row already copied keeps its mark, the last was never tried.
    EXPECT_EQ(pending.rowAt(pending.findByName("a")).doneMarks, 1);
    EXPECT_EQ(attempts("b"), 2);
    EXPECT_EQ(attempts("c"), 0);
    EXPECT_EQ(readFile(project("c").Destination), "old");

    // The next pass finds a's destination busy: still done, so it leaves anyway.
    host.refuseLinesWith.clear();
    host.shown = {};
    host.log.clear();
    busy.reset();
    HeldFile nowBusy(project("a").Destination);
    pass.RunUpdatePass();
    EXPECT_EQ(host.log, (std::vector<std::string>{failedLine("a"), successLine("b"), successLine("c")}));
    EXPECT_EQ(pending.count(), 0);
    EXPECT_EQ(host.shown, completedPass(false));
}

TEST_F(UpdatePassTest, TimerRefusedAtTheEndUnwindsAfterTheRowsAreSettled) {
    addProject("done");
    addProject("busy");
    queue({"done", "busy"});
    HeldFile held(project("busy").Destination);
    timer.refuseStart = true;

    EXPECT_THROW(pass.RunUpdatePass(), AppError);
    FakeHost::Shown expected = completedPass(true);
    expected.refreshed = false;
    EXPECT_EQ(host.shown, expected);
    EXPECT_FALSE(pass.running());
    EXPECT_FALSE(queued("done"));
    EXPECT_EQ(attempts("busy"), 1);
}

TEST_F(UpdatePassTest, VersionBackupBesideTheDestinationAfterEachCopy) {
    const std::string source = dir / "tool.src.exe";
    const std::string destination = dir / "tool.exe";
    const std::string backup = dir / "tool-2.0.0.0.exe";
    ASSERT_TRUE(CopyFileA(besideTestProgram("ver2.exe").c_str(), source.c_str(), FALSE));
    writeFile(destination, "old");
    projects.add("tool", std::make_unique<TFileObject>(source, destination));
    project("tool").VersionBackup = true;
    const std::string created = stamp + " Created version backup.";

    pending.queue("tool", "");
    pass.RunUpdatePass();
    EXPECT_EQ(host.log, (std::vector<std::string>{successLine("tool", "2.0.0.0"), created}));
    EXPECT_EQ(readFile(backup), readFile(source));

    // A rebuild with the same version replaces the backup without a word.
    HANDLE file = CreateFileA(source.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, "rebuilt", 7, &written, nullptr);
    CloseHandle(file);
    host.log.clear();
    pending.queue("tool", "");
    pass.RunUpdatePass();
    EXPECT_EQ(host.log, (std::vector<std::string>{successLine("tool", "2.0.0.0"), created}));
    EXPECT_EQ(readFile(backup), readFile(source));
    EXPECT_EQ(readFile(destination), readFile(source));

    // A backup that cannot be written does not undo the update.
    writeFile(source, "plain data");
    host.log.clear();
    pending.queue("tool", "");
    const std::string plainBackup = dir / "tool-0.0.0.0.exe";
    writeFile(plainBackup, "older backup");
    {
        HeldByOtherProcess held(plainBackup);
        ASSERT_TRUE(held.held());
        pass.RunUpdatePass();
    }
    EXPECT_EQ(host.log, (std::vector<std::string>{successLine("tool"),
                                                  stamp + " Failed to create version backup!"}));
    EXPECT_EQ(readFile(plainBackup), "older backup");
    EXPECT_EQ(readFile(destination), "plain data");
    EXPECT_EQ(pending.count(), 0) << "the row was done";
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"tool-0.0.0.0.exe", "tool-2.0.0.0.exe",
                                                             "tool.exe", "tool.src.exe"}));
}

// A disk that fills up during the copy: the destination keeps its bytes, the
// part copied is gone (or it would keep the disk full for good), and the
// attempt counts.
TEST_F(UpdatePassTest, CopyThatFailsHalfwayLeavesTheDestinationAsItWas) {
    const std::string disk = test::smallDisk();
    if (disk.empty())
        GTEST_SKIP() << "no small disk to fill: ctest mounts a 1 MiB tmpfs for this test when run as root";
    TempDir small(disk);
    writeFile(dir / "big.src", std::string(2 << 20, 'b'));  // larger than the whole disk
    writeFile(small / "big.dst", std::string("the old bytes\r\n\0 and more", 25));
    const std::string original = readFile(small / "big.dst");
    projects.add("big", std::make_unique<TFileObject>(dir / "big.src", small / "big.dst"));
    project("big").VersionBackup = true;
    queue({"big"});
    for (int i = 1; i <= 3; ++i) {
        runPass();
        EXPECT_EQ(attempts("big"), i);
        EXPECT_EQ(readFile(small / "big.dst"), original);
        EXPECT_EQ(filesIn(small.path()), std::vector<std::string>{"big.dst"});
    }

    // Room for the update, not for its backup as well.
    writeFile(dir / "big.src", std::string(600 << 10, 's'));
    runPass();
    EXPECT_FALSE(queued("big"));
    EXPECT_TRUE(replaced("big"));
    EXPECT_EQ(host.log,
              (std::vector<std::string>{successLine("big"), stamp + " Failed to create version backup!"}));
    EXPECT_EQ(filesIn(small.path()), std::vector<std::string>{"big.dst"});
}

TEST_F(UpdatePassTest, PathsWithoutFolderResolveAgainstTheWorkingDirectory) {
    test::CurrentDirectory here(dir.path());
    writeFile(dir / "new.txt", "new");
    projects.add("rel", std::make_unique<TFileObject>("new.txt", "old.txt"));
    project("rel").VersionBackup = true;
    queue({"rel"});
    pass.RunUpdatePass();
    EXPECT_EQ(host.log, (std::vector<std::string>{stamp + " new.txt [v0.0.0.0] -> old.txt",
                                                  stamp + " Created version backup."}));
    EXPECT_EQ(readFile(dir / "old.txt"), "new");
    EXPECT_EQ(readFile(dir / "old-0.0.0.0.txt"), "new");
}

// The system's finder, remembering what it was asked; or one that fails.
class RecordingFinder : public HolderFinder {
public:
    std::vector<std::vector<Holder>> find(const std::vector<std::string>& paths) override {
        asked.push_back(paths);
        if (fails) throw AppError("no rights");
        return system.find(paths);
    }
    SystemHolderFinder system{10000};
    std::vector<std::vector<std::string>> asked;
    bool fails = false;
};

TEST_F(UpdatePassTest, BusyRowsNameTheirHoldersOncePerStreakAgainWhenTheyChangeNeverWhileFree) {
    const auto finder = std::make_shared<RecordingFinder>();
    pass.setHolderFinder(finder);
    addProject("a", "in use");
    queue({"a"});
    host.alsoLogFailures = true;
    const std::string destination = project("a").Destination;
    const auto holders = [&](const char* name) { return pending.rowAt(pending.findByName(name)).holders; };
    const auto heldBy = [&](const HeldByOtherProcess& process) {
        return "holdfile.exe (pid " + std::to_string(process.pid()) + ")";
    };
    const auto heldLine = [&](const HeldByOtherProcess& process) { return stamp + " a is held by " + heldBy(process) + "."; };
    // Passes until one logs more than its failure, for at most two rounds of lookups; that pass's lines.
    const auto passUntilNamed = [&] {
        for (int i = 0; i < 2 * HolderLookups::kEvery; ++i) {
            host.log.clear();
            runPassAndLookUp();
            if (host.log.size() > 1) break;
        }
        return host.log;
    };

    std::optional<HeldByOtherProcess> holder(std::in_place, destination);
    ASSERT_TRUE(holder->held());
    runPassAndLookUp();
    EXPECT_EQ(host.log, (std::vector<std::string>{failedLine("a"), heldLine(*holder)}));
    EXPECT_EQ(holders("a"), heldBy(*holder));

    // The same holder: asked again only every few passes, and not logged again.
    host.log.clear();
    constexpr int kPasses = 3 * HolderLookups::kEvery;
    for (int i = 0; i < kPasses; ++i) runPassAndLookUp();
    EXPECT_EQ(host.log, std::vector<std::string>(kPasses, failedLine("a")));
    EXPECT_GE(finder->asked.size(), 2u);
    EXPECT_LE(finder->asked.size(), 4u);

    // Another program takes over while the file never comes free: named at the next lookup.
    holder.reset();
    holder.emplace(destination);
    EXPECT_EQ(passUntilNamed(), (std::vector<std::string>{failedLine("a"), heldLine(*holder)}));

    // Free for one pass (the copy fails on a source nobody may read): the
    // holder goes, nobody is asked, and the next busy streak names it at once.
    holder.reset();
    {
        const std::size_t asked = finder->asked.size();
        HeldFile source(project("a").Source);
        runPassAndLookUp();
        EXPECT_EQ(holders("a"), "");
        EXPECT_EQ(finder->asked.size(), asked);
    }
    holder.emplace(destination);
    host.log.clear();
    runPassAndLookUp();
    EXPECT_EQ(host.log, (std::vector<std::string>{failedLine("a"), heldLine(*holder)}));

    // Read-only, it says so instead.
    holder.reset();
    test::setReadOnly(destination, true);
    EXPECT_EQ(passUntilNamed(), (std::vector<std::string>{failedLine("a"), stamp + " a is read-only."}));
    EXPECT_EQ(pending.rowAt(0).holderTip(), "read-only");
    test::setReadOnly(destination, false);

    // A project that may replace a file in use gives the holder's refusal as the reason.
    project("a").ReplaceInUse = true;
    holder.emplace(destination);
    EXPECT_EQ(passUntilNamed(), (std::vector<std::string>{failedLine("a"), stamp + " a is held by " +
                                                              heldBy(*holder) + ", which does not let it be renamed."}));
    holder.reset();

    // A lookup that fails names nobody, and the pass goes on to its end.
    finder->fails = true;
    addProject("b", "in use");
    queue({"b"});
    HeldByOtherProcess bHolder(project("b").Destination);
    host.log.clear();
    host.shown = {};
    runPassAndLookUp();
    EXPECT_EQ(host.log, (std::vector<std::string>{successLine("a"), failedLine("b")}));
    EXPECT_EQ(holders("b"), "");
    EXPECT_EQ(host.shown, completedPass(true));
}

// Every lookup waits until the test lets it go, then names a made-up holder.
struct BlockingFinder : HolderFinder {
    std::vector<std::vector<Holder>> find(const std::vector<std::string>& paths) override {
        WaitForSingleObject(release.get(), 5000);
        asked.push_back(paths);
        return std::vector<std::vector<Holder>>(paths.size(), {{"holder.exe", 7}});
    }
    UniqueHandle release{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    std::vector<std::vector<std::string>> asked;
};

TEST_F(UpdatePassTest, APassNeverWaitsForItsHolderLookupWhoseAnswerGoesOnlyToRowsStillBusy) {
    const auto finder = std::make_shared<BlockingFinder>();
    pass.setHolderFinder(finder);
    std::map<std::string, std::optional<HeldFile>> held;
    for (const char* name : {"a", "b", "c", "d"}) {
        addProject(name);
        held[name].emplace(project(name).Destination);
    }
    queue({"a", "b", "c"});
    const auto holders = [&](const char* name) { return pending.rowAt(pending.findByName(name)).holders; };

    pass.RunUpdatePass();  // returns while its lookup is stuck
    // Meanwhile b is removed, c comes free (its copy fails on a source nobody
    // may read) and d is queued busy: d waits for the lookup under way.
    pending.deleteAt(pending.findByName("b"));
    held["c"].reset();
    HeldFile source(project("c").Source);
    queue({"d"});
    pass.RunUpdatePass();
    SetEvent(finder->release.get());
    ASSERT_EQ(WaitForSingleObject(news.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(holders("a"), "");  // until the window takes the answer
    pass.engineNews();
    EXPECT_EQ(holders("a"), "holder.exe (pid 7)");
    EXPECT_EQ(host.log, std::vector<std::string>{stamp + " a is held by holder.exe (pid 7)."});

    // d's turn comes at the next pass. Its answer, arriving while a later pass
    // copies d (the copy lets messages in), is for a streak that is over.
    pass.RunUpdatePass();
    held["d"].reset();
    host.onPump = [&] { takeNews(); };
    host.log.clear();
    pass.RunUpdatePass();
    EXPECT_EQ(host.log, std::vector<std::string>{successLine("d")});
    ASSERT_EQ(finder->asked.size(), 2u);
    EXPECT_EQ(finder->asked[1], std::vector<std::string>{project("d").Destination});

    // A lookup that outlives its passes tells nobody.
    const auto stuck = std::make_shared<BlockingFinder>();
    std::atomic<int> notices{0};
    {
        UpdatePass gone(projects, pending, scheduler, host);
        gone.setHolderFinder(stuck);
        gone.setNotice([&notices] { ++notices; });
        gone.RunUpdatePass();
    }
    SetEvent(stuck->release.get());
    for (int i = 0; i < 500 && stuck.use_count() > 1; ++i) Sleep(10);  // until its thread has ended
    EXPECT_EQ(stuck->asked.size(), 1u);
    EXPECT_EQ(notices, 0);
}

// A lookup that never returns (a handle tied up in a call that does not end)
// is abandoned at its bound: the next one runs on a fresh thread and answers;
// the abandoned one's answer, when it comes, is dropped.
TEST_F(UpdatePassTest, AStuckHolderLookupIsAbandonedAndTheNextOneAnswers) {
    const auto stuck = std::make_shared<BlockingFinder>(), answers = std::make_shared<BlockingFinder>();
    SetEvent(answers->release.get());
    pass.setHolderFinder(stuck);
    pass.setHolderLookupBound(50);
    const auto holders = [&](const char* name) { return pending.rowAt(pending.findByName(name)).holders; };
    addProject("a");
    addProject("b");
    HeldFile heldA(project("a").Destination), heldB(project("b").Destination);
    queue({"a"});
    pass.RunUpdatePass();
    Sleep(100);
    pass.setHolderFinder(answers);
    queue({"b"});
    pass.RunUpdatePass();
    ASSERT_TRUE(takeNews(4000));
    EXPECT_EQ(holders("b"), "holder.exe (pid 7)");

    SetEvent(stuck->release.get());
    for (int i = 0; i < 500 && stuck.use_count() > 1; ++i) Sleep(10);  // until its thread has ended
    EXPECT_FALSE(takeNews(0));
    pass.engineNews();
    EXPECT_EQ(holders("a"), "");
}

// The pump in CopySucceeded lets the timer and the user in while a pass runs.
TEST_F(UpdatePassTest, WhatHappensDuringThePumpDoesNotDisturbThePass) {
    struct Case {
        const char* what;
        std::function<void()> duringFirstPump;
        std::vector<std::string> logged;  // rows whose success line is logged
        std::vector<std::string> left;    // rows queued after the pass, with their attempts
    };
    const Case cases[] = {
        {"the timer ticks: a second pass does not start",
         [this] { pass.RunUpdatePass(); }, {"a", "b", "c"}, {}},
        {"the user removes the row being copied and the last one",
         [this] {
             pending.deleteAt(pending.findByName("a"));
             pending.deleteAt(pending.findByName("c"));
         },
         {"a", "b"}, {}},
        {"the user queues a row that sorts first: it waits for the next pass",
         [this] { pending.queue("0new", "later"); }, {"a", "b", "c"}, {"0new 0"}},
        {"both: the new row takes the removed row's place and is not marked",
         [this] {
             pending.deleteAt(pending.findByName("a"));
             pending.queue("0new", "later");
         },
         {"a", "b", "c"}, {"0new 0"}},
        {"the project being copied is removed, the next one too",
         [this] {
             projects.remove(projects.find("a"));
             projects.remove(projects.find("b"));
         },
         {"a", "c"}, {"b 1"}},
        {"the project being copied is edited",
         [this] { project("a").Source = "elsewhere"; }, {"a", "b", "c"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir fresh;
        forgetEverything();
        std::map<std::string, std::string> expectedLines;
        for (const char* name : {"a", "b", "c", "0new"}) {
            writeFile(fresh / (std::string(name) + ".src"), "new");
            projects.add(name, std::make_unique<TFileObject>(fresh / (std::string(name) + ".src"),
                                                             fresh / (std::string(name) + ".dst")));
            expectedLines[name] = successLine(name);
        }
        queue({"a", "b", "c"});
        host.onPump = [&] {
            if (host.pumps == 1) c.duringFirstPump();
        };

        pass.RunUpdatePass();

        std::vector<std::string> logged;
        for (const std::string& name : c.logged) logged.push_back(expectedLines[name]);
        EXPECT_EQ(host.log, logged);
        std::vector<std::string> left;
        for (int i = 0; i < pending.count(); ++i)
            left.push_back(pending.rowAt(i).name + " " + pending.rowAt(i).attemptsText());
        EXPECT_EQ(left, c.left);
        EXPECT_EQ(host.shown, completedPass(!c.left.empty()));
        EXPECT_FALSE(fileExists(fresh / "0new.dst")) << "a row queued meanwhile is not tried";
    }
}

// A long copy runs as a job while the window goes on. What is done meanwhile
// has one outcome each; the copy here is held halfway (at 45 %) until the
// test has acted, then runs on (ignoring a cancel, as Wine's system copy
// does, in one case).
TEST_F(UpdatePassTest, WhatIsDoneDuringALongCopyHasADefinedOutcome) {
    enum Act { RemoveRow, RemoveRowCopyRunsOn, RemoveSetsOtherRow, EditProject, RemoveProject, Exit };
    const struct {
        const char* what;
        Act act;
        bool replaced;          // x.dst holds the new bytes
        bool logged;            // its success line (with the old destination) and backup line
        bool nextRowTried;      // y, after x
    } cases[] = {
        {"the row removed: the copy stops", RemoveRow, false, false, true},
        {"the row removed, the copy runs on", RemoveRowCopyRunsOn, false, false, true},
        {"x and y one set, y removed: the set's copy stops", RemoveSetsOtherRow, false, false, false},
        {"the project edited: the edit waits for the next attempt", EditProject, true, true, true},
        {"the project removed: done is done", RemoveProject, true, true, true},
        {"exit: the copy stops and nothing else is tried", Exit, false, false, false},
    };
    const UniqueHandle resume(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    bool stops = true;
    const ScopedFileSeams restore;
    fileSeams().copyFile = [&](const std::string& source, const std::string& target, const CopyReport& report) {
        if (readFile(source).size() < UpdatePass::kJobFrom) return CopyFileA(source.c_str(), target.c_str(), FALSE) != 0;
        report(45, 100);
        WaitForSingleObject(resume.get(), 10000);
        if (!report(45, 100) && stops) {
            SetLastError(ERROR_REQUEST_ABORTED);
            return false;
        }
        return CopyFileA(source.c_str(), target.c_str(), FALSE) != 0;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir fresh;
        forgetEverything();
        ResetEvent(resume.get());
        stops = c.act != RemoveRowCopyRunsOn;
        CreateDirectoryA((fresh / "elsewhere").c_str(), nullptr);
        for (const char* name : {"x", "y"}) {
            writeFile(fresh / (std::string(name) + ".src"), std::string(*name == 'x' ? UpdatePass::kJobFrom : 1, 'n'));
            writeFile(fresh / (std::string(name) + ".dst"), "old");
            projects.add(name, std::make_unique<TFileObject>(fresh / (std::string(name) + ".src"),
                                                             fresh / (std::string(name) + ".dst")));
        }
        project("x").VersionBackup = true;
        if (c.act == RemoveSetsOtherRow) project("x").Set = project("y").Set = "Tools";
        const std::string success = successLine("x");
        queue({"x", "y"});

        pass.RunUpdatePass();
        ASSERT_TRUE(pass.jobRunning()) << "the pass returned with the copy under way";
        while (pass.running()) {
            ASSERT_EQ(WaitForSingleObject(news.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
            pass.engineNews();
            const char* shown = c.act == RemoveSetsOtherRow ? "0 %" : "45 %";  // the set: of both copies' bytes
            if (host.progress != std::vector<std::string>{shown} || WaitForSingleObject(resume.get(), 0) == 0) continue;
            if (c.act == RemoveRow || c.act == RemoveRowCopyRunsOn || c.act == RemoveSetsOtherRow) {
                pending.deleteAt(pending.findByName(c.act == RemoveSetsOtherRow ? "y" : "x"));
                pass.followRows();  // as the window does when a row leaves its list
            } else if (c.act == EditProject) {
                project("x").Destination = fresh / "elsewhere\\x.dst";
                project("x").VersionBackup = false;
            } else if (c.act == RemoveProject) {
                projects.remove(projects.find("x"));
            } else {
                pass.stop();
            }
            SetEvent(resume.get());
        }

        EXPECT_EQ(readFile(fresh / "x.dst"), c.replaced ? readFile(fresh / "x.src") : "old");
        std::vector<std::string> log;
        if (c.logged) log = {success, stamp + " Created version backup."};
        if (c.nextRowTried) log.push_back(successLine("y"));
        EXPECT_EQ(host.log, log);
        EXPECT_EQ(readFile(fresh / "y.dst"), c.nextRowTried ? "n" : "old");
        std::vector<std::string> files{"x.dst", "x.src", "y.dst", "y.src"};
        if (c.logged) files.insert(files.begin(), "x-0.0.0.0.dst");
        EXPECT_EQ(filesIn(fresh.path()), files) << "no scratch file, the backup beside the old destination";
        EXPECT_EQ(filesIn(fresh / "elsewhere"), std::vector<std::string>{}) << "nothing at the new destination";
        EXPECT_EQ(queued("x"), c.act == Exit || c.act == RemoveSetsOtherRow) << "the window goes, with its list";
    }
}

// A running program can be renamed but not written: with ReplaceInUse its old
// file moves aside and the new one takes its name at once.
TEST_F(UpdatePassTest, ReplaceInUseSetsABusyDestinationAsideWhenItsHolderAllowsIt) {
    enum Holder { RunningCopy, SharesDelete, SharesWrite, ReadOnly, MoveIntoPlaceFails };
    const struct { Holder holder; bool option, replaced; } cases[] = {
        {RunningCopy, true, true}, {RunningCopy, false, false}, {SharesDelete, true, true},
        {SharesWrite, true, false}, {ReadOnly, true, false},    {MoveIntoPlaceFails, true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "holder " << c.holder << ", option " << c.option);
        TempDir fresh;
        forgetEverything();
        const std::string destination = fresh / "tool.exe";
        ASSERT_TRUE(CopyFileA(besideTestProgram("holdfile.exe").c_str(), destination.c_str(), FALSE));
        const std::string old = readFile(destination);
        writeFile(fresh / "tool.new", "new tool");
        projects.add("tool", std::make_unique<TFileObject>(fresh / "tool.new", destination));
        project("tool").ReplaceInUse = c.option;
        queue({"tool"});
        {
            std::optional<HeldByOtherProcess> holder;
            if (c.holder == RunningCopy)  // the program runs from the destination, holding something else
                holder.emplace(fresh / "tool.new", FILE_SHARE_READ | FILE_SHARE_WRITE, destination);
            else if (c.holder == ReadOnly)
                test::setReadOnly(destination, true);
            else
                holder.emplace(destination, FILE_SHARE_READ | (c.holder == SharesWrite ? FILE_SHARE_WRITE
                                                                                       : FILE_SHARE_DELETE));
            ASSERT_TRUE(!holder || holder->held());
            if (c.holder == MoveIntoPlaceFails)  // nothing outside can make that one move fail on demand
                fileSeams().moveIntoPlace = [](const std::string&, const std::string& target) {
                    EXPECT_FALSE(fileExists(target)) << "the old file is aside by now";
                    return false;
                };
            pass.RunUpdatePass();
            fileSeams().moveIntoPlace = nullptr;

            const std::vector<std::string> inUse{successLine("tool"), stamp + " tool.exe was in use; the "
                                                 "running copy keeps the old file until it restarts."};
            EXPECT_EQ(host.log, c.replaced ? inUse : std::vector<std::string>{});
            EXPECT_EQ(readFile(destination), c.replaced ? "new tool" : old);
            EXPECT_EQ(attempts("tool"), c.replaced ? -1 : 1);
            // A running image cannot be deleted: its old file waits beside it.
            const std::vector<std::string>& left = pass.setAsideFiles().remembered();
            ASSERT_EQ(left.size(), c.replaced && c.holder == RunningCopy ? 1u : 0u);
            for (const std::string& path : left) EXPECT_EQ(readFile(path), old) << path;
            test::setReadOnly(destination, false);
        }
        // Once the holder has let go, the next pass leaves no old file and no scratch file.
        pass.RunUpdatePass();
        EXPECT_EQ(readFile(destination), "new tool");
        EXPECT_EQ(filesIn(fresh.path()), (std::vector<std::string>{"tool.exe", "tool.new"}));
    }
}

// Projects that stop what holds the destination, or try the moment it is free.
TEST_F(UpdatePassTest, HoldersAreRestartedOrWaitedForOnlyWhenTheProjectAsks) {
    pass.setHolderFinder(std::make_shared<SystemHolderFinder>(10000));
    const std::string tool = dir / "tool.exe";
    const auto joined = [this] {
        std::string text;
        for (const std::string& line : host.log) text += line + "|";
        return text;
    };

    // A program running from the destination is closed, the file replaced, the program started again.
    ASSERT_TRUE(CopyFileA(besideTestProgram("holder_a.exe").c_str(), tool.c_str(), FALSE));
    projects.add("tool", std::make_unique<TFileObject>(besideTestProgram("holder_b.exe"), tool));
    project("tool").RestartHolder = true;
    queue({"tool"});
    std::string commandLine = "\"" + tool + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.path().c_str(),
                               &startup, &info));
    const UniqueHandle first(info.hProcess), firstThread(info.hThread);
    struct Ended {  // whatever the pass did to it
        HANDLE process;
        ~Ended() { TerminateProcess(process, 0), WaitForSingleObject(process, 5000); }
    } ended{first.get()};
    for (int i = 0; i < 100 && !test::exists(dir / "ran.txt"); ++i) Sleep(50);  // its window is up
    runPass();
    EXPECT_FALSE(queued("tool")) << joined();
    EXPECT_NE(joined().find(" closed to replace tool.exe.|" + successLine("tool") + "|"), std::string::npos) << joined();
    EXPECT_NE(joined().find(" started again (pid "), std::string::npos) << joined();
    EXPECT_TRUE(replaced("tool"));
    const std::size_t pidAt = joined().rfind("(pid ");
    ASSERT_NE(pidAt, std::string::npos);
    const UniqueHandle again(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, std::stoul(joined().substr(pidAt + 5))));
    const Ended endedAgain{again.get()};

    // A busy row is tried within a second of its holder ending when it asks to be; else it waits for
    // the tick. That pass leaves the countdown of the ticks as it was. A holder that ends while a
    // pass runs (here during the pump after another row's copy) gets its pass once that one has ended.
    enum When { BetweenPasses, DuringAPass };
    const struct {
        bool tryWhenFree;
        When when;
    } cases[] = {{true, BetweenPasses}, {false, BetweenPasses}, {true, DuringAPass}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "try when free " << c.tryWhenFree << ", ends " << c.when);
        forgetEverything();
        addProject("a", "in use");
        addProject("b", "in use");
        project("a").TryWhenFree = c.tryWhenFree;
        queue({"a", "b"});
        std::optional<HeldByOtherProcess> holder(std::in_place, project("a").Destination);
        const HeldFile other(project("b").Destination);
        ASSERT_TRUE(holder->held());
        runPassAndLookUp();
        ASSERT_EQ(attempts("a"), 1);
        host.shown = {};
        if (c.when == BetweenPasses) {
            holder.reset();
            EXPECT_EQ(takeNews(1000), c.tryWhenFree);
        } else {
            addProject("c");
            queue({"c"});
            host.onPump = [&] {
                if (!holder) return;
                holder.reset();
                EXPECT_TRUE(takeNews(1000)) << "told while the pass runs";
            };
            pass.RunUpdatePass();
            EXPECT_EQ(attempts("a"), 2) << "tried before its holder ended";
            host.shown = {};
            EXPECT_TRUE(takeNews(1000)) << "the pass asks for another at its end";
        }
        if (!c.tryWhenFree) {
            EXPECT_TRUE(queued("a"));
            pass.RunUpdatePass(true);  // the tick
        }
        EXPECT_FALSE(queued("a"));
        EXPECT_EQ(host.shown.nextUpdate, "") << "the countdown of the ticks as it was";
    }

    // A reason to wait is logged once a streak, whenever it is given.
    forgetEverything();
    addProject("c", "in use");
    project("c").RestartHolder = true;
    queue({"c"});
    const HeldFile held(project("c").Destination);
    int attempt = 0;
    pass.setBusyRowHandler([&attempt](const TFileObject&, const std::vector<Holder>&) -> RowJob {
        const std::string reason = "07-12-26 10:00:0" + std::to_string(attempt++) + " tool.exe (pid 1) did not close.";
        return [reason](const TFileObject&, Job&) {
            RowOutcome outcome;
            outcome.result = RowOutcome::Result::Busy;
            outcome.waitReason = reason;
            return outcome;
        };
    });
    for (int i = 0; i < 3; ++i) runPass();
    EXPECT_EQ(attempts("c"), 3);
    EXPECT_EQ(std::count_if(host.log.begin(), host.log.end(),
                            [](const std::string& line) { return line.find("did not close") != std::string::npos; }),
              1);
}

// The last resort: a busy destination that nothing else frees is replaced at
// the next restart, where that may be asked for; otherwise the row waits as ever.
TEST_F(UpdatePassTest, ADestinationNothingElseFreesIsReplacedAtTheNextRestartWhereThatMayBeAsked) {
    enum Setup { RenameRefused, OptionOff, ReadOnly, NotAdministrator, OnAShare };
    const std::string refused = "tool.exe cannot be replaced at the next restart: ";
    const struct { Setup setup; std::string line; } cases[] = {
        {RenameRefused, "tool.exe will be replaced at the next restart."}, {OptionOff, ""},
        {ReadOnly, "tool is read-only."},  // as ever
        {NotAdministrator, refused + "that needs administrator rights."},
        {OnAShare, refused + "it is on a network share."}};
    struct Nobody final : HolderFinder {  // as the window asks: a reason is told once a streak
        std::vector<std::vector<Holder>> find(const std::vector<std::string>& paths) override {
            return std::vector<std::vector<Holder>>(paths.size());
        }
    };
    pass.setHolderFinder(std::make_shared<Nobody>());
    const std::string server = test::wineShareServer();
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "setup " << c.setup);
        if (c.setup == OnAShare && server.empty()) continue;  // a share needs a server, or Wine
        forgetEverything();
        const TempDir fresh(c.setup == OnAShare ? server : "");
        const std::string folder =
            c.setup == OnAShare ? "\\\\moravel-test\\" + fresh.path().substr(server.size() + 1) : fresh.path();
        writeFile(fresh / "tool.new", "new tool");
        writeFile(fresh / "tool.exe", "old tool");
        projects.add("tool", std::make_unique<TFileObject>(folder + "\\tool.new", folder + "\\tool.exe"));
        project("tool").AtRestart = c.setup != OptionOff;
        project("tool").ReplaceInUse = true;
        queue({"tool"});
        std::optional<HeldFile> holder;
        if (c.setup == ReadOnly) test::setReadOnly(fresh / "tool.exe", true);
        else holder.emplace(fresh / "tool.exe");  // sharing nothing: not even a rename
        if (c.setup == NotAdministrator)
            fileSeams().scheduleRename = [](const std::string&, const std::string&) {
                return SetLastError(ERROR_ACCESS_DENIED), false;
            };
        runPassAndLookUp();
        runPassAndLookUp();
        fileSeams().scheduleRename = nullptr;
        test::setReadOnly(fresh / "tool.exe", false);

        const bool scheduled = c.setup == RenameRefused;
        EXPECT_EQ(host.log, c.line.empty() ? std::vector<std::string>{} : std::vector{stamp + " " + c.line});  // once
        EXPECT_EQ(host.ends, scheduled ? std::vector{RowEnd::AtRestart} : std::vector(2, RowEnd::Waits));
        EXPECT_EQ(pending.rowAt(0).attemptsText(), scheduled ? "at restart" : "2");
        EXPECT_EQ(filesIn(fresh.path()).size(), scheduled ? 3u : 2u);  // the new file waits beside it
        pending.deleteAt(0);
        pass.followRows();
        EXPECT_EQ(filesIn(fresh.path()).size(), 2u);
    }
}

// A deploy's lines come in the order a user reads them, whatever its end: what
// was stopped, the reason, what runs again. One that left what only the user
// can settle stays, and is not tried again.
TEST_F(UpdatePassTest, TheLinesOfADeployAreLoggedInTheirOrderWhateverItsEnd) {
    using Result = RowOutcome::Result;
    const struct { Result result; bool removed; std::vector<std::string> log; int attempts; } cases[] = {
        {Result::Busy, false, {"stopped", "why", "started again"}, 2},
        {Result::Failed, false, {"stopped", "why", "started again"}, 2},
        {Result::Failed, true, {"stopped", "why", "started again"}, 1},  // cancelled: the row was removed
        {Result::NeedsUser, false, {"stopped", "why", "started again"}, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << int(c.result) << " removed " << c.removed);
        forgetEverything();
        addProject("a", "in use");
        queue({"a"});
        const HeldFile held(project("a").Destination);
        int attempts = 0;
        pass.setBusyRowHandler([&](const TFileObject&, const std::vector<Holder>&) -> RowJob {
            ++attempts;
            return [&c](const TFileObject&, Job& job) {
                if (c.removed) job.cancelEvent().sleep(10000);
                RowOutcome outcome;
                outcome.result = c.result;
                outcome.linesBefore = {"stopped"};
                (c.result == Result::Busy ? outcome.waitReason : outcome.linesBefore.emplace_back()) = "why";
                outcome.linesAfter = {"started again"};
                return outcome;
            };
        });
        pass.RunUpdatePass();
        if (c.removed) pending.remove(pending.rowAt(0).id), pass.followRows();
        while (pass.running()) ASSERT_TRUE(takeNews());
        EXPECT_EQ(host.log, c.log);
        runPass();
        EXPECT_EQ(attempts, c.attempts);
        EXPECT_EQ(queued("a"), !c.removed);
    }
}

// Holders that refused to stop are not asked again in the row's busy streak,
// but by a pass the user asks for, or once they have all ended.
TEST_F(UpdatePassTest, HoldersThatRefusedToStopAreAskedAgainOnlyByTheUserOrOnceTheyHaveEnded) {
    struct Nobody : HolderFinder {
        std::vector<std::vector<Holder>> find(const std::vector<std::string>& paths) override {
            return std::vector<std::vector<Holder>>(paths.size());
        }
    };
    pass.setHolderFinder(std::make_shared<Nobody>());  // a busy streak is followed where holders are looked up
    addProject("a", "in use");
    queue({"a"});
    const HeldFile held(project("a").Destination);
    writeFile(dir / "other.txt", "x");
    std::optional<HeldByOtherProcess> refusing(std::in_place, dir / "other.txt");
    const Holder holder{"holdfile.exe", refusing->pid()};
    std::vector<std::string> told;  // the refused holders each attempt was told of
    pass.setBusyRowHandler([&](const TFileObject&, const std::vector<Holder>& refused) -> RowJob {
        told.push_back(holdersText(refused));
        return [holder, refuses = refusing.has_value()](const TFileObject&, Job&) {
            RowOutcome outcome;
            outcome.result = RowOutcome::Result::Busy;
            if (refuses) outcome.refused = {holder};
            return outcome;
        };
    });
    const auto untilEnd = [this] {
        while (pass.running()) ASSERT_TRUE(takeNews());
    };
    runPassAndLookUp();  // a tick
    runPassAndLookUp();  // a tick
    pass.UpdateNow();
    untilEnd();
    runPassAndLookUp();
    refusing.reset();
    EXPECT_TRUE(takeNews(2000)) << "its end runs a pass";
    untilEnd();
    const std::string named = holdersText({holder});
    EXPECT_EQ(told, (std::vector<std::string>{"", named, "", named, ""}));
}

// The rows of a set are tried as one when the walk reaches the first: all of
// its changed members are replaced, or none, and one that is already up to
// date is left as it is; one that waits or needs the user (first or not) holds all back.
TEST_F(UpdatePassTest, ASetIsTriedAsOneAndReplacedTogetherOrNotAtAll) {
    pass.setHolderFinder(std::make_shared<SystemHolderFinder>(10000));
    enum Twist { ReaderHoldsB, BUpToDate, BAsideRefused, ANeedsUser };
    for (const Twist twist : {ReaderHoldsB, BUpToDate, BAsideRefused, ANeedsUser}) {
        SCOPED_TRACE(twist);
        forgetEverything();
        for (const char* name : {"a", "b", "c"}) {
            addProject(name, "old", twist == BUpToDate && *name == 'b' ? "old" : "new ");
            project(name).Set = *name == 'b' ? "RELEASE TOOLS" : "Release Tools";
            project(name).RestartHolder = true;
        }
        if (twist == BUpToDate) writeFile(project("b").Source, readFile(project("b").Destination));
        if (twist == BAsideRefused) project("b").RestartHolder = false, project("b").ReplaceInUse = true;
        const auto written = [&] {
            WIN32_FILE_ATTRIBUTE_DATA data{};
            GetFileAttributesExA(project("b").Destination.c_str(), GetFileExInfoStandard, &data);
            return (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
        };
        const std::uint64_t before = written();
        queue({"a", "b", "c"});
        std::optional<HeldByOtherProcess> reader;
        if (twist == ReaderHoldsB || twist == BAsideRefused) reader.emplace(project("b").Destination, FILE_SHARE_READ);
        std::optional<HeldFile> newA, oldB;  // held once a is replaced: b fails, and a's old file cannot go back
        if (twist == ANeedsUser)
            releaseReplacedSeam() = [&, b = project("b").Destination](const std::string& destination) {
                if (fileNamePart(destination) == "a.dst") newA.emplace(destination), oldB.emplace(b, FILE_SHARE_READ);
            };
        runPassAndLookUp();
        releaseReplacedSeam() = nullptr, newA.reset(), oldB.reset();
        runPassAndLookUp();
        if (twist != BUpToDate) {
            for (const char* name : {"a", "b", "c"}) {
                EXPECT_EQ(attempts(name), 2) << name;
                EXPECT_EQ(readFile(project(name).Destination), twist == ANeedsUser && *name == 'a' ? "new a" : "old") << name;
            }
            EXPECT_EQ(std::count(host.ends.begin(), host.ends.end(), RowEnd::Waits), twist == ANeedsUser ? 0 : 6);
            if (twist != ReaderHoldsB) continue;
            const std::string reason = " b.dst is open in holdfile.exe (pid " + std::to_string(reader->pid()) +
                                       "); Moravel closes only programs that run it.";
            EXPECT_EQ(std::count(host.log.begin(), host.log.end(), stamp + reason), 1) << "once a streak";
            continue;
        }
        EXPECT_EQ(host.log, (std::vector<std::string>{successLine("a"), stamp + " b.dst is already up to date.",
                                                      successLine("c"), stamp + " Release Tools: 2 files replaced together."}));
        EXPECT_TRUE(replaced("a") && replaced("c"));
        EXPECT_EQ(written(), before) << "not touched";
        EXPECT_EQ(pending.count(), 0);
    }
}

// A version put back is its backup copied over the destination, as an
// update copies its source; a set's members go back together when each has a
// backup of that version, else none. The backups stay as they are.
TEST_F(UpdatePassTest, PutBackCopiesTheChosenBackupOverTheDestinationAndASetOnlyWhole) {
    const struct { const char* version; bool set; std::vector<std::string> log; const char *tool, *helper; } cases[] = {
        {"2.0.0.0", false, {"tool.dst put back to 2.0.0.0."}, "tool 2", "helper now"},
        {"1.0.0.0", true,
         {"helper.dst put back to 1.0.0.0.", "tool.dst put back to 1.0.0.0.", "Release Tools: 2 files put back to 1.0.0.0 together."},
         "tool 1", "helper 1"},
        {"2.0.0.0", true, {"Release Tools: nothing put back: helper.dst has no backup of version 2.0.0.0."}, "tool now", "helper now"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        forgetEverything();
        for (const char* name : {"tool", "helper"}) {
            addProject(name, (std::string(name) + " now").c_str());
            project(name).VersionBackup = true;
            if (c.set) project(name).Set = "Release Tools";
            writeFile(dir / (name + std::string("-1.0.0.0.dst")), std::string(name) + " 1");
        }
        for (const char* file : {"tool-2.0.0.0.dst", "tool-10.0.0.0.dst", "tool-1.2.dst", "tool-x.dst"}) writeFile(dir / file, file);
        writeFile(dir / "tool-2.0.0.0.dst", "tool 2");
        EXPECT_EQ(backupVersions(project("tool").Destination), (std::vector<std::string>{"10.0.0.0", "2.0.0.0", "1.0.0.0"}));
        const std::vector<std::string> files = filesIn(dir.path());
        for (const char* name : {"tool", "helper"})
            if (c.set || *name == 't') pending.queue(name, "added", c.version);
        runPass();
        std::vector<std::string> expected;
        for (const std::string& line : c.log) expected.push_back(stamp + " " + line);
        EXPECT_EQ(host.log, expected);
        EXPECT_EQ(readFile(project("tool").Destination), c.tool);
        EXPECT_EQ(readFile(project("helper").Destination), c.helper);
        EXPECT_EQ(readFile(dir / "tool-2.0.0.0.dst"), "tool 2");
        EXPECT_EQ(filesIn(dir.path()), files) << "no backup made, none moved";
        EXPECT_EQ(pending.count(), 0);
    }
}

}  // namespace
}  // namespace moravel
