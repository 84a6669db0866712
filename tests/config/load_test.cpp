// Loading the configuration file (LoadOptions_) and deriving the filter text,
// script paths and temporary directory (PutRight).
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "config/settings.h"
#include "config_test_util.h"

namespace {

using jextest::Str;

// Enough for a load to succeed; cases add their lines around it.
const std::string kValid = "port=1055\npassword=pw\njexpath=@DIR@/jex\ntmpdir=@DIR@\n";
const std::string kThreeMessages =
    "  TCP post is not specified!\n  Password is not specified!\n"
    "  Full path to the agent is not specified!\n";

class LoadTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    jextest::WriteFile(dir_.File("jex"), "agent");
    cfg_ = dir_.File("jex.cfg");
    jextest::SetCfgFile(settings_, cfg_);
  }

  // Writes content (with @DIR@ filled in) and loads it into settings_.
  int Load(const std::string& content) {
    jextest::WriteFile(cfg_, jextest::WithDir(content, dir_.Path()));
    return settings_.LoadOptions_(msg_);
  }

  jextest::TempDir dir_;
  jextest::EnvGuard env_;
  std::string cfg_;
  TJEXSettings settings_;
  String msg_;
};

struct LoadCase {
  const char* name;
  std::string content;
  int presetPort;  // as "-p" would set it; 0 for none
  int result;
  std::string message;
  std::function<void(const TJEXSettings&)> check;
};

// Short names in test listings instead of the bytes of the case.
void PrintTo(const LoadCase& c, std::ostream* os) {
  *os << c.name;
}

std::string Repeat(char c, size_t n) {
  return std::string(n, c);
}

// Reproducible bytes of every value, NUL included, without '='.
std::string Garbage(size_t n) {
  std::string bytes;
  unsigned state = 12345;
  while (bytes.size() < n) {
    state = state * 1103515245u + 12345u;
    const char c = static_cast<char>(state >> 16);
    if (c != '=') bytes += c;
  }
  return bytes;
}

