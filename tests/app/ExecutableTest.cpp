// The released program's own version resource, read back through the same
// functions other programs use to show it.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace moravel::test {
std::string g_program, g_console;
}

namespace {

using moravel::test::g_console;
using moravel::test::g_program;

std::string stringValue(const std::vector<char>& data, const char* name) {
    void* value = nullptr;
    UINT length = 0;
    const std::string path = std::string("\\StringFileInfo\\040904E4\\") + name;
    if (!VerQueryValueA(data.data(), path.c_str(), &value, &length) || !value) return "<missing>";
    return std::string(static_cast<const char*>(value));
}

TEST(Executable, VersionResource) {
    ASSERT_FALSE(g_program.empty()) << "pass the path of Moravel.exe";
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(g_program.c_str(), &ignored);
    ASSERT_GT(size, 0u) << g_program;
    std::vector<char> data(size);
    ASSERT_TRUE(GetFileVersionInfoA(g_program.c_str(), 0, size, data.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00000009u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00050000u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00000009u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00050000u);

    EXPECT_EQ(stringValue(data, "ProductVersion"), "1.0.0.0");
    EXPECT_EQ(stringValue(data, "FileVersion"), "0.9.5.0");
    for (const char* empty : {"CompanyName", "FileDescription", "InternalName", "LegalCopyright",
                              "LegalTrademarks", "OriginalFilename", "ProductName", "Comments"})
        EXPECT_EQ(stringValue(data, empty), "") << empty;
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc > 1) g_program = argv[1];
    if (argc > 2) g_console = argv[2];
    return RUN_ALL_TESTS();
}
