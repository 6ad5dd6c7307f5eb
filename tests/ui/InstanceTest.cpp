// Commands from other processes and changed sources, as the main window
// takes them: the receiving window is driven in-process here; the two-process
// round trip is in the program's own tests.
#include "UiTest.h"

#include "core/Clock.h"
#include "core/Handle.h"
#include "engine/FakeTimer.h"
#include "engine/SourceWatch.h"
#include "ui/Instance.h"

namespace moravel::test {
namespace {

using Main = TMainForm;

class InstanceTest : public FormsTest {
protected:
    void SetUp() override {
        FormsTest::SetUp();
        sender = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    }
    void TearDown() override {
        receiver.reset();
        DestroyWindow(sender);
        FormsTest::TearDown();
    }
    void listen() { receiver = std::make_unique<CommandReceiver>(instanceKey(ini()), *main); }

    LRESULT send(const std::string& bytes, ULONG_PTR tag = kCommandTag, HWND from = nullptr) {
        COPYDATASTRUCT data = {tag, static_cast<DWORD>(bytes.size()), const_cast<char*>(bytes.data())};
        return SendMessageA(receiver->hwnd(), WM_COPYDATA, reinterpret_cast<WPARAM>(from ? from : sender),
                            reinterpret_cast<LPARAM>(&data));
    }
    // Pumps until the condition holds (the receiver retries on a timer), at most a few seconds.
    bool pumpUntil(const std::function<bool()>& done) {
        const ULONGLONG deadline = GetTickCount64() + 5000;
        while (!done() && GetTickCount64() < deadline) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
            pump();
        }
        return done();
    }
    std::vector<std::string> names() const {
        std::vector<std::string> result;
        for (const auto& row : rows()) result.push_back(row[0]);
        return result;
    }
    void project(const std::string& name, bool watched = false) {
        writeFile(dir / (name + ".src"), "new " + name);
        writeFile(dir / (name + ".dst"), "old");
        settings += section(name, dir / (name + ".src"), dir / (name + ".dst")) + (watched ? "QueueOnChange=1\r\n" : "");
    }

