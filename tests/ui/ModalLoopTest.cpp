#include "UiTest.h"

#include <gtest/gtest-spi.h>

#include <optional>

#include "core/AppError.h"
#include "engine/TestFiles.h"
#include "ui/Application.h"
#include "ui/ConfirmBox.h"

namespace moravel::test {
namespace {

using Main = TMainForm;
using Choose = TChooseForm;
using Detail = TDetailForm;

// The quit request waiting for the outermost loop, taken out of the queue.
std::optional<WPARAM> takeQuit() {
    MSG msg;
    if (PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) return msg.wParam;
    return std::nullopt;
}

// A dialog whose loop goes on after the quit request is closed after a
// second, so that the fault fails the test instead of hanging it. The
// request comes out of the queue before any timer tick does.
class Rescue {
public:
    Rescue() : id_(SetTimer(nullptr, 0, 1000, close)) {}
    ~Rescue() { KillTimer(nullptr, id_); }
    Rescue(const Rescue&) = delete;
    Rescue& operator=(const Rescue&) = delete;

private:
    static void CALLBACK close(HWND, UINT, UINT_PTR, DWORD) noexcept {
        HWND open = Window::activeOwner();
        if (!open || open == applicationMainWindow()) return;
        ADD_FAILURE() << "a loop went on after the quit request";
        PostMessageA(open, WM_CLOSE, 0, 0);
    }
    UINT_PTR id_;
};

// As in the program: the main window owns the dialogs, so they disable it.
class ModalLoopTest : public FormsTest {
protected:
    void start(const std::string& settings) {
        FormsTest::start(settings);
        setApplicationMainWindow(main->hwnd());
    }
    void TearDown() override {
        setApplicationMainWindow(nullptr);  // closing it here ends no loop
        FormsTest::TearDown();
    }
    HWND chooseItem(int id) const { return GetDlgItem(choose->hwnd(), id); }
    HWND detailItem(int id) const { return GetDlgItem(detail->hwnd(), id); }
};

TEST_F(ModalLoopTest, EveryWayADialogEndsGivesItsOwnerBackEnabled) {
    start(section("alpha", "s", "d"));
    // The chooser closed by each of its ways; the detail dialog on top of it.
    for (const int closing : {int{Choose::Button1}, int{Choose::Button2}, 0}) {
        whenModal([&] {
            whenModal([&] {
                EXPECT_FALSE(enabled(choose->hwnd()));
                EXPECT_FALSE(enabled(main->hwnd()));
                click(detailItem(Detail::Button2));
            });
            click(chooseItem(Choose::Button3));
            EXPECT_TRUE(enabled(choose->hwnd())) << "after the detail dialog";
            EXPECT_FALSE(enabled(main->hwnd()));
            if (closing) click(chooseItem(closing));
            else PostMessageA(choose->hwnd(), WM_CLOSE, 0, 0);
        });
        click(mainItem(Main::Button2));
        EXPECT_TRUE(enabled(main->hwnd())) << "after the chooser closed by " << closing;
    }

    // The question box, answered.
    whenModal([&] {
        EXPECT_FALSE(enabled(main->hwnd()));
        PostMessageA(GetFocus(), WM_KEYDOWN, VK_RETURN, 1);
    });
    EXPECT_EQ(askYesNo(main->hwnd(), "Really?", "Confirm"), IDYES);
    EXPECT_TRUE(enabled(main->hwnd())) << "after the question";
}

TEST_F(ModalLoopTest, AQuitRequestEndsEveryNestedLoopAndReachesTheOutermostOne) {
    const std::string source = dir / "s.txt";
    writeFile(source, "new");
    start(section("alpha", source, dir / "d.txt"));

    // Asked inside the detail dialog over the chooser: both close, nothing is queued.
    const Rescue rescue;
    whenModal([&] {
        whenModal([&] { PostQuitMessage(7); });
        click(chooseItem(Choose::Button3));
    });
    click(mainItem(Main::Button2));
    EXPECT_EQ(takeQuit(), WPARAM{7});
    EXPECT_TRUE(rows().empty());
    EXPECT_TRUE(enabled(main->hwnd()));

    // Asked while a pass copies and lets the window work: the pass ends, the request stays.
    queue({"alpha"});
    PostQuitMessage(8);
    click(mainItem(Main::Button1));
    EXPECT_EQ(takeQuit(), WPARAM{8});
    EXPECT_EQ(readFile(dir / "d.txt"), "new");
    EXPECT_TRUE(rows().empty());
}

TEST(TestRig, AStepThatThrowsFailsItsTestAndTheTestsGoOn) {
    initWindowing();
    // Inside a modal loop, where window tests run their steps; the next step still runs.
    EXPECT_NONFATAL_FAILURE(
        {
            whenModal([] { throw AppError("thrown by a step"); });
            whenModal([] { PostMessageA(Window::activeOwner(), WM_CLOSE, 0, 0); });
            askYesNo(nullptr, "Really?", "Confirm");
        },
        "a step threw: thrown by a step");
    pump();
}

}  // namespace
}  // namespace moravel::test
