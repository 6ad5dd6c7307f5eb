#pragma once
// Stand-ins for the window's timer and for the wall clock.
#include <string>
#include <vector>

#include "core/AppError.h"
#include "core/Clock.h"
#include "engine/Scheduler.h"

namespace moravel::test {

// Records what it is asked to do; starting can be made to fail the way the
// system's timer does when none is left.
class FakeTimer : public UpdateTimer {
public:
    bool running() const override { return running_; }
    void start() override {
        calls.push_back("start");
        if (running_) return;
        running_ = true;  // a refused timer still counts as running
        if (refuseStart) throw AppError("Not enough timers available");
    }
    void stop() override {
        calls.push_back("stop");
        running_ = false;
    }
    unsigned interval() const override { return interval_; }
    void setInterval(unsigned milliseconds) override {
        calls.push_back("interval " + std::to_string(milliseconds));
        interval_ = milliseconds;
    }

    void reset(bool running, unsigned interval) {
        running_ = running;
        interval_ = interval;
        calls.clear();
    }

    std::vector<std::string> calls;
    bool refuseStart = false;

private:
    bool running_ = false;
    unsigned interval_ = 60000;
};

// Makes localNow() return a time the test chooses, for the life of the object.
class FixedClock {
public:
    explicit FixedClock(LocalTime now) {
        now_ = now;
        previous_ = setClock([] { return now_; });
    }
    ~FixedClock() { setClock(previous_); }
    FixedClock(const FixedClock&) = delete;
    FixedClock& operator=(const FixedClock&) = delete;

    LocalTime now() const { return now_; }
    void set(LocalTime now) { now_ = now; }

private:
    static inline LocalTime now_ = 0;
    ClockFunction previous_ = nullptr;
};

}  // namespace moravel::test
