// Commands from other processes and changed sources, as the main window takes
// them. The two-process round trip is in the program's own tests.
#include "UiTest.h"

#include <atomic>
#include <thread>
#include <utility>

#include "core/Clock.h"
#include "engine/FakeTimer.h"
#include "engine/TestFiles.h"
#include "ui/Instance.h"
#include "ui/Pipe.h"

namespace moravel::test {
namespace {

using Main = TMainForm;
using Names = std::vector<std::string>;
using namespace std::string_literals;

class InstanceTest : public FormsTest {
protected:
    void SetUp() override {
        FormsTest::SetUp();
        std::string settings;
        for (const char* name : {"Alpha", "Beta", "Gamma"}) {
            writeFile(dir / (name + ".src"s), "new "s + name);
            writeFile(dir / (name + ".dst"s), "old");
            settings += section(name, dir / (name + ".src"s), dir / (name + ".dst"s));
        }
        start(settings);
        receiver = std::make_unique<CommandReceiver>(instanceKey(ini()), *main);
    }
    void TearDown() override {
        receiver.reset();
        FormsTest::TearDown();
    }
    // A client of the instance's pipe, on a thread of its own while this one
    // runs the window: sends the bytes (the tag first) and returns the
    // answers, "|" between, until the last; empty when the instance ended the
    // connection without a word. hangUpAfter: the client goes after so many.
    std::string talk(const std::string& bytes, int hangUpAfter = 0, std::function<void()> onceAnswered = nullptr) {
        std::string heard;
        std::atomic<bool> done = false, answered = false;
        std::thread client([&] {
            PipeClient pipe;
            const ULONGLONG end = GetTickCount64() + 10000;
            if (connect(pipe) && pipe.write(kRequestTag + bytes, end)) {
                for (int n = 1; const auto answer = pipe.read(end); ++n) {
                    heard += (heard.empty() ? "" : "|") + *answer;
                    answered = true;
                    const bool last = answer->empty() || (*answer)[0] == kAnswerEnd || (*answer)[0] == kAnswerBusy ||
                                      (bytes.rfind("queue", 0) == 0 && (*answer)[0] == kAnswerCode);
                    if (last || n == hangUpAfter) break;
                }
            }
            done = true;
        });
        pumpUntil([&] {
            if (answered && onceAnswered) std::exchange(onceAnswered, nullptr)();
            return done.load();
        });
        client.join();
        return heard;
    }
    // Every instance of the pipe may be taken for a moment: a client asks again.
    bool connect(PipeClient& pipe) const {
        for (const ULONGLONG end = GetTickCount64() + 5000; GetTickCount64() < end; Sleep(10))
            if (pipe.open(pipeName(instanceKey(ini()))) == PipeClient::Open::Opened) return true;
        return false;
    }
    // The receiver retries on a timer: pumps until the condition holds, for a few seconds at most.
    bool pumpUntil(const std::function<bool()>& done) {
        for (const ULONGLONG end = GetTickCount64() + 10000; !done() && GetTickCount64() < end;) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
            pump();
        }
        return done();
    }
    Names names() const {
        Names result;
        for (const auto& row : rows()) result.push_back(row[0]);
        return result;
    }

