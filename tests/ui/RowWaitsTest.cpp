// Commands that wait for their rows: what they hear, and the one code they end with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/PendingList.h"
#include "ui/RowWaits.h"

namespace moravel::test {
namespace {

struct Heard final : WaitOutput {
    std::vector<std::string> lines;
    int code = -1;
    void waitLine(std::uint64_t, const std::string& line, bool toError) override {
        lines.push_back((toError ? "E " : "O ") + line);
    }
    void waitEnded(std::uint64_t, int exitCode) override { code = exitCode; }
};

TEST(RowWaitsTest, EveryRowEndsOnceAndTheWaitEndsWithTheCodeThatMattersMost) {
    // Alpha and Beta are followed; an attempt that waits counts and names the holder.
    enum Step { Line, Reason, Done, Waits, Failed, LeftList, AtRestart, Removed, TimeUp };
    struct Event {
        int row;
        Step step;
    };
    using Lines = std::vector<std::string>;
    const struct {
        const char* what;
        std::vector<Event> events;
        bool unknownName;
        int code;  // -1: still waiting
        Lines lines;
    } cases[] = {
        {"both replaced, each line where it belongs", {{0, Line}, {1, Waits}, {1, Reason}, {0, Done}, {1, Line}, {1, Done}},
         false, kExitDone, {"O Alpha's line", "E Beta's reason", "O Beta's line"}},
        {"one still waits", {{0, Done}, {1, Waits}}, false, -1, {}},
        {"a line after its row ended is not told", {{0, Done}, {0, Line}, {1, Done}}, false, kExitDone, {}},
        {"the time runs out: who holds it", {{0, Done}, {1, Waits}, {1, TimeUp}}, false, kExitTimeUp,
         {"E Beta still waits (1 attempt): held by x.exe (pid 7)."}},
        {"a failure comes before the time", {{0, Failed}, {1, TimeUp}}, false, kExitFailed,
         {"E Beta still waits (0 attempts)."}},
        {"a failed attempt ends the row, its next one is not heard", {{0, Failed}, {0, Line}, {0, Done}, {1, Done}},
         false, kExitFailed, {}},
        {"a row that left the list failed", {{0, LeftList}, {1, AtRestart}}, false, kExitFailed, {}},
        {"a row removed by hand", {{0, Removed}, {1, Done}}, false, kExitFailed, {"E Alpha was removed from the list."}},
        {"the next restart", {{0, AtRestart}, {1, Done}}, false, kExitAtRestart, {}},
        {"the time comes before the next restart", {{0, AtRestart}, {1, TimeUp}}, false, kExitTimeUp,
         {"E Beta still waits (0 attempts)."}},
        {"the next restart before an unknown name", {{0, AtRestart}, {1, Done}}, true, kExitAtRestart,
         {"E Delta not queued."}},
        {"not a word of a row it does not follow", {{0, Done}, {2, Line}, {2, Failed}, {1, Done}}, false, kExitDone, {}},
        {"an unknown name, the others replaced", {{0, Done}, {1, Done}}, true, kExitUnknownName, {"E Delta not queued."}},
    };
    for (const auto& c : cases) {
        PendingList pending;
        Heard heard;
        RowWaits waits(pending, heard);
        std::vector<std::uint64_t> rows = {pending.queue("Alpha", ""), pending.queue("Beta", "")};
        NamedRows named{rows, {}};
        rows.push_back(pending.queue("Gamma", ""));
        if (c.unknownName) named.unknown.push_back("Delta not queued.");
        waits.add(1, named, 1000);
        for (const Event& e : c.events) {
            const std::uint64_t id = rows[static_cast<std::size_t>(e.row)];
            const std::string name = pending.find(id) ? pending.find(id)->name : "";
            switch (e.step) {
                case Line: waits.rowLine(id, name + "'s line", false); break;
                case Reason: waits.rowLine(id, name + "'s reason", true); break;
                case Done: waits.rowTried(id, RowEnd::Done); break;
                case Waits:
                    pending.countFailure(id);
                    pending.setHolders(id, "x.exe (pid 7)");
                    waits.rowTried(id, RowEnd::Waits);
                    break;
                case Failed: waits.rowTried(id, RowEnd::Failed); break;
                case LeftList: waits.rowTried(id, RowEnd::LeftList); pending.remove(id); waits.rowsLeft(); break;
                case AtRestart: waits.rowTried(id, RowEnd::AtRestart); break;
                case Removed: pending.remove(id); waits.rowsLeft(); break;
                case TimeUp: waits.tick(1000); break;
            }
        }
        EXPECT_EQ(heard.code, c.code) << c.what;
        EXPECT_EQ(heard.lines, c.lines) << c.what;
        EXPECT_EQ(waits.empty(), c.code >= 0) << c.what;
    }
}

TEST(RowWaitsTest, AWaitWithNoRowLeftToWaitForEndsAtOnce) {
    PendingList pending;
    Heard heard;
    RowWaits waits(pending, heard);
    waits.add(1, {{}, {"Delta not queued."}}, 1000);
    EXPECT_EQ(heard.code, kExitUnknownName);
    const std::uint64_t later = pending.queue("Later", "");
    pending.markAtRestart(later);
    waits.add(2, {{later}, {}}, 1000);  // never tried again: it has ended so
    EXPECT_EQ(heard.code, kExitAtRestart);
    EXPECT_TRUE(waits.empty());
}

}  // namespace
}  // namespace moravel::test
