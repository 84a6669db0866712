// "GetFilesList" replies line by line and the fixed answers of the commands
// this platform does not support.
#include "handlers/listing.h"

#include <unistd.h>

#include <algorithm>

#include "tests/handlers/files_test_support.h"

namespace jextest {
namespace {

constexpr time_t kTime = 1236262029;  // 5 March 2009

class ListingTest : public FilesTest {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    Make("a.log", "12345", kTime);
    Make("b.txt", "xy", kTime + 60);
    Make(".hidden.log", "h", kTime);
    MakeDir("sub");
    SetModTime(Path("sub"), kTime);
    ASSERT_EQ(symlink("a.log", Path("link.log").c_str()), 0);
    ASSERT_EQ(mkfifo(Path("pipe.log").c_str(), 0644), 0);
  }

  // The entries of a reply: groups of linesPerEntry lines after the header.
  static std::vector<std::vector<std::string>> Entries(const std::vector<std::string>& lines) {
    std::vector<std::vector<std::string>> entries;
    const size_t per = std::stoul(lines.at(3));
    for (size_t at = 4; at + per <= lines.size(); at += per) {
      entries.emplace_back(lines.begin() + at, lines.begin() + at + per);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
  }
};

TEST_F(ListingTest, FoldersThenMatchingFilesWithEveryLine) {
  const auto lines =
      Ask(ProcessInfo_GetFileList, {Path(""), "*.log", "1", "1", "0", "0", "1", "0", "1"});
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "200");
  EXPECT_EQ(lines[1], dir_.Path() + "/");
  EXPECT_EQ(lines[2], "3") << "sub, .. and a.log; no '.', hidden, pipe or link";
  EXPECT_EQ(lines[3], "4");
  const auto entries = Entries(lines);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0][0], "..");
  EXPECT_EQ(entries[1], (std::vector<std::string>{"a.log", "0", "     5", TimeText(kTime)}));
  EXPECT_EQ(entries[2][0], "sub");
  EXPECT_EQ(entries[2][1], "16");
  EXPECT_EQ(entries[2][3], TimeText(kTime));
  // Folders come first.
  EXPECT_TRUE(lines[4] == "sub" || lines[4] == "..");
}

TEST_F(ListingTest, HiddenAndSystemEntriesOnRequest) {
  const auto lines =
      Ask(ProcessInfo_GetFileList, {dir_.Path(), "*.log", "0", "1", "1", "1", "0", "0", "0"});
  EXPECT_EQ(lines[2], "3");
  EXPECT_EQ(lines[3], "2");
  const auto entries = Entries(lines);
  EXPECT_EQ(entries, (std::vector<std::vector<std::string>>{
                         {".hidden.log", "2"}, {"a.log", "0"}, {"pipe.log", "4"}}));
}

TEST_F(ListingTest, ChangeTimeLineComesFromTheFile) {
  struct stat st;
  ASSERT_EQ(lstat(Path("b.txt").c_str(), &st), 0);
  const auto lines =
      Ask(ProcessInfo_GetFileList, {Path("b.txt"), "b*", "0", "1", "0", "0", "0", "1", "0"});
  EXPECT_EQ(lines, (std::vector<std::string>{"200", dir_.Path() + "/", "1", "3", "b.txt", "0",
                                             TimeText(st.st_ctime)}))
      << "a file's path lists its folder";
}

TEST_F(ListingTest, FolderForms) {
  struct Case {
    std::string folder;
    std::string listed;
  };
  for (const Case& c :
       {Case{"", "/"}, Case{dir_.Path(), dir_.Path() + "/"},
        Case{dir_.Path() + "/", dir_.Path() + "/"}, Case{Path("a.log"), dir_.Path() + "/"},
        Case{Path("missing/"), Path("missing/")}}) {
    SCOPED_TRACE(c.folder);
    const auto lines =
        Ask(ProcessInfo_GetFileList, {c.folder, "", "0", "0", "1", "1", "1", "1", "1"});
    EXPECT_EQ(lines, (std::vector<std::string>{"200", c.listed, "0", "5"}));
  }
  const auto missing =
      Ask(ProcessInfo_GetFileList, {Path("missing/"), "", "1", "1", "1", "1", "1", "1", "1"});
  EXPECT_EQ(missing[2], "0") << "a folder that cannot be opened lists nothing";
}

TEST_F(ListingTest, FlagsAreOnlyTheTextOne) {
  const auto lines =
      Ask(ProcessInfo_GetFileList, {dir_.Path(), "a.log", "yes", "1", "0", "0", "true", "2", "01"});
  EXPECT_EQ(lines, (std::vector<std::string>{"200", dir_.Path() + "/", "1", "2", "a.log", "0"}));
}

TEST_F(ListingTest, RefusedUnlessSomeFileTestIsEnabled) {
  TJEXSettings settings;
  settings.EnableUNC = 1;
  JEXSettings.Publish(settings);
  EXPECT_EQ(Ask(ProcessInfo_GetFileList, {"/"}),
            (std::vector<std::string>{"600", "test is not allowed"}));
  settings.EnableTextLog = 1;
  JEXSettings.Publish(settings);
  EXPECT_EQ(Ask(ProcessInfo_GetFileList, {Path("")})[0], "200");
}

TEST(FixedAnswers, EveryCommandAnswersWithItsText) {
  const TJEXSettings saved = *JEXSettings.Get();
  JEXSettings.Publish(TJEXSettings());
  std::map<std::string, std::string> answers;
  for (const HandlerRow& row : ListingCommandRows()) {
    if (std::string(row.name) == "GetFilesList") continue;
    JEXReply reply;
    row.handler(OXRequest(), reply);
    answers[row.name] = Str(reply);
  }
  JEXSettings.Publish(saved);
  const std::string na = "500\nNot applicable for UNIX/Linux";
  const std::string ni = "500\nnot implemented yet";
  const std::map<std::string, std::string> expected = {
      {"GetEventLogSources", na}, {"GetEventLogFiles", na}, {"GetServicesList", na},
      {"TEST-PerfCounter", na},   {"TEST-NTLog", na},       {"TEST-Service", na},
      {"TEST-DiskSpace", na},     {"GetDriveList", ni},     {"TEST-SNMP", ni},
      {"TEST-Script", ni},        {"TEST-Ping", ni},
  };
  EXPECT_EQ(answers, expected);
}

TEST_F(ListingTest, FileInfoDescribesTheLinkItself) {
  int64_t size = -5;
  time_t changeTime = 0;
  time_t modTime = 0;
  EXPECT_EQ(GetFileInfo(Path("a.log").c_str(), size, changeTime, modTime), 1);
  EXPECT_EQ(size, 5);
  EXPECT_EQ(modTime, kTime);
  EXPECT_EQ(GetFileInfo(Path("link.log").c_str(), size, changeTime, modTime), 1);
  EXPECT_NE(modTime, kTime) << "the link's own time, not its target's";
  size = -5;
  EXPECT_EQ(GetFileInfo("", size, changeTime, modTime), 0);
  EXPECT_EQ(GetFileInfo(nullptr, size, changeTime, modTime), 0);
  EXPECT_EQ(GetFileInfo(Path("none").c_str(), size, changeTime, modTime), 0);
  EXPECT_EQ(size, -5);
}

}  // namespace
}  // namespace jextest
