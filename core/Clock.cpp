#include "core/Clock.h"

#include <windows.h>

#include <cstdio>

#include "core/AppError.h"

namespace moravel {

namespace {

LocalTime systemClock() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    return static_cast<LocalTime>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) |
                                  ft.dwLowDateTime);
}

ClockFunction g_clock = systemClock;

std::string timeSeparator() {
    char sep[8] = {};
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIME, sep, sizeof sep) <= 1) return ":";
    return sep;
}

}  // namespace

LocalTime localNow() { return g_clock(); }

ClockFunction setClock(ClockFunction clock) {
    ClockFunction previous = g_clock;
    g_clock = clock ? clock : systemClock;
    return previous;
}

LocalTime addMilliseconds(LocalTime time, std::int64_t milliseconds) {
    return time + milliseconds * 10000;
}

LocalTime makeLocalTime(int year, int month, int day, int hour, int minute, int second,
                        int millisecond) {
    SYSTEMTIME st = {};
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    st.wHour = static_cast<WORD>(hour);
    st.wMinute = static_cast<WORD>(minute);
    st.wSecond = static_cast<WORD>(second);
    st.wMilliseconds = static_cast<WORD>(millisecond);
    FILETIME ft;
    if (!SystemTimeToFileTime(&st, &ft)) throw AppError("Invalid date");
    return static_cast<LocalTime>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) |
                                  ft.dwLowDateTime);
}

std::string timestampText(LocalTime time) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(time) & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(time) >> 32);
    SYSTEMTIME st = {};
    FileTimeToSystemTime(&ft, &st);
    const std::string sep = timeSeparator();
    char text[64];
    std::snprintf(text, sizeof text, "%02u-%02u-%02u %02u%s%02u%s%02u", st.wDay, st.wMonth,
                  st.wYear % 100u, st.wHour, sep.c_str(), st.wMinute, sep.c_str(), st.wSecond);
    return text;
}

}  // namespace moravel
