// Saving the configuration file (SaveOptions_): byte-exact rewrites, appended
// keys, the ".New"/".Old" files and the failures.
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "config/settings.h"
#include "config_test_util.h"

namespace {

using jextest::Str;

class SaveTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    jextest::WriteFile(dir_.File("jex"), "agent");
    cfg_ = dir_.File("jex.cfg");
    jextest::SetCfgFile(s_, cfg_);
    s_.TmpDir = dir_.Path().c_str();
  }

  std::string Dir(const std::string& text) const { return jextest::WithDir(text, dir_.Path()); }
  void Write(const std::string& content) { jextest::WriteFile(cfg_, Dir(content)); }
  std::string Saved() const { return jextest::ReadFile(cfg_).value_or("<missing>"); }

  jextest::TempDir dir_;
  jextest::EnvGuard env_;
  std::string cfg_;
  TJEXSettings s_;
  String msg_;
};

TEST_F(SaveTest, RewritesOnlyTheValuesAndKeepsEverythingElse) {
  const std::string before =
      "# jex test configuration\n"
      ";port=9\n"
      " #comment=blank before hash\n"
      "jexpath=@DIR@/jex\n"
      "Unknown Key = some value\n"
      "tmpdir=@DIR@\n"
      "  PORT =  1055 ; old remark\n"
      "Comment  =   old comment\r\n"
      "password=pw\n"
      "host=127.0.0.1\n"
      "timeout=4000\n"
      "filteractive=0\n"
      "filtermarks=10\n"
      "filterlist=10.0.0.1   10.0.0.2\n"
      "verboselogfile=v.txt\n"
      "logsuccess=0\n"
      "LogFails = 1 ; remark stays\n"
      "oklogfile=log1.txt\n"
      "badlogfile=log2.txt\n"
      "allowupdates=1\n"
      "allowmanage=1\n"
      "updateaddr=127.0.0.1\n"
      "manageaddr=127.0.0.1\n"
      "unc=\n"
      "freespace=1\r\n"
      "foldersize=1\n"
      "countfiles=1\n"
      "fileexists=1\n"
      "filecrc=1\n"
      "comparefiles=1\n"
      "process=1\n"
      "cpuusage=1\n"
      "script=1\n"
      "external=1\n"
      "ping=1\n"
      "tcp=1\n"
      "udp=1\n"
      "textlog=1\n"
      "shellscript=1\n"
      "executeaction=0\n"
      "tcpudpaction=0\n"
      "syslogaction=0\n"
      "maxsessions=64\n"
      "delayforscripts=90000";
  Write(before);
  ASSERT_EQ(s_.LoadOptions_(msg_), 1) << Str(msg_);
  s_.Port = 2001;
  s_.Comment = "new comment";
  s_.Password = "p w=x";
  s_.LogFails = 0;
  s_.EnableUNC = 1;
  s_.EnableFreeSpace = 0;
  s_.EnableTCP = 0;
  s_.FilterList = "10.0.0.1\r\n10.0.0.3";
  s_.VerboseLogFile = "";

  ASSERT_EQ(s_.SaveOptions_(msg_), 1) << Str(msg_);
  EXPECT_EQ(Str(msg_), "");
  EXPECT_EQ(Saved(), Dir("# jex test configuration\n"
                         ";port=9\n"
                         " #comment=blank before hash\n"
                         "jexpath=@DIR@/jex\n"
                         "Unknown Key = some value\n"
                         "tmpdir=@DIR@\n"
                         "  PORT =  2001\r\n"
                         "Comment  =   new comment\r\n"
                         "password=p w=x\r\n"
                         "host=127.0.0.1\r\n"
                         "timeout=4000\r\n"
                         "filteractive=0\n"
                         "filtermarks=10\r\n"
                         "filterlist=10.0.0.1 10.0.0.3\r\n"
                         "verboselogfile=\r\n"
                         "logsuccess=0\n"
                         "LogFails = 0 ; remark stays\n"
                         "oklogfile=log1.txt\r\n"
                         "badlogfile=log2.txt\r\n"
                         "allowupdates=1\n"
                         "allowmanage=1\n"
                         "updateaddr=127.0.0.1\r\n"
                         "manageaddr=127.0.0.1\r\n"
                         "unc=1\r\n"
                         "freespace=0\r\n"
                         "foldersize=1\n"
                         "countfiles=1\n"
                         "fileexists=1\n"
                         "filecrc=1\n"
                         "comparefiles=1\n"
                         "process=1\n"
                         "cpuusage=1\n"
                         "script=1\n"
                         "external=1\n"
                         "ping=1\n"
                         "tcp=0\n"
                         "udp=1\n"
                         "textlog=1\n"
                         "shellscript=1\n"
                         "executeaction=0\n"
                         "tcpudpaction=0\n"
                         "syslogaction=0\n"
                         "maxsessions=64\r\n"
                         "delayforscripts=90000\r\n"));
  EXPECT_EQ(jextest::ReadFile(cfg_ + ".Old"), Dir(before));
  EXPECT_FALSE(jextest::Exists(cfg_ + ".New"));

  // A load reads back what the save wrote.
  TJEXSettings reloaded;
  jextest::SetCfgFile(reloaded, cfg_);
  ASSERT_EQ(reloaded.LoadOptions_(msg_), 1) << Str(msg_);
  EXPECT_EQ(reloaded.Port, 2001);
  EXPECT_EQ(Str(reloaded.Comment), "new comment");
  EXPECT_EQ(Str(reloaded.Password), "p w=x");
  EXPECT_EQ(Str(reloaded.FilterList), "10.0.0.1\r\n10.0.0.3");
  EXPECT_EQ(reloaded.LogFails, 0);
  EXPECT_EQ(reloaded.EnableUNC, 1);
  EXPECT_EQ(reloaded.EnableFreeSpace, 0);
  EXPECT_EQ(reloaded.EnableTCP, 0);
}

