// End-to-end tests of the file, folder, listing and text-log commands through
// the running agent: exact reply texts over a small fixture, the fixed
// answers of the other platforms' commands, and refusals by configuration.
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "agent_harness.h"

namespace e2e {
namespace {

constexpr time_t kOld = 1236262029;

std::string Text(const String& s) {
  return std::string(s.Data() ? s.Data() : "", s.Length());
}

std::string TimeText(time_t seconds) {
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d%02d%04d%02d%02d%02d", local.tm_mday, local.tm_mon + 1,
                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

long FileAgeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_mtime) : -1;
}

void SetModTime(const std::string& path, time_t seconds) {
  timeval times[2] = {{seconds, 0}, {seconds, 0}};
  lutimes(path.c_str(), times);
}

constexpr const char* kFileKeys[] = {"countfiles", "filecrc", "comparefiles", "fileexists",
                                     "foldersize", "unc",     "textlog"};

class FilesE2ETest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    agent_ = std::make_unique<AgentProcess>();
    for (const char* key : kFileKeys) agent_->Config()[key] = "1";
    ASSERT_TRUE(agent_->Start()) << agent_->Output();
  }
  static void TearDownTestSuite() { agent_.reset(); }

  void SetUp() override {
    ASSERT_TRUE(agent_->Running());
    ASSERT_TRUE(data_.Ok());
  }
  std::string Query(const char* command, const std::vector<std::string>& params = {}) {
    std::vector<String> values;
    for (const std::string& param : params) values.emplace_back(param.c_str());
    return Text(agent_->Query(command, values));
  }
  std::string Make(const std::string& name, const std::string& content, time_t modTime = 0) {
    const std::string path = data_.File(name);
    WriteFile(path, content);
    if (modTime) SetModTime(path, modTime);
    return path;
  }

  static std::unique_ptr<AgentProcess> agent_;
  TempDir data_;
};
std::unique_ptr<AgentProcess> FilesE2ETest::agent_;

TEST_F(FilesE2ETest, FolderListing) {
  Make("a.log", "12345", kOld);
  Make(".b.log", "", kOld);
  mkdir(data_.File("sub").c_str(), 0755);
  symlink("a.log", data_.File("link.log").c_str());
  const std::string folder = data_.Path() + "/";
  EXPECT_EQ(
      Query("GetFilesList", {data_.File("a.log"), "*.log", "0", "1", "0", "0", "1", "0", "1"}),
      "200\n" + folder + "\n1\n4\na.log\n0\n     5\n" + TimeText(kOld) + "\n");
  EXPECT_EQ(Query("GetFilesList", {data_.Path(), "*.log", "0", "0", "0", "0", "0", "0", "0"}),
            "200\n" + folder + "\n0\n2\n");
  const std::string withFolders =
      Query("GetFilesList", {data_.Path(), "none", "1", "1", "1", "0", "0", "0", "0"});
  // Directory order: sub and .. either way round; never '.', and no file matches.
  EXPECT_TRUE(withFolders == "200\n" + folder + "\n2\n2\nsub\n16\n..\n16\n" ||
              withFolders == "200\n" + folder + "\n2\n2\n..\n16\nsub\n16\n")
      << withFolders;
}

TEST_F(FilesE2ETest, FixedAnswers) {
  for (const char* command : {"GetEventLogSources", "GetEventLogFiles", "GetServicesList",
                              "TEST-PerfCounter", "TEST-NTLog", "TEST-Service", "TEST-DiskSpace"}) {
    EXPECT_EQ(Query(command), "500\nNot applicable for UNIX/Linux\n") << command;
  }
  for (const char* command : {"GetDriveList", "TEST-SNMP", "TEST-Script", "TEST-Ping"}) {
    EXPECT_EQ(Query(command, {"x", "y"}), "500\nnot implemented yet\n") << command;
  }
}

