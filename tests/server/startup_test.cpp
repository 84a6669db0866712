// Command-line parsing: the fixed order of the options and its errors; the
// quiet console's choice of lines; one command carried out in-process.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "config/status.h"
#include "server/startup.h"
#include "tests/support/test_support.h"

namespace {

struct Parsed {
  const char* error;
  TJEXSettings settings;
};

Parsed Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "jex");
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  Parsed parsed;
  parsed.error = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), parsed.settings);
  return parsed;
}

TEST(CommandLine, AllOptionsInTheirOrder) {
  const Parsed parsed = Parse({"-i", "-v", "-vd", "-p", "1055", "/etc/jex/jex.cfg", "ignored"});
  ASSERT_EQ(parsed.error, nullptr);
  EXPECT_EQ(parsed.settings.Interactive, 1);
  EXPECT_EQ(parsed.settings.Verbose, 1);
  EXPECT_EQ(parsed.settings.Debug, 1);
  EXPECT_EQ(parsed.settings.Port, 1055);
  EXPECT_STREQ(parsed.settings.CfgFile, "/etc/jex/jex.cfg");
}

TEST(CommandLine, OptionOutOfOrderIsTakenAsThePath) {
  const Parsed parsed = Parse({"-v", "-i", "/etc/jex/jex.cfg"});
  ASSERT_EQ(parsed.error, nullptr);
  EXPECT_EQ(parsed.settings.Verbose, 1);
  EXPECT_EQ(parsed.settings.Interactive, 0);
  EXPECT_STREQ(parsed.settings.CfgFile, "-i");
}

TEST(CommandLine, DaemonFlagAndDefaults) {
  const Parsed parsed = Parse({"-d", "a.cfg"});
  ASSERT_EQ(parsed.error, nullptr);
  EXPECT_EQ(parsed.settings.Interactive, 0);
  EXPECT_EQ(parsed.settings.Verbose, 0);
  EXPECT_EQ(parsed.settings.Port, 0);
}

TEST(CommandLine, LongPathIsCutTo511Characters) {
  const std::string path(600, 'p');
  const Parsed parsed = Parse({path});
  ASSERT_EQ(parsed.error, nullptr);
  EXPECT_EQ(std::string(parsed.settings.CfgFile), path.substr(0, 511));
}

TEST(CommandLine, Errors) {
  const struct {
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {{}, kErrorMissedParameter},
      {{"-i"}, kErrorMissedParameter},
      {{"-i", "-v", "-vd"}, kErrorMissedParameter},
      {{"-p"}, kErrorMissedParameter},
      {{"-p", "1055"}, kErrorMissedParameter},
      {{"-p", "0", "a.cfg"}, kErrorInvalidPort},
      {{"-p", "70000", "a.cfg"}, kErrorInvalidPort},
      {{"-p", "abc", "a.cfg"}, kErrorInvalidPort},
      {{"-p", "99999999999999999999", "a.cfg"}, kErrorInvalidPort},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Parse(c.args).error, c.error) << testing::PrintToString(c.args);
  }
}

TEST(CommandLine, QuietComesAfterTheModeAndChangesNothingElse) {
  TJEXSettings settings;
  StartupOptions options;
  const std::vector<const char*> argv = {"jex", "-i", "-q", "-v", "-p", "1056", "a.cfg"};
  ASSERT_EQ(ParseCommandLine(static_cast<int>(argv.size()), argv.data(), settings, options),
            nullptr);
  EXPECT_TRUE(options.Quiet);
  EXPECT_EQ(settings.Interactive, 1);
  EXPECT_EQ(settings.Verbose, 1);
  EXPECT_EQ(settings.Port, 1056);
  EXPECT_STREQ(settings.CfgFile, "a.cfg");

  // The mode may be left out before it; a mode after it is out of order and
  // becomes the path.
  TJEXSettings late;
  StartupOptions lateOptions;
  const std::vector<const char*> swapped = {"jex", "-q", "-i", "a.cfg"};
  ASSERT_EQ(ParseCommandLine(static_cast<int>(swapped.size()), swapped.data(), late, lateOptions),
            nullptr);
  EXPECT_TRUE(lateOptions.Quiet);
  EXPECT_EQ(late.Interactive, 0);
  EXPECT_STREQ(late.CfgFile, "-i");
  EXPECT_EQ(Parse({"-i", "-q"}).error, kErrorMissedParameter);
}

