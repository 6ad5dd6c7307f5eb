#include <gtest/gtest.h>

#include "core/AppError.h"
#include "engine/PendingList.h"

namespace moravel {
namespace {

std::vector<std::string> names(const PendingList& list) {
    std::vector<std::string> result;
    for (int i = 0; i < list.count(); ++i) result.push_back(list.rowAt(i).name);
    return result;
}

// Keeps a copy of the list as a view would, from the notifications alone.
class MirrorView : public PendingListObserver {
public:
    void rowInserted(int position, const PendingRow& row) override {
        ASSERT_LE(position, static_cast<int>(rows.size()));
        rows.insert(rows.begin() + position, row);
        events.push_back("insert " + std::to_string(position));
    }
    void rowRemoved(int position) override {
        ASSERT_LT(position, static_cast<int>(rows.size()));
        rows.erase(rows.begin() + position);
        events.push_back("remove " + std::to_string(position));
    }
    void rowChanged(int position, const PendingRow& row, RowChange change) override {
        ASSERT_LT(position, static_cast<int>(rows.size()));
        rows[static_cast<std::size_t>(position)] = row;
        const char* what = change == RowChange::Attempts ? "attempts " : change == RowChange::DoneMarks ? "done " : "holders ";
        events.push_back(what + std::to_string(position));
    }

    std::vector<PendingRow> rows;
    std::vector<std::string> events;
};

TEST(PendingList, QueuedRowsStartFreshAndSortByCaseSensitiveName) {
    PendingList list;
    // Names differing only in case are separate rows, ordered by the locale:
    // the capitals queued first still go after the small letters.
    const auto at = [&list](std::uint64_t id) { return list.positionOf(id); };
    EXPECT_EQ(at(list.queue("BETA", "t0")), 0);
    EXPECT_EQ(at(list.queue("beta", "t1")), 0);
    EXPECT_EQ(at(list.queue("Alpha", "t2")), 0) << "Alpha comes before beta";
    EXPECT_EQ(at(list.queue("gamma", "t3")), 3);
    EXPECT_EQ(names(list), (std::vector<std::string>{"Alpha", "beta", "BETA", "gamma"}));

    const PendingRow& alpha = list.rowAt(0);
    EXPECT_EQ(alpha.addedAt, "t2");
    EXPECT_EQ(alpha.attempts, 0);
    EXPECT_EQ(alpha.attemptsText(), "0");
    EXPECT_FALSE(alpha.isDone());
}

TEST(PendingList, EqualNameGoesAfterTheOneAlreadyThereAndIdsStayWithRows) {
    PendingList list;
    list.queue("a", "first");
    list.queue("c", "");
    EXPECT_EQ(list.positionOf(list.queue("a", "second")), 1);
    EXPECT_EQ(list.rowAt(0).addedAt, "first");
    EXPECT_EQ(list.rowAt(1).addedAt, "second");

    const std::uint64_t idC = list.rowAt(2).id;
    const std::uint64_t idSecond = list.rowAt(1).id;
    EXPECT_NE(list.rowAt(0).id, idSecond);
    list.deleteAt(0);
    EXPECT_EQ(list.positionOf(idSecond), 0);
    EXPECT_EQ(list.positionOf(idC), 1);
    list.queue("b", "");
    EXPECT_EQ(list.positionOf(idC), 2);
    list.deleteAt(2);
    EXPECT_EQ(list.positionOf(idC), -1);
}

TEST(PendingList, FindByNameIgnoresCaseAndTakesTheFirstMatch) {
    PendingList list;
    for (const char* name : {"Tool", "other", "tool", "TOOL"}) list.queue(name, "");
    // "other" sorts first; the three spellings of tool follow it.
    EXPECT_EQ(list.findByName("tOOl"), 1);
    EXPECT_EQ(list.findByName("OTHER"), 0);
    EXPECT_EQ(list.findByName("tool "), -1) << "the whole name must match";
    EXPECT_EQ(list.findByName("too"), -1);
    EXPECT_EQ(list.findByName(""), -1);
}

TEST(PendingList, FailuresAndDoneMarksAccumulate) {
    PendingList list;
    const std::uint64_t x = list.queue("x", "");
    for (int i = 0; i < 11; ++i) list.countFailure(x);
    EXPECT_EQ(list.rowAt(0).attemptsText(), "11");
    list.markDone(x);
    EXPECT_TRUE(list.rowAt(0).isDone());
    list.markDone(x);
    EXPECT_EQ(list.rowAt(0).doneMarks, 2);
    EXPECT_EQ(list.rowAt(0).attempts, 11) << "a success leaves the count alone";
}

TEST(PendingList, PositionsOutsideTheListRaiseTheIndexErrorRowsThatLeftAreLetBe) {
    PendingList list;
    const std::uint64_t only = list.queue("only", "");
    const auto message = [](auto&& call) -> std::string {
        try {
            call();
        } catch (const AppError& e) {
            return e.what();
        }
        return "no error";
    };
    EXPECT_EQ(message([&] { list.rowAt(1); }), "List index out of bounds (1)");
    EXPECT_EQ(message([&] { list.rowAt(-1); }), "List index out of bounds (-1)");
    EXPECT_EQ(message([&] { list.deleteAt(3); }), "List index out of bounds (3)");
    for (const std::uint64_t gone : {only + 1, std::uint64_t{0}}) {
        list.countFailure(gone);
        list.markDone(gone);
        list.setHolders(gone, "x.exe (pid 1)");
        list.remove(gone);
        EXPECT_EQ(list.find(gone), nullptr);
    }
    EXPECT_EQ(list.count(), 1);
    EXPECT_EQ(list.rowAt(0).attempts, 0);
    EXPECT_EQ(list.rowAt(0).doneMarks, 0);
}

TEST(PendingList, ObserverSeesEveryChangeAtItsPosition) {
    PendingList list;
    MirrorView view;
    list.setObserver(&view);

    const std::uint64_t m = list.queue("m", "");
    list.queue("b", "");
    const std::uint64_t z = list.queue("z", "");
    list.countFailure(m);
    list.markDone(z);
    list.deleteAt(0);
    list.queue("a", "");
    list.setHolders(z, "x.exe (pid 1)");
    list.remove(m);
    EXPECT_EQ(view.events, (std::vector<std::string>{"insert 0", "insert 0", "insert 2",
                                                     "attempts 1", "done 2", "remove 0",
                                                     "insert 0", "holders 2", "remove 1"}));

    ASSERT_EQ(static_cast<int>(view.rows.size()), list.count());
    for (int i = 0; i < list.count(); ++i) {
        const PendingRow& seen = view.rows[static_cast<std::size_t>(i)];
        EXPECT_EQ(seen.id, list.rowAt(i).id);
        EXPECT_EQ(seen.name, list.rowAt(i).name);
        EXPECT_EQ(seen.attempts, list.rowAt(i).attempts);
        EXPECT_EQ(seen.doneMarks, list.rowAt(i).doneMarks);
    }

    // A refused position tells the view nothing.
    view.events.clear();
    EXPECT_THROW(list.deleteAt(7), AppError);
    EXPECT_TRUE(view.events.empty());
    list.setObserver(nullptr);
    list.deleteAt(0);
    EXPECT_TRUE(view.events.empty());
}

}  // namespace
}  // namespace moravel
