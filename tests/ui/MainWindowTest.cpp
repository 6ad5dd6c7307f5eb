#include "UiTest.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cctype>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <tuple>
#include <utility>

#include "core/AppError.h"
#include "core/Clock.h"
#include "core/Files.h"
#include "core/PendingRenames.h"
#include "core/SettingsFile.h"
#include "engine/FakeTimer.h"
#include "engine/TestFiles.h"
#include "ui/Application.h"
#include "ui/ConfirmBox.h"
#include "ui/Controls.h"
#include "ui/Layout.h"
#include "ui/Resources.h"
#include "ui/WindowTimer.h"

namespace moravel::test {
namespace {

using Main = TMainForm;

// Left, top, right, bottom: comparable and printable.
using Edges = std::array<LONG, 4>;
Edges edges(const RECT& r) { return {r.left, r.top, r.right, r.bottom}; }

// ---- place(): the four anchor cases, the minimum height and another DPI ----------------------

TEST(MainWindowLayoutTest, PlaceKeepsTheAnchoredEdgesAtTheirDistance) {
    const Bounds b{10, 20, 30, 40};
    const SIZE design{100, 80};
    const struct { unsigned anchors; int minHeight; SIZE client; int dpi; Edges expected; } cases[] = {
        {AnchorDefault, 0, {150, 60}, 96, {10, 20, 40, 60}},
        {AnchorDefault, 0, {90, 40}, 96, {10, 20, 40, 60}},
        {AnchorTopRight, 0, {150, 60}, 96, {60, 20, 90, 60}},
        {AnchorTopWide, 0, {150, 60}, 96, {10, 20, 90, 60}},
        {AnchorAll, 0, {150, 60}, 96, {10, 20, 90, 40}},
        {AnchorAll, 30, {150, 60}, 96, {10, 20, 90, 50}},  // never below its minimum
        {AnchorAll, 0, {20, 10}, 96, {10, 20, 10, 20}},    // shrunk past nothing: empty, not inverted
        // At 144 DPI every length is half as long again, the design size too.
        {AnchorDefault, 0, {200, 150}, 144, {15, 30, 60, 90}},
        {AnchorTopRight, 0, {200, 150}, 144, {65, 30, 110, 90}},
        {AnchorAll, 0, {200, 150}, 144, {15, 30, 110, 120}},
        {AnchorAll, 30, {150, 60}, 144, {15, 30, 60, 75}},
    };
    for (const auto& c : cases) {
        const ControlSpec entry{1, "STATIC", "", 0, 0, b, c.anchors, c.minHeight};
        EXPECT_EQ(edges(place(entry, design, c.client, c.dpi)), c.expected)
            << "anchors " << c.anchors << ", client " << c.client.cx << "x" << c.client.cy << ", dpi " << c.dpi;
    }
}

RECT rectInParent(HWND control) {
    RECT rc;
    GetWindowRect(control, &rc);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rc), 2);
    return rc;
}

void setClientSize(HWND hwnd, SIZE client) {
    RECT outer = {0, 0, client.cx, client.cy};
    AdjustWindowRectEx(&outer, static_cast<DWORD>(GetWindowLongPtrA(hwnd, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrA(hwnd, GWL_EXSTYLE)));
    SetWindowPos(hwnd, nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The colour bits of an icon, to tell one image from another.
std::vector<char> pixels(HICON icon) {
    ICONINFO info = {};
    if (!GetIconInfo(icon, &info)) return {};
    BITMAP bitmap = {};
    GetObjectA(info.hbmColor, sizeof bitmap, &bitmap);
    std::vector<char> bits(static_cast<std::size_t>(bitmap.bmWidthBytes) * bitmap.bmHeight);
    GetBitmapBits(info.hbmColor, static_cast<LONG>(bits.size()), bits.data());
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    return bits;
}

// The artwork drawn for a size, to compare an icon with.
std::vector<char> artwork(int id, int size) {
    return pixels(UniqueIcon(static_cast<HICON>(
        LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id), IMAGE_ICON, size, size, 0))).get());
}

BOOL CALLBACK collectWindow(HWND hwnd, LPARAM windows) {
    reinterpret_cast<std::vector<HWND>*>(windows)->push_back(hwnd);
    return TRUE;
}

// The tools of every tooltip window the window owns: control id (-1: not a control) and text.
std::map<int, std::string> tooltips(HWND owner) {
    std::vector<HWND> windows;
    EnumThreadWindows(GetCurrentThreadId(), collectWindow, reinterpret_cast<LPARAM>(&windows));
    std::map<int, std::string> tools;
    for (HWND tip : windows) {
        char cls[64] = {};
        GetClassNameA(tip, cls, sizeof cls);
        if (lstrcmpiA(cls, TOOLTIPS_CLASSA) != 0 || GetWindow(tip, GW_OWNER) != owner) continue;
        for (WPARAM i = 0; i < static_cast<WPARAM>(SendMessageA(tip, TTM_GETTOOLCOUNT, 0, 0)); ++i) {
            TTTOOLINFOW info = {};
            info.cbSize = sizeof info;
            SendMessageW(tip, TTM_ENUMTOOLSW, i, reinterpret_cast<LPARAM>(&info));
            wchar_t wide[1024] = L"";  // the "A" messages give at most 80 bytes of a text
            info.lpszText = wide;
            SendMessageW(tip, TTM_GETTEXTW, std::size(wide), reinterpret_cast<LPARAM>(&info));
            char text[1024] = "";
            WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text - 1, nullptr, nullptr);
            tools[info.uFlags & TTF_IDISHWND ? GetDlgCtrlID(reinterpret_cast<HWND>(info.uId)) : -1] = text;
        }
    }
    return tools;
}

