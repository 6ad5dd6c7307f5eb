#pragma once
#include <windows.h>

#include <string>

namespace moravel {

// The application title: the taskbar label, the caption of message boxes
// and the start of the notification-area tip.
inline constexpr const char* kApplicationTitle = "Moravel";

// Loads the common controls the windows use.
void initWindowing();

// The window whose closing ends the program; null in tests.
HWND applicationMainWindow() noexcept;
void setApplicationMainWindow(HWND hwnd) noexcept;

// Hands one message to its window, with dialog keyboard handling (Tab,
// mnemonics) for the program's own windows.
void dispatchMessage(MSG& msg);

// Handles every message waiting in the queue, then returns. A quit request
// found there is put back for the outer loop.
void pumpMessages();

// Runs until the quit request; returns its exit code.
int runMessageLoop();

// Shows an error that ended an event handler: the application title as
// caption, a stop icon and one OK button.
void showError(const std::string& message) noexcept;

// The screen's dots per inch, read once; layouts are drawn at 96.
int systemDpi() noexcept;
inline int scale(int pixels96) noexcept { return MulDiv(pixels96, systemDpi(), 96); }

}  // namespace moravel