    std::unique_ptr<CommandReceiver> receiver;
};

// The milliseconds of processor time this process takes while `what` runs.
ULONGLONG processorTimeWhile(const std::function<void()>& what) {
    const auto used = [] {
        FILETIME created, ended, kernel, user;
        GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
        const auto value = [](FILETIME t) { return (ULONGLONG{t.dwHighDateTime} << 32 | t.dwLowDateTime) / 10000; };
        return value(kernel) + value(user);
    };
    const ULONGLONG before = used();
    what();
    return used() - before;
}

std::string many(int names) {
    std::string bytes;
    for (int i = 0; i < names; ++i) bytes += "n" + std::to_string(i) + '\0';
    return bytes + '\0';
}

TEST_F(InstanceTest, OnlyAWellFormedCommandIsAnsweredAndQueuedAndAClientGoingHalfwayChangesNothing) {
    const std::string garbage[] = {
        "queue\0Alpha\0"s,                         // no closing zero
        "queue\0Alpha"s,                            // no terminator at all
        "queue\0\0Alpha\0\0"s,                     // an empty text inside
        "delete\0Alpha\0\0"s,                      // an unknown command
        "queue\0\0"s,                              // no names
        ""s,
        "queue\0"s + std::string(70000, 'A') + "\0\0"s,  // longer than a request may be
        "queue\0Alpha\r\n05-03-26 Forged\0\0"s,     // a control character in a name
        "queue\0"s + many(1001),                   // more names than may wait
        "wait\0"s + "0\0Alpha\0\0"s,               // no time to wait
        "wait-now\0"s + "60\0\0"s,                 // a wait for no name
        "show\0Alpha\0\0"s,
    };
    for (const std::string& bytes : garbage) EXPECT_EQ(talk(bytes), "") << bytes.substr(0, 20);
    // Not our tag; only half a command, the client gone; gone without a word.
    EXPECT_EQ(talk("\0\0\0\0queue\0Alpha\0\0"s), "");
    for (const std::string& half : {"MRVLqueue\0Alp"s, ""s}) {
        PipeClient pipe;
        ASSERT_TRUE(connect(pipe));
        if (!half.empty()) {
            EXPECT_TRUE(pipe.write(half, GetTickCount64() + 5000));
        }
    }
    const ULONGLONG settled = GetTickCount64() + 500;  // anything they could have changed, changed by then
    pumpUntil([&] { return GetTickCount64() >= settled; });
    EXPECT_TRUE(rows().empty());

    FixedClock clock(makeLocalTime(2026, 3, 4, 5, 6, 7));
    EXPECT_EQ(talk("queue\0ALPHA\0Delta\0\0"s), "R2");
    EXPECT_EQ(talk("queue\0alpha\0\0"s), "R0");  // already pending: still a yes
    pump();
    EXPECT_EQ(names(), Names{"Alpha"});  // as the registry spells it, once
    EXPECT_EQ(logLines(), Names{timestampText(clock.now()) + " Delta not queued: there is no such project."});
    EXPECT_EQ(caption(), "Moravel (1 pending)");
    EXPECT_TRUE(main->timer().running());

    // A waiting client that goes after the first answer: the rows are queued
    // and replaced all the same, and the next client is heard.
    EXPECT_EQ(talk("wait-now\0"s + "60\0Beta\0\0"s, 1), "R0");
    EXPECT_TRUE(pumpUntil([&] { return readFile(dir / "Beta.dst") == "new Beta"; }));
    EXPECT_EQ(talk("wait-now\0"s + "60\0Gamma\0\0"s),
              "R0|O" + timestampText(clock.now()) + " " + dir / "Gamma.src" + " [v0.0.0.0] -> " + dir / "Gamma.dst" +
                  "|X0");

    // The window has gone, the process still ends a job: "closing", to a
    // command that waits too, and the sender waits for the process.
    // Meanwhile the client that waits costs no processor time.
    const HeldFile held(dir / "Alpha.dst");
    ULONGLONG busy = 0;
    EXPECT_EQ(talk("wait-now\0"s + "60\0Alpha\0\0"s, 0,
                   [&] {
                       busy = processorTimeWhile([] { Sleep(1000); });
                       receiver->closing();
                   }),
              "R0|Bclosing");
    EXPECT_LT(busy, 300u) << "milliseconds of processor time in a second of waiting";
    EXPECT_EQ(talk("queue\0Alpha\0\0"s), "Bclosing");
}

TEST_F(InstanceTest, ACommandArrivingDuringAPassIsCarriedOutWhenThePassEnds) {
    queue({"Alpha"});
    // In the pass's pump after a copy: answered at once, carried out after.
    Names duringPass{"?"};
    whenModal([&] {
        EXPECT_EQ(talk("queue-now\0Beta\0\0"s), "R0");
        pump();
        duringPass = names();
    });
    click(mainItem(Main::Button1));
    EXPECT_EQ(duringPass, Names{"Alpha"});
    // /now ran a pass of its own.
    EXPECT_TRUE(pumpUntil([&] { return readFile(dir / "Beta.dst") == "new Beta"; }));
}

TEST_F(InstanceTest, AChangedSourceIsQueuedOnceWhenQuietAndNotWhileAWriterHoldsIt) {
    FixedClock clock(makeLocalTime(2026, 3, 4, 5, 6, 0));
    const auto tick = [&](int milliseconds) {
        clock.set(addMilliseconds(clock.now(), milliseconds));
        main->SourceWatchTimer();
    };
    const auto rewrite = [&](const char* name, const std::string& text) { writeFile(dir / (name + ".src"s), text); };
    const auto update = [&] { click(mainItem(Main::Button1)); };
    // Set in the details: watched from the save that follows, as the file is then.
    main->Projects.lookup("Beta")->QueueOnChange = true;
    main->SaveProjects();
    rewrite("Beta", "rebuilt");
    rewrite("Gamma", "rebuilt");  // not watched
    tick(2500);
    EXPECT_TRUE(rows().empty()) << "seen once, not yet quiet";
    tick(2000);
    EXPECT_EQ(names(), Names{"Beta"});
    EXPECT_EQ(logLines(), Names{timestampText(clock.now()) + " Beta queued: its source changed."});
    EXPECT_EQ(caption(), "Moravel (1 pending)");
    EXPECT_TRUE(main->timer().running());

    // Changed again while pending: still one row and one line.
    rewrite("Beta", "rebuilt again");
    tick(500);
    tick(2500);
    EXPECT_EQ(names(), Names{"Beta"});
    EXPECT_EQ(logLines().size(), 1u);
    update();

    // Changed while a pass copies it: not lost with the row the pass removes.
    queue({"Beta"});
    whenModal([&] {
        rewrite("Beta", "rebuilt during the pass");
        tick(500);
        tick(2500);
    });
    update();
    tick(500);
    tick(2000);
    EXPECT_EQ(names(), Names{"Beta"});
    update();

    // Still being written: however long it pauses, not before it is closed.
    {
        UniqueFile writer(CreateFileA((dir / "Beta.src").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(writer);
        tick(500);
        tick(5000);
        EXPECT_TRUE(rows().empty());
    }
    tick(500);
    EXPECT_EQ(names(), Names{"Beta"});
}

// A build server's drop: each machine's Moravel deploys it by itself. A share
// that drops off the network and comes back with the same file deploys nothing.
TEST_F(InstanceTest, ASourceOnAShareIsDeployedWhenItChangesAndNotWhenTheShareComesBack) {
    const std::string server = wineShareServer();
    if (server.empty()) GTEST_SKIP() << "a share needs a server, or Wine's UNC folder";
    const TempDir share(server);
    const std::string away = share.path() + "-away";
    const std::string drop = "\\\\moravel-test\\" + share.path().substr(server.size() + 1) + "\\Beta.exe";
    writeFile(drop, "build 1");
    FixedClock clock(makeLocalTime(2026, 3, 4, 5, 6, 0));
    const auto queuedOnceQuiet = [&] {  // the change seen, the quiet time over, then an update
        for (int milliseconds : {500, 2500}) {
            clock.set(addMilliseconds(clock.now(), milliseconds));
            main->SourceWatchTimer();
        }
        const Names queued = names();
        click(mainItem(Main::Button1));
        return queued;
    };
    main->Projects.lookup("Beta")->Source = drop;
    main->Projects.lookup("Beta")->QueueOnChange = true;
    main->SaveProjects();
    writeFile(drop, "build 2");
    EXPECT_EQ(queuedOnceQuiet(), Names{"Beta"});
    EXPECT_EQ(readFile(dir / "Beta.dst"), "build 2");
    ASSERT_TRUE(MoveFileA(share.path().c_str(), away.c_str()));
    EXPECT_EQ(queuedOnceQuiet(), Names{});
    ASSERT_TRUE(MoveFileA(away.c_str(), share.path().c_str()));
    EXPECT_EQ(queuedOnceQuiet(), Names{});
}

}  // namespace
}  // namespace moravel::test