class MainWindowTest : public FormsTest {
protected:
    HWND detailItem(int id) const { return GetDlgItem(detail->hwnd(), id); }
    void selectRow(int index) {
        ListView(mainItem(Main::ListView1)).select(index);
        pump();
    }
    // A source file that exists, named in the temporary folder.
    std::string sourceFile(const std::string& name, const std::string& content = "data") {
        writeFile(dir / name, content);
        return dir / name;
    }
    // "&Details" on the selected row: new paths typed in, the dialog closed by a button.
    void details(const std::string& source, const std::string& destination, int closeWith = TDetailForm::Button1,
                 std::function<void()> meanwhile = {}) {
        whenModal([=, this] {
            if (meanwhile) meanwhile();
            setText(detailItem(TDetailForm::SourceEdit), source);
            setText(detailItem(TDetailForm::DestinationEdit), destination);
            click(detailItem(closeWith));
        });
        click(mainItem(Main::Button4));
    }
    // Source and destination of a project as the settings file has them.
    std::pair<std::string, std::string> savedPaths(const std::string& name) const {
        TProjects saved;
        SettingsFile(ini()).load(saved);
        const TFileObject* project = saved.lookup(name);
        return project ? std::pair(project->Source, project->Destination) : std::pair<std::string, std::string>();
    }
};

// ---- layout, tab order, tooltips -------------------------------------------------------------

