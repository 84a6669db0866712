// Console and log messages: line formats, which classes reach which files,
// the 511-character cut, literal texts, and writelog's placement of files.
#include <arpa/inet.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config/log.h"
#include "config/settings.h"
#include "config_test_util.h"

namespace {

using jextest::MatchesDigits;
using jextest::ReadFile;

int Number(const std::string& line, size_t at, size_t length) {
  return std::stoi(line.substr(at, length));
}

in_addr Peer(const char* dotted) {
  in_addr addr{};
  inet_pton(AF_INET, dotted, &addr);
  return addr;
}

class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    jextest::SetCfgFile(s_, dir_.File("jex.cfg"));
    s_.OkLogFile = "ok.txt";
    s_.BadLogFile = "bad.txt";
    s_.VerboseLogFile = "verbose.txt";
    s_.LogSuccess = 1;
    s_.LogFails = 1;
    s_.Verbose = 1;
    s_.Debug = 1;
    Publish();
  }
  void TearDown() override { JEXSettings.Publish(TJEXSettings()); }

  void Publish() { JEXSettings.Publish(s_); }
  std::string Log(const std::string& name) const {
    return ReadFile(dir_.File(name)).value_or("<none>");
  }
  void RemoveLogs() const {
    for (const char* name : {"ok.txt", "bad.txt", "verbose.txt"}) unlink(dir_.File(name).c_str());
  }

  jextest::TempDir dir_;
  TJEXSettings s_;
};

TEST_F(LogTest, ConsoleAndLogLineFormats) {
  s_.Interactive = 1;
  Publish();
  testing::internal::CaptureStdout();
  showmessage("TCP connection accepted\n", Peer("192.168.0.5"), mtSuccess, 0);
  const std::string console = testing::internal::GetCapturedStdout();

  ASSERT_TRUE(MatchesDigits(console, "[jex][##:##:##]\t 192.168.0.5\t TCP connection accepted\n"))
      << console;
  const std::string line = Log("ok.txt");
  ASSERT_TRUE(
      MatchesDigits(line, "[##/##/#### ##:##:##]\t 192.168.0.5\t TCP connection accepted\n"))
      << line;
  EXPECT_GE(Number(line, 1, 2), 1);  // month
  EXPECT_LE(Number(line, 1, 2), 12);
  EXPECT_GE(Number(line, 4, 2), 1);  // day
  EXPECT_LE(Number(line, 4, 2), 31);
  EXPECT_GE(Number(line, 7, 4), 2024);
  EXPECT_LE(Number(line, 12, 2), 23);
  EXPECT_EQ(line.substr(12, 8), console.substr(6, 8)) << "one time stamp per message";
  EXPECT_EQ(Log("verbose.txt"), line);
}

TEST_F(LogTest, LocalMessagesNameTheAgent) {
  showmessage("Listening...\n", LOCAL, mtInfo, 0);
  const std::string line = Log("verbose.txt");
  EXPECT_TRUE(MatchesDigits(line, "[##/##/#### ##:##:##]\t jex\t\t Listening...\n")) << line;
}

struct ClassCase {
  MsgType type;
  int logSuccess, logFails, verbose, debug;
  bool ok, bad, verboseLog, console;
};

TEST_F(LogTest, ClassesGoToTheirFiles) {
  const std::vector<ClassCase> cases = {
      {mtSuccess, 1, 1, 1, 1, true, false, true, true},
      {mtFailure, 1, 1, 1, 1, false, true, true, true},
      {mtInfo, 1, 1, 1, 1, false, false, true, true},
      {mtDebug, 1, 1, 1, 1, false, false, true, true},
      {mtDebug, 1, 1, 1, 0, false, false, false, false},
      {mtSuccess, 0, 1, 0, 0, false, false, false, true},
      {mtFailure, 1, 0, 0, 0, false, false, false, true},
  };
  for (const ClassCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " debug " << c.debug);
    RemoveLogs();
    s_.Interactive = 1;
    s_.LogSuccess = c.logSuccess;
    s_.LogFails = c.logFails;
    s_.Verbose = c.verbose;
    s_.Debug = c.debug;
    Publish();
    testing::internal::CaptureStdout();
    showmessage("<-- Req size: %d\n", Peer("10.0.0.1"), c.type, 1, 42);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(jextest::Exists(dir_.File("ok.txt")), c.ok);
    EXPECT_EQ(jextest::Exists(dir_.File("bad.txt")), c.bad);
    EXPECT_EQ(jextest::Exists(dir_.File("verbose.txt")), c.verboseLog);
    EXPECT_EQ(!console.empty(), c.console);
    if (c.console) {
      EXPECT_NE(console.find("\t 10.0.0.1\t <-- Req size: 42\n"), std::string::npos) << console;
    }
  }
}

TEST_F(LogTest, NoVerboseFileMeansNoVerboseLog) {
  s_.VerboseLogFile = "";
  Publish();
  showmessage("Listening...\n", LOCAL, mtInfo, 0);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.Path()),
                          std::filesystem::directory_iterator()),
            0);
}

TEST_F(LogTest, LongMessagesAreCutAt511) {
  s_.Interactive = 1;
  Publish();
  const std::string text = std::string(600, 'z') + "\n";
  testing::internal::CaptureStdout();
  // The unused argument keeps the format check quiet about a non-literal text.
  showmessage(text.c_str(), LOCAL, mtFailure, 0, 0);
  showmessage("%s", LOCAL, mtInfo, 1, text.c_str());
  const std::string console = testing::internal::GetCapturedStdout();
  EXPECT_EQ(console.size(), 2 * 511u);
  EXPECT_EQ(console.find('\n'), std::string::npos);
  const std::string line = Log("bad.txt");
  EXPECT_EQ(line.size(), 511u);
  EXPECT_EQ(line.back(), 'z') << "the cut line has no line end";
  EXPECT_EQ(Log("verbose.txt"), line + line);
}

TEST_F(LogTest, UnformattedTextIsTakenLiterally) {
  const char* text = "100% done %s %d\n";  // through a variable: no format check here
  showmessage(text, LOCAL, mtInfo, 0, 7);
  const std::string line = Log("verbose.txt");
  EXPECT_EQ(line.substr(line.find("\t 100")), "\t 100% done %s %d\n");
}

TEST_F(LogTest, WritelogPlacesAndAppends) {
  writelog("plain.txt", "one\n");
  writelog("plain.txt", "two");
  EXPECT_EQ(Log("plain.txt"), "one\ntwo");

  const std::string absolute = dir_.File("abs.txt");
  writelog(absolute.c_str(), "x");
  EXPECT_EQ(ReadFile(absolute), "x");

  writelog(dir_.File("missing/dir.txt").c_str(), "lost");  // silently dropped
  EXPECT_FALSE(jextest::Exists(dir_.File("missing")));
  writelog("", "nothing");
  writelog("null.txt", nullptr);
  EXPECT_FALSE(jextest::Exists(dir_.File("null.txt")));
}

}  // namespace
