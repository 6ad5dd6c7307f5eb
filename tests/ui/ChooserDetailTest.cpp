#include "UiTest.h"

#include <iterator>
#include <string>
#include <vector>

#include "core/SettingsFile.h"
#include "ui/CheckListBox.h"
#include "ui/Controls.h"
#include "engine/FakeTimer.h"

namespace moravel::test {
namespace {

using Choose = TChooseForm;
using Detail = TDetailForm;
using Lines = std::vector<std::string>;

constexpr const char* kFillIn = "Fill in a Source and a Destination please...";

// The registry as comparable text: name|source|destination|backup.
Lines registryText(const TProjects& projects) {
    Lines out;
    for (int i = 0; i < projects.count(); ++i) {
        const TFileObject& p = projects.recordAt(i);
        out.push_back(projects.nameAt(i) + "|" + p.Source + "|" + p.Destination + (p.VersionBackup ? "|1" : "|0"));
    }
    return out;
}

Lines savedProjects(const std::string& path) {
    TProjects loaded;
    SettingsFile(path).load(loaded);
    return registryText(loaded);
}

// Drives the chooser and the detail dialog as a user does: every step runs
// inside the real modal loops.
class DialogsTest : public FormsTest {
protected:
    enum Outcome { NotOpened, Closed, StayedOpen };

    HWND chooseItem(int id) const { return GetDlgItem(choose->hwnd(), id); }
    HWND detailItem(int id) const { return GetDlgItem(detail->hwnd(), id); }
    HWND listBox() const { return chooseItem(Choose::CheckListBox1); }
    std::string field(int id) const { return text(detailItem(id)); }

    // "&Add file"; the steps run inside the chooser and close it.
    void inChooser(std::function<void()> steps) {
        whenModal([&] {
            steps();
            // Steps that gave up half-way must not leave the loop waiting forever.
            whenModal([&] {
                if (!choose->isModal()) return;
                ADD_FAILURE() << "the chooser was left open";
                click(chooseItem(Choose::Button2));
            });
        });
        click(mainItem(TMainForm::Button2));
        pump();
    }

    // Clicks a button that may open the detail dialog and runs the steps in
    // it. Still open once its loop has turned, it is closed with Cancel.
    Outcome inDetail(HWND opener, std::function<void()> steps) {
        Outcome outcome = NotOpened;
        whenModal([&] {
            if (!detail->isModal()) return;
            outcome = Closed;
            steps();
            whenModal([&] {
                if (!detail->isModal()) return;
                outcome = StayedOpen;
                cancel();
            });
        });
        click(opener);
        pump();  // the steps, when no dialog came to run them
        return outcome;
    }

    void apply() { click(detailItem(Detail::Button1)); }
    void cancel() { click(detailItem(Detail::Button2)); }
    void fillPaths(const std::string& source, const std::string& destination, bool backup) {
        setText(detailItem(Detail::SourceEdit), source);
        setText(detailItem(Detail::DestinationEdit), destination);
        setChecked(detailItem(Detail::VersionBackupCheckBox), backup);
    }
    // Inside the chooser: "&New", the fields, apply.
    Outcome addProject(const std::string& name, const std::string& source, const std::string& destination,
                       bool backup) {
        return inDetail(chooseItem(Choose::Button3), [&] {
            setText(detailItem(Detail::ProjectNameEdit), name);
            fillPaths(source, destination, backup);
            apply();
        });
    }

    // The chooser's lines: "name", with " [x]" when checked, " (greyed)" when disabled.
    Lines lines() const {
        const CheckListBox box = choose->list();
        Lines out;
        for (int i = 0; i < box.count(); ++i)
            out.push_back(box.text(i) + (box.checked(i) ? " [x]" : "") + (box.enabled(i) ? "" : " (greyed)"));
        return out;
    }
    bool lineButtonsEnabled() const {
        const bool details = enabled(chooseItem(Choose::Button4));
        EXPECT_EQ(details, enabled(chooseItem(Choose::Button5))) << "\"&Details\" and \"&Remove\" go together";
        return details;
    }

