#include <gtest/gtest.h>

#include "core/AppError.h"
#include "core/Projects.h"
#include "core/Text.h"

namespace moravel {
namespace {

std::unique_ptr<TFileObject> record(const char* source) {
    return std::make_unique<TFileObject>(source, std::string(source) + ".dst");
}

std::vector<std::string> names(const TProjects& projects) {
    std::vector<std::string> result;
    for (int i = 0; i < projects.count(); ++i) result.push_back(projects.nameAt(i));
    return result;
}

TEST(Projects, KeepsNamesSortedIgnoringCase) {
    TProjects projects;
    for (const char* name : {"delta", "Bravo", "alpha", "Charlie"})
        projects.add(name, record(name));
    EXPECT_EQ(names(projects), (std::vector<std::string>{"alpha", "Bravo", "Charlie", "delta"}));
    EXPECT_EQ(projects.find("CHARLIE"), 2);
    EXPECT_EQ(projects.find("bravo"), 1);
    EXPECT_EQ(projects.find("echo"), -1);
    EXPECT_EQ(projects.find(""), -1);
    EXPECT_EQ(projects.recordAt(3).Source, "delta");
}

TEST(Projects, SameNameInOtherCaseKeepsSpellingAndTakesTheNewRecord) {
    TProjects projects;
    projects.add("beta", record("b"));
    EXPECT_EQ(projects.add("Alpha", record("A")), 0);

    auto replacement = record("B");
    TFileObject* b = replacement.get();
    EXPECT_EQ(projects.add("ALPHA", std::move(replacement)), 0);

    EXPECT_EQ(projects.count(), 2);
    EXPECT_EQ(projects.nameAt(0), "Alpha");
    EXPECT_EQ(&projects.recordAt(0), b);
    EXPECT_EQ(projects.lookup("alpha"), b);
    EXPECT_EQ(projects.lookup("Alpha"), b) << "as stored, too";
}

TEST(Projects, RemoveShiftsLaterPositions) {
    TProjects projects;
    for (const char* name : {"a", "b", "c"}) projects.add(name, record(name));
    projects.remove(1);
    EXPECT_EQ(projects.find("b"), -1);
    EXPECT_EQ(projects.find("c"), 1);
    EXPECT_EQ(projects.lookup("b"), nullptr);
    EXPECT_EQ(names(projects), (std::vector<std::string>{"a", "c"}));
}

TEST(Projects, PositionsOutsideTheListRaiseTheIndexError) {
    TProjects projects;
    EXPECT_EQ(projects.count(), 0);
    const auto message = [&](auto&& call) -> std::string {
        try {
            call();
        } catch (const AppError& e) {
            return e.what();
        }
        return "no error";
    };
    EXPECT_EQ(message([&] { projects.nameAt(0); }), "List index out of bounds (0)");
    projects.add("only", record("x"));
    EXPECT_EQ(message([&] { projects.recordAt(1); }), "List index out of bounds (1)");
    EXPECT_EQ(message([&] { projects.nameAt(-1); }), "List index out of bounds (-1)");
    EXPECT_EQ(message([&] { projects.remove(5); }), "List index out of bounds (5)");
    EXPECT_EQ(projects.count(), 1);
}

TEST(Projects, ManyNamesStayOrderedAndFindable) {
    TProjects projects;
    for (int i = 999; i >= 0; --i) {
        const std::string name = "Project " + std::to_string(i);
        projects.add(name, record(name.c_str()));
    }
    ASSERT_EQ(projects.count(), 1000);
    for (int i = 1; i < projects.count(); ++i)
        EXPECT_LT(compareTextIgnoreCase(projects.nameAt(i - 1), projects.nameAt(i)), 0);
    for (int i = 0; i < 1000; i += 37)
        EXPECT_EQ(projects.nameAt(projects.find("PROJECT " + std::to_string(i))),
                  "Project " + std::to_string(i));
}

// A set is every project naming it, letter case ignored; queuing one
// member queues them all, each once, and a project without a set only itself.
TEST(Projects, ASetIsEveryProjectThatNamesItLetterCaseIgnored) {
    TProjects projects;
    for (const auto& [name, set] : {std::pair{"tool", "Tools"}, std::pair{"helper", "TOOLS"}, std::pair{"alone", ""},
                                    std::pair{"config", "tools"}, std::pair{"other", "Other"}}) {
        projects.add(name, record(name));
        projects.lookup(name)->Set = set;
    }
    using Names = std::vector<std::string>;
    EXPECT_EQ(projects.membersOf("tOOls"), (Names{"config", "helper", "tool"}));
    EXPECT_EQ(projects.membersOf(""), Names{});
    EXPECT_EQ(projects.setNames(), (Names{"Other", "tools"}));  // as the first in the registry spells it
    const struct { Names asked, queued; } cases[] = {
        {{"helper"}, {"helper", "config", "tool"}},
        {{"alone", "TOOL", "other"}, {"alone", "TOOL", "config", "helper", "other"}},
        {{"nobody"}, {"nobody"}}};
    for (const auto& c : cases) EXPECT_EQ(projects.withTheirSets(c.asked), c.queued);
}

}  // namespace
}  // namespace moravel