const std::vector<LoadCase>& LoadCases() {
  static const std::vector<LoadCase> cases = {
      {"OnlyCommentsGivesThreeMessagesInOrder", "# port=1\n;password=x\n#jexpath=/bin/sh\n", 0, 0,
       kThreeMessages,
       [](const TJEXSettings& s) {
         EXPECT_EQ(Str(s.ActiveFilterText), "\r\n127.0.0.1\r\n");
         EXPECT_EQ(s.Timeout, 4000);
       }},
      {"EmptyFile", "", 0, 0, kThreeMessages, nullptr},
      {"BinaryGarbage", Garbage(5000), 0, 0, kThreeMessages, nullptr},
      {"GarbageWithEqualsIsIgnored", Garbage(300) + "=" + Garbage(300) + "\n" + kValid, 0, 1, "",
       [](const TJEXSettings& s) { EXPECT_EQ(Str(s.Password), "pw"); }},
      {"CrLfEndingsAndOddCaseKeys",
       "PORT = 1055\r\nPassWord=MiXed Case\r\n JexPath =\t@DIR@/jex\t \r\nTMPDIR=@DIR@\r\n", 0, 1,
       "",
       [](const TJEXSettings& s) {
         EXPECT_EQ(s.Port, 1055);
         EXPECT_EQ(Str(s.Password), "MiXed Case");
         EXPECT_EQ(s.JexPath.Pos('\r'), 0);
       }},
      {"CommandLinePortWins", kValid + "port=2000\n", 7000, 1, "",
       [](const TJEXSettings& s) { EXPECT_EQ(s.Port, 7000); }},
      {"FirstNonZeroPortWins", "port=0\nport=1056\n" + kValid, 0, 1, "",
       [](const TJEXSettings& s) { EXPECT_EQ(s.Port, 1056); }},
      {"BlankBeforeHashIsNoComment", " #password=x\n;password=y\nport=1\njexpath=@DIR@/jex\n", 0, 0,
       "  Password is not specified!\n", nullptr},
      {"LastOccurrenceWinsAndValueKeepsEquals",
       kValid + "comment=first\ncomment=  a=b =c \t\r\npassword=\n", 0, 0,
       "  Password is not specified!\n",
       [](const TJEXSettings& s) { EXPECT_EQ(Str(s.Comment), "a=b =c"); }},
      {"EmptyKeyMatchesNothing", kValid + " =x\n=y\n", 0, 1, "", nullptr},
      {"Flags", kValid + "logfails=yes\nlogsuccess=1\nunc=\ntcp=10\nudp=01\nexecuteaction=1\n", 0,
       1, "",
       [](const TJEXSettings& s) {
         EXPECT_EQ(s.LogFails, 0);
         EXPECT_EQ(s.LogSuccess, 1);
         EXPECT_EQ(s.EnableUNC, 0);
         EXPECT_EQ(s.EnableTCP, 1);
         EXPECT_EQ(s.EnableUDP, 0);
         EXPECT_EQ(s.EnableExecuteAction, 1);
         EXPECT_EQ(s.EnableTextLog, 1);  // reset value
       }},
      {"Integers", kValid + "timeout= -5x\ndelayforscripts=abc\nmaxsessions=+7\n", 0, 1, "",
       [](const TJEXSettings& s) {
         EXPECT_EQ(s.Timeout, -5);
         EXPECT_EQ(s.DelayForScripts, 0);
         EXPECT_EQ(s.MaxSessions, 7);
       }},
      {"ZeroTimeoutAndSessionsBecomeDefaults", kValid + "timeout=0\nmaxsessions=none\n", 0, 1, "",
       [](const TJEXSettings& s) {
         EXPECT_EQ(s.Timeout, kDefaultTimeout);
         EXPECT_EQ(s.MaxSessions, kDefaultMaxSessions);
         EXPECT_EQ(s.DelayForScripts, 90000);
       }},
      {"FilterListAndMarks", kValid + "filterlist=  10.0.0.1    10.0.0.2 \nfiltermarks=10\n", 0, 1,
       "",
       [](const TJEXSettings& s) {
         EXPECT_EQ(Str(s.FilterList), "10.0.0.1\r\n10.0.0.2");
         EXPECT_EQ(Str(s.ActiveFilterText), "\r\n10.0.0.1\r\n");
       }},
      {"EscapedFilterList", kValid + "filterlist=1.1.1.1%0D%0A2.2.2.2 3.3.3.3\nfiltermarks=111\n",
       0, 1, "",
       [](const TJEXSettings& s) {
         EXPECT_EQ(Str(s.ActiveFilterText), "\r\n1.1.1.1\r\n2.2.2.2\r\n3.3.3.3\r\n");
       }},
      {"MoreMarksThanEntriesWarns", kValid + "filterlist=10.0.0.1 10.0.0.2\nfiltermarks=111\n", 0,
       1, "FilterMarks has less items than FilterList",
       [](const TJEXSettings& s) {
         EXPECT_EQ(Str(s.ActiveFilterText), "\r\n10.0.0.1\r\n10.0.0.2\r\n");
       }},
      {"WarningComesBeforeValidation", "filtermarks=11\n", 0, 0,
       "FilterMarks has less items than FilterList" + kThreeMessages, nullptr},
      {"LongLineIsReadInPieces",
       // 1023 bytes make the first piece; the rest of the line is a line of its own.
       kValid + "comment=" + Repeat('x', 1015) + "password=tail\n" +
           "oklogfile=" + Repeat('y', 3000) + "\n",
       0, 1, "",
       [](const TJEXSettings& s) {
         EXPECT_EQ(Str(s.Comment), Repeat('x', 1015));
         EXPECT_EQ(Str(s.Password), "tail");
         EXPECT_EQ(Str(s.OkLogFile), Repeat('y', 1013));
       }},
      {"RelativeAgentPath", "port=1\npassword=p\njexpath=bin/jex\n", 0, 0,
       "  Full path to the agent is not specified!\n", nullptr},
      {"MissingAgent", "port=1\npassword=p\njexpath=@DIR@/none\n", 0, 0,
       "  Invalid path to the agent!\n", nullptr},
      {"AgentPathIsDirectory", "port=1\npassword=p\njexpath=@DIR@\n", 0, 0,
       "  Invalid path to the agent!\n", nullptr},
  };
  return cases;
}