    std::string settings;
    HWND sender = nullptr;
    std::unique_ptr<CommandReceiver> receiver;
};

using namespace std::string_literals;

TEST_F(InstanceTest, OnlyAWellFormedCommandFromThisSessionIsAnsweredAndQueued) {
    project("Alpha");
    start(settings);
    listen();
    const struct { std::string bytes; ULONG_PTR tag; HWND from; const char* what; } garbage[] = {
        {"queue\0Alpha\0\0"s, 0x1234, nullptr, "another tag"},
        {"queue\0Alpha\0"s, kCommandTag, nullptr, "no closing zero"},
        {"queue\0Alpha"s, kCommandTag, nullptr, "no terminator at all"},
        {"queue\0\0Alpha\0\0"s, kCommandTag, nullptr, "an empty text inside"},
        {"delete\0Alpha\0\0"s, kCommandTag, nullptr, "an unknown command"},
        {"queue\0\0"s, kCommandTag, nullptr, "no names"},
        {""s, kCommandTag, nullptr, "nothing"},
        {"queue\0"s + std::string(70000, 'A') + "\0\0"s, kCommandTag, nullptr, "too long"},
        {"queue\0Alpha\0\0"s, kCommandTag, reinterpret_cast<HWND>(0x1234), "no sending window"},
    };
    for (const auto& g : garbage) {
        EXPECT_EQ(send(g.bytes, g.tag, g.from), 0) << g.what;
        pump();
    }
    EXPECT_TRUE(rows().empty());
    EXPECT_EQ(receiver->waiting(), 0u);

    FixedClock clock(makeLocalTime(2026, 3, 4, 5, 6, 7));
    EXPECT_EQ(send("queue\0ALPHA\0Gamma\0\0"s), kAnswerBase + kExitUnknownName);
    EXPECT_EQ(send("queue\0alpha\0\0"s), kAnswerBase + kExitQueued);  // already pending: still a yes
    pump();
    EXPECT_EQ(names(), std::vector<std::string>{"Alpha"});  // as the registry spells it, once
    EXPECT_EQ(logLines(), std::vector<std::string>{timestampText(clock.now()) +
                                                    " Gamma not queued: there is no such project."});
    EXPECT_EQ(caption(), "Moravel (1 pending)");
    EXPECT_TRUE(main->timer().running());
}

TEST_F(InstanceTest, ACommandArrivingDuringAPassOrADialogIsCarriedOutWhenItEnds) {
    project("Alpha");
    project("Beta");
    project("Delta");
    start(settings);
    listen();
    queue({"Alpha"});

    // During the pass (its pump after a copy): answered at once, carried out after.
    std::vector<std::string> namesDuringPass;
    whenModal([&] {
        EXPECT_EQ(send("queue-now\0Beta\0\0"s), kAnswerBase + kExitQueued);
        pump();
        namesDuringPass = names();
    });
    click(mainItem(Main::Button1));
    EXPECT_EQ(namesDuringPass, std::vector<std::string>{"Alpha"});
    // /now ran a pass of its own once the first had ended.
    EXPECT_TRUE(pumpUntil([&] { return readFile(dir / "Beta.dst") == "new Beta"; }));
    EXPECT_EQ(readFile(dir / "Alpha.dst"), "new Alpha");
    EXPECT_TRUE(rows().empty());

    // While the chooser is open: nothing moves until it closes.
    std::vector<std::string> namesInDialog{"?"};
    whenModal([&] {
        EXPECT_EQ(send("queue\0Delta\0\0"s), kAnswerBase + kExitQueued);
        pump();
        namesInDialog = names();
        click(GetDlgItem(choose->hwnd(), TChooseForm::Button2));
    });
    click(mainItem(Main::Button2));
    EXPECT_TRUE(namesInDialog.empty());
    EXPECT_TRUE(pumpUntil([&] { return names() == std::vector<std::string>{"Delta"}; }));
}

TEST_F(InstanceTest, AChangedSourceIsQueuedOnceWhenQuietAndNotWhileAWriterHoldsIt) {
    project("Alpha", true);
    project("Beta");
    project("Gamma");  // not watched
    start(settings);
    FixedClock clock(makeLocalTime(2026, 3, 4, 5, 6, 0));
    const auto tick = [&](int milliseconds) {
        clock.set(addMilliseconds(clock.now(), milliseconds));
        main->SourceWatchTimer();
    };
    // Set in the details: watched from the save that follows, as it is then.
    main->Projects.lookup("Beta")->QueueOnChange = true;
    main->SaveProjects();
    writeFile(dir / "Beta.src", "rebuilt Beta");
    tick(2500);
    EXPECT_TRUE(rows().empty()) << "seen only once";
    tick(2000);
    EXPECT_EQ(names(), std::vector<std::string>{"Beta"});
    click(mainItem(Main::Button1));
    ASSERT_TRUE(rows().empty());
    const std::vector<std::string> betaLine = logLines();

    main->Projects.lookup("Beta")->QueueOnChange = false;
    main->SaveProjects();
    writeFile(dir / "Alpha.src", "rebuilt Alpha");
    writeFile(dir / "Beta.src", "rebuilt Beta again");
    writeFile(dir / "Gamma.src", "rebuilt Gamma");
    tick(500);
    tick(1900);
    EXPECT_TRUE(rows().empty()) << "not yet quiet for two seconds";
    tick(100);
    EXPECT_EQ(names(), std::vector<std::string>{"Alpha"});
    EXPECT_EQ(logLines().back(), timestampText(clock.now()) + " Alpha queued: its source changed.");
    EXPECT_EQ(caption(), "Moravel (1 pending)");
    EXPECT_TRUE(main->timer().running());

    // Changed again while pending: still one row, no second line.
    writeFile(dir / "Alpha.src", "rebuilt again");
    tick(500);
    tick(2500);
    EXPECT_EQ(names(), std::vector<std::string>{"Alpha"});
    EXPECT_EQ(logLines().size(), betaLine.size() + 1);
    // Rewritten while a pass copies it: the change is not lost with the row the pass removes.
    whenModal([&] {
        writeFile(dir / "Alpha.src", "rebuilt during the pass");
        tick(500);
        tick(2500);
    });
    click(mainItem(Main::Button1));
    EXPECT_TRUE(rows().empty());
    tick(500);
    tick(2000);
    EXPECT_EQ(names(), std::vector<std::string>{"Alpha"});
    click(mainItem(Main::Button1));
    ASSERT_TRUE(rows().empty());

    // A build still writing the file: however long it pauses, not before it closes.
    {
        UniqueFile writer(CreateFileA((dir / "Alpha.src").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(writer);
        DWORD written = 0;
        WriteFile(writer.get(), "half", 4, &written, nullptr);
        tick(500);
        tick(5000);
        EXPECT_TRUE(rows().empty());
    }
    tick(500);
    EXPECT_EQ(names(), std::vector<std::string>{"Alpha"});
}

}  // namespace
}  // namespace moravel::test
