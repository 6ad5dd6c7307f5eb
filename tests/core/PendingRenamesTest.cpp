#include <gtest/gtest.h>

#include <windows.h>

#include "TempDir.h"
#include "core/Handle.h"
#include "core/PendingRenames.h"

namespace moravel {
namespace {

using test::TempDir;
using test::writeFile;

// The system's list belongs to every program that schedules a rename: ours
// go in and out, and the others' entries stay byte for byte, whatever they
// hold (a delete, a name outside the code page).
TEST(PendingRenames, OurReplaceIsListedAndTakenOutLeavingEveryOtherEntryAsItWas) {
    using namespace std::literals;
    UniqueKey key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE, key.put()),
              ERROR_SUCCESS);
    const wchar_t* name = L"PendingFileRenameOperations";
    const auto value = [&] {  // empty when there is none
        std::wstring data(4096, L'\0');
        DWORD size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        if (RegQueryValueExW(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size)) size = 0;
        return data.substr(0, size / sizeof(wchar_t));
    };
    const auto setValue = [&](const std::wstring& data) {
        if (data.empty()) return void(RegDeleteValueW(key.get(), name));
        RegSetValueExW(key.get(), name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                       static_cast<DWORD>(data.size() * sizeof(wchar_t)));
    };
    const std::wstring before = value();
    const TempDir dir;
    // None, or a rename and a delete as the system writes them, the list closed by one more zero.
    for (const std::wstring& others :
         {L""s, L"\\??\\C:\\\x0418\\a.tmp\0!\\??\\C:\\\x0418\\a.dll\0\\??\\C:\\old.log\0\0\0"s}) {
        setValue(others);
        writeFile(dir / "tool.exe.new", "new");
        ScheduledReplace replace;
        ASSERT_TRUE(scheduleReplace(dir / "tool.exe.new", dir / "tool.exe", replace));
        const auto listed = pendingRenames();
        ASSERT_EQ(listed.value().size(), others.empty() ? 1u : 3u);
        EXPECT_EQ(listed->back().from + ">" + listed->back().to, dir / "tool.exe.new>" + dir / "tool.exe");
        EXPECT_TRUE(cancelReplace(replace));
        EXPECT_FALSE(test::exists(dir / "tool.exe.new"));
        EXPECT_EQ(value(), others);
    }
    setValue(before);
}

}  // namespace
}  // namespace moravel
