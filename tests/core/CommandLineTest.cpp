#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/CommandLine.h"

namespace moravel {
namespace {

std::vector<std::string> texts(const std::string& line) {
    std::vector<std::string> result;
    for (const Argument& argument : splitCommandLine(line)) result.push_back(argument.text);
    return result;
}

TEST(CommandLineTest, SplitsAsTheCRuntimeDoes) {
    using V = std::vector<std::string>;
    const struct { const char* line; V expected; } cases[] = {
        {"Moravel.exe", {}},
        {"\"C:\\Program Files\\Moravel.exe\" /queue  \t a", {"/queue", "a"}},
        {"C:\\x\\Moravel.exe \"Big Tool\" b\"c d\"e", {"Big Tool", "bc de"}},
        {"m a\\\\b \"c\\\\\" \"d\\\"e\" f\\\\\\\"g", {"a\\\\b", "c\\", "d\"e", "f\\\"g"}},
        {"m \"say \"\"hi\"\"\" \"\" \"open", {"say \"hi\"", "", "open"}},
    };
    for (const auto& c : cases) EXPECT_EQ(texts(c.line), c.expected) << c.line;
    // Quoted arguments are marked, so "-old" can be a name.
    const auto arguments = splitCommandLine("m -x \"-old\"");
    ASSERT_EQ(arguments.size(), 2u);
    EXPECT_FALSE(arguments[0].quoted);
    EXPECT_TRUE(arguments[1].quoted);
}

TEST(CommandLineTest, ParsesQueueNowHideAndHelpAndNamesWhatIsMalformed) {
    using Kind = CommandLine::Kind;
    using V = std::vector<std::string>;
    const struct { const char* line; Kind kind; V queue; bool now, hide; } cases[] = {
        {"m", Kind::Start, {}, false, false},
        {"m /hide", Kind::Start, {}, false, true},
        {"m /QUEUE Alpha \"Big Tool\" -now", Kind::Start, {"Alpha", "Big Tool"}, true, false},
        {"m -hide /queue a /hide \"-old\" /now", Kind::Start, {"a", "-old"}, true, true},
        {"m /queue a /?", Kind::Help, {}, false, false},
        {"m -?", Kind::Help, {}, false, false},
        {"m /queue", Kind::Malformed, {}, false, false},
        {"m /queue /now", Kind::Malformed, {}, false, false},
        {"m /now /queue a", Kind::Malformed, {}, false, false},
        {"m /queue a /now b", Kind::Malformed, {}, false, false},
        {"m /queue a /queue b", Kind::Malformed, {}, false, false},
        {"m Alpha", Kind::Malformed, {}, false, false},
        {"m /queue a /fast", Kind::Malformed, {}, false, false},
        {"m /queue \"\"", Kind::Malformed, {}, false, false},
    };
    for (const auto& c : cases) {
        const CommandLine parsed = parseCommandLine(c.line);
        EXPECT_EQ(parsed.kind, c.kind) << c.line;
        EXPECT_EQ(parsed.queue, c.queue) << c.line;
        EXPECT_EQ(parsed.now, c.now) << c.line;
        EXPECT_EQ(parsed.hide, c.hide) << c.line;
        EXPECT_EQ(parsed.problem.empty(), c.kind != Kind::Malformed) << c.line;
    }
}

}  // namespace
}  // namespace moravel
