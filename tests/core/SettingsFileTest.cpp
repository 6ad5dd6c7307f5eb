#include <gtest/gtest.h>

#include <windows.h>

#include <tuple>

#include "TempDir.h"
#include "core/AppError.h"
#include "core/Handle.h"
#include "core/SettingsFile.h"

namespace moravel {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

std::unique_ptr<TFileObject> project(const std::string& source, const std::string& destination,
                                     bool backup) {
    auto record = std::make_unique<TFileObject>(source, destination);
    record->VersionBackup = backup;
    return record;
}

std::string saveError(SettingsFile& file, const TProjects& projects) {
    try {
        file.save(projects);
    } catch (const AppError& e) {
        return e.what();
    }
    return "saved";
}

int fileCount(const std::string& folder) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
    int count = 0;
    if (find == INVALID_HANDLE_VALUE) return 0;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++count;
    } while (FindNextFileA(find, &data));
    FindClose(find);
    return count;
}

TEST(ProfileInteger, ReadsDecimalAndHexadecimalFormsOnly) {
    struct Case {
        const char* text;
        int value;
    } cases[] = {
        {"1", 1},         {"  42", 42},        {"+7", 7},          {"-3", -3},
        {"0x1", 1},       {"0X1f", 31},        {"$1", 1},          {"$ff", 255},
        {"x10", 16},      {"X10", 16},         {"007", 7},         {"", 0},
        {" ", 0},         {"abc", 0},          {"1a", 0},          {"1 ", 0},
        {"+", 0},         {"-", 0},            {"$", 0},           {"0x", 0},
        {"-$1", 0},       {"+0x1", 0},         {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},      {"2147483648", 0},  {"-2147483649", 0},
        {"$7FFFFFFF", 2147483647},             {"$80000000", 0},   {"99999999999999999999", 0},
        {"1.5", 0},       {"true", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(profileInteger(c.text, 0), c.value) << '"' << c.text << '"';
    EXPECT_EQ(profileInteger("junk", -9), -9);
}

TEST(SettingsFile, PathIsTheStartDirectoryAndTheFixedName) {
    EXPECT_EQ(settingsFilePath("C:\\work"), "C:\\work\\Moravel.ini");
    EXPECT_EQ(settingsFilePath("C:\\"), "C:\\\\Moravel.ini");
}

TEST(SettingsFile, MissingFileLoadsNothingAndFirstSaveCreatesIt) {
    TempDir dir;
    const std::string ini = settingsFilePath(dir.path());
    SettingsFile file(ini);
    TProjects projects;
    EXPECT_EQ(file.load(projects), "");
    EXPECT_EQ(projects.count(), 0);

    projects.add("Tool", project("C:\\src\\tool.exe", "D:\\apps\\tool.exe", true));
    file.save(projects);
    EXPECT_EQ(readFile(ini),
              "[Tool]\r\nSource=C:\\src\\tool.exe\r\nDestination=D:\\apps\\tool.exe\r\n"
              "VersionBackup=1\r\n");
    EXPECT_EQ(fileCount(dir.path()), 1) << "no scratch file left behind";
}

TEST(SettingsFile, HandWrittenValuesLoadByTheirRules) {
    TempDir dir;
    const std::string ini = settingsFilePath(dir.path());
    writeFile(ini,
              "[hex]\r\nsource=a\r\ndestination=b\r\nVersionBackup=0x1\r\n"
              "[dollar]\r\nSOURCE=c\r\nversionbackup=$1\r\n"
              "[letters]\r\nVersionBackup=yes\r\n"
              "[two]\r\nVersionBackup=2\r\n"
              "[negative]\r\nVersionBackup=-1\r\n"
              "[empty]\r\n");
    TProjects projects;
    SettingsFile(ini).load(projects);
    ASSERT_EQ(projects.count(), 6);
    const auto backup = [&](const char* name) { return projects.lookup(name)->VersionBackup; };
    EXPECT_TRUE(backup("hex"));
    EXPECT_TRUE(backup("dollar"));
    EXPECT_FALSE(backup("letters"));
    EXPECT_TRUE(backup("two"));
    EXPECT_FALSE(backup("negative"));
    EXPECT_FALSE(backup("empty"));
    EXPECT_EQ(projects.lookup("hex")->Source, "a");
    EXPECT_EQ(projects.lookup("hex")->Destination, "b");
    EXPECT_EQ(projects.lookup("dollar")->Source, "c");
    EXPECT_EQ(projects.lookup("dollar")->Destination, "");
    EXPECT_EQ(projects.lookup("empty")->Source, "");
}

TEST(SettingsFile, LongValuesAreCutTo2047Characters) {
    TempDir dir;
    const std::string ini = settingsFilePath(dir.path());
    const std::string longPath = "C:\\" + std::string(3000, 'p');
    writeFile(ini, "[long]\r\nSource=" + longPath + "\r\nDestination=" + longPath.substr(0, 2047) +
                       "\r\n");
    TProjects projects;
    SettingsFile(ini).load(projects);
    ASSERT_EQ(projects.count(), 1);
    EXPECT_EQ(projects.recordAt(0).Source, longPath.substr(0, 2047));
    EXPECT_EQ(projects.recordAt(0).Destination, longPath.substr(0, 2047));
}

TEST(SettingsFile, SectionNamesBeyondTheListBufferAreNotSeen) {
    TempDir dir;
    const std::string ini = settingsFilePath(dir.path());
    // 200 names of 99 characters take 20000 bytes with their terminators: the
    // 16384-byte list holds 163 whole names and the start of the 164th.
    std::string content;
    std::vector<std::string> sections;
    for (int i = 0; i < 200; ++i) {
        char prefix[8];
        std::snprintf(prefix, sizeof prefix, "%03d", i);
        sections.push_back(prefix + std::string(96, 'n'));
        content += "[" + sections.back() + "]\r\nSource=s" + std::to_string(i) + "\r\n";
    }
    writeFile(ini, content);

    const std::vector<std::string> listed = profileSectionNames(ini);
    ASSERT_EQ(listed.size(), 164u);
    EXPECT_EQ(listed[162], sections[162]);
    EXPECT_EQ(listed[163], sections[163].substr(0, 16384 - 2 - 163 * 100));

    SettingsFile file(ini);
    TProjects projects;
    file.load(projects);
    EXPECT_EQ(projects.count(), 164);
    EXPECT_EQ(projects.lookup(sections[0])->Source, "s0");
    EXPECT_EQ(projects.lookup(listed[163])->Source, "") << "a cut name is a project without paths";
    EXPECT_EQ(projects.lookup(sections[170]), nullptr);

    // A save does not see those sections either, so it leaves them alone.
    projects.remove(projects.find(listed[163]));
    file.save(projects);
    EXPECT_NE(readFile(ini).find("[" + sections[199] + "]"), std::string::npos);
}

TEST(SettingsFile, SectionsDifferingOnlyInCaseAreOneProject) {
    TempDir dir;
    const std::string ini = settingsFilePath(dir.path());
    writeFile(ini, "[Tool]\r\nSource=first\r\n[TOOL]\r\nSource=second\r\n[other]\r\nSource=x\r\n");
    TProjects projects;
    SettingsFile(ini).load(projects);
    EXPECT_EQ(projects.count(), 2);
    EXPECT_EQ(projects.nameAt(1), "Tool");
}

TEST(SettingsFile, SaveErasesOnlyRemovedSectionsAndKeepsUnknownKeys) {
    TempDir dir;
    const std::string ini = settingsFilePath(dir.path());
    writeFile(ini,
              "; written by hand\r\n"
              "[Gone]\r\nSource=x\r\nNote=whatever\r\n"
              "[keep]\r\nSource=old\r\nDestination=old\r\nComment=mine\r\nVersionBackup=1\r\n");
    SettingsFile file(ini);
    TProjects projects;
    file.load(projects);
    {
        // A second copy of the program, started in the same folder, adds one.
        SettingsFile other(ini);
        TProjects theirs;
        other.load(theirs);
        theirs.add("Theirs", project("t", "u", false));
        other.save(theirs);
    }
    projects.remove(projects.find("gone"));
    projects.lookup("KEEP")->Source = "new src";
    projects.lookup("keep")->VersionBackup = false;
    projects.add("Added", project("a", "b", false));
    file.save(projects);

    const std::string content = readFile(ini);
    EXPECT_EQ(content.find("Gone"), std::string::npos) << content;
    EXPECT_EQ(content.find("whatever"), std::string::npos) << content;
    EXPECT_NE(content.find("Comment=mine"), std::string::npos) << content;
    EXPECT_NE(content.find("Source=new src"), std::string::npos) << content;
    EXPECT_NE(content.find("VersionBackup=0"), std::string::npos) << content;
    EXPECT_NE(content.find("[Theirs]"), std::string::npos) << "a section this run never loaded stays";

    TProjects again;
    SettingsFile(ini).load(again);
    ASSERT_EQ(again.count(), 3);
    EXPECT_EQ(again.nameAt(0), "Added");
    EXPECT_EQ(again.recordAt(1).Source, "new src");
    EXPECT_EQ(again.recordAt(1).Destination, "old");
    EXPECT_FALSE(again.recordAt(1).VersionBackup);
}

TEST(SettingsFile, OptionKeysReadByTheNumberRulesAndWrittenOnlyWhileOn) {
    TempDir dir;
    const std::string ini = settingsFilePath(dir.path());
    const std::string old = "[Old]\r\nSource=a\r\nDestination=b\r\nVersionBackup=1\r\n";
    writeFile(ini, old +
                       "[Set]\r\nSource=a\r\nDestination=b\r\nreplaceinuse=$1\r\nQUEUEONCHANGE=2\r\nset= Tools \r\n"
                       "[Junk]\r\nSource=a\r\nDestination=b\r\nReplaceInUse=yes\r\nQueueOnChange=-1\r\n");
    SettingsFile file(ini);
    TProjects projects;
    file.load(projects);
    ASSERT_EQ(projects.count(), 3);
    for (const auto& [name, replace, queue] : {std::tuple{"Old", false, false}, std::tuple{"Set", true, true},
                                               std::tuple{"Junk", false, false}}) {
        EXPECT_EQ(projects.lookup(name)->ReplaceInUse, replace) << name;
        EXPECT_EQ(projects.lookup(name)->QueueOnChange, queue) << name;
        EXPECT_EQ(projects.lookup(name)->Set, std::string(name) == "Set" ? "Tools" : "") << name;
    }

    // Off takes the key out, so a project that never used the options is
    // written exactly as before they existed.
    projects.lookup("Set")->QueueOnChange = false;
    projects.lookup("Junk")->ReplaceInUse = true;
    projects.lookup("Set")->Set = " Release ";
    projects.remove(projects.find("Junk"));
    file.save(projects);
    const std::string content = readFile(ini);
    EXPECT_NE(content.find(old), std::string::npos) << content;
    EXPECT_NE(content.find("replaceinuse=1"), std::string::npos) << content;
    EXPECT_EQ(content.find("QUEUEONCHANGE"), std::string::npos) << content;

    TProjects again;
    SettingsFile(ini).load(again);
    EXPECT_TRUE(again.lookup("Set")->ReplaceInUse);
    EXPECT_FALSE(again.lookup("Set")->QueueOnChange);
    EXPECT_EQ(again.lookup("Set")->Set, " Release ");
    again.lookup("Set")->Set.clear();
    SettingsFile(ini).save(again);
    EXPECT_EQ(readFile(ini).find("Release"), std::string::npos) << readFile(ini);
}

// A save is written, or refused with "Unable to write to <path>" leaving the
// file byte for byte; either way nothing else is left in the folder.
TEST(SettingsFile, SaveIsWrittenOrRefusedAndLeavesNothingBehind) {
    enum Setup { Reader, LongFolder, NoSharing, ReadOnly, NoFolder };
    const struct {
        const char* what;
        Setup setup;
        bool saved;
    } cases[] = {
        {"open for reading by a program that shares writing", Reader, true},
        {"start directory of 247 characters, as long as a folder may be", LongFolder, true},
        {"held without sharing", NoSharing, false},
        {"read-only", ReadOnly, false},
        {"folder gone", NoFolder, false},
    };
    const std::string original = "[one]\r\nSource=a\r\nDestination=b\r\nVersionBackup=0\r\n";
    TProjects projects;
    projects.add("one", project("changed", "changed", true));
    projects.add("two", project("c", "d", false));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string folder = dir.path();
        if (c.setup == LongFolder) {
            folder += "\\" + std::string(247 - folder.size() - 1, 'f');
            ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
        }
        if (c.setup == NoFolder) folder += "\\gone";
        const std::string ini = settingsFilePath(folder);
        if (c.setup != NoFolder) writeFile(ini, original);
        const DWORD share = c.setup == Reader ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
        UniqueFile held;
        if (c.setup == Reader || c.setup == NoSharing)
            held.reset(CreateFileA(ini.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
        if (c.setup == ReadOnly) test::setReadOnly(ini, true);

        SettingsFile file(ini);
        EXPECT_EQ(saveError(file, projects), c.saved ? "saved" : "Unable to write to " + ini);
        held.reset();
        test::setReadOnly(ini, false);
        if (c.setup == NoFolder) continue;
        EXPECT_EQ(fileCount(folder), 1);
        const std::string content = readFile(ini);
        if (c.saved)
            EXPECT_NE(content.find("Destination=changed"), std::string::npos) << content;
        else
            EXPECT_EQ(content, original);
    }
}

TEST(SettingsFile, ValuesWithBlanksOrQuotesAtTheEndsLoadBackExactly) {
    TempDir dir;
    const std::string ini = settingsFilePath(dir.path());
    const std::vector<std::string> values = {
        " leading",   "trailing ",     "  both  ", "\ttab",          "\"quoted\"",
        "'single'",   "\"half",        "half\"",   "\"",             "'",
        "mid \" dq",  "a=b",           ";semi",    "#hash",          "[bracket]",
        "caf\xe9",    "C:\\x y\\z.exe", "",         "\"\"",           " \" ",
    };
    TProjects projects;
    for (std::size_t i = 0; i < values.size(); ++i)
        projects.add("p" + std::to_string(100 + i), project(values[i], values[i], i % 2 == 0));
    SettingsFile(ini).save(projects);

    TProjects loaded;
    SettingsFile(ini).load(loaded);
    ASSERT_EQ(loaded.count(), projects.count());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const TFileObject* record = loaded.lookup("p" + std::to_string(100 + i));
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->Source, values[i]);
        EXPECT_EQ(record->Destination, values[i]);
        EXPECT_EQ(record->VersionBackup, i % 2 == 0);
    }
}

}  // namespace
}  // namespace moravel