// Resized, every control stays where it is or keeps its distance to an edge
// (moved along with it, or stretched by it), inside the window, and none
// covers another.
TEST_F(MainWindowTest, OnResizeEveryControlStaysOrFollowsAnEdgeAndNoneCoversAnother) {
    start();
    main->RunUpdatePass();  // the time labels get their texts
    std::vector<HWND> controls;
    for (HWND child = GetWindow(main->hwnd(), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (IsWindowVisible(child) || GetDlgCtrlID(child) != 0) controls.push_back(child);
    const SIZE design{scale(601), scale(347)};
    setClientSize(main->hwnd(), design);
    std::map<HWND, RECT> before;
    for (HWND control : controls) before[control] = rectInParent(control);
    for (const SIZE growth : {SIZE{120, 90}, SIZE{-80, -100}, SIZE{0, 0}}) {
        setClientSize(main->hwnd(), {design.cx + growth.cx, design.cy + growth.cy});
        std::vector<RECT> now;
        for (HWND control : controls) {
            const RECT was = before[control], got = rectInParent(control);
            const int moved = got.left - was.left, stretched = (got.right - got.left) - (was.right - was.left);
            const int down = got.top - was.top, taller = (got.bottom - got.top) - (was.bottom - was.top);
            const bool across = (moved == 0 && stretched == 0) || (moved == growth.cx && stretched == 0) ||
                                (moved == 0 && stretched == growth.cx);
            const bool upDown = down == 0 && (taller == 0 || taller == growth.cy || got.bottom - got.top == scale(30));
            EXPECT_TRUE(across && upDown && got.right <= design.cx + growth.cx)
                << "control " << GetDlgCtrlID(control) << ", growth " << growth.cx << "x" << growth.cy;
            now.push_back(got);
        }
        for (std::size_t i = 0; i < now.size(); ++i)
            for (std::size_t j = i + 1; j < now.size(); ++j) {
                RECT common;
                EXPECT_FALSE(IntersectRect(&common, &now[i], &now[j]))
                    << "controls " << GetDlgCtrlID(controls[i]) << " and " << GetDlgCtrlID(controls[j]);
            }
    }
    // What the user resizes for: a longer list and a larger log.
    const RECT list = rectInParent(mainItem(Main::ListView1)), log = rectInParent(mainItem(Main::Memo1));
    setClientSize(main->hwnd(), {design.cx + 100, design.cy + 100});
    EXPECT_EQ(rectInParent(mainItem(Main::ListView1)).right, list.right + 100);
    EXPECT_EQ(rectInParent(mainItem(Main::Memo1)).bottom, log.bottom + 100);
}

TEST_F(MainWindowTest, TabWalksTheControlsInOrderEscapeClosesNothingTooltipsOnExitAndHide) {
    start();
    ShowWindow(main->hwnd(), SW_SHOW);
    for (int id : {Main::Button1, Main::Button3, Main::Button4}) EnableWindow(mainItem(id), TRUE);
    SetFocus(mainItem(Main::Button1));
    std::vector<int> order{GetDlgCtrlID(GetFocus())};
    for (int i = 0; i < 11; ++i) {
        PostMessageA(GetFocus(), WM_KEYDOWN, VK_TAB, 1);  // through the window's keyboard handling
        pump();
        order.push_back(GetDlgCtrlID(GetFocus()));
    }
    EXPECT_EQ(order, (std::vector<int>{Main::Button1, Main::Button2, Main::Button3, Main::Button4, Main::ListView1,
                                       Main::Memo1, Main::Button5, Main::Button6, Main::CheckBox1, Main::UpDown1,
                                       Main::MaskEdit1, Main::Button1}));
    // The status log takes every other key, but Escape there closes nothing.
    SetFocus(mainItem(Main::Memo1));
    PostMessageA(GetFocus(), WM_KEYDOWN, VK_ESCAPE, 1);
    pump();
    ASSERT_TRUE(IsWindow(main->hwnd()));
    EXPECT_EQ(GetFocus(), mainItem(Main::Memo1));
    EXPECT_EQ(text(mainItem(Main::Memo1)), "");

    // The tips come when the mouse first comes over the window: a control hands its parent WM_SETCURSOR first.
    EXPECT_TRUE(tooltips(main->hwnd()).empty());
    SendMessageA(mainItem(Main::Button2), WM_SETCURSOR, reinterpret_cast<WPARAM>(mainItem(Main::Button2)),
                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    EXPECT_EQ(tooltips(main->hwnd()),
              (std::map<int, std::string>{
                  {Main::ListView1, ""},  // names who holds the row under the mouse; none there
                  {Main::Button5, "Exit the application. All pending updates are lost..."},
                  {Main::Button6,
                   "Hides the program and puts it into the Systray (doubleclick on the icon to get it back)."}}));
}

TEST_F(MainWindowTest, LabelsShowTheirWholeTextAndAWindowAtAFixedPlaceFitsTheWorkArea) {
    start();
    // Given less room than its text takes, as with a larger DPI's font, a label still shows it all.
    const ControlSpec label{Main::Label1, "STATIC", "Last attempt at:", SS_LEFTNOWORDWRAP, 0, {401, 123, 20, 13}};
    DestroyWindow(mainItem(Main::Label1));
    createControls(main->hwnd(), std::span(&label, 1), Main::kDesignClient, GetWindowFont(mainItem(Main::Label2)));
    EXPECT_GE(rectInParent(mainItem(Main::Label1)).right - scale(401), textWidth(mainItem(Main::Label1)));

    // The chooser's fixed place at 144 DPI on 1024 x 768: moved up just enough.
    EXPECT_EQ(edges(fitInto({400, 312, 934, 821}, {0, 0, 1024, 768})), (Edges{400, 259, 934, 768}));
    EXPECT_EQ(edges(fitInto({-5, -6, 2000, 900}, {0, 0, 1024, 740})), (Edges{0, 0, 1024, 740})) << "too large";
}

// ---- "&Details" ---------------------------------------------------------------------------

TEST_F(MainWindowTest, DetailsCancelWritesNothingAndOkSavesPathsTheNextPassUses) {
    const std::string oldSource = sourceFile("old.txt", "old"), newSource = sourceFile("new.txt", "new");
    start(section("app", oldSource, dir / "old-out.txt"));
    FixedClock clock(makeLocalTime(2026, 5, 6, 7, 8, 9));
    queue({"app"});
    selectRow(0);
    const std::string saved = readFile(ini());
    std::vector<std::string> shown;
    details(newSource, dir / "new-out.txt", TDetailForm::Button2, [&] {
        main->close();  // while a dialog is open, closing the main window does nothing
        for (int id : {TDetailForm::Button1, TDetailForm::ProjectNameEdit, TDetailForm::SourceEdit})
            shown.push_back(text(detailItem(id)));
    });
    EXPECT_EQ(shown, (std::vector<std::string>{"&Update", "app", oldSource}));
    EXPECT_EQ(readFile(ini()), saved) << "Cancel writes nothing";
    EXPECT_EQ(main->Projects.lookup("app")->Source, oldSource);

    details(newSource, dir / "new-out.txt");
    EXPECT_EQ(savedPaths("app"), std::pair(newSource, dir / "new-out.txt"));
    EXPECT_TRUE(rec.boxes.empty());
    ASSERT_TRUE(IsWindow(main->hwnd()));
    click(mainItem(Main::Button1));
    EXPECT_EQ(logLines(), std::vector<std::string>{timestampText(clock.now()) + " " + newSource + " [v0.0.0.0] -> " +
                                                   dir / "new-out.txt"});
    EXPECT_EQ(readFile(dir / "new-out.txt"), "new");
    EXPECT_FALSE(exists(dir / "old-out.txt"));
}

TEST_F(MainWindowTest, AnErrorInAHandlerShowsOneStopBoxWithAPeriodAndTheProgramGoesOn) {
    start(section("app", "a.txt", "b.txt"));
    queue({"app"});
    selectRow(0);
    setReadOnly(ini(), true);
    const std::string saved = readFile(ini());
    details("c.txt", "b.txt");
    ASSERT_EQ(rec.boxes.size(), 1u);
    EXPECT_EQ(rec.boxes[0].text, "Unable to write to " + ini() + ".");
    EXPECT_EQ(rec.boxes[0].caption, "Moravel");
    EXPECT_EQ(rec.boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONSTOP));
    EXPECT_EQ(readFile(ini()), saved);

    setReadOnly(ini(), false);
    details("d.txt", "b.txt");  // the window goes on: the next command works and saves
    EXPECT_EQ(rec.boxes.size(), 1u);
    EXPECT_EQ(savedPaths("app").first, "d.txt");
}

// ---- closing while busy -------------------------------------------------------------------

TEST_F(MainWindowTest, ClosingDuringAPassAsksThenClosesOnlyOnceThePassHasEnded) {
    start(section("app", sourceFile("s.txt"), dir / "d.txt"));
    queue({"app"});
    PostMessageA(main->hwnd(), WM_APP + 1, 0, 0);  // the window's own close message, as any program may post it
    pump();
    ASSERT_TRUE(IsWindow(main->hwnd())) << "closed from outside, without a question";
    rec.answers = {IDYES};
    bool passRanWhenAsked = false, updateNowWhenAsked = true;
    rec.onMessageBox = [&] {
        passRanWhenAsked = main->passRunning();
        updateNowWhenAsked = enabled(mainItem(Main::Button1));
    };
    // Handled by the pump after the copy; the second request finds the answer given.
    PostMessageA(main->hwnd(), WM_CLOSE, 0, 0);
    PostMessageA(main->hwnd(), WM_CLOSE, 0, 0);
    click(mainItem(Main::Button1));

    ASSERT_EQ(rec.boxes.size(), 1u);
    EXPECT_EQ(rec.boxes[0].caption, "Confirm");
    EXPECT_TRUE(passRanWhenAsked);
    EXPECT_FALSE(updateNowWhenAsked);
    ASSERT_TRUE(IsWindow(main->hwnd())) << "the pass ends before the window goes";
    EXPECT_TRUE(rows().empty());
    EXPECT_EQ(text(mainItem(Main::Label4)), "<disabled>");
    pump();
    EXPECT_FALSE(IsWindow(main->hwnd()));
    EXPECT_EQ(rec.notifications.back().message, static_cast<DWORD>(NIM_DELETE));
}

// ---- notification area --------------------------------------------------------------------

TEST_F(MainWindowTest, HiddenInTheNotificationAreaTheIconFollowsThePassesAndADoubleClickRestores) {
    start(section("a", sourceFile("a"), dir / "a.out") + section("b", sourceFile("b"), dir / "b.out") +
          section("c", sourceFile("c"), dir / "c.out"));
    // Small images are the artwork drawn for that size, not the large one shrunk.
    const auto idle = artwork(IDI_IDLE, GetSystemMetrics(SM_CXSMICON));
    queue({"a", "b", "c"});
    ShowWindow(main->hwnd(), SW_SHOW);
    rec.notifications.clear();

    click(mainItem(Main::Button6));
    ASSERT_EQ(rec.notifications.size(), 1u);
    const NotifyCall& add = rec.notifications[0];
    // Operation, record size, window, id, flags, callback message, tip, image.
    EXPECT_EQ(std::tuple(add.message, add.data.cbSize, add.data.hWnd, add.data.uID, add.data.uFlags,
                         add.data.uCallbackMessage, add.tip(), add.data.hIcon),
              std::tuple(DWORD{NIM_ADD}, DWORD{88}, main->hwnd(), UINT{1}, UINT{7}, UINT{1025},
                         std::string("Moravel (3 pending)"), main->TrayIcon()));
    EXPECT_EQ(pixels(add.data.hIcon), artwork(IDI_PENDING, GetSystemMetrics(SM_CXSMICON)));
    EXPECT_EQ(pixels(reinterpret_cast<HICON>(SendMessageA(main->hwnd(), WM_GETICON, ICON_BIG, 0))),
              artwork(IDI_PENDING, 32));
    EXPECT_FALSE(IsWindowVisible(main->hwnd()));

    // Hidden, the passes go on and the icon follows them. Its menu: "Update &Now", nothing, "&Restore", "E&xit".
    rec.menuPicks = {"Update &Now", "", "&Restore", "E&xit"};
    SendMessageA(main->hwnd(), WM_TRAYICON, 1, WM_RBUTTONUP);
    EXPECT_TRUE(rows().empty());
    const NotifyCall& modify = rec.notifications.back();
    EXPECT_EQ(std::tuple(modify.message, modify.tip(), modify.data.hIcon),
              std::tuple(DWORD{NIM_MODIFY}, std::string("Moravel"), main->TrayIcon()));
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageA(main->hwnd(), WM_GETICON, ICON_SMALL, 0)), main->TrayIcon());
    EXPECT_EQ(pixels(main->TrayIcon()), idle);

    // A single click, or the menu left without a pick, does nothing; a double click brings the window back.
    rec.notifications.clear();
    for (LPARAM event : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONUP})
        SendMessageA(main->hwnd(), WM_TRAYICON, 1, event);
    EXPECT_TRUE(rec.notifications.empty());
    EXPECT_FALSE(IsWindowVisible(main->hwnd()));
    SendMessageA(main->hwnd(), WM_TRAYICON, 1, WM_LBUTTONDBLCLK);
    EXPECT_TRUE(IsWindowVisible(main->hwnd()));
    EXPECT_EQ(rec.notifyMessages(), std::vector<DWORD>{NIM_DELETE});

    // Hidden again, the icon is added anew with the current tip; it goes at exit.
    click(mainItem(Main::Button6));
    EXPECT_EQ(rec.notifications.back().message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(rec.notifications.back().tip(), "Moravel");
    SendMessageA(main->hwnd(), WM_TRAYICON, 1, WM_RBUTTONUP);
    EXPECT_TRUE(IsWindowVisible(main->hwnd()));
    click(mainItem(Main::Button6));
    const HWND window = main->hwnd();
    SendMessageA(window, WM_TRAYICON, 1, WM_RBUTTONUP);
    EXPECT_FALSE(IsWindow(window));
    const std::string idleMenu = "&Restore|Update &Now (off)||E&xit";
    EXPECT_EQ(rec.menus, (std::vector<std::string>{"&Restore|Update &Now||E&xit", idleMenu, idleMenu, idleMenu}));
    stop();
    const NotifyCall& last = rec.notifications.back();
    EXPECT_EQ(std::tuple(last.message, last.data.hWnd, last.data.uID), std::tuple(DWORD{NIM_DELETE}, window, UINT{1}));
}