TEST_F(SaveTest, AppendsMissingKeysInOrderButNeverFreeSpace) {
  const std::string before = "jexpath=@DIR@/jex\npassword=pw\nport=1055";
  Write(before);
  ASSERT_EQ(s_.LoadOptions_(msg_), 1) << Str(msg_);
  s_.EnableFreeSpace = 0;
  ASSERT_EQ(s_.SaveOptions_(msg_), 1) << Str(msg_);
  EXPECT_EQ(Saved(), Dir("jexpath=@DIR@/jex\n"
                         "password=pw\r\n"
                         "port=1055\r\n"
                         "host=\r\n"
                         "timeout=4000\r\n"
                         "comment=\r\n"
                         "filteractive=0\r\n"
                         "filtermarks=1\r\n"
                         "filterlist=127.0.0.1\r\n"
                         "verboselogfile=\r\n"
                         "logsuccess=0\r\n"
                         "logfails=1\r\n"
                         "oklogfile=log1.txt\r\n"
                         "badlogfile=log2.txt\r\n"
                         "allowupdates=1\r\n"
                         "allowmanage=1\r\n"
                         "updateaddr=127.0.0.1\r\n"
                         "manageaddr=127.0.0.1\r\n"
                         "unc=1\r\n"
                         "foldersize=1\r\n"
                         "countfiles=1\r\n"
                         "fileexists=1\r\n"
                         "filecrc=1\r\n"
                         "comparefiles=1\r\n"
                         "process=1\r\n"
                         "cpuusage=1\r\n"
                         "script=1\r\n"
                         "external=1\r\n"
                         "ping=1\r\n"
                         "tcp=1\r\n"
                         "udp=1\r\n"
                         "textlog=1\r\n"
                         "shellscript=1\r\n"
                         "executeaction=0\r\n"
                         "tcpudpaction=0\r\n"
                         "syslogaction=0\r\n"
                         "maxsessions=64\r\n"));
  EXPECT_EQ(jextest::ReadFile(cfg_ + ".Old"), Dir(before));
}

// An appended text is cut like a rewritten one, so the load reads it back as
// one line and its tail can never turn into a key line of its own.
TEST_F(SaveTest, AppendedTextIsCutTo1020) {
  Write("jexpath=@DIR@/jex\n");
  s_.Comment = (std::string(1015, 'c') + "jexpath=/elsewhere/jex").c_str();
  ASSERT_EQ(s_.SaveOptions_(msg_), 1) << Str(msg_);
  const std::string saved = Saved();
  EXPECT_NE(saved.find("\r\ncomment=" + std::string(1012, 'c') + "\r\npassword="),
            std::string::npos);
  EXPECT_EQ(saved.find("/elsewhere"), std::string::npos);
}

struct LineCase {
  const char* name;
  std::string before;  // the whole file
  std::function<void(TJEXSettings&)> edit;
  std::string after;  // how the saved file begins; missing keys follow it
};

// Short names in test listings instead of the bytes of the case.
void PrintTo(const LineCase& c, std::ostream* os) {
  *os << c.name;
}

