// Attacks through the running agent: a hostile local user who plants links
// and FIFOs under every name the agent's files in its shared temporary
// directory can be predicted to take, and requests whose parameters carry
// shell syntax, line breaks, NUL bytes, very long values and "../" paths
// into programs, shells and file paths.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent_harness.h"
#include "crypto/md5.h"
#include "protocol/codec.h"

namespace e2e {
namespace {

std::string Text(const String& s) {
  return std::string(s.Data() ? s.Data() : "", s.Length());
}

std::string Shipped(const char* name) {
  return std::string(JEX_BINARY_DIR) + "/scripts/" + name;
}

class AttacksE2ETest : public testing::Test {
 protected:
  void SetUp() override {
    shared_ = agent_.Dir().File("shared");
    ASSERT_EQ(mkdir(shared_.c_str(), 0777), 0);
    ASSERT_EQ(chmod(shared_.c_str(), 01777), 0);  // like /tmp
    for (const char* flag : {"external", "shellscript", "process", "cpuusage", "executeaction"}) {
      agent_.Config()[flag] = "1";
    }
    agent_.Config()["tmpdir"] = shared_;
    agent_.Config()["delayforscripts"] = "0";
    agent_.Config()["proclistscript"] = Shipped("jex-proclist.sh");
    agent_.Config()["proccntscript"] = Shipped("jex-proccnt.sh");
    agent_.Config()["cpuusagescript"] = Shipped("jex-cpuusage.sh");
    victim_ = agent_.Dir().File("victim");
    WriteFile(victim_, "untouched");
  }

  std::string Query(const char* command, const std::vector<std::string>& params) {
    std::vector<String> values;
    for (const std::string& param : params) {
      String value;
      value.AddData(param.data(), static_cast<int>(param.size()));
      values.push_back(value);
    }
    return Text(agent_.Query(command, values));
  }

  // A symbolic link, a hard link or a FIFO at path, in turn.
  void Plant(const std::string& path, int kind) {
    switch (kind % 3) {
      case 0:
        ASSERT_EQ(symlink(victim_.c_str(), path.c_str()), 0) << path;
        break;
      case 1:
        ASSERT_EQ(link(victim_.c_str(), path.c_str()), 0) << path;
        break;
      default:
        ASSERT_EQ(mkfifo(path.c_str(), 0666), 0) << path;
    }
  }

