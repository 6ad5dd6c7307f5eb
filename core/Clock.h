#pragma once
#include <cstdint>
#include <string>

namespace moravel {

// A local date and time as 100-nanosecond ticks since 1601 (a local FILETIME).
using LocalTime = std::int64_t;

using ClockFunction = LocalTime (*)();

// Now, in local time. Tests may replace the clock; the previous one is returned.
LocalTime localNow();
ClockFunction setClock(ClockFunction clock);

LocalTime addMilliseconds(LocalTime time, std::int64_t milliseconds);
LocalTime makeLocalTime(int year, int month, int day, int hour, int minute, int second,
                        int millisecond = 0);

// "dd-mm-yy hh:mm:ss", each colon standing for the user locale's time separator.
std::string timestampText(LocalTime time);

}  // namespace moravel