TEST(QuietConsole, LeavesOutOnlyTheRoutineLinesOfConnections) {
  const struct {
    const char* line;
    bool routine;
  } cases[] = {
      {"[jex][10:00:00]\t 127.0.0.1\t TCP connection accepted\n", true},
      {"[jex][10:00:00]\t 127.0.0.1\t <-- Correct OX request received\n", true},
      {"[jex][10:00:00]\t 127.0.0.1\t --> request processed (200)\n", true},
      {"[jex][10:00:00]\t jex\t\t Session closed, wait for next ..\n", true},
      {"[jex][10:00:00]\t jex\t\t Listening...\n", false},
      {"[jex][10:00:00]\t 127.0.0.1\t TCP connection rejected\n", false},
      {"[jex][10:00:00]\t 127.0.0.1\t <-- Invalid OX request received\n", false},
      {"[jex][10:00:00]\t 127.0.0.1\t --> request rejected or operation failed (500)\n", false},
      {"[jex][10:00:00]\t 127.0.0.1\t Unknown command \"TCP connection accepted\"\n", false},
      {"TCP connection accepted\n", false},  // not a message line
      {"Sock testing .. Ok\n", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsRoutineConsoleLine(c.line, static_cast<int>(std::strlen(c.line))), c.routine)
        << c.line;
  }
}

TEST(Version, NamesTheAgentVersion) {
  EXPECT_EQ(jextest::Str(VersionText()), std::string("jex ") + AgentStatus.AgentVersion + "\n");
}

class OneCommand : public ::testing::Test {
 protected:
  void SetUp() override { WriteConfig("fileexists=1\nexternal=0\n"); }
  void WriteConfig(const std::string& extra) {
    jextest::WriteFile(cfg_, "jexpath=" JEX_BINARY_DIR
                             "/jex\nport=1055\npassword=p\n"
                             "manageaddr=127.0.0.1\ntmpdir=" +
                                 dir_.Path() + "\n" + extra);
  }
  std::pair<int, std::string> Run(const char* command, std::vector<String> params = {}) {
    String output;
    const int status = RunOneCommand(cfg_.c_str(), String(command), params, output);
    return {status, jextest::Str(output)};
  }
  jextest::TempDir dir_;
  std::string cfg_ = dir_.File("jex.cfg");
};

TEST_F(OneCommand, RepliesAsARequestWould) {
  jextest::WriteFile(dir_.File("present"), "x");
  const auto present = Run("TEST-FileExists", {String(dir_.File("present").c_str())});
  EXPECT_EQ(present.first, 0);
  EXPECT_EQ(present.second.substr(0, 4), "200\n");

  EXPECT_EQ(Run("TEST-ExternalPrg", {String("/bin/true")}),
            (std::pair<int, std::string>{1, "600\ntest is not allowed\n"}));
  EXPECT_EQ(Run("Nothing"), (std::pair<int, std::string>{1, "500\nUnknown command \"Nothing\"\n"}));
}

TEST_F(OneCommand, ManagementGuardAdmitsTheLoopbackPeerOnly) {
  EXPECT_EQ(Run("GetSettings").first, 0);
  WriteConfig("manageaddr=192.0.2.1\n");
  EXPECT_EQ(Run("GetSettings"),
            (std::pair<int, std::string>{1, "600\nOperation is not allowed\n"}));
}

TEST_F(OneCommand, SetSettingsSavesTheConfigurationFile) {
  EXPECT_EQ(Run("SetSettings", {String("Comment=two words")}).first, 0);
  std::ifstream in(cfg_);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("\ncomment=two words"), std::string::npos) << text.str();
}

TEST_F(OneCommand, UnloadableConfigurationIsReported) {
  jextest::WriteFile(cfg_, "# nothing\n");
  const auto result = Run("GetInfo");
  EXPECT_EQ(result.first, 1);
  EXPECT_EQ(result.second.substr(0, 6), "Error\n");
  EXPECT_NE(result.second.find("Password is not specified!"), std::string::npos);
  EXPECT_NE(result.second.find("Please check '" + cfg_ + "' file"), std::string::npos);
}

}  // namespace