const std::vector<LineCase>& LineCases() {
  static const std::vector<LineCase> cases = {
      {"FlagKeepsItsRemark", " UNC\t=\t0 remark\n", [](TJEXSettings& s) { s.EnableUNC = 1; },
       " UNC\t=\t1 remark\n"},
      {"FlagOverLf", "unc=\n", [](TJEXSettings& s) { s.EnableUNC = 1; }, "unc=1\r\n"},
      {"FlagOverCr", "unc=\r\n", [](TJEXSettings& s) { s.EnableUNC = 1; }, "unc=1\n"},
      {"FlagOnLastLineWithoutEnd", "unc =  \t", [](TJEXSettings& s) { s.EnableUNC = 1; },
       "unc =  \t1\r\n"},
      {"FlagLastLineKeepsLength", "unc=1", [](TJEXSettings& s) { s.EnableUNC = 0; }, "unc=0\r\n"},
      {"FreeSpaceIsRewritten", "freespace=1\n", [](TJEXSettings& s) { s.EnableFreeSpace = 0; },
       "freespace=0\n"},
      {"PortLosesItsRemark", "Port = 1055 # note\n", [](TJEXSettings& s) { s.Port = 2001; },
       "Port = 2001\r\n"},
      {"EmptyTextLeavesTheBlanks", "comment=   old\n", [](TJEXSettings& s) { s.Comment = ""; },
       "comment=   \r\n"},
      {"LineBreaksInTextBecomeBlanks", "comment=old\n",
       [](TJEXSettings& s) { s.Comment = "a\r\nport=1\nb"; }, "comment=a port=1 b\r\n"},
      {"FilterListJoinedByBlanks", "filterlist=x\n",
       [](TJEXSettings& s) { s.FilterList = "1.1.1.1\r\n2.2.2.2\n3.3.3.3"; },
       "filterlist=1.1.1.1 2.2.2.2 3.3.3.3\r\n"},
      {"LongTextIsCutTo1020", "comment=old\n",
       [](TJEXSettings& s) { s.Comment = std::string(2000, 'c').c_str(); },
       "comment=" + std::string(1012, 'c') + "\r\n"},
      {"CutCountsTheKeyAndBlanks", "  comment  =  old\n",
       [](TJEXSettings& s) { s.Comment = std::string(2000, 'c').c_str(); },
       "  comment  =  " + std::string(1006, 'c') + "\r\n"},
      {"FullPieceAtEndOfFileGetsLineEnd", std::string(1023, 'x'), nullptr,
       std::string(1023, 'x') + "\r\n"},
      {"BytesAfterNulAreKept", std::string("a\0b\nk\0=\0v\r\n", 11), nullptr,
       std::string("a\0b\nk\0=\0v\r\n", 11)},
      {"UnsavedKeysAreCopied", "JexPath = /x/jex ; r\r\ntmpdir=/nowhere\n", nullptr,
       "JexPath = /x/jex ; r\r\ntmpdir=/nowhere\n"},
  };
  return cases;
}

class SaveLineTest : public SaveTest, public testing::WithParamInterface<LineCase> {};

TEST_P(SaveLineTest, Saves) {
  const LineCase& c = GetParam();
  Write(c.before);
  if (c.edit) c.edit(s_);
  ASSERT_EQ(s_.SaveOptions_(msg_), 1) << Str(msg_);
  const std::string saved = Saved();
  EXPECT_EQ(saved.substr(0, c.after.size()), c.after);
  EXPECT_EQ(saved.compare(c.after.size(), 5, "host="), 0) << "the appended keys follow";
}

