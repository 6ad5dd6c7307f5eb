#include "UiTest.h"

#include <commctrl.h>

#include <exception>

#include "ui/Application.h"
#include "ui/Controls.h"

namespace moravel::test {

namespace {

constexpr UINT WM_RUN_STEPS = WM_APP + 100;

// A window procedure like any other: what a step throws stops here and fails
// the test that posted it, and the test program goes on to the next test.
LRESULT CALLBACK stepsProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    if (message == WM_RUN_STEPS) {
        std::unique_ptr<std::function<void()>> steps(reinterpret_cast<std::function<void()>*>(lParam));
        try {
            (*steps)();
        } catch (const std::exception& e) {
            ADD_FAILURE() << "a step threw: " << e.what();
        } catch (...) {
            ADD_FAILURE() << "a step threw something that is no std::exception";
        }
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

HWND stepsWindow() {
    static HWND hwnd = [] {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = stepsProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "MoravelTestSteps";
        RegisterClassA(&wc);
        return CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               GetModuleHandleA(nullptr), nullptr);
    }();
    return hwnd;
}

}  // namespace

std::vector<std::string> Recorder::boxTexts() const {
    std::vector<std::string> texts;
    for (const ShownBox& box : boxes) texts.push_back(box.text);
    return texts;
}

std::vector<DWORD> Recorder::notifyMessages() const {
    std::vector<DWORD> messages;
    for (const NotifyCall& call : notifications) messages.push_back(call.message);
    return messages;
}

void whenModal(std::function<void()> steps) {
    PostMessageA(stepsWindow(), WM_RUN_STEPS, 0,
                 reinterpret_cast<LPARAM>(new std::function<void()>(std::move(steps))));
}

void pump() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) dispatchMessage(msg);
}

void click(HWND button) { SendMessageA(button, BM_CLICK, 0, 0); }
bool enabled(HWND hwnd) { return IsWindowEnabled(hwnd) != FALSE; }
std::string text(HWND hwnd) { return windowText(hwnd); }
void setText(HWND hwnd, const std::string& value) { setWindowText(hwnd, value); }

std::string section(const std::string& name, const std::string& source, const std::string& destination,
                    bool backup) {
    return "[" + name + "]\r\nSource=" + source + "\r\nDestination=" + destination +
           "\r\nVersionBackup=" + (backup ? "1" : "0") + "\r\n";
}

void FormsTest::SetUp() {
    initWindowing();
    cwd = std::make_unique<CurrentDirectory>(dir.path());
    seams().messageBox = [this](HWND owner, const std::string& text, const std::string& caption, UINT type) {
        rec.boxes.push_back({text, caption, type, owner});
        if (rec.onMessageBox) rec.onMessageBox();
        if (!rec.answers.empty()) {
            const int answer = rec.answers.front();
            rec.answers.pop_front();
            return answer;
        }
        return (type & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK;
    };
    seams().openFile = [this](HWND, const OpenFileRequest& request) -> std::optional<std::string> {
        rec.openRequests.push_back(request);
        if (rec.picks.empty()) return std::nullopt;
        auto pick = rec.picks.front();
        rec.picks.pop_front();
        // The real dialog makes the picked file's folder the working directory.
        if (pick) {
            const auto cut = pick->find_last_of('\\');
            if (cut != std::string::npos) SetCurrentDirectoryA(pick->substr(0, cut + 1).c_str());
        }
        return pick;
    };
    seams().popupMenu = [this](HWND, HMENU menu) {
        std::string shown, pick = rec.menuPicks.empty() ? "" : rec.menuPicks.front();
        if (!rec.menuPicks.empty()) rec.menuPicks.pop_front();
        UINT picked = 0;
        for (int i = 0; i < GetMenuItemCount(menu); ++i) {
            char item[64] = {};
            GetMenuStringA(menu, static_cast<UINT>(i), item, sizeof item, MF_BYPOSITION);
            const bool off = *item && (GetMenuState(menu, static_cast<UINT>(i), MF_BYPOSITION) & MF_GRAYED);
            shown += (i ? "|" : "") + std::string(item) + (off ? " (off)" : "");
            if (!off && *item && pick == item) picked = GetMenuItemID(menu, i);
        }
        rec.menus.push_back(shown);
        return picked;
    };
    seams().notifyIcon = [this](DWORD message, const NOTIFYICONDATAA& data) {
        rec.notifications.push_back({message, data});
        return rec.notifyResult;
    };
}

void FormsTest::start(const std::string& settings) {
    if (!settings.empty()) writeFile(ini(), settings);
    main = std::make_unique<TMainForm>();
    MainForm = main.get();
    choose = std::make_unique<TChooseForm>();
    ChooseForm = choose.get();
    detail = std::make_unique<TDetailForm>();
    DetailForm = detail.get();
}

void FormsTest::stop() {
    detail.reset();
    choose.reset();
    main.reset();
    DetailForm = nullptr;
    ChooseForm = nullptr;
    MainForm = nullptr;
    pump();
}

void FormsTest::TearDown() {
    stop();
    useSystemSeams();
    cwd.reset();
}

std::vector<std::vector<std::string>> FormsTest::rows() const {
    std::vector<std::vector<std::string>> result;
    ListView list(mainItem(TMainForm::ListView1));
    for (int i = 0; i < list.count(); ++i)
        result.push_back({list.itemText(i, 0), list.itemText(i, 1), list.itemText(i, 2)});
    return result;
}

std::string FormsTest::caption() const { return windowText(main->hwnd()); }

std::vector<std::string> FormsTest::logLines() const {
    std::vector<std::string> lines;
    const std::string all = windowText(mainItem(TMainForm::Memo1));
    std::size_t at = 0;
    while (at < all.size()) {
        std::size_t end = all.find("\r\n", at);
        if (end == std::string::npos) end = all.size();
        lines.push_back(all.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

void FormsTest::queue(const std::vector<std::string>& names) {
    whenModal([&] {
        const CheckListBox list = choose->list();
        for (const std::string& name : names)
            for (int i = 0; i < list.count(); ++i)
                if (list.text(i) == name) list.setChecked(i, true);
        click(GetDlgItem(choose->hwnd(), TChooseForm::Button1));
    });
    click(mainItem(TMainForm::Button2));
}

}  // namespace moravel::test
