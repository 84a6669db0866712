// Command-line parsing: the fixed order of the options and its errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/startup.h"

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

}  // namespace