    // A real mouse click in the list, on a line's box or on its text.
    void clickLine(int index, bool onBox, int below = 0) {
        RECT rc = {};
        SendMessageA(listBox(), LB_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&rc));
        const LPARAM at = MAKELPARAM(rc.left + (onBox ? 4 : 60), (rc.top + rc.bottom) / 2 + below);
        SendMessageA(listBox(), WM_LBUTTONDOWN, MK_LBUTTON, at);
        SendMessageA(listBox(), WM_LBUTTONUP, 0, at);
    }
    // Selects by message and notifies the chooser, as the list itself does.
    void selectLine(int index) {
        choose->list().select(index);
        SendMessageA(choose->hwnd(), WM_COMMAND, MAKEWPARAM(Choose::CheckListBox1, LBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(listBox()));
    }

    Lines rowNames() const {
        Lines names;
        for (const auto& row : rows()) names.push_back(row[0]);
        return names;
    }
};

class ChooserTest : public DialogsTest {};
class DetailTest : public DialogsTest {};

TEST_F(ChooserTest, ListsEveryProjectSortedIgnoringCaseGreysQueuedOnesAndRebuildsAtEveryShow) {
    start(section("beta", "s", "d") + section("Alpha", "s", "d") + section("gamma", "s", "d") +
          section("ALPHA2", "s", "d") + section("Beta2", "s", "d"));
    const std::string before = readFile(ini());
    inChooser([&] { SendMessageA(choose->hwnd(), WM_CLOSE, 0, 0); });  // the close box is Cancel
    EXPECT_FALSE(main->timer().running());
    inChooser([&] { click(chooseItem(Choose::Button1)); });
    EXPECT_TRUE(rows().empty());
    EXPECT_TRUE(main->timer().running()) << "OK with nothing checked still arms the stopped timer";

    queue({"beta"});
    inChooser([&] {
        EXPECT_EQ(lines(), (Lines{"Alpha", "ALPHA2", "beta (greyed)", "Beta2", "gamma"}));
        EXPECT_FALSE(lineButtonsEnabled());
        PostMessageA(listBox(), WM_KEYDOWN, VK_DOWN, 0x00500001);
        pump();
        EXPECT_GE(choose->list().selected(), 0);
        EXPECT_TRUE(lineButtonsEnabled()) << "a selection made by keyboard";
        clickLine(4, true);
        click(chooseItem(Choose::Button2));
    });
    EXPECT_EQ(rowNames(), Lines{"beta"});

    main->pending().deleteAt(0);
    inChooser([&] {
        EXPECT_EQ(lines(), (Lines{"Alpha", "ALPHA2", "beta", "Beta2", "gamma"})) << "nothing left over";
        EXPECT_FALSE(lineButtonsEnabled());
        click(chooseItem(Choose::Button2));
    });
    EXPECT_EQ(readFile(ini()), before) << "nothing changed, nothing written";
}

TEST_F(ChooserTest, GreyedLinesCannotBeCheckedAndOnlyTheBoxTakesClicks) {
    start(section("alpha", "s", "d") + section("beta", "s", "d") + section("gamma", "s", "d"));
    queue({"beta"});
    enum Action { Box, Text, SpaceChar, SpaceKey, BelowLastLine };
    const struct {
        Action action;
        int line;  // clicked, or selected for the space bar
        Lines after;
    } steps[] = {
        {Text, 0, {"alpha", "beta (greyed)", "gamma"}},
        {Box, 0, {"alpha [x]", "beta (greyed)", "gamma"}},
        {Box, 1, {"alpha [x]", "beta (greyed)", "gamma"}},
        {SpaceChar, 1, {"alpha [x]", "beta (greyed)", "gamma"}},
        {SpaceKey, 1, {"alpha [x]", "beta (greyed)", "gamma"}},
        {Text, 2, {"alpha [x]", "beta (greyed)", "gamma"}},
        {SpaceChar, 2, {"alpha [x]", "beta (greyed)", "gamma [x]"}},
        {SpaceKey, 2, {"alpha [x]", "beta (greyed)", "gamma"}},
        {Box, 0, {"alpha", "beta (greyed)", "gamma"}},
        {BelowLastLine, 0, {"alpha", "beta (greyed)", "gamma"}},
        {Box, 2, {"alpha", "beta (greyed)", "gamma [x]"}},
    };
    inChooser([&] {
        for (const auto& step : steps) {
            switch (step.action) {
                case Box: clickLine(step.line, true); break;
                case Text: clickLine(step.line, false); break;
                case SpaceChar: SendMessageA(listBox(), WM_CHAR, ' ', 0); break;
                case SpaceKey:
                    PostMessageA(listBox(), WM_KEYDOWN, VK_SPACE, 0x00390001);
                    PostMessageA(listBox(), WM_KEYUP, VK_SPACE, static_cast<LPARAM>(0xC0390001u));
                    pump();
                    break;
                case BelowLastLine: clickLine(2, true, 20); break;
            }
            const std::string what = "step " + std::to_string(&step - steps);
            EXPECT_EQ(lines(), step.after) << what;
            if (step.action != BelowLastLine) {
                EXPECT_EQ(choose->list().selected(), step.line) << what << ": greyed lines too";
            }
            EXPECT_TRUE(lineButtonsEnabled()) << what;
        }
        click(chooseItem(Choose::Button1));
    });
    EXPECT_EQ(rowNames(), (Lines{"beta", "gamma"})) << "beta is not queued a second time";
}

TEST_F(ChooserTest, NewAddsAnUncheckedLineAndSavesAtOnceButOnlyCheckedLinesAreQueued) {
    start(section("alpha", "s", "d") + section("zulu", "s", "d"));
    const std::string before = readFile(ini());
    inChooser([&] {
        clickLine(0, true);
        EXPECT_EQ(inDetail(chooseItem(Choose::Button3), [&] {
            setText(detailItem(Detail::ProjectNameEdit), "Middle");
            cancel();
        }), Closed);
        EXPECT_EQ(readFile(ini()), before) << "Cancel writes nothing";
        EXPECT_EQ(addProject("Middle", "m.src", "m.dst", true), Closed);
        EXPECT_EQ(lines(), (Lines{"alpha [x]", "Middle", "zulu"})) << "sorted in, unchecked; other checks stay";
        EXPECT_EQ(savedProjects(ini()), (Lines{"alpha|s|d|0", "Middle|m.src|m.dst|1", "zulu|s|d|0"}));
        click(chooseItem(Choose::Button1));
    });
    EXPECT_EQ(rowNames(), Lines{"alpha"});
    EXPECT_TRUE(rec.boxes.empty());
}

TEST_F(ChooserTest, RemoveDeletesTheProjectFromRegistryAndFileButTheQueuedRowStays) {
    start("[alpha]\r\nSource=s\r\nNote=kept by hand\r\nDestination=d\r\n" + section("beta", "t", "e", true));
    queue({"alpha"});
    inChooser([&] {
        EXPECT_EQ(lines(), (Lines{"alpha (greyed)", "beta"}));
        selectLine(0);
        EXPECT_TRUE(lineButtonsEnabled());
        click(chooseItem(Choose::Button5));
        EXPECT_EQ(lines(), Lines{"beta"});
        EXPECT_FALSE(lineButtonsEnabled()) << "until the selection changes again";
        EXPECT_EQ(registryText(main->Projects), Lines{"beta|t|e|1"});
        const std::string file = readFile(ini());
        EXPECT_EQ(file.find("alpha"), std::string::npos) << file;
        EXPECT_EQ(file.find("Note"), std::string::npos) << file;

        // Made anew while its row still waits, it is that row's project:
        // greyed like any queued one, so it cannot be queued twice.
        EXPECT_EQ(addProject("ALPHA", "s2", "d2", false), Closed);
        EXPECT_EQ(lines(), (Lines{"ALPHA (greyed)", "beta"}));
        clickLine(0, true);
        SendMessageA(listBox(), WM_CHAR, ' ', 0);
        EXPECT_EQ(lines(), (Lines{"ALPHA (greyed)", "beta"}));
        click(chooseItem(Choose::Button1));
    });
    EXPECT_EQ(rowNames(), Lines{"alpha"});
    EXPECT_TRUE(rec.boxes.empty());
}

TEST_F(ChooserTest, RemoveFindsItsLineAgainAfterAQueuedNewAddedOneAboveDuringTheSave) {
    start(section("beta", "s", "d") + section("gamma", "s", "d"));
    inChooser([&] {
        selectLine(0);
        // Waiting in the queue, the click runs inside the save's pump.
        PostMessageA(choose->hwnd(), WM_COMMAND, MAKEWPARAM(Choose::Button3, BN_CLICKED), 0);
        whenModal([&] { setText(detailItem(Detail::ProjectNameEdit), "alpha"), fillPaths("s", "d", false), apply(); });
        click(chooseItem(Choose::Button5));
        EXPECT_EQ(lines(), (Lines{"alpha", "gamma"}));
        click(chooseItem(Choose::Button2));
    });
    EXPECT_EQ(savedProjects(ini()), (Lines{"alpha|s|d|0", "gamma|s|d|0"}));
}

TEST(CheckListBoxTest, ASelectedGreyedLineReadsAndStandsOutStillGreyed) {
    const auto greyed = CheckListBox::lineColors(true, true);
    EXPECT_GE(contrastRatio(greyed.text, greyed.background), kReadableContrast);
    EXPECT_GE(contrastRatio(greyed.background, GetSysColor(COLOR_WINDOW)), 1.2) << "shown selected";
    EXPECT_NE(greyed.text, CheckListBox::lineColors(true, false).text);
}

TEST_F(ChooserTest, RemoveRefusedByAReadOnlyFileShowsTheErrorAndTheOrphanedLineIsHarmless) {
    start(section("alpha", "s", "d", true) + section("beta", "t", "e"));
    setReadOnly(ini(), true);
    const std::string before = readFile(ini());
    inChooser([&] {
        clickLine(0, false);
        click(chooseItem(Choose::Button5));
        ASSERT_EQ(rec.boxes.size(), 1u);
        EXPECT_EQ(rec.boxes[0].text, "Unable to write to " + ini() + ".");
        EXPECT_EQ(rec.boxes[0].caption, "Moravel");
        EXPECT_EQ(rec.boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONSTOP));
        EXPECT_EQ(lines(), (Lines{"alpha", "beta"}));
        EXPECT_EQ(readFile(ini()), before);

        // The line stays, its project does not: its commands do nothing.
        ASSERT_EQ(main->Projects.find("alpha"), -1);
        EXPECT_EQ(inDetail(chooseItem(Choose::Button4), [] {}), NotOpened);
        click(chooseItem(Choose::Button5));
        EXPECT_EQ(lines(), (Lines{"alpha", "beta"}));
        clickLine(0, true);
        click(chooseItem(Choose::Button1));
    });
    EXPECT_EQ(rowNames(), Lines{"alpha"}) << "checking it still queues the row";
    ListView(mainItem(TMainForm::ListView1)).select(0);
    pump();
    EXPECT_EQ(inDetail(mainItem(TMainForm::Button4), [] {}), NotOpened);
    EXPECT_EQ(rec.boxes.size(), 1u);
    EXPECT_EQ(readFile(ini()), before);
}

TEST_F(DialogsTest, FocusStartsOnTheFirstControlTheFocusedButtonTakesEnterAndFocusIsNeverLost) {
    start(section("alpha", "s", "d") + section("beta", "missing", "d"));
    const auto key = [](UINT message, WPARAM code, LPARAM flags = 1) {  // to the control with the focus
        PostMessageA(GetFocus(), message, code, flags);
        pump();
    };
    const auto space = [&] { key(WM_KEYDOWN, VK_SPACE), key(WM_KEYUP, VK_SPACE, static_cast<LPARAM>(0xC0390001u)); };
    main->show();
    EXPECT_EQ(GetFocus(), mainItem(TMainForm::Button2)) << "the first that takes it";
    inChooser([&] { key(WM_KEYDOWN, VK_ESCAPE); });  // as "&Cancel"; left open, the rig says so
    inChooser([&] { key(WM_KEYDOWN, VK_RETURN); });  // on "&Ok", focused as the chooser opens
    EXPECT_TRUE(main->timer().running()) << "closed with OK";
    inChooser([&] {
        EXPECT_EQ(inDetail(chooseItem(Choose::Button3), [&] {
            for (char c : std::string("Rqc")) key(WM_CHAR, static_cast<WPARAM>(c));  // letters, not mnemonics
            EXPECT_EQ(field(Detail::ProjectNameEdit), "Rqc");
            EXPECT_FALSE(isChecked(detailItem(Detail::ReplaceInUseCheckBox)) ||
                         isChecked(detailItem(Detail::QueueOnChangeCheckBox)));
            key(WM_SYSCHAR, 'a');  // Alt+A focuses "&Add" and presses it: the empty source is refused
            EXPECT_EQ(GetFocus(), detailItem(Detail::SourceEdit));
            key(WM_KEYDOWN, VK_ESCAPE);  // as "&Cancel"
        }), Closed);
        EXPECT_EQ(GetFocus(), chooseItem(Choose::Button3)) << "back on \"&New\"";
        selectLine(0);
        SetFocus(chooseItem(Choose::Button5));
        space();  // "&Remove", disabled, hands the focus on
        EXPECT_EQ(GetFocus(), listBox());
        clickLine(0, true);
        click(chooseItem(Choose::Button1));
    });
    SetFocus(mainItem(TMainForm::Button1));
    space();  // "Update &Now" is disabled while its pass runs
    EXPECT_EQ(GetFocus(), mainItem(TMainForm::Button2));
}

TEST_F(DetailTest, AcceptedNamesAndPathsLoadBackExactlyAtTheNextStart) {
    start();
    const struct {
        std::string name, source, destination;
        bool backup;
    } cases[] = {
        {"a=b;c", " lead.exe", "trail.exe ", true},
        {"#hash", "\"quoted\"", "'single'", false},
        {"x[y", "\"only opening", "in \"side\" quotes", true},
        {"\"quoted name\"", "\"\"", "\"", false},
        {"inner  blanks", "  ", "=", true},
        {"semi;colon", ";starts", "[bracketed]", false},
        {"Caf\xe9 cr\xe8me", "C:\\Program Files\\App\\app.exe", "\\\\server\\share\\app.exe", true},
        // The longest paths the value buffer gives back, one of them quoted.
        {"Long " + std::string(300, 'n'), std::string(2047, 'p'), " " + std::string(2044, 'q'), true},
        {std::string(5000, 'L'), "s", "d", false},
    };
    inChooser([&] {
        for (const auto& c : cases) EXPECT_EQ(addProject(c.name, c.source, c.destination, c.backup), Closed);
        click(chooseItem(Choose::Button2));
    });
    for (const ShownBox& box : rec.boxes) ADD_FAILURE() << "refused: " << box.text;

    stop();
    start();
    ASSERT_EQ(main->Projects.count(), static_cast<int>(std::size(cases)));
    for (const auto& c : cases) {
        const int at = main->Projects.find(c.name);
        ASSERT_GE(at, 0) << c.name;
        const TFileObject& p = main->Projects.recordAt(at);
        EXPECT_EQ(main->Projects.nameAt(at), c.name);
        EXPECT_EQ(p.Source, c.source) << c.name;
        EXPECT_EQ(p.Destination, c.destination) << c.name;
        EXPECT_EQ(p.VersionBackup, c.backup) << c.name;
    }
}

TEST_F(DetailTest, RefusedInputsShowAPlainBoxKeepTheDialogOpenAndChangeNothing) {
    start(section("alpha", "a.src", "a.dst", true));
    const struct {
        bool update;  // "&Details" on alpha instead of "&New"
        std::string name, source, destination;
        std::string message;  // the text, or a word the text must hold
    } cases[] = {
        {false, "", "", "", kFillIn},
        {false, "n", "", "d", kFillIn},
        {false, "n", "s", "", kFillIn},
        {false, "", "s", "d", "Fill in a projectname please."},
        {false, "ALPHA", "s", "d", "Projectname ALPHA already exists!"},
        {false, "a\tb", "s", "d", "name"},
        {false, " lead", "s", "d", "name"},
        {false, "trail ", "s", "d", "name"},
        {false, "a]b", "s", "d", "name"},
        {false, "[a", "s", "d", "name"},
        {false, ";a", "s", "d", "name"},
        {false, "n", "s\tx", "d", "source"},
        {false, "n", "s", "d\n", "destination"},
        {false, "n", std::string(2048, 'p'), "d", "source"},
        // Stored quoted, so that the blank survives: two characters more.
        {false, "n", "s", " " + std::string(2045, 'q'), "destination"},
        {true, "", "", "d", kFillIn},
        {true, "", "s\x7f", "d", "source"},
        {true, "", "s", "\"" + std::string(2044, 'q') + "\"", "destination"},
    };
    const std::string before = readFile(ini());
    inChooser([&] {
        for (const auto& c : cases) {
            const std::string what = "case " + std::to_string(&c - cases);
            const std::size_t boxes = rec.boxes.size();
            if (c.update) selectLine(0);
            EXPECT_EQ(inDetail(chooseItem(c.update ? Choose::Button4 : Choose::Button3), [&] {
                if (!c.update) setText(detailItem(Detail::ProjectNameEdit), c.name);
                fillPaths(c.source, c.destination, false);
                apply();
            }), StayedOpen) << what;
            ASSERT_EQ(rec.boxes.size(), boxes + 1) << what;
            const ShownBox& box = rec.boxes.back();
            if (c.message.find(' ') != std::string::npos) {
                EXPECT_EQ(box.text, c.message) << what;
            } else {
                EXPECT_NE(box.text.find(c.message), std::string::npos) << what << ": " << box.text;
            }
            EXPECT_EQ(box.caption, "Moravel") << what;
            EXPECT_EQ(box.type, static_cast<UINT>(MB_OK)) << what;
            EXPECT_EQ(registryText(main->Projects), Lines{"alpha|a.src|a.dst|1"}) << what;
            EXPECT_EQ(lines(), Lines{"alpha"}) << what;
            EXPECT_EQ(readFile(ini()), before) << what;
        }
        click(chooseItem(Choose::Button2));
    });
}

TEST_F(DetailTest, ANameOverflowingTheSectionListIsRefusedOneThatFillsItLoadsBack) {
    std::string settings;
    std::size_t listed = 0;  // each name with its terminator
    for (int i = 0; i < 63; ++i) {
        const std::string name = "p" + std::to_string(100 + i) + std::string(246, 'x');
        settings += section(name, "s", "d");
        listed += name.size() + 1;
    }
    start(settings);
    // The list is read through 16384 bytes, which also hold its closing terminator.
    const std::string fits(16383 - listed - 1, 'f');
    inChooser([&] {
        EXPECT_EQ(addProject(fits + "f", "s", "d", false), StayedOpen);
        EXPECT_EQ(rec.boxes.size(), 1u);
        EXPECT_EQ(addProject(fits, "s", "d", false), Closed);
        click(chooseItem(Choose::Button2));
    });
    stop();
    start();
    EXPECT_EQ(main->Projects.count(), 64);
    EXPECT_GE(main->Projects.find(fits), 0);
}

TEST_F(DetailTest, UpdateModeKeepsTheNameCancelChangesNothingAndTheNextShowingRefills) {
    start(section("alpha", "a.src", "a.dst", true) + section("beta", "b.src", "b.dst"));
    const std::string before = readFile(ini());
    inChooser([&] {
        selectLine(0);
        EXPECT_EQ(inDetail(chooseItem(Choose::Button4), [&] {
            EXPECT_EQ(field(Detail::Button1), "&Update");
            SendMessageA(detailItem(Detail::ProjectNameEdit), WM_CHAR, 'x', 0);
            EXPECT_EQ(field(Detail::ProjectNameEdit), "alpha") << "read-only";
            fillPaths("edited.src", "", false);
            cancel();
        }), Closed);
        EXPECT_EQ(registryText(main->Projects), (Lines{"alpha|a.src|a.dst|1", "beta|b.src|b.dst|0"}));
        EXPECT_EQ(readFile(ini()), before) << "Cancel writes nothing";

        EXPECT_EQ(inDetail(chooseItem(Choose::Button4), [&] {
            EXPECT_EQ(field(Detail::SourceEdit), "a.src");
            EXPECT_EQ(field(Detail::DestinationEdit), "a.dst");
            EXPECT_TRUE(isChecked(detailItem(Detail::VersionBackupCheckBox)));
            fillPaths("new.src", "new.dst", false);
            apply();
        }), Closed);
        EXPECT_EQ(lines(), (Lines{"alpha", "beta"})) << "no second line";
        click(chooseItem(Choose::Button2));
    });
    EXPECT_EQ(savedProjects(ini()), (Lines{"alpha|new.src|new.dst|0", "beta|b.src|b.dst|0"}));
    EXPECT_EQ(registryText(main->Projects), savedProjects(ini()));
}

TEST_F(DetailTest, AddModeEmptiesTheFieldsButTheBackupBoxKeepsItsLastState) {
    start(section("alpha", "a.src", "a.dst", false));
    const struct {
        const char* name;  // for "&New"; none: "&Details" on alpha, whose box is clear
        bool backupShown, apply;
        int backupSet;  // ticked (1) or cleared (0) before closing
    } showings[] = {
        {"one", true, true, 0},  // ticked the first time
        {"two", false, true, -1},
        {"three", false, false, 1},
        {"three", true, false, -1},  // kept through Cancel
        {nullptr, false, false, -1},
        {"three", false, false, -1},  // as alpha's showing left it
    };
    inChooser([&] {
        for (const auto& s : showings) {
            const std::string what = "showing " + std::to_string(&s - showings);
            if (!s.name) selectLine(0);
            EXPECT_EQ(inDetail(chooseItem(s.name ? Choose::Button3 : Choose::Button4), [&] {
                HWND backup = detailItem(Detail::VersionBackupCheckBox);
                if (s.name) {
                    EXPECT_EQ(field(Detail::Button1), "&Add") << what;
                    for (int id : {Detail::ProjectNameEdit, Detail::SourceEdit, Detail::DestinationEdit})
                        EXPECT_EQ(field(id), "") << what;
                    EXPECT_EQ(isChecked(backup), s.backupShown) << what;
                    SendMessageA(detailItem(Detail::ProjectNameEdit), WM_CHAR, 'n', 0);
                    EXPECT_EQ(field(Detail::ProjectNameEdit), "n") << what << ": editable";
                    setText(detailItem(Detail::ProjectNameEdit), s.name);
                    fillPaths("s", "d", isChecked(backup));
                }
                if (s.backupSet >= 0) setChecked(backup, s.backupSet == 1);
                s.apply ? apply() : cancel();
            }), Closed) << what;
        }
        click(chooseItem(Choose::Button2));
    });
    EXPECT_EQ(registryText(main->Projects), (Lines{"alpha|a.src|a.dst|0", "one|s|d|0", "two|s|d|0"}));
}

TEST_F(DetailTest, OptionBoxesStartClearForANewProjectAndShowAndStoreEachProjectsChoice) {
    // Replace in use, queue on change, restart holder, force close, try when free, at restart; "-" or "+": disabled.
    const int boxes[] = {Detail::ReplaceInUseCheckBox, Detail::QueueOnChangeCheckBox, Detail::RestartHolderCheckBox,
                         Detail::ForceCloseCheckBox, Detail::TryWhenFreeCheckBox, Detail::AtRestartCheckBox};
    const struct { const char *name, *keys, *shown; int click; const char *clicked, *stored; } cases[] = {
        {"alpha", "ReplaceInUse=1\r\nQueueOnChange=1", "110-00", Detail::RestartHolderCheckBox, "011000", "011000"},
        {"both", "ReplaceInUse=1\r\nRestartHolder=1", "001000", Detail::ForceCloseCheckBox, "001100", "001100"},
        {"force", "RestartHolder=1\r\nForceClose=1", "001100", Detail::ReplaceInUseCheckBox, "100+00", "100000"},
        {"free", "TryWhenFree=1", "000-10", Detail::TryWhenFreeCheckBox, "000-00", "000000"},
        {"queue", "", "000-00", Detail::QueueOnChangeCheckBox, "010-00", "010000"},
        {"restart", "AtRestart=1", "000-01", Detail::AtRestartCheckBox, "000-00", "000000"},
        {"wait", "", "000-00", Detail::AtRestartCheckBox, "000-01", "000001"},
    };
    std::string settings;
    for (const auto& c : cases) settings += section(c.name, "a.src", "a.dst") + c.keys + "\r\n";
    start(settings);
    const auto options = [&] {
        std::string out;
        for (int box : boxes) out += "01-+"[isChecked(detailItem(box)) + 2 * !enabled(detailItem(box))];
        return out;
    };
    inChooser([&] {
        for (int i = 0; i < static_cast<int>(std::size(cases)); ++i) {
            selectLine(i);
            EXPECT_EQ(inDetail(chooseItem(Choose::Button4), [&] {
                EXPECT_EQ(GetFocus(), detailItem(Detail::SourceEdit)) << "the name cannot change";
                EXPECT_EQ(options(), cases[i].shown) << cases[i].name;
                click(detailItem(cases[i].click));
                EXPECT_EQ(options(), cases[i].clicked) << cases[i].name;
                apply();
            }), Closed);
        }
        EXPECT_EQ(inDetail(chooseItem(Choose::Button3), [&] {
            EXPECT_EQ(options(), "000-00") << "not carried over";
            setText(detailItem(Detail::ProjectNameEdit), "beta");
            fillPaths("s", "d", false);
            apply();
        }), Closed);
        click(chooseItem(Choose::Button2));
    });
    stop();
    start();
    for (const auto& c : cases) {
        const TFileObject& p = *main->Projects.lookup(c.name);
        EXPECT_EQ((std::string{"01"[p.ReplaceInUse], "01"[p.QueueOnChange], "01"[p.RestartHolder],
                               "01"[p.ForceClose], "01"[p.TryWhenFree], "01"[p.AtRestart]}), c.stored) << c.name;
    }
    EXPECT_TRUE(readFile(ini()).ends_with("[beta]\r\nSource=s\r\nDestination=d\r\nVersionBackup=0\r\n"))
        << readFile(ini());
}

TEST_F(DetailTest, BrowseButtonsStartWhereTheFieldPointsAndFillThePickedPath) {
    start();
    const std::string src = dir / "src", out = dir / "out";
    CreateDirectoryA(src.c_str(), nullptr);
    CreateDirectoryA(out.c_str(), nullptr);
    const std::string tool = src + "\\tool.exe", target = out + "\\target.exe";
    const struct {
        int button;
        std::string source, destination;  // before
        std::optional<std::string> pick;
        std::string startIn, fileName;  // asked of the file-open dialog
        std::string sourceAfter, destinationAfter;
    } steps[] = {
        // Nothing to start from yet; the bare name goes into the empty destination.
        {Detail::Button3, "", "", tool, "", "", tool, "tool.exe"},
        {Detail::Button4, tool, "tool.exe", std::nullopt, "", tool, tool, "tool.exe"},
        {Detail::Button4, tool, "E:\\old\\x.exe", target, "E:\\old\\", tool, tool, target},
        // An empty field leaves the start where the last browse of either button put it.
        {Detail::Button3, "", target, std::nullopt, "E:\\old\\", target, "", target},
        {Detail::Button3, "C:rel.exe", target, tool, "C:", target, tool, target},
        {Detail::Button4, tool, "", std::nullopt, "C:", tool, tool, ""},
        {Detail::Button3, "rel.exe", "kept.exe", tool, "", tool, tool, "kept.exe"},
    };
    inChooser([&] {
        EXPECT_EQ(inDetail(chooseItem(Choose::Button3), [&] {
            for (const auto& step : steps) {
                const std::string what = "step " + std::to_string(&step - steps);
                fillPaths(step.source, step.destination, true);
                rec.picks = {step.pick};
                click(detailItem(step.button));
                ASSERT_FALSE(rec.openRequests.empty());
                const OpenFileRequest& asked = rec.openRequests.back();
                EXPECT_EQ(asked.title, "Select a file") << what;
                EXPECT_EQ(asked.filter, "All Files|*.*") << what;
                EXPECT_EQ(asked.fileMustExist, step.button == Detail::Button3) << what;
                EXPECT_EQ(asked.initialDirectory, step.startIn) << what;
                EXPECT_EQ(asked.fileName, step.fileName) << what;
                EXPECT_EQ(field(Detail::SourceEdit), step.sourceAfter) << what;
                EXPECT_EQ(field(Detail::DestinationEdit), step.destinationAfter) << what;
            }
            cancel();
        }), Closed);
        click(chooseItem(Choose::Button2));
    });
    EXPECT_EQ(rec.openRequests.size(), std::size(steps));
    // The bare destination resolves where the source was picked.
    char now[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, now);
    EXPECT_EQ(std::string(now), src);
    EXPECT_FALSE(exists(ini()));
}

// The set field: its names offered, stored only while filled in, a name a
// section could not hold refused. "&Put back...", in update mode with a
// backup, offers the versions beside the destination and queues the set's
// rows to put the one picked back. Enter in a field presses the main button;
// a larger window keeps the browse buttons beside their fields and gives the
// chooser's list the room.
TEST_F(DetailTest, TheSetIsOfferedAndStoredAndPutBackQueuesTheSetForThePickedVersion) {
    writeFile(dir / "tool-1.0.0.0.exe", "1");
    writeFile(dir / "tool-2.0.0.0.exe", "2");
    start(section("helper", "h.src", "h.dll") + "Set=release tools\r\n" + section("other", "o.src", "o.dst") +
          section("tool", "t.src", dir / "tool.exe", true) + "Set=Release Tools\r\n");
    const auto key = [](WPARAM code) { PostMessageA(GetFocus(), WM_KEYDOWN, code, 1), pump(); };
    const auto box = [](HWND control) {
        RECT rc;
        GetWindowRect(control, &rc);
        return rc;
    };
    inChooser([&] {
        const RECT list = box(listBox());
        SetWindowPos(choose->hwnd(), nullptr, 0, 0, 500, 500, SWP_NOMOVE | SWP_NOZORDER);
        EXPECT_EQ(box(listBox()).bottom - list.bottom, 500 - 339 - 0) << "the list takes the room";
        selectLine(1);  // other
        EXPECT_EQ(inDetail(chooseItem(Choose::Button4), [&] {
            EXPECT_FALSE(enabled(detailItem(Detail::PutBackButton))) << "no backups kept";
            HWND sets = detailItem(Detail::SetCombo);
            EXPECT_EQ(SendMessageA(sets, CB_GETCOUNT, 0, 0), 1);
            for (const char* refused : {" Release Tools", "[Release]"}) {
                setText(sets, refused);
                apply();
                EXPECT_EQ(GetFocus(), GetWindow(sets, GW_CHILD)) << "back in the field: " << refused;
            }
            SendMessageA(sets, CB_SETCURSEL, 0, 0);
            const RECT source = box(detailItem(Detail::SourceEdit)), browse = box(detailItem(Detail::Button3));
            SetWindowPos(detail->hwnd(), nullptr, 0, 0, 700, 450, SWP_NOMOVE | SWP_NOZORDER);
            EXPECT_EQ(box(detailItem(Detail::Button3)).top - box(detailItem(Detail::SourceEdit)).top, browse.top - source.top);
            EXPECT_EQ(box(detailItem(Detail::Button3)).left - box(detailItem(Detail::SourceEdit)).right, browse.left - source.right);
            for (HWND one = GetWindow(detail->hwnd(), GW_CHILD); one; one = GetWindow(one, GW_HWNDNEXT))
                for (HWND other = GetWindow(one, GW_HWNDNEXT); other; other = GetWindow(other, GW_HWNDNEXT)) {
                    RECT a = box(one), b = box(other), both;
                    EXPECT_FALSE(IntersectRect(&both, &a, &b)) << GetDlgCtrlID(one) << " covers " << GetDlgCtrlID(other);
                }
            SetFocus(detailItem(Detail::SourceEdit));
            key(VK_RETURN);  // "&Update"
        }), Closed);
        selectLine(2);  // tool
        EXPECT_EQ(inDetail(chooseItem(Choose::Button4), [&] {
            ASSERT_TRUE(enabled(detailItem(Detail::PutBackButton)));
            rec.menuPicks = {"1.0.0.0"};
            click(detailItem(Detail::PutBackButton));
            cancel();
        }), Closed);
        EXPECT_EQ(inDetail(chooseItem(Choose::Button3), [&] {
            EXPECT_FALSE(enabled(detailItem(Detail::PutBackButton)));
            EXPECT_EQ(text(detailItem(Detail::SetCombo)), "") << "not carried over";
            setText(detailItem(Detail::ProjectNameEdit), "new");
            fillPaths("n.src", "n.dst", false);
            SetFocus(detailItem(Detail::DestinationEdit));
            key(VK_RETURN);  // "&Add"
        }), Closed);
        click(chooseItem(Choose::Button2));
    });
    for (const ShownBox& shown : rec.boxes) EXPECT_NE(shown.text.find("A set name cannot"), std::string::npos) << shown.text;
    EXPECT_EQ(rec.menus, std::vector<std::string>{"2.0.0.0|1.0.0.0"});
    EXPECT_EQ(rowNames(), (Lines{"helper", "other", "tool"})) << "the set, each to put back version 1.0.0.0";
    for (int i = 0; i < main->pending().count(); ++i) EXPECT_EQ(main->pending().rowAt(i).putBack, "1.0.0.0");
    stop();
    start();
    EXPECT_EQ(main->Projects.lookup("other")->Set, "release tools");
    EXPECT_NE(main->Projects.find("new"), -1);
    EXPECT_TRUE(readFile(ini()).ends_with("[new]\r\nSource=n.src\r\nDestination=n.dst\r\nVersionBackup=0\r\n"))
        << readFile(ini());
}

// A member queued by the chooser, a command or its changed source queues its
// whole set, each member once; a command may name the set itself. A set's
// changed sources are queued once all of them are quiet.
TEST_F(ChooserTest, QueuingAMemberQueuesItsSetAndASetsChangedSourcesOnceAllAreQuiet) {
    start(section("a", "a.src", "a.dst") + "Set=Tools\r\nQueueOnChange=1\r\n" + section("b", "b.src", "b.dst") +
          "Set=tools\r\nQueueOnChange=1\r\n" + section("c", "c.src", "c.dst") + "Set=Tools\r\n" +
          section("alone", "x.src", "x.dst"));
    const auto clear = [&] {
        while (main->pending().count() > 0) main->pending().deleteAt(0);
    };
    inChooser([&] {
        clickLine(2, true);  // b
        click(chooseItem(Choose::Button1));
    });
    EXPECT_EQ(rowNames(), (Lines{"a", "b", "c"}));
    clear();
    EXPECT_TRUE(main->knowsProject("TOOLS"));
    EXPECT_FALSE(main->knowsProject("nothing"));
    EXPECT_EQ(main->queueFromCommand({"TOOLS", "alone"}).rows.size(), 4u) << "a command waits for every member";
    EXPECT_EQ(rowNames(), (Lines{"a", "alone", "b", "c"}));
    clear();

    FixedClock clock(makeLocalTime(2026, 3, 4, 5, 6, 0));
    const auto tick = [&](int milliseconds) {
        clock.set(addMilliseconds(clock.now(), milliseconds));
        main->SourceWatchTimer();
    };
    main->SourceWatchTimer();  // the sources as they are
    writeFile(dir / "a.src", "rebuilt");
    tick(500);
    tick(1000);
    writeFile(dir / "b.src", "rebuilt");  // the set's next file, later
    tick(1600);
    EXPECT_EQ(rowNames(), Lines{}) << "a is quiet, b is not yet";
    tick(2000);
    EXPECT_EQ(rowNames(), (Lines{"a", "b", "c"}));
    EXPECT_EQ(logLines().size(), 2u) << "a and b queued: their sources changed";
}

}  // namespace
}  // namespace moravel::test