TEST_F(MainWindowTest, HiddenBeforeAnyRowTheNotificationIconIsTheIdleImage) {
    start(section("a", "s", "d"));
    click(mainItem(Main::Button6));
    ASSERT_EQ(rec.notifyMessages(), std::vector<DWORD>{NIM_ADD});
    EXPECT_EQ(pixels(rec.notifications[0].data.hIcon), artwork(IDI_IDLE, GetSystemMetrics(SM_CXSMICON)));
}

TEST_F(MainWindowTest, WithoutANotificationAreaTheWindowIsMinimisedNeverStranded) {
    start(section("a", "s", "d"));
    queue({"a"});
    const UINT taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    rec.notifications.clear();
    SendMessageA(main->hwnd(), taskbarCreated, 0, 0);
    EXPECT_TRUE(rec.notifications.empty()) << "not hidden: no icon to bring back";

    click(mainItem(Main::Button6));
    ASSERT_TRUE(main->hiddenInTray());
    // The shell restarted: the icon comes back as it was.
    SendMessageA(main->hwnd(), taskbarCreated, 0, 0);
    ASSERT_EQ(rec.notifications.size(), 2u);
    const NotifyCall& again = rec.notifications[1];
    EXPECT_EQ(std::tuple(again.message, again.tip(), again.data.hIcon),
              std::tuple(DWORD{NIM_ADD}, std::string("Moravel (1 pending)"), main->TrayIcon()));
    EXPECT_FALSE(IsWindowVisible(main->hwnd()));

    // ... unless the notification area refuses it: then the taskbar has the window.
    rec.notifyResult = FALSE;
    SendMessageA(main->hwnd(), taskbarCreated, 0, 0);
    EXPECT_TRUE(IsWindowVisible(main->hwnd()));
    EXPECT_TRUE(IsIconic(main->hwnd()));
    EXPECT_FALSE(main->hiddenInTray());

    ShowWindow(main->hwnd(), SW_RESTORE);
    click(mainItem(Main::Button6));
    EXPECT_TRUE(IsWindowVisible(main->hwnd()));
    EXPECT_TRUE(IsIconic(main->hwnd()));
    EXPECT_FALSE(main->hiddenInTray());
}

// ---- the question box ---------------------------------------------------------------------

