#pragma once
#include <windows.h>

#include "core/Handle.h"
#include "core/Library.h"

struct ITaskbarList3;

namespace moravel {

// The shell's object holds one reference, given back when the holder goes.
void releaseTaskbarList(ITaskbarList3* list) noexcept;
using UniqueTaskbarList = Unique<NullTraits<ITaskbarList3*, releaseTaskbarList>>;

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

    UniqueLibrary ole32_;
    bool comStarted_ = false;
    UniqueTaskbarList list_;  // given back before COM ends and its library goes
    bool tried_ = false;
};

}  // namespace moravel
