#pragma once
// The rig for window tests: the three windows created for real (hidden),
// the settings file in a temporary working directory, and recorders in
// place of message boxes, the file-open dialog and the notification area.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TempDir.h"
#include "ui/ChooseUnit.h"
#include "ui/DetailUnit.h"
#include "ui/MainUnit.h"
#include "ui/Seams.h"

namespace moravel::test {

struct ShownBox {
    std::string text, caption;
    UINT type;
    HWND owner;
};

struct NotifyCall {
    DWORD message;
    NOTIFYICONDATAA data;
    std::string tip() const { return data.szTip; }
};

// Stands in for the blocking system calls and remembers what they were asked.
struct Recorder {
    std::vector<ShownBox> boxes;
    std::deque<int> answers;  // for message boxes; IDOK (or IDNO for questions) when empty
    std::vector<OpenFileRequest> openRequests;
    std::deque<std::optional<std::string>> picks;  // for the file-open dialog; cancelled when empty
    std::vector<NotifyCall> notifications;
    BOOL notifyResult = TRUE;
    std::function<void()> onMessageBox;  // runs inside "the box", e.g. to nest events
    std::vector<std::string> menus;      // each shortcut menu: its items, "|" between, " (off)" when disabled
    std::deque<std::string> menuPicks;   // the item picked in each, by text; none when empty

    std::vector<std::string> boxTexts() const;
    std::vector<DWORD> notifyMessages() const;
};

class FormsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the settings file, then creates the windows, which load it.
    void start(const std::string& settings = "");
    void stop();

    std::string ini() const { return dir / "Moravel.ini"; }

    TempDir dir;
    std::unique_ptr<CurrentDirectory> cwd;
    Recorder rec;
    std::unique_ptr<TMainForm> main;
    std::unique_ptr<TChooseForm> choose;
    std::unique_ptr<TDetailForm> detail;

    // Helpers on the main window.
    HWND mainItem(int id) const { return GetDlgItem(main->hwnd(), id); }
    std::vector<std::vector<std::string>> rows() const;  // name, added at, attempts
    std::string caption() const;
    std::vector<std::string> logLines() const;
    void queue(const std::vector<std::string>& names);  // through "&Add file" and the chooser
};

// Runs the steps inside the next modal loop (a posted message is handled
// there), or at the next pump.
void whenModal(std::function<void()> steps);

// Handles everything waiting in this thread's queue.
void pump();

void click(HWND button);
bool enabled(HWND hwnd);
std::string text(HWND hwnd);
void setText(HWND hwnd, const std::string& text);

// The project record as written in a settings file.
std::string section(const std::string& name, const std::string& source, const std::string& destination,
                    bool backup = false);

}  // namespace moravel::test
