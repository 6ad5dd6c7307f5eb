#pragma once
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace moravel {

// The periodic timer that drives the passes, as the window provides it.
class UpdateTimer {
public:
    virtual bool running() const = 0;
    // Starting a running timer, or stopping a stopped one, changes nothing.
    // When the system refuses the timer, start() raises
    // "Not enough timers available" and the timer still counts as running.
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual unsigned interval() const = 0;  // milliseconds
    virtual void setInterval(unsigned milliseconds) = 0;

protected:
    ~UpdateTimer() = default;
};

constexpr int kMinDelaySeconds = 10;
constexpr int kMaxDelaySeconds = 10000;
constexpr int kDefaultDelaySeconds = 60;

// The delay written in the delay field: a whole number of seconds from 10 to
// 10000, blanks ignored; anything else is no delay and keeps the current one.
std::optional<int> delayFromText(std::string_view text);

// Decides when passes run by themselves, and shows when the next one comes.
class Scheduler {
public:
    Scheduler(UpdateTimer& timer, std::function<void(const std::string&)> showNextUpdate);

    // Restarts the countdown and shows the time of the coming tick.
    void ScheduleNextUpdate();
    // Stops the timer and shows "<disabled>".
    void StopUpdates();
    // The delay changed: a running timer restarts its countdown with it; a
    // stopped one only takes the new interval.
    void delayChanged(int seconds);
    bool running() const { return timer_.running(); }

private:
    UpdateTimer& timer_;
    std::function<void(const std::string&)> showNextUpdate_;
};

}  // namespace moravel
