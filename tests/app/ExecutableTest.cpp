// The tests of the released program: the path of the program they start
// comes as their first argument.
#include <gtest/gtest.h>

#include <string>

namespace moravel::test {
std::string g_program, g_console;
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc > 1) moravel::test::g_program = argv[1];
    if (argc > 2) moravel::test::g_console = argv[2];
    return RUN_ALL_TESTS();
}
