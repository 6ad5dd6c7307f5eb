#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/CommandLine.h"

namespace moravel {
namespace {

// Arguments split as the C runtime splits them; a quoted argument is always a name.
TEST(CommandLineTest, ParsesSwitchesAndNamesAndTellsWhatIsMalformed) {
    using Kind = CommandLine::Kind;
    using V = std::vector<std::string>;
    const struct { const char* line; Kind kind; V queue; bool now, hide; int wait = 0; } cases[] = {
        {"\"C:\\Program Files\\Moravel.exe\"", Kind::Start, {}, false, false},
        {"m -HIDE", Kind::Start, {}, false, true},
        {"m /QUEUE Alpha \"Big Tool\" b\"c d\"e \t-now", Kind::Start, {"Alpha", "Big Tool", "bc de"}, true, false},
        {"m /queue a\\\\b \"c\\\\\" \"d\\\"e\" f\\\\\\\"g /hide", Kind::Start, {"a\\\\b", "c\\", "d\"e", "f\\\"g"}, false, true},
        {"m /queue \"say \"\"hi\"\"\" \"-old\" \"open", Kind::Start, {"say \"hi\"", "-old", "open"}, false, false},
        {"m /queue a /?", Kind::Help, {}, false, false},
        {"m /queue", Kind::Malformed, {}, false, false},
        {"m /now /queue a", Kind::Malformed, {}, false, false},
        {"m /queue a /now b", Kind::Malformed, {}, false, false},
        {"m /queue a /queue b", Kind::Malformed, {}, false, false},
        {"m Alpha", Kind::Malformed, {}, false, false},
        {"m /queue a /fast", Kind::Malformed, {}, false, false},
        {"m /queue \"\"", Kind::Malformed, {}, false, false},
        {"m /queue \"a\r\nb\"", Kind::Malformed, {}, false, false},  // a name that would forge a log line
        {"m /queue a\x1b[2J", Kind::Malformed, {}, false, false},
        {"m /queue \"a\tb\"", Kind::Malformed, {}, false, false},
        // /wait[:SECONDS] after the names, in either order with /now.
        {"m /queue a /wait", Kind::Start, {"a"}, false, false, 600},
        {"m /queue a b /now -WAIT:30", Kind::Start, {"a", "b"}, true, false, 30},
        {"m /queue a /wait:86400 /now", Kind::Start, {"a"}, true, false, 86400},
        {"m /queue a /wait:0", Kind::Malformed, {}, false, false},
        {"m /queue a /wait:86401", Kind::Malformed, {}, false, false},
        {"m /queue a /wait:1x", Kind::Malformed, {}, false, false},
        {"m /queue a /wait:", Kind::Malformed, {}, false, false},
        {"m /wait /queue a", Kind::Malformed, {}, false, false},
        {"m /queue a /wait /wait:5", Kind::Malformed, {}, false, false},
        {"m /queue a /wait b", Kind::Malformed, {}, false, false},
        {"m /queue a /waits", Kind::Malformed, {}, false, false},
    };
    for (const auto& c : cases) {
        const CommandLine parsed = parseCommandLine(c.line);
        EXPECT_EQ(parsed.kind, c.kind) << c.line;
        EXPECT_EQ(parsed.queue, c.queue) << c.line;
        EXPECT_EQ(parsed.now, c.now) << c.line;
        EXPECT_EQ(parsed.hide, c.hide) << c.line;
        EXPECT_EQ(parsed.wait ? parsed.waitSeconds : 0, c.wait) << c.line;
        EXPECT_EQ(parsed.problem.empty(), c.kind != Kind::Malformed) << c.line;
    }
}

}  // namespace
}  // namespace moravel