TEST(MainWindowConfirmBoxTest, KeysAnswerTheQuestion) {
    initWindowing();
    struct Key { UINT message; WPARAM code; };
    const struct { const char* name; std::vector<Key> keys; int answer; } cases[] = {
        {"Enter", {{WM_KEYDOWN, VK_RETURN}}, IDYES},
        {"Escape", {{WM_KEYDOWN, VK_ESCAPE}}, IDNO},
        {"close box", {{WM_CLOSE, 0}}, IDNO},
        {"N", {{WM_CHAR, 'n'}}, IDNO},
        {"Y", {{WM_CHAR, 'Y'}}, IDYES},
        {"Alt+N", {{WM_SYSCHAR, 'n'}}, IDNO},
        {"Tab, Enter", {{WM_KEYDOWN, VK_TAB}, {WM_KEYDOWN, VK_RETURN}}, IDNO},
    };
    for (const auto& c : cases) {
        HWND box = nullptr;
        std::string caption;
        bool stuck = false;
        whenModal([&] {
            box = Window::activeOwner();
            caption = windowText(box);
            for (const Key& key : c.keys)
                PostMessageA(key.message == WM_CLOSE ? box : GetFocus(), key.message, key.code, 1);
            whenModal([&] {  // the keys have been handled by now
                if (IsWindow(box) && IsWindowVisible(box)) {
                    stuck = true;
                    PostMessageA(box, WM_CLOSE, 0, 0);
                }
            });
        });
        const int answer = askYesNo(nullptr, "Really?", "Confirm");
        EXPECT_EQ(caption, "Confirm") << c.name;
        EXPECT_FALSE(stuck) << c.name;
        EXPECT_EQ(answer, c.answer) << c.name;
        EXPECT_FALSE(IsWindow(box)) << c.name;
        pump();
    }
}

// ---- the delay field and the timer --------------------------------------------------------

TEST_F(MainWindowTest, DelayFieldTakesDigitsAndArrowsAndRestartsARunningCountdown) {
    start();
    FixedClock clock(makeLocalTime(2026, 1, 2, 3, 4, 5));
    const HWND field = mainItem(Main::MaskEdit1);
    const auto delay = [&] { return main->timer().interval() / 1000; };
    const auto type = [&](char c, int caret) {
        SendMessageA(field, EM_SETSEL, static_cast<WPARAM>(caret), caret);
        SendMessageA(field, WM_CHAR, static_cast<WPARAM>(c), 1);
    };
    // Stopped: a change only sets the interval.
    type('5', 2);  // over the first blank placeholder
    EXPECT_EQ(text(field), "605 ");
    EXPECT_EQ(delay(), 605u);
    for (char refused : {'x', '-', '+'}) type(refused, 3);
    SendMessageA(field, EM_SETSEL, 3, 4);
    SendMessageW(field, WM_CHAR, 0xE9, 1);  // a letter beyond ASCII, typed over the blank
    EXPECT_EQ(text(field), "605 ") << "only digits";
    EXPECT_FALSE(main->timer().running());
    EXPECT_EQ(text(mainItem(Main::Label4)), "");

    // Anything but 10 to 10000 keeps the previous delay.
    for (const char* bad : {"5   ", "", "    ", "1a2 ", "9", "10001"}) {
        setText(field, bad);
        EXPECT_EQ(delay(), 605u) << '"' << bad << '"';
    }

    // The arrows count from the delay in force and write it, padded, into the field.
    HWND upDown = mainItem(Main::UpDown1);
    RECT arrows;
    GetClientRect(upDown, &arrows);
    const LPARAM upper = MAKELPARAM(arrows.right / 2, arrows.bottom / 4);
    SendMessageA(upDown, WM_LBUTTONDOWN, MK_LBUTTON, upper);
    SendMessageA(upDown, WM_LBUTTONUP, 0, upper);
    EXPECT_EQ(text(field), "606 ");
    EXPECT_EQ(delay(), 606u);
    setText(field, "43  ");
    PostMessageA(field, WM_KEYDOWN, VK_DOWN, 1);  // the arrow keys work in the field
    pump();
    EXPECT_EQ(text(field), "42  ");
    EXPECT_EQ(delay(), 42u);

    // Running: every change restarts the countdown from now.
    main->ScheduleNextUpdate();
    for (const auto& [typed, seconds] : {std::pair{"20  ", 20}, std::pair{"3   ", 20}, std::pair{"1234", 1234}}) {
        clock.set(addMilliseconds(clock.now(), 7000));
        setText(field, typed);
        EXPECT_TRUE(main->timer().running());
        EXPECT_EQ(delay(), static_cast<unsigned>(seconds));
        EXPECT_EQ(text(mainItem(Main::Label4)), timestampText(addMilliseconds(clock.now(), seconds * 1000)))
            << typed;
    }

    // Pasted text keeps only its digits, by Ctrl+V (as the field's menu) and by Shift+Insert.
    ASSERT_TRUE(OpenClipboard(field));
    EmptyClipboard();
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE, 5);
    lstrcpyA(static_cast<char*>(GlobalLock(copy)), "9x87");
    GlobalUnlock(copy);
    SetClipboardData(CF_TEXT, copy);
    CloseClipboard();
    for (const bool shiftInsert : {false, true}) {
        setText(field, "20  ");
        SendMessageA(field, EM_SETSEL, 0, -1);
        BYTE keys[256] = {};
        GetKeyboardState(keys);
        keys[VK_SHIFT] = shiftInsert ? 0x80 : 0;
        SetKeyboardState(keys);
        if (shiftInsert) SendMessageA(field, WM_KEYDOWN, VK_INSERT, 1);
        else SendMessageA(field, WM_CHAR, 0x16, 1);  // Ctrl+V
        keys[VK_SHIFT] = 0;
        SetKeyboardState(keys);
        EXPECT_EQ(text(field), "987") << (shiftInsert ? "Shift+Insert" : "Ctrl+V");
        EXPECT_EQ(delay(), 987u);
    }
}

// Waits for the given time or until the condition holds, which is checked
// whenever a message comes in: real timers tick meanwhile.
bool waitFor(DWORD milliseconds, const std::function<bool()>& until) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (until()) return true;
        const DWORD waited = GetTickCount() - start;
        if (waited >= milliseconds) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - waited, QS_ALLINPUT);
    }
}

