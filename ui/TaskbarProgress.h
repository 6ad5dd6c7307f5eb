#pragma once
#include <windows.h>

struct ITaskbarList3;

namespace moravel {

// The progress bar of a window's taskbar button, where the shell has one.
// The shell's object is made at the first use on the window thread, so a run
// that copies nothing large never starts COM; where the object cannot be had
// (an older system, Wine without a shell), nothing is shown.
class TaskbarProgress {
public:
    TaskbarProgress() = default;
    ~TaskbarProgress();
    TaskbarProgress(const TaskbarProgress&) = delete;
    TaskbarProgress& operator=(const TaskbarProgress&) = delete;

    void show(HWND window, int percent);  // 0 to 100
    void clear(HWND window);

private:
    bool ready();

    HMODULE ole32_ = nullptr;
    ITaskbarList3* list_ = nullptr;
    bool comStarted_ = false;
    bool tried_ = false;
};

}  // namespace moravel