INSTANTIATE_TEST_SUITE_P(Cases, SaveLineTest, testing::ValuesIn(LineCases()),
                         [](const testing::TestParamInfo<LineCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(SaveTest, LongLinesSurviveSavesUnchanged) {
  const std::string longLines = "#" + std::string(3000, 'a') + "\n" +
                                "unknown=" + std::string(2500, 'b') + "\r\n" +
                                std::string(1023, 'c') + "\n" + std::string(1022, 'd') + "\r\n";
  Write(longLines + "unc=1\n");
  s_.EnableUNC = 0;
  ASSERT_EQ(s_.SaveOptions_(msg_), 1) << Str(msg_);
  const std::string first = Saved();
  EXPECT_EQ(first.substr(0, longLines.size() + 6), longLines + "unc=0\n");
  ASSERT_EQ(s_.SaveOptions_(msg_), 1) << Str(msg_);
  EXPECT_EQ(Saved(), first) << "a second save with the same values changes nothing";
  EXPECT_EQ(jextest::ReadFile(cfg_ + ".Old"), first);
}

TEST_F(SaveTest, KeepsThePermissionsOfTheFile) {
  Write("password=secret\n");
  ASSERT_EQ(chmod(cfg_.c_str(), 0640), 0);
  ASSERT_EQ(s_.SaveOptions_(msg_), 1) << Str(msg_);
  struct stat info;
  ASSERT_EQ(stat(cfg_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
}

// Whatever is planted at the ".New" name is replaced, never written through
// or waited on: the file a link points at stays as it was, and the saved
// configuration is a file of its own.
TEST_F(SaveTest, PlantedNewFileIsReplacedNotWrittenThrough) {
  const std::string target = dir_.File("victim");
  const std::string newName = cfg_ + ".New";
  const std::vector<std::pair<std::string, std::function<bool()>>> plants = {
      {"symbolic link", [&] { return symlink(target.c_str(), newName.c_str()) == 0; }},
      {"hard link", [&] { return link(target.c_str(), newName.c_str()) == 0; }},
      {"FIFO", [&] { return mkfifo(newName.c_str(), 0666) == 0; }},
  };
  for (const auto& [what, plant] : plants) {
    Write("comment=old\n");
    jextest::WriteFile(target, "untouched");
    unlink(newName.c_str());
    ASSERT_TRUE(plant()) << what;
    s_.Comment = "new";
    ASSERT_EQ(s_.SaveOptions_(msg_), 1) << what << ": " << Str(msg_);
    EXPECT_EQ(Saved().substr(0, 13), "comment=new\r\n") << what;
    EXPECT_EQ(jextest::ReadFile(target), "untouched") << what;
    struct stat info;
    ASSERT_EQ(lstat(cfg_.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode)) << what;
    EXPECT_EQ(info.st_nlink, 1u) << what;
    EXPECT_FALSE(jextest::Exists(newName)) << what;
  }
}

// ".Old" is made without the configuration file ever going missing.
TEST_F(SaveTest, OldCopyIsTheWholePreviousFile) {
  Write("comment=first\n");
  s_.Comment = "second";
  ASSERT_EQ(s_.SaveOptions_(msg_), 1) << Str(msg_);
  EXPECT_EQ(jextest::ReadFile(cfg_ + ".Old"), "comment=first\n");
  const std::string second = Saved();
  s_.Comment = "third";
  ASSERT_EQ(s_.SaveOptions_(msg_), 1) << Str(msg_);
  EXPECT_EQ(jextest::ReadFile(cfg_ + ".Old"), second);
  EXPECT_EQ(Saved().substr(0, 15), "comment=third\r\n");
  EXPECT_FALSE(jextest::Exists(cfg_ + ".Old~"));
}

TEST_F(SaveTest, KeepsTheFilterWarningOnSuccess) {
  Write("comment=x\n");
  s_.FilterList = "10.0.0.1";
  s_.FilterMarks = "11";
  EXPECT_EQ(s_.SaveOptions_(msg_), 1);
  EXPECT_EQ(Str(msg_), "FilterMarks has less items than FilterList");
}

TEST_F(SaveTest, Failures) {
  TJEXSettings none;
  EXPECT_EQ(none.SaveOptions_(msg_), 0);
  EXPECT_EQ(Str(msg_), "Configuration file is not specified");

  for (const std::string& path : {dir_.File("missing.cfg"), dir_.Path()}) {
    jextest::SetCfgFile(s_, path);
    EXPECT_EQ(s_.SaveOptions_(msg_), 0) << path;
    EXPECT_EQ(Str(msg_), "Cannot open configuration file '" + path + "'");
    EXPECT_FALSE(jextest::Exists(path + ".New"));
  }

  jextest::SetCfgFile(s_, cfg_);
  Write("comment=keep\n");
  ASSERT_EQ(mkdir((cfg_ + ".New").c_str(), 0700), 0);  // cannot be opened for writing
  s_.Comment = "changed";
  EXPECT_EQ(s_.SaveOptions_(msg_), 0);
  EXPECT_EQ(Str(msg_), "Cannot create new configuration file '" + cfg_ + ".New'");
  EXPECT_EQ(Saved(), "comment=keep\n");
  EXPECT_FALSE(jextest::Exists(cfg_ + ".Old"));
}

}  // namespace