TEST_F(MainWindowTest, TheTimerTicksAfterTheDelayInSecondsNotMilliseconds) {
    start(section("tool", "missing.exe", dir / "out.exe"));
    queue({"tool"});
    setText(mainItem(Main::MaskEdit1), "10  ");  // the shortest delay: 10 ms were it taken for milliseconds
    ASSERT_TRUE(main->timer().running());
    EXPECT_FALSE(waitFor(300, [&] {
        pump();
        return !text(mainItem(Main::Label3)).empty();
    })) << "a pass ran already";
    EXPECT_EQ(rows()[0][2], "0");

    // The window timer takes milliseconds: a short one ticks after that long, not a thousand times later.
    WindowTimer probe(main->hwnd(), Main::kTimer1 + 1);
    probe.setInterval(150);
    const DWORD started = GetTickCount();
    probe.start();
    MSG tick = {};
    const bool ticked = waitFor(3000, [&] {
        return PeekMessageA(&tick, main->hwnd(), WM_TIMER, WM_TIMER, PM_REMOVE) && tick.wParam == probe.id();
    });
    const DWORD elapsed = GetTickCount() - started;
    EXPECT_TRUE(ticked);
    EXPECT_GE(elapsed, 120u);
}

TEST(MainWindowTimerTest, ARefusedTimerRaisesAndStillCountsAsRunningUntilStopped) {
    HWND gone = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_TRUE(gone);
    DestroyWindow(gone);
    WindowTimer timer(gone, 7);
    for (int round = 0; round < 2; ++round) {  // stopped and started again, it tries again
        try {
            timer.start();
            ADD_FAILURE() << "no timer on a destroyed window";
        } catch (const AppError& e) {
            EXPECT_STREQ(e.what(), "Not enough timers available");
        }
        EXPECT_TRUE(timer.running());
        EXPECT_NO_THROW(timer.start()) << "already running: nothing to do";
        timer.stop();
        EXPECT_FALSE(timer.running());
    }
}

// ---- a pass as the window shows it --------------------------------------------------------

