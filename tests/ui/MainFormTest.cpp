#include "UiTest.h"

#include <vector>

#include "core/Clock.h"
#include "core/Files.h"
#include "core/SettingsFile.h"
#include "engine/FakeTimer.h"
#include "engine/TestFiles.h"
#include "ui/Controls.h"

namespace moravel::test {
namespace {

using Main = TMainForm;

class MainFormTest : public FormsTest {};

TEST_F(MainFormTest, StartsWithTheProjectsOfTheWorkingDirectoryAndNothingQueued) {
    start(section("Tool", "C:\\src\\tool.exe", "D:\\apps\\tool.exe", true) + section("alpha", "a", "b"));
    EXPECT_EQ(main->StartDirectory(), dir.path());
    ASSERT_EQ(main->Projects.count(), 2);
    EXPECT_EQ(main->Projects.nameAt(0), "alpha");
    EXPECT_TRUE(main->Projects.lookup("TOOL")->VersionBackup);

    EXPECT_EQ(caption(), "Moravel");
    const struct {
        int id;
        bool enabled;
    } buttons[] = {{Main::Button1, false}, {Main::Button2, true}, {Main::Button3, false},
                   {Main::Button4, false}, {Main::Button5, true}, {Main::Button6, true}};
    for (const auto& b : buttons) EXPECT_EQ(enabled(mainItem(b.id)), b.enabled) << text(mainItem(b.id));
    EXPECT_EQ(text(mainItem(Main::Label3)), "");
    EXPECT_EQ(text(mainItem(Main::Label4)), "");
    EXPECT_EQ(text(mainItem(Main::MaskEdit1)), "60  ");
    EXPECT_FALSE(main->timer().running());
    EXPECT_EQ(main->timer().interval(), 60000u);
    EXPECT_TRUE(rows().empty());
    EXPECT_TRUE(rec.notifications.empty()) << "the icon is not in the notification area at start";
}

TEST_F(MainFormTest, SettingsFileStaysInTheStartDirectoryWhenTheWorkingDirectoryMoves) {
    start(section("one", "a", "b"));
    TempDir elsewhere;
    CurrentDirectory moved(elsewhere.path());  // as picking a file in the file-open dialog does
    main->Projects.lookup("one")->Source = "changed";
    main->SaveProjects();
    EXPECT_FALSE(exists(elsewhere / "Moravel.ini"));
    EXPECT_NE(readFile(ini()).find("Source=changed"), std::string::npos);
}

TEST_F(MainFormTest, SettingsFileHeldAtStartIsReportedInTheLogAndKeptByTheNextSave) {
    writeFile(ini(), section("kept", "a", "b"));
    FixedClock clock(makeLocalTime(2026, 12, 7, 10, 0, 0));
    {
        HeldFile held(ini());  // a backup program or a virus scanner
        start();
    }
    EXPECT_EQ(logLines(), std::vector<std::string>{timestampText(clock.now()) + " Could not read " + ini() +
                                                   ": " + systemErrorText(ERROR_SHARING_VIOLATION) + "."});
    EXPECT_TRUE(rec.boxTexts().empty());
    EXPECT_EQ(main->Projects.count(), 0);
    main->Projects.add("new", std::make_unique<TFileObject>("c", "d"));
    main->SaveProjects();
    EXPECT_EQ(profileSectionNames(ini()), (std::vector<std::string>{"kept", "new"}));
}

TEST_F(MainFormTest, QueuedRowsShowInNameOrderAndDriveCaptionTipAndUpdateNow) {
    start(section("beta", "s", "d") + section("Alpha", "s", "d") + section("gamma", "s", "d"));
    FixedClock clock(makeLocalTime(2026, 12, 7, 10, 0, 0));
    const std::string now = timestampText(clock.now());

    queue({"beta"});
    EXPECT_EQ(caption(), "Moravel (1 pending)");
    queue({"Alpha", "gamma"});
    EXPECT_EQ(rows(), (std::vector<std::vector<std::string>>{
                          {"Alpha", now, "0"}, {"beta", now, "0"}, {"gamma", now, "0"}}));
    EXPECT_EQ(caption(), "Moravel (3 pending)");
    EXPECT_STREQ(main->TrayIconData().szTip, "Moravel (3 pending)");
    EXPECT_TRUE(enabled(mainItem(Main::Button1)));
    EXPECT_EQ(main->TrayIconData().hIcon, main->TrayIcon());
    ASSERT_FALSE(rec.notifications.empty());
    EXPECT_EQ(rec.notifications.back().message, static_cast<DWORD>(NIM_MODIFY));

    // The first queueing armed the timer one delay ahead; the second left it alone.
    EXPECT_TRUE(main->timer().running());
    EXPECT_EQ(text(mainItem(Main::Label4)), timestampText(addMilliseconds(clock.now(), 60000)));

    // Removing rows one by one: the selection rule and the idle state at zero.
    for (int left = 2; left >= 0; --left) {
        ListView(mainItem(Main::ListView1)).select(0);
        pump();
        EXPECT_TRUE(enabled(mainItem(Main::Button3)));
        EXPECT_TRUE(enabled(mainItem(Main::Button4)));
        click(mainItem(Main::Button3));
        EXPECT_EQ(static_cast<int>(rows().size()), left);
        EXPECT_FALSE(enabled(mainItem(Main::Button3))) << "nothing selected after a removal";
        EXPECT_FALSE(enabled(mainItem(Main::Button4)));
    }
    EXPECT_EQ(caption(), "Moravel");
    EXPECT_STREQ(main->TrayIconData().szTip, "Moravel");
    EXPECT_FALSE(enabled(mainItem(Main::Button1)));
    EXPECT_TRUE(main->timer().running()) << "removing rows leaves the timer to the next tick";
}

TEST_F(MainFormTest, NamesDifferingOnlyInCaseAreOneProjectButSortApartInTheQueue) {
    start(section("zeta", "s", "d") + section("Zeta", "t", "e") + section("beta", "s", "d"));
    EXPECT_EQ(main->Projects.count(), 2);
    // Queued capitals first: the locale's order puts the small letters first all the same.
    main->pending().queue("Beta", "x");
    main->pending().queue("beta", "x");
    main->pending().queue("alpha", "x");
    std::vector<std::string> names;
    for (const auto& row : rows()) names.push_back(row[0]);
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "beta", "Beta"}));
}