class LoadCaseTest : public LoadTest, public testing::WithParamInterface<LoadCase> {};

TEST_P(LoadCaseTest, Loads) {
  const LoadCase& c = GetParam();
  settings_.Port = c.presetPort;
  EXPECT_EQ(Load(c.content), c.result);
  EXPECT_EQ(Str(msg_), c.message);
  if (c.check) c.check(settings_);
}

INSTANTIATE_TEST_SUITE_P(Cases, LoadCaseTest, testing::ValuesIn(LoadCases()),
                         [](const testing::TestParamInfo<LoadCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(LoadTest, NoConfigurationFile) {
  settings_.CfgFile[0] = '\0';
  EXPECT_EQ(settings_.LoadOptions_(msg_), 0);
  EXPECT_EQ(Str(msg_), "Configuration file is not specified");
}

TEST_F(LoadTest, FilesThatCannotBeReadGiveTheOpenMessage) {
  const std::string unreadable = dir_.File("unreadable.cfg");
  jextest::WriteFile(unreadable, kValid);
  chmod(unreadable.c_str(), 0);
  std::vector<std::string> paths = {dir_.File("missing.cfg"), dir_.Path()};
  if (geteuid() != 0) paths.push_back(unreadable);  // root reads it anyway
  for (const std::string& path : paths) {
    jextest::SetCfgFile(settings_, path);
    settings_.Password = "before";
    EXPECT_EQ(settings_.LoadOptions_(msg_), 0) << path;
    EXPECT_EQ(Str(msg_), "Cannot open configuration file '" + path + "'");
    EXPECT_EQ(settings_.Password.Length(), 0) << "the reset happens before the open";
  }
}

TEST_F(LoadTest, ResetsMostFieldsAndKeepsTheOthers) {
  settings_.Host = "10.1.1.1";
  settings_.Timeout = 1234;
  settings_.VerboseLogFile = "v.txt";
  settings_.CPUUsageScript = "/s/cpu.sh";
  settings_.MaxSessions = 9;
  settings_.Comment = "old";
  settings_.LogFails = 0;
  settings_.OkLogFile = "mine.txt";
  settings_.EnableTCP = 0;
  settings_.EnableSyslogAction = 1;
  settings_.EnableService = 1;
  settings_.EnableSNMP = 0;
  settings_.PidFile = "/run/jex.pid";
  ASSERT_EQ(Load(kValid), 1) << Str(msg_);
  EXPECT_EQ(Str(settings_.Host), "10.1.1.1");
  EXPECT_EQ(settings_.Timeout, 1234);
  EXPECT_EQ(Str(settings_.VerboseLogFile), "v.txt");
  EXPECT_EQ(Str(settings_.CPUUsageScript), "/s/cpu.sh");
  EXPECT_EQ(settings_.MaxSessions, 9);
  EXPECT_EQ(settings_.Comment.Length(), 0);
  EXPECT_EQ(settings_.LogFails, 1);
  EXPECT_EQ(Str(settings_.OkLogFile), "log1.txt");
  EXPECT_EQ(Str(settings_.BadLogFile), "log2.txt");
  EXPECT_EQ(Str(settings_.UpdateAddr), "127.0.0.1");
  EXPECT_EQ(Str(settings_.ManageAddr), "127.0.0.1");
  EXPECT_EQ(settings_.AllowManage, 1);
  EXPECT_EQ(settings_.AllowUpdates, 1);
  EXPECT_EQ(settings_.EnableTCP, 1);
  EXPECT_EQ(settings_.EnableSyslogAction, 0);
  EXPECT_EQ(settings_.EnableService, 0);
  EXPECT_EQ(settings_.EnableSNMP, 1);
  EXPECT_EQ(settings_.PidFile.Length(), 0);
}

// ---------------------------------------------------------------------------
// PutRight

class PutRightTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Ok()); }
  jextest::TempDir dir_;
  jextest::EnvGuard env_;
  TJEXSettings s_;
  String msg_;
};

