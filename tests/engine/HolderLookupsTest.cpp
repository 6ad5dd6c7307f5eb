// The limits of the holder lookups: how many rows one lookup asks for, and
// how many stuck lookups may be left behind.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <mutex>

#include "core/Handle.h"
#include "engine/HolderLookups.h"
#include "engine/Holders.h"

namespace moravel {
namespace {

// Names a made-up holder for every path, once the test lets it go.
struct GatedFinder : HolderFinder {
    std::vector<std::vector<Holder>> find(const std::vector<std::string>& paths) override {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            asked.push_back(paths);
        }
        WaitForSingleObject(release.get(), 10000);
        return std::vector<std::vector<Holder>>(paths.size(), {{"holder.exe", 7}});
    }
    std::size_t lookups() {
        const std::lock_guard<std::mutex> lock(mutex);
        return asked.size();
    }
    std::mutex mutex;
    std::vector<std::vector<std::string>> asked;
    UniqueHandle release{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
};

std::string path(std::uint64_t id) { return "Z:\\nowhere\\row" + std::to_string(id) + ".dst"; }

class HolderLookupsTest : public ::testing::Test {
protected:
    HolderLookupsTest() {
        lookups.setFinder(finder);
        lookups.setNotice([event = done.get()] { SetEvent(event); });
    }
    // One pass over the given busy rows; the answers its end hands back.
    std::vector<HolderLookups::Answer> pass(std::uint64_t from, std::uint64_t to) {
        lookups.passBegins();
        for (std::uint64_t id = from; id < to; ++id) lookups.noteBusy(id, path(id));
        return lookups.passEnds();
    }
    bool lookupEnded() { return WaitForSingleObject(done.get(), 10000) == WAIT_OBJECT_0; }

    std::shared_ptr<GatedFinder> finder = std::make_shared<GatedFinder>();
    HolderLookups lookups;
    UniqueHandle done{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
};

TEST_F(HolderLookupsTest, RowsPastThePerPassBoundAreAskedAtTheNextPassAndNoneTwice) {
    SetEvent(finder->release.get());
    constexpr std::uint64_t kRows = HolderLookups::kPerPass + 2;
    pass(1, kRows + 1);
    ASSERT_TRUE(lookupEnded());
    ASSERT_EQ(finder->asked.size(), 1u);
    EXPECT_EQ(finder->asked[0].size(), HolderLookups::kPerPass);
    EXPECT_EQ(lookups.takeAnswers().size(), HolderLookups::kPerPass);

    pass(1, kRows + 1);
    ASSERT_TRUE(lookupEnded());
    ASSERT_EQ(finder->asked.size(), 2u);
    EXPECT_EQ(finder->asked[1], (std::vector<std::string>{path(kRows - 1), path(kRows)}));
    const std::vector<HolderLookups::Answer> answers = lookups.takeAnswers();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].holders, "holder.exe (pid 7)");
    EXPECT_EQ(answers[0].pids, std::vector<unsigned long>{7});

    // The streak goes on: nobody is asked again before its turn comes.
    for (int i = 0; i < HolderLookups::kEvery - 2; ++i) pass(1, kRows + 1);
    EXPECT_EQ(finder->lookups(), 2u);
}

TEST_F(HolderLookupsTest, StuckLookupsAreAbandonedAtTheirBoundButOnlyAFewAreLeftRunning) {
    lookups.setBound(20);
    // Every pass finds a row busy for the first time, so every pass has one due.
    std::uint64_t row = 1;
    for (int i = 0; i < HolderLookups::kAbandonedAtMost + 4; ++i) {
        pass(row, row + 1);
        ++row;
        Sleep(40);
    }
    // The first, then a fresh one for each abandoned, until a few are left behind.
    for (int i = 0; i < 100 && finder->lookups() < HolderLookups::kAbandonedAtMost + 1; ++i) Sleep(10);
    EXPECT_EQ(finder->lookups(), static_cast<std::size_t>(HolderLookups::kAbandonedAtMost + 1));
    EXPECT_FALSE(lookups.running()) << "the last one was abandoned too, none was started";

    // Once they have ended, the next lookup answers; theirs are dropped.
    SetEvent(finder->release.get());
    Sleep(200);
    EXPECT_TRUE(lookups.takeAnswers().empty());
    ResetEvent(done.get());
    pass(row, row + 1);
    ASSERT_TRUE(lookupEnded());
    const std::vector<HolderLookups::Answer> answers = lookups.takeAnswers();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].id, row);
}

}  // namespace
}  // namespace moravel
