#include <gtest/gtest.h>

#include "core/AppError.h"
#include "core/Clock.h"
#include "engine/FakeTimer.h"
#include "engine/Scheduler.h"

namespace moravel {
namespace {

using test::FakeTimer;
using test::FixedClock;

TEST(DelayFromText, WholeNumbersFromTenToTenThousandWithBlanksIgnored) {
    struct Case {
        const char* text;
        std::optional<int> delay;
    } cases[] = {
        {"60  ", 60},      {"60", 60},        {"  60", 60},     {"10  ", 10},
        {"9999", 9999},    {"10000", 10000},  {"0060", 60},     {"1 0 ", 10},
        {" 1 2", 12},      {"", std::nullopt}, {"    ", std::nullopt},
        {"5   ", std::nullopt},   {"9", std::nullopt},         {"0", std::nullopt},
        {"10001", std::nullopt},  {"99999", std::nullopt},     {"-60", std::nullopt},
        {"+60", std::nullopt},    {"6O", std::nullopt},        {"abc", std::nullopt},
        {"1,000", std::nullopt},  {"60.5", std::nullopt},      {"60\t", std::nullopt},
        {"99999999999999999999", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(delayFromText(c.text), c.delay) << '"' << c.text << '"';
}

// Ticks of the fake timer are of no interest here: only who starts and stops
// it, with which interval, and what the label shows.
class SchedulerTest : public ::testing::Test {
protected:
    SchedulerTest() : scheduler(timer, [this](const std::string& text) { shown.push_back(text); }) {}

    FixedClock clock{makeLocalTime(2030, 6, 15, 23, 59, 30, 600)};
    FakeTimer timer;
    std::vector<std::string> shown;
    Scheduler scheduler;
};

TEST_F(SchedulerTest, WhoArmsAndStopsTheTimer) {
    const std::string disabled = "<disabled>";
    const std::string in60s = timestampText(makeLocalTime(2030, 6, 16, 0, 0, 30));
    const std::string in90s = timestampText(makeLocalTime(2030, 6, 16, 0, 1, 0));
    const std::string in10000s = timestampText(makeLocalTime(2030, 6, 16, 2, 46, 10));
    enum Action { Schedule, Stop, Delay90, Delay10000 };
    struct Case {
        const char* what;
        bool running;
        Action action;
        std::vector<std::string> calls;
        bool runningAfter;
        unsigned intervalAfter;
        std::vector<std::string> shown;
    } cases[] = {
        {"schedule while stopped", false, Schedule, {"start"}, true, 60000, {in60s}},
        {"schedule while running restarts the countdown", true, Schedule, {"stop", "start"}, true,
         60000, {in60s}},
        {"stop while running", true, Stop, {"stop"}, false, 60000, {disabled}},
        {"stop while stopped", false, Stop, {"stop"}, false, 60000, {disabled}},
        {"delay changed while running", true, Delay90, {"stop", "interval 90000", "start"}, true,
         90000, {in90s}},
        {"largest delay while running", true, Delay10000,
         {"stop", "interval 10000000", "start"}, true, 10000000, {in10000s}},
        {"delay changed while stopped shows nothing", false, Delay90, {"interval 90000"}, false,
         90000, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        timer.reset(c.running, 60000);
        shown.clear();
        switch (c.action) {
            case Schedule: scheduler.ScheduleNextUpdate(); break;
            case Stop: scheduler.StopUpdates(); break;
            case Delay90: scheduler.delayChanged(90); break;
            case Delay10000: scheduler.delayChanged(10000); break;
        }
        EXPECT_EQ(timer.calls, c.calls);
        EXPECT_EQ(timer.running(), c.runningAfter);
        EXPECT_EQ(timer.interval(), c.intervalAfter);
        EXPECT_EQ(shown, c.shown);
    }
}

TEST_F(SchedulerTest, RefusedTimerShowsTheTimeRaisesAndCountsAsRunning) {
    timer.reset(false, 60000);
    timer.refuseStart = true;
    try {
        scheduler.ScheduleNextUpdate();
        ADD_FAILURE() << "no error";
    } catch (const AppError& e) {
        EXPECT_STREQ(e.what(), "Not enough timers available");
    }
    EXPECT_TRUE(timer.running());
    EXPECT_EQ(shown, (std::vector<std::string>{timestampText(makeLocalTime(2030, 6, 16, 0, 0, 30))}));

    // Stopping and starting again gets a timer once the system has one to give.
    timer.refuseStart = false;
    timer.calls.clear();
    scheduler.ScheduleNextUpdate();
    EXPECT_EQ(timer.calls, (std::vector<std::string>{"stop", "start"}));
    EXPECT_TRUE(timer.running());
}

}  // namespace
}  // namespace moravel