  AgentProcess agent_;
  std::string shared_;
  std::string victim_;
};

// The numbers behind the agent's temporary names: its process id shifted by
// 16 bits plus a counter; the programs it starts get the next process ids.
TEST_F(AttacksE2ETest, PlantedLinksAndFifosAreNeverFollowedOrWaitedOn) {
  ASSERT_TRUE(agent_.Start()) << agent_.Output();
  const pid_t pid = agent_.Pid();
  std::vector<std::string> names = {"jex__.upd", "jexupd__.sh"};
  for (int counter = 1; counter <= 60; ++counter) {
    const int unique = static_cast<int>((static_cast<unsigned>(pid) << 16) + counter);
    names.push_back("tmpjex-" + std::to_string(unique) + ".txt");
    for (int n = 0; n < 3; ++n) {
      names.push_back("tmp-" + std::to_string(unique) + "-" + std::to_string(n));
    }
  }
  for (int next = 1; next <= 400; ++next) names.push_back("tmpjex-" + std::to_string(pid + next) + ".txt");
  for (size_t i = 0; i < names.size(); ++i) Plant(shared_ + "/" + names[i], static_cast<int>(i));
  Plant(agent_.ConfigPath() + ".New", 0);

  // Every command that makes a file in the temporary directory, each answered.
  EXPECT_EQ(Query("TEST-ExternalPrg", {"/nonexistent/jex-prog", "", "", "0"}).substr(0, 14),
            "301\nexec error");
  EXPECT_EQ(Query("TEST-ShellScript", {"/bin/sh %Script%", "echo scriptres: done", "", "", "0"}),
            "200\nscriptres: done\n\n");
  EXPECT_EQ(Query("TEST-Process", {"", "jex"}).substr(0, 4), "200\n");
  EXPECT_EQ(Query("GetProcessesList", {}).substr(0, 4), "200\n");
  EXPECT_EQ(Query("TEST-CPU", {}).substr(0, 4), "200\n");
  EXPECT_EQ(Query("SetSettings", {"Comment=planted"}), "200\n");
  EXPECT_EQ(Query("UpgradeCode", {"5000"}), "200\n");

  EXPECT_EQ(ReadFile(victim_), "untouched");
  // Whatever the agent made under those names is a file of its own, owner only.
  struct stat info;
  for (const std::string& name : names) {
    const std::string path = shared_ + "/" + name;
    if (lstat(path.c_str(), &info) != 0) continue;  // removed or replaced
    if (S_ISREG(info.st_mode) && info.st_nlink == 1) {
      EXPECT_EQ(info.st_mode & 077, 0u) << name;
    }
  }
  EXPECT_TRUE(agent_.Running());
}

// Parameters that reach a program, a shell or a file path: nothing runs that
// the command did not ask for, nothing is written outside the places named.
TEST_F(AttacksE2ETest, HostileParametersRunAndWriteNothingElse) {
  ASSERT_TRUE(agent_.Start()) << agent_.Output();
  const std::string marker = agent_.Dir().File("marker");
  const std::string longValue(100000, 'x');
  const std::vector<std::string> hostile = {
      "; touch " + marker,
      "$(touch " + marker + ")",
      "`touch " + marker + "`",
      "x && touch " + marker + " || touch " + marker,
      "a\ntouch " + marker,
      "a\r\ntouch " + marker,
      std::string("a\0; touch ", 10) + marker,
      "' \" ; touch " + marker + " #",
      longValue + " ; touch " + marker,
      "../../../../../../tmp/../" + marker,
  };
  const std::set<std::string> before = [&] {
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(agent_.Dir().Path())) {
      files.insert(entry.path().string());
    }
    return files;
  }();
  for (const std::string& value : hostile) {
    SCOPED_TRACE(value.substr(0, 60));
    // Program arguments: split without a shell, so the syntax is plain text.
    EXPECT_NE(Query("TEST-ExternalPrg", {"/bin/echo " + value, "", "", "0"}), "");
    EXPECT_NE(Query("ACT-ExternalCmd", {"/bin/echo " + value, "", "0", "0"}), "");
    EXPECT_NE(Query("ACT-ExternalCmd", {"/bin/true", value, "0", "0"}), "");
    // A script's parameters and a process name: arguments, never shell text.
    EXPECT_NE(Query("TEST-ShellScript", {"/bin/sh %Script% %PARAMS%", "echo \"scriptres: $1\"", value, "", "0"}),
              "");
    EXPECT_EQ(Query("TEST-Process", {"", value}).substr(0, 4), "200\n");
    // File paths are read, never written.
    for (const char* command : {"TEST-FileExists", "TEST-FileCRC", "TEST-FolderSize", "TEST-CountFiles"}) {
      EXPECT_NE(Query(command, {value, "", "", "", "", "", ""}), "") << command;
    }
    EXPECT_NE(Query("GetFilesList", {value}), "");
    EXPECT_NE(Query("TEST-TextLog", {value, "x", "0", "0", "", ""}), "");
  }
  EXPECT_FALSE(jextest::Exists(marker));
  for (const auto& entry : std::filesystem::recursive_directory_iterator(agent_.Dir().Path())) {
    const std::string path = entry.path().string();
    EXPECT_EQ(before.count(path), 1u) << "written: " << path;
  }
  EXPECT_TRUE(agent_.Running());
}

}  // namespace
}  // namespace e2e
