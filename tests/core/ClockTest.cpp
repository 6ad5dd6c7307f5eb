#include <gtest/gtest.h>

#include <windows.h>

#include "core/AppError.h"
#include "core/Clock.h"
#include "core/Text.h"

namespace moravel {
namespace {

std::string separator() {
    char sep[8] = {};
    GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIME, sep, sizeof sep);
    return sep;
}

TEST(Timestamp, DayMonthTwoDigitYearAndLocaleTimeSeparator) {
    const std::string s = separator();
    EXPECT_EQ(timestampText(makeLocalTime(2026, 12, 7, 8, 5, 9, 999)),
              "07-12-26 08" + s + "05" + s + "09");
    EXPECT_EQ(timestampText(makeLocalTime(2000, 1, 31, 23, 59, 59)),
              "31-01-00 23" + s + "59" + s + "59");
}

TEST(Timestamp, MillisecondArithmeticCrossesDaysAndYears) {
    const std::string s = separator();
    const LocalTime t = makeLocalTime(2026, 12, 31, 23, 59, 30, 500);
    EXPECT_EQ(timestampText(addMilliseconds(t, 60000)), "01-01-27 00" + s + "00" + s + "30");
    EXPECT_EQ(timestampText(addMilliseconds(t, 499)), "31-12-26 23" + s + "59" + s + "30");
    EXPECT_EQ(timestampText(addMilliseconds(t, 500)), "31-12-26 23" + s + "59" + s + "31");
}

TEST(ErrorBox, PeriodAddedOnlyAfterCharactersSortingAboveIt) {
    EXPECT_EQ(errorBoxText("Unable to write to C:\\x\\Moravel.ini"),
              "Unable to write to C:\\x\\Moravel.ini.");
    EXPECT_EQ(errorBoxText("List index out of bounds (3)"), "List index out of bounds (3)");
    EXPECT_EQ(errorBoxText("Done."), "Done.");
    EXPECT_EQ(errorBoxText("Oops!"), "Oops!");
    EXPECT_EQ(errorBoxText("slash/"), "slash/.");
    EXPECT_EQ(errorBoxText("dash-"), "dash-");
    EXPECT_EQ(errorBoxText("caf\xe9"), "caf\xe9.");  // 8-bit characters sort above the period
    EXPECT_EQ(errorBoxText(""), "");
}

TEST(Text, DirectoryPartEndsAtLastBackslashOrColon) {
    EXPECT_EQ(directoryPart("C:\\apps\\tool.exe"), "C:\\apps\\");
    EXPECT_EQ(directoryPart("C:/apps/tool.exe"), "C:");
    EXPECT_EQ(directoryPart("tool.exe"), "");
    EXPECT_EQ(directoryPart("\\\\server\\share\\"), "\\\\server\\share\\");
}

}  // namespace
}  // namespace moravel