TEST_F(MainWindowTest, ABusyDestinationCountsEachPassUntilReleasedThenTheCopyEndsTheQueue) {
    const std::string source = dir / "tool.exe", destination = dir / "installed.exe";
    ASSERT_TRUE(CopyFileA(besideTestProgram("ver2.exe").c_str(), source.c_str(), FALSE));
    writeFile(destination, "old");
    start(section("tool", source, destination));
    FixedClock clock(makeLocalTime(2026, 8, 9, 10, 11, 12));
    const std::string first = timestampText(clock.now());
    queue({"tool"});
    click(mainItem(Main::CheckBox1));
    ASSERT_TRUE(isChecked(mainItem(Main::CheckBox1)));

    // A note the user typed, unfinished and with the caret before it: lines go below it.
    setText(mainItem(Main::Memo1), "my note");
    SendMessageA(mainItem(Main::Memo1), EM_SETSEL, 0, 0);

    std::optional<HeldByOtherProcess> holder(std::in_place, destination);
    ASSERT_TRUE(holder->held());
    const std::string heldBy = "holdfile.exe (pid " + std::to_string(holder->pid()) + ")";
    std::vector<std::string> log{"my note"};
    for (const std::string attempts : {"1", "2"}) {
        click(mainItem(Main::Button1));
        log.push_back(first + " Failed tool (busy).");
        if (attempts == "1") log.push_back(first + " tool is held by " + heldBy + ".");  // once
        // The holder comes later, in the message of the lookup the pass left running.
        for (int i = 0; i < 500 && logLines().size() < log.size(); ++i) {
            Sleep(10);
            pump();
        }
        EXPECT_EQ(logLines(), log);
        ASSERT_EQ(rows().size(), 1u);
        EXPECT_EQ(rows()[0][2], attempts);
        EXPECT_EQ(text(mainItem(Main::Label3)), first);
        EXPECT_EQ(text(mainItem(Main::Label4)), timestampText(addMilliseconds(clock.now(), 60000)));
        EXPECT_TRUE(enabled(mainItem(Main::Button1)));
    }

    // The list's tip names the holder over the row, nobody below it.
    const auto tipAt = [&](int y) {
        POINT at = {10, y};
        ClientToScreen(mainItem(Main::ListView1), &at);
        SetCursorPos(at.x, at.y);
        // What the list does when the mouse moves over it.
        SendMessageA(mainItem(Main::ListView1), WM_SETCURSOR, reinterpret_cast<WPARAM>(mainItem(Main::ListView1)),
                     MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
        return tooltips(main->hwnd())[Main::ListView1];
    };
    RECT row;
    ListView_GetItemRect(mainItem(Main::ListView1), 0, &row, LVIR_BOUNDS);
    EXPECT_EQ(tipAt((row.top + row.bottom) / 2), "Held by " + heldBy);
    EXPECT_EQ(tipAt(row.bottom + 20), "");
    EXPECT_EQ(tipAt(row.top + 1), "Held by " + heldBy);

    // "&Details" says it first, then opens the dialog as ever.
    selectRow(0);
    bool dialogShown = false;
    whenModal([&] {
        dialogShown = detail->isModal();
        click(GetDlgItem(detail->hwnd(), TDetailForm::Button2));
    });
    click(mainItem(Main::Button4));
    ASSERT_EQ(rec.boxes.size(), 1u);
    EXPECT_EQ(std::tuple(rec.boxes[0].text, rec.boxes[0].caption, rec.boxes[0].type),
              std::tuple("tool is held by " + heldBy + ".", std::string("Moravel"), UINT{MB_OK | MB_ICONINFORMATION}));
    EXPECT_TRUE(dialogShown);
    holder.reset();

    // The timer's tick runs the same pass.
    clock.set(makeLocalTime(2026, 8, 9, 10, 12, 0));
    const std::string later = timestampText(clock.now());
    PostMessageA(main->hwnd(), WM_TIMER, Main::kTimer1, 0);
    pump();
    log.push_back(later + " " + source + " [v2.0.0.0] -> " + destination);
    EXPECT_EQ(logLines(), log);
    EXPECT_EQ(readFile(destination), readFile(source));
    EXPECT_TRUE(rows().empty());
    EXPECT_EQ(text(mainItem(Main::Label3)), later);
    EXPECT_EQ(text(mainItem(Main::Label4)), "<disabled>");
    EXPECT_FALSE(main->timer().running());
    EXPECT_EQ(caption(), "Moravel");
    EXPECT_FALSE(enabled(mainItem(Main::Button1)));
}

// The lines of a pass go into the log together, but before every pump: what
// the window shows meanwhile is the pass so far, a note the user types then
// still ends before the next line, and "Also log failures" unchecked then
// holds for the rest of the pass.
TEST_F(MainWindowTest, APassLogsItsLinesInOrderAndShowsThemAndTheCountsAtEveryPump) {
    start(section("a", sourceFile("a.src"), dir / "a.dst") + section("b", sourceFile("b.src"), dir / "b.dst") +
          section("c", dir / "gone.src", dir / "c.dst") + section("d", sourceFile("d.src"), dir / "d.dst"));
    writeFile(dir / "a.dst", "old");
    writeFile(dir / "d.dst", "old");
    HeldFile a(dir / "a.dst"), d(dir / "d.dst");
    FixedClock clock(makeLocalTime(2026, 8, 9, 10, 11, 12));
    const std::string now = timestampText(clock.now());
    queue({"a", "b", "c", "d"});
    click(mainItem(Main::CheckBox1));

    std::vector<std::string> seenDuringPump;
    std::vector<std::vector<std::string>> rowsDuringPump;
    whenModal([&] {  // at the pump after b's copy
        seenDuringPump = logLines();
        rowsDuringPump = rows();
        SendMessageA(mainItem(Main::Memo1), EM_SETSEL, INT_MAX, INT_MAX);
        SendMessageA(mainItem(Main::Memo1), EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>("typed"));
        click(mainItem(Main::CheckBox1));  // failures from now on go unlogged
    });
    click(mainItem(Main::Button1));

    const std::vector<std::string> beforePump = {now + " Failed a (busy).",
                                                 now + " " + dir / "b.src" + " [v0.0.0.0] -> " + dir / "b.dst"};
    EXPECT_EQ(seenDuringPump, beforePump);
    ASSERT_EQ(rowsDuringPump.size(), 4u);
    EXPECT_EQ(rowsDuringPump[0][2], "1");
    EXPECT_EQ(rowsDuringPump[2][2], "0") << "c is not tried yet";
    std::vector<std::string> all = beforePump;
    all.insert(all.end(), {"typed", "Source \"" + dir / "gone.src" + "\" doesn't exist."});
    EXPECT_EQ(logLines(), all);
    const auto left = rows();
    ASSERT_EQ(left.size(), 3u);
    EXPECT_EQ(left[0][0] + left[0][2] + left[1][0] + left[1][2] + left[2][0] + left[2][2], "a1c1d1");
}

// A long copy does not stop the window: the row shows how far it is, and
// what waits for the window is handled meanwhile. The copy here is held
// halfway, posting the window a message now and then, until the window has
// handled one while its row read 45 %; then it fails.
TEST_F(MainWindowTest, DuringACopyItsRowShowsHowFarItIsAndTheWindowGoesOnWorking) {
    start(section("tool", sourceFile("tool.new", std::string(256 << 10, 'n')), dir / "tool.exe") +
          section("late", "late.src", "late.dst") + section("gone", "gone.src", "gone.dst"));
    writeFile(dir / "tool.exe", "old");
    queue({"tool", "gone"});
    const UniqueHandle resume(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::string destinationMeanwhile;
    bool passRunning = false, seen = false, updateNowMeanwhile = true;
    const std::function<void()> look = [&] {
        if (seen || rows().at(1).at(2) != "45 %") return;
        seen = true;
        destinationMeanwhile = readFile(dir / "tool.exe");
        passRunning = main->passRunning();
        // Rows that come and go meanwhile leave "Update Now" off until the pass ends.
        main->queueProjects({"late"});
        ListView(mainItem(Main::ListView1)).select(0);
        click(mainItem(Main::Button3));
        updateNowMeanwhile = IsWindowEnabled(mainItem(Main::Button1)) != FALSE;
        SetEvent(resume.get());
    };
    const ScopedFileSeams restore;
    fileSeams().copyFile = [&](const std::string&, const std::string&, const CopyReport& report) {
        report(45, 100);
        for (int i = 0; i < 500 && WaitForSingleObject(resume.get(), 20) == WAIT_TIMEOUT; ++i) whenModal(look);
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    };
    click(mainItem(Main::Button1));  // returns with the copy under way: the loop below is the window's
    for (int i = 0; i < 1000 && main->passRunning(); ++i) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        pump();
    }
    EXPECT_TRUE(seen) << "the row read 45 % while the window handled a message";
    EXPECT_EQ(destinationMeanwhile, "old");
    EXPECT_TRUE(passRunning);
    EXPECT_FALSE(updateNowMeanwhile);
    EXPECT_TRUE(IsWindowEnabled(mainItem(Main::Button1)));
    ASSERT_EQ(rows().size(), 2u);
    EXPECT_EQ(rows()[0][0] + rows()[1][0], "latetool");
    EXPECT_EQ(rows()[1][2], "1") << "the copy failed: the row shows its attempts again";
}

// The system ends the process once WM_ENDSESSION returns: a copy under way
// has stopped by then, its scratch file gone and the destination as it was.
TEST_F(MainWindowTest, SessionEndDuringACopyStopsItBeforeTheMessageReturns) {
    start(section("tool", sourceFile("tool.new", std::string(256 << 10, 'n')), dir / "tool.exe"));
    writeFile(dir / "tool.exe", "old");
    queue({"tool"});
    const ScopedFileSeams restore;
    fileSeams().copyFile = [&](const std::string& source, const std::string& target, const CopyReport& report) {
        for (int i = 0; i < 400; ++i, Sleep(5))
            if (!report(1, 2)) { Sleep(50); return false; }  // stops slowly, as a copy far from its disk does
        return CopyFileA(source.c_str(), target.c_str(), FALSE) != 0;
    };
    click(mainItem(Main::Button1));
    ASSERT_TRUE(main->passRunning());
    SendMessageA(main->hwnd(), WM_ENDSESSION, TRUE, 0);
    for (const std::string& file : filesIn(dir.path())) EXPECT_NE(file[0], '~') << file;
    EXPECT_EQ(readFile(dir / "tool.exe"), "old");
}

TEST_F(MainWindowTest, AtStartSetAsideFilesOfEarlierRunsGoAndNothingThatOnlyLooksLikeThem) {
    // Destinations without folder: the working directory, beside the settings file.
    const std::string ours = setAsideName("tool.exe", 0x1a2b);
    // Letter case aside these would be ours, so they need tags of their own.
    std::string otherCheck = ours, upperTag = setAsideName("tool.exe", 0x3c4d);
    std::string upperMark = setAsideName("tool.exe", 0x5e6f);
    otherCheck.back() = otherCheck.back() == '0' ? '1' : '0';
    std::transform(upperTag.end() - 8, upperTag.end(), upperTag.end() - 8, ::toupper);
    upperMark.replace(9, 3, "OLD");
    std::vector<std::string> kept = {
        "Moravel.ini", "tool.exe", "tool.exe.old", "tool.exe.old-1a2b", "tool.exe.old-20231015", otherCheck,
        upperTag, upperMark, ours + ".bak", setAsideName("tool", 0x1a2b), "off.exe",
    };
    for (const std::string& file : kept) writeFile(dir / file, "");
    writeFile(dir / ours, "");
    writeFile(dir / setAsideName("off.exe", 7), "");   // its project does not set files aside, yet it is ours
    writeFile(dir / setAsideName("gone.exe", 7), "");  // the only copy left of a missing destination: it goes back
    ASSERT_EQ(filesIn(dir.path()).size(), kept.size() + 3);

    start(section("tool", "new.exe", "tool.exe") + "ReplaceInUse=1\r\n" + section("off", "new.exe", "off.exe") +
          section("gone", "new.exe", "gone.exe") + "ReplaceInUse=1\r\n");
    kept.push_back("gone.exe");
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(filesIn(dir.path()), kept);
}

// The last resort, across a restart. Under Wine, "wineboot -r" carries out
// the list as a restart does, and this process goes on running.
TEST_F(MainWindowTest, AReplaceAtRestartShowsInItsRowGoesWithTheRowAndIsLoggedAtTheStartAfterTheRestart) {
    if (wineShareServer().empty()) GTEST_SKIP() << "a restart in a test needs Wine";
    std::map<std::string, std::string> files;  // the new file waiting beside each destination
    const auto waiting = [&] {  // "Alpha.dst" for each, "Alpha.dst unlisted" for one the list would not move
        std::vector<std::string> names;
        const std::vector<PendingRename> list = pendingRenames().value();
        for (const std::string& file : filesIn(dir.path())) {
            const std::size_t mark = file.find(".new-");
            if (mark == std::string::npos) continue;
            const bool listed = std::any_of(list.begin(), list.end(), [&](const PendingRename& rename) {
                return rename.from == dir / file && rename.to == dir / file.substr(0, mark);
            });
            names.push_back(file.substr(0, mark) + (listed ? "" : " unlisted"));
            files[names.back()] = dir / file;
        }
        return names;
    };
    using Lines = std::vector<std::string>;
    std::string settings;
    for (const std::string name : {"Alpha", "Beta", "Gamma"}) {
        // Gamma's new bytes are as many as its old ones: only what they are tells them apart.
        writeFile(dir / (name + ".src"), name == "Gamma" ? "new" : readFile(besideTestProgram("ver2.exe")));
        writeFile(dir / (name + ".dst"), "old");
        settings += section(name, dir / (name + ".src"), dir / (name + ".dst")) + "AtRestart=1\r\n";
    }
    start(settings);
    const FixedClock clock(makeLocalTime(2026, 8, 9, 10, 11, 12));
    const std::string at = timestampText(clock.now()) + " ";
    queue({"Alpha", "Beta", "Gamma"});
    {
        const HeldFile alpha(dir / "Alpha.dst"), beta(dir / "Beta.dst"), gamma(dir / "Gamma.dst");
        click(mainItem(Main::Button1));
        click(mainItem(Main::Button1));  // not tried again
    }
    EXPECT_EQ(logLines(), (Lines{at + "Alpha.dst will be replaced at the next restart.",
                                 at + "Beta.dst will be replaced at the next restart.",
                                 at + "Gamma.dst will be replaced at the next restart."}));
    for (const auto& row : rows()) EXPECT_EQ(row[2], "at restart") << row[0];
    EXPECT_EQ(waiting(), (Lines{"Alpha.dst", "Beta.dst", "Gamma.dst"}));
    EXPECT_EQ(readFile(files["Alpha.dst"]), readFile(dir / "Alpha.src"));

    selectRow(1);
    click(mainItem(Main::Button3));  // Beta's replace goes with its row
    EXPECT_EQ(waiting(), (Lines{"Alpha.dst", "Gamma.dst"}));
    rec.answers = {IDYES};
    click(mainItem(Main::Button5));  // the program's end keeps them
    stop();
    start();
    EXPECT_EQ(logLines(), (Lines{at + "Alpha.dst will be replaced at the next restart.",
                                 at + "Gamma.dst will be replaced at the next restart."}));
    stop();
    ASSERT_TRUE(DeleteFileA(files["Gamma.dst"].c_str()));  // lost before the restart: Gamma.dst stays old

    ASSERT_EQ(std::system("wineboot.exe -r"), 0);
    start();
    EXPECT_EQ(logLines(), (Lines{at + dir / "Alpha.src" + " [v2.0.0.0] -> " + dir / "Alpha.dst",
                                 at + "Gamma.dst was not replaced at the restart."}));
    EXPECT_EQ(readFile(dir / "Alpha.dst"), readFile(dir / "Alpha.src"));
    EXPECT_EQ(readFile(dir / "Gamma.dst"), "old");
    EXPECT_TRUE(waiting().empty());
    EXPECT_FALSE(exists(dir / "Moravel-restart.ini"));
}

}  // namespace
}  // namespace moravel::test