TEST_F(FilesE2ETest, CountCrcSizeAndExistence) {
  const std::string digits = Make("digits.txt", "123456789", kOld);
  Make("two.txt", "ab", kOld);
  mkdir(data_.File(".hidden").c_str(), 0755);
  Make(".hidden/deep.txt", "abc");
  EXPECT_EQ(Query("TEST-CountFiles", {data_.Path(), "*.txt", "0", "0", ""}), "200\n2\n");
  EXPECT_EQ(Query("TEST-CountFiles", {data_.Path(), "*.txt", "1", "0", ""}), "200\n3\n");
  EXPECT_EQ(Query("TEST-CountFiles", {data_.Path(), "*", "0", "3", "5"}), "200\n1\n");
  EXPECT_EQ(Query("TEST-CountFiles", {data_.Path(), "*", "0", "7", ""}), "501\nWrong parameter\n");
  EXPECT_EQ(Query("TEST-CountFiles", {data_.File("none"), "*", "0", "0", ""}),
            "301\nFolder doesn`t exist or access denied\n");
  EXPECT_EQ(Query("TEST-FileCRC", {digits}), "200\n873187033\n");
  EXPECT_EQ(Query("TEST-FileCRC", {data_.File("none")}), "301\nCannot open file\n");
  EXPECT_EQ(Query("TEST-FolderSize", {data_.Path(), "1"}), "200\n    14\n");
  EXPECT_EQ(Query("TEST-FolderSize", {data_.File("*.txt"), "0"}), "200\n    11\n");
  struct stat st;
  stat(digits.c_str(), &st);
  EXPECT_EQ(Query("TEST-FileExists", {data_.File("dig*")}),
            "200\n     9\n" + TimeText(st.st_ctime) + "\n" + TimeText(kOld) + "\n" + digits +
                "\nmin\n" + std::to_string((time(nullptr) - kOld) / 60) + "\n");
  EXPECT_EQ(Query("TEST-FileExists", {data_.File("none*")}), "301\nno such file or acess denied\n");
}

TEST_F(FilesE2ETest, CompareAndCapacity) {
  const std::string a = Make("a.txt", "the err: code", kOld);
  const std::string b = Make("b.txt", "the err", kOld);
  mkfifo(data_.File("fifo").c_str(), 0644);
  EXPECT_EQ(Query("TEST-FileCompare", {"1", a, b, "0", "0", "1"}), "200\n1\n");
  EXPECT_EQ(Query("TEST-FileCompare", {"1", a, b, "0", "1", "0"}), "200\n0\n");
  EXPECT_EQ(Query("TEST-FileCompare", {"2", a, b}), "200\n1\n");
  EXPECT_EQ(Query("TEST-FileCompare", {"3", a, "ERR", "0", "1"}), "200\n1\n");
  EXPECT_EQ(Query("TEST-FileCompare", {"3", a, "co", "1", "1"}), "200\n0\n");
  EXPECT_EQ(Query("TEST-FileCompare", {"3", data_.File("fifo"), "x", "1", "1"}),
            "301\nFile doesn`t exist\n");
  EXPECT_EQ(Query("TEST-FileCompare", {"5", a}), "501\nWrong parameter\n");
  const std::string root = Query("TEST-UNC", {"/"});
  EXPECT_EQ(root.substr(0, 4), "200\n");
  EXPECT_EQ(std::count(root.begin(), root.end(), '\n'), 4);
  EXPECT_EQ(Query("TEST-UNC", {data_.File("none")}), "301\nNo such file or directory\n");
  EXPECT_EQ(Query("TEST-UNC", {""}), "501\nPath not specified\n");
}

TEST_F(FilesE2ETest, TextLogChecksFollowTheFile) {
  const std::string log = Make("app.log", "begin\n");
  std::string reply = Query("TEST-TextLog", {log, "'error'", "0", "0", "0", "1", "0", "0", "0"});
  const std::string time = std::to_string(FileAgeOf(log));
  ASSERT_EQ(reply, "200\n     0\n\n0\n     5\n     6\n" + time + "\n     6\n");
  {
    std::ofstream out(log, std::ios::app);
    out << "an error\nanother error\n";
  }
  reply = Query("TEST-TextLog", {log, "'error'", "5", "6", time, "1", "0", "0", "0"});
  EXPECT_EQ(reply, "200\n     6\nan error\n1\n    15\n     6\n" + time + "\n    29\n");
  reply = Query("TEST-TextLog2",
                {log, "15", "6", time, "0", "another", "0", "1", "1", "1", "'an'", "1", "0", "1"});
  EXPECT_EQ(reply, "200\n    16\nanother error\n0\n    29\n    29\n" +
                       std::to_string(FileAgeOf(log)) + "\n    29\n1\n");
  EXPECT_EQ(Query("TEST-TextLog", {data_.File("*.none"), "x", "0", "0", "0", "0", "0", "0", "0"}),
            "301\nFile does not exist\n");
}

TEST(FilesE2EDisabled, RefusedWhenTheKeysAreOff) {
  AgentProcess agent;
  for (const char* key : kFileKeys) agent.Config()[key] = "0";
  ASSERT_TRUE(agent.Start()) << agent.Output();
  for (const char* command :
       {"TEST-CountFiles", "TEST-FileCRC", "TEST-FileCompare", "TEST-FileExists", "TEST-FolderSize",
        "TEST-UNC", "TEST-TextLog", "TEST-TextLog2", "GetFilesList"}) {
    EXPECT_EQ(Text(agent.Query(command, {"/"})), "600\ntest is not allowed\n") << command;
  }
  EXPECT_EQ(Text(agent.Query("TEST-DiskSpace")), "500\nNot applicable for UNIX/Linux\n");
}

}  // namespace
}  // namespace e2e
