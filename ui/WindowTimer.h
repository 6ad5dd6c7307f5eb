#pragma once
#include <windows.h>

#include "engine/Scheduler.h"

namespace moravel {

// The update timer: a periodic window timer whose ticks arrive as WM_TIMER
// with its id, on the window thread, also inside modal loops.
class WindowTimer final : public UpdateTimer {
public:
    WindowTimer(HWND hwnd, UINT_PTR id) noexcept : hwnd_(hwnd), id_(id) {}
    ~WindowTimer() { stop(); }
    WindowTimer(const WindowTimer&) = delete;
    WindowTimer& operator=(const WindowTimer&) = delete;

    bool running() const override { return running_; }
    void start() override;
    void stop() override;
    unsigned interval() const override { return interval_; }
    void setInterval(unsigned milliseconds) override;

    UINT_PTR id() const noexcept { return id_; }
    void setWindow(HWND hwnd) noexcept { hwnd_ = hwnd; }

private:
    void arm();

    HWND hwnd_;
    UINT_PTR id_;
    unsigned interval_ = 1000;
    bool running_ = false;
};

}  // namespace moravel
