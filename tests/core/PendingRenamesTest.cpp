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
        const LONG read = RegQueryValueExW(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size);
        data.resize(read == ERROR_SUCCESS ? size / sizeof(wchar_t) : 0);
        return data;
    };
    const auto setValue = [&](const std::wstring& data) {
        if (data.empty()) return RegDeleteValueW(key.get(), name) != ERROR_ACCESS_DENIED;
        return RegSetValueExW(key.get(), name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                              static_cast<DWORD>(data.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
    };
    const std::wstring before = value();
    const struct { std::wstring others; std::size_t pairs; } cases[] = {
        {L""s, 0},
        // A rename and a delete, as the system writes them, the list closed by one more zero.
        {L"\\??\\C:\\\x0418\\a.tmp\0!\\??\\C:\\\x0418\\a.dll\0\\??\\C:\\old.log\0\0\0"s, 2},
    };
    const TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pairs);
        ASSERT_TRUE(setValue(c.others));
        writeFile(dir / "tool.exe.new", "new");
        ScheduledReplace replace;
        ASSERT_TRUE(scheduleReplace(dir / "tool.exe.new", dir / "tool.exe", replace));
        EXPECT_EQ(replace.size, 3u);
        const auto listed = pendingRenames();
        ASSERT_TRUE(listed);
        ASSERT_EQ(listed->size(), c.pairs + 1);
        EXPECT_EQ(listed->back().from + ">" + listed->back().to, dir / "tool.exe.new>" + dir / "tool.exe");
        if (c.pairs) {
            EXPECT_EQ(listed->at(1).from + ">" + listed->at(1).to, "C:\\old.log>");
        }

        EXPECT_TRUE(cancelReplace(replace));
        EXPECT_FALSE(test::exists(dir / "tool.exe.new"));
        EXPECT_EQ(value(), c.others);
    }
    setValue(before);
}

}  // namespace
}  // namespace moravel