TEST_F(MainFormTest, ClosingWithNothingQueuedAsksNothing) {
    start();
    main->close();
    EXPECT_TRUE(rec.boxes.empty());
    EXPECT_FALSE(IsWindow(main->hwnd()));
}

TEST_F(MainFormTest, ClosingWithRowsQueuedAsksAndEveryNoKeepsEverything) {
    start(section("one", "s", "d") + section("two", "s", "d"));
    queue({"one", "two"});
    const auto before = rows();
    for (int answer : {IDNO, IDCANCEL, 0}) {
        rec.answers = {answer};
        main->close();
        EXPECT_TRUE(IsWindow(main->hwnd()));
        EXPECT_EQ(rows(), before);
        EXPECT_TRUE(main->timer().running());
    }
    ASSERT_EQ(rec.boxes.size(), 3u);
    const ShownBox& box = rec.boxes[0];
    EXPECT_EQ(box.caption, "Confirm");
    EXPECT_EQ(box.text,
              "Exiting the application will stop (and loose) all running updates, do you really want to exit?");
    EXPECT_EQ(box.type & MB_TYPEMASK, static_cast<UINT>(MB_YESNO));
    EXPECT_EQ(box.type & MB_ICONMASK, static_cast<UINT>(MB_ICONQUESTION));
    EXPECT_EQ(box.type & MB_DEFMASK, static_cast<UINT>(MB_DEFBUTTON1));

    rec.answers = {IDYES};
    click(mainItem(Main::Button5));  // "&Exit" takes the same road
    EXPECT_FALSE(IsWindow(main->hwnd()));
    ASSERT_FALSE(rec.notifications.empty());
    EXPECT_EQ(rec.notifications.back().message, static_cast<DWORD>(NIM_DELETE));
}

struct ClassCount {
    const char* name;
    int found;
};

BOOL CALLBACK countClass(HWND hwnd, LPARAM data) {
    auto& count = *reinterpret_cast<ClassCount*>(data);
    char name[32] = {};
    GetClassNameA(hwnd, name, sizeof name);
    if (lstrcmpA(name, count.name) == 0) ++count.found;
    return TRUE;
}

int windowsOfClass(const char* name) {
    ClassCount count{name, 0};
    EnumThreadWindows(GetCurrentThreadId(), countClass, reinterpret_cast<LPARAM>(&count));
    return count.found;
}

TEST_F(MainFormTest, DialogsAreMadeAtTheirFirstOpeningAndKeepTheirState) {
    // As the program starts: the main window alone.
    writeFile(ini(), section("one", "s", "d"));
    main = std::make_unique<TMainForm>();
    MainForm = main.get();
    EXPECT_EQ(windowsOfClass("TChooseForm") + windowsOfClass("TDetailForm"), 0);

    // "&Add file", "&New", untick the backup box, cancel both; twice.
    std::vector<HWND> chooser, detail;
    std::vector<bool> backup;
    for (int round = 0; round < 2; ++round) {
        whenModal([&] {
            chooser.push_back(ChooseForm->hwnd());
            whenModal([&] {
                HWND dialog = DetailForm->hwnd();
                detail.push_back(dialog);
                backup.push_back(isChecked(GetDlgItem(dialog, TDetailForm::VersionBackupCheckBox)));
                setChecked(GetDlgItem(dialog, TDetailForm::VersionBackupCheckBox), false);
                click(GetDlgItem(dialog, TDetailForm::Button2));
            });
            click(GetDlgItem(chooser.back(), TChooseForm::Button3));
            click(GetDlgItem(chooser.back(), TChooseForm::Button2));
        });
        click(mainItem(Main::Button2));
        pump();
    }
    ASSERT_EQ(chooser.size(), 2u);
    ASSERT_EQ(detail.size(), 2u);
    EXPECT_TRUE(IsWindow(chooser[0]) && IsWindow(detail[0]));
    EXPECT_EQ(chooser[1], chooser[0]) << "one chooser, made once";
    EXPECT_EQ(detail[1], detail[0]) << "one detail dialog, made once";
    EXPECT_EQ(backup, (std::vector<bool>{true, false})) << "checked the first time, then as it was left";

    // Gone with their owner (here by hand: the tests set no application
    // window), they are made anew at the next use.
    DestroyWindow(detail[0]);
    DestroyWindow(chooser[0]);
    EXPECT_TRUE(IsWindow(chooseForm().hwnd()) && IsWindow(detailForm().hwnd()));
}

}  // namespace
}  // namespace moravel::test
