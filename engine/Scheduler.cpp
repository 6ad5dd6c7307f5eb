#include "engine/Scheduler.h"

#include <utility>

#include "core/Clock.h"

namespace moravel {

std::optional<int> delayFromText(std::string_view text) {
    // The field's mask fills empty places with blanks, wherever the caret
    // left them, so every blank is a placeholder and none is part of the number.
    int value = 0;
    bool anyDigit = false;
    for (const char c : text) {
        if (c == ' ') continue;
        if (c < '0' || c > '9') return std::nullopt;
        anyDigit = true;
        value = value * 10 + (c - '0');
        if (value > kMaxDelaySeconds) return std::nullopt;  // also keeps long texts from overflowing
    }
    if (!anyDigit || value < kMinDelaySeconds) return std::nullopt;
    return value;
}

Scheduler::Scheduler(UpdateTimer& timer, std::function<void(const std::string&)> showNextUpdate)
    : timer_(timer), showNextUpdate_(std::move(showNextUpdate)) {}

void Scheduler::ScheduleNextUpdate() {
    // Stopping first restarts the countdown: the first tick comes one whole
    // interval from now, which is the time shown.
    if (timer_.running()) timer_.stop();
    const LocalTime next = addMilliseconds(localNow(), timer_.interval());
    showNextUpdate_(timestampText(next));
    timer_.start();
}

void Scheduler::StopUpdates() {
    timer_.stop();
    showNextUpdate_("<disabled>");
}

void Scheduler::delayChanged(int seconds) {
    const unsigned milliseconds = static_cast<unsigned>(seconds) * 1000u;
    if (timer_.running()) {
        timer_.stop();
        timer_.setInterval(milliseconds);
        ScheduleNextUpdate();
    } else {
        timer_.setInterval(milliseconds);
    }
}

}  // namespace moravel
