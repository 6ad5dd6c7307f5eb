#include "ui/WindowTimer.h"

#include "core/AppError.h"

namespace moravel {

void WindowTimer::arm() {
    if (!SetTimer(hwnd_, id_, interval_, nullptr)) throw AppError("Not enough timers available");
}

void WindowTimer::start() {
    if (running_) return;
    running_ = true;  // even when the system refuses: it counts as running until stopped
    arm();
}

void WindowTimer::stop() {
    if (!running_) return;
    running_ = false;
    KillTimer(hwnd_, id_);
}

void WindowTimer::setInterval(unsigned milliseconds) {
    if (milliseconds == interval_) return;
    interval_ = milliseconds;
    if (running_) {
        KillTimer(hwnd_, id_);
        arm();
    }
}

}  // namespace moravel