TEST_F(PutRightTest, ActiveFilterTextTakesTheMarkedEntries) {
  s_.FilterList = "10.0.0.1\r\n 10.0.0.2 \r\n10.0.0.3\r\n10.0.0.4";
  s_.FilterMarks = "1x1";
  s_.PutRight(msg_);
  EXPECT_EQ(Str(s_.ActiveFilterText), "\r\n10.0.0.1\r\n10.0.0.3\r\n");
  EXPECT_EQ(msg_.Length(), 0);

  s_.FilterList = "10.0.0.1\r\n\r\n10.0.0.3";  // an empty line ends the list
  s_.FilterMarks = "111";
  msg_ = "earlier text";
  s_.PutRight(msg_);
  EXPECT_EQ(Str(s_.ActiveFilterText), "\r\n10.0.0.1\r\n");
  EXPECT_EQ(Str(msg_), "FilterMarks has less items than FilterList");

  s_.FilterMarks = "";
  s_.PutRight(msg_);
  EXPECT_EQ(Str(s_.ActiveFilterText), "\r\n");
}

TEST_F(PutRightTest, ScriptsWithoutDirectoryGoNextToTheAgent) {
  s_.JexPath = "/opt/jex/jex";
  s_.CPUUsageScript = "cpu.sh";
  s_.ProcListScript = "/usr/local/bin/plist";
  s_.ProcCntScript = "";
  s_.PutRight(msg_);
  EXPECT_EQ(Str(s_.CPUUsageScript), "/opt/jex/cpu.sh");
  EXPECT_EQ(Str(s_.ProcListScript), "/usr/local/bin/plist");
  EXPECT_EQ(Str(s_.ProcCntScript), "") << "an unset script stays unset";
  s_.PutRight(msg_);
  EXPECT_EQ(Str(s_.CPUUsageScript), "/opt/jex/cpu.sh") << "a second run changes nothing";

  s_.ProcCntScript = "scripts/pcnt.sh";
  s_.PutRight(msg_);
  EXPECT_EQ(Str(s_.ProcCntScript), "scripts/pcnt.sh");

  TJEXSettings bare;
  bare.JexPath = "jex";
  bare.CPUUsageScript = "cpu.sh";
  bare.PutRight(msg_);
  EXPECT_EQ(Str(bare.CPUUsageScript), "cpu.sh");
}

TEST_F(PutRightTest, TmpDirIsCompletedAndExported) {
  const std::string other = dir_.File("other");
  ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
  struct Case {
    std::string tmpDir;
    std::optional<std::string> envTmpDir;
    std::optional<std::string> envTmp;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {dir_.Path() + "/", std::nullopt, std::nullopt, dir_.Path()},
      {dir_.Path(), other, std::nullopt, dir_.Path()},
      {"", other + "/", "/", other},
      {dir_.File("missing"), std::nullopt, other, other},
      {"", dir_.File("missing"), other, "."},  // TMPDIR is set, so TMP is not consulted
      {"", std::nullopt, std::nullopt, "."},
  };
  for (const Case& c : cases) {
    auto set = [](const char* name, const std::optional<std::string>& value) {
      if (value) {
        setenv(name, value->c_str(), 1);
      } else {
        unsetenv(name);
      }
    };
    set("TMPDIR", c.envTmpDir);
    set("TMP", c.envTmp);
    s_.TmpDir = c.tmpDir.c_str();
    s_.PutRight(msg_);
    EXPECT_EQ(Str(s_.TmpDir), c.expected) << c.tmpDir;
    ASSERT_NE(getenv("TMPDIR"), nullptr);
    EXPECT_EQ(std::string(getenv("TMPDIR")), c.expected);
  }
}

}  // namespace
