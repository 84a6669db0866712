// Readers of the settings store never see a half-replaced record while one
// thread reloads and changes the settings; concurrent messages never mix.
#include <atomic>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/log.h"
#include "config/settings.h"
#include "config_test_util.h"

namespace {

using jextest::Str;

constexpr int kReaders = 4;
constexpr int kWriterRounds = 200;
constexpr long kMaxReads = 5000000;  // bounds a reader even if the writer stalls

// Comment and Password are always written as a pair with the same tag; a
// long filler makes a torn copy easy to see.
std::string Paired(const char* field, int tag) {
  return std::string(field) + "-" + std::to_string(tag) + "-" +
         std::string(300, static_cast<char>('a' + tag % 26));
}

// The tag of a paired text, -1 when the text is not a whole pair text.
int TagOf(const std::string& text, const char* field) {
  const std::string prefix = std::string(field) + "-";
  if (text.compare(0, prefix.size(), prefix) != 0) return -1;
  const int tag = std::atoi(text.c_str() + prefix.size());
  return text == Paired(field, tag) ? tag : -1;
}

class StoreThreadsTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    jextest::WriteFile(dir_.File("jex"), "agent");
    cfg_ = dir_.File("jex.cfg");
    WritePair(0);
    TJEXSettings start;
    jextest::SetCfgFile(start, cfg_);
    start.Port = 1055;
    String msg;
    ASSERT_EQ(start.LoadOptions(msg), 1) << Str(msg);
    JEXSettings.Publish(std::move(start));
  }
  void TearDown() override { JEXSettings.Publish(TJEXSettings()); }

  void WritePair(int tag) {
    jextest::WriteFile(cfg_, jextest::WithDir("jexpath=@DIR@/jex\ntmpdir=@DIR@\n", dir_.Path()) +
                                 "comment=" + Paired("comment", tag) +
                                 "\npassword=" + Paired("password", tag) + "\n");
  }

  jextest::TempDir dir_;
  jextest::EnvGuard env_;
  std::string cfg_;
};

TEST_F(StoreThreadsTest, SnapshotsAreNeverTorn) {
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::atomic<long> reads{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&] {
      for (long n = 0; n < kMaxReads && !done.load(); ++n) {
        const SettingsSnapshot s = JEXSettings.Get();
        const int comment = TagOf(Str(s->Comment), "comment");
        const int password = TagOf(Str(s->Password), "password");
        if (comment < 0 || comment != password) ++torn;
        ++reads;
      }
    });
  }

  int failures = 0;
  for (int round = 1; round <= kWriterRounds; ++round) {
    String msg;
    int ok = 0;
    switch (round % 3) {
      case 0:  // a settings change, saved to the file
        ok = JEXSettings.Change(
            [round](TJEXSettings& s) {
              s.Comment = Paired("comment", round).c_str();
              s.Password = Paired("password", round).c_str();
            },
            msg);
        break;
      case 1:  // the file edited by hand, then reloaded
        WritePair(round);
        ok = JEXSettings.Reload(msg);
        break;
      default:  // a reload of what is there
        ok = JEXSettings.Reload(msg);
        break;
    }
    if (!ok) ++failures;
  }
  done = true;
  for (std::thread& t : readers) t.join();

  EXPECT_EQ(failures, 0);
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GE(reads.load(), kReaders);
  // Round 199 wrote the last pair; round 200 reloaded it.
  EXPECT_EQ(TagOf(Str(JEXSettings.Get()->Comment), "comment"), 199);
}

TEST_F(StoreThreadsTest, MessagesFromManyThreadsStayWhole) {
  TJEXSettings s(*JEXSettings.Get());
  s.Verbose = 1;
  s.VerboseLogFile = "verbose.txt";
  JEXSettings.Publish(s);
  constexpr int kLines = 200;
  std::vector<std::thread> loggers;
  for (int t = 0; t < kReaders; ++t) {
    loggers.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        showmessage("thread %d line %d %s\n", LOCAL, mtInfo, 1, t, i,
                    std::string(100, 'm').c_str());
      }
    });
  }
  // Settings keep changing while the messages are written.
  for (int round = 0; round < 50; ++round) {
    String msg;
    JEXSettings.Change([round](TJEXSettings& c) { c.Comment = std::to_string(round).c_str(); },
                       msg);
  }
  for (std::thread& t : loggers) t.join();

  std::istringstream lines(jextest::ReadFile(dir_.File("verbose.txt")).value_or(""));
  const std::string stamp = "[##/##/#### ##:##:##]\t jex\t\t ";
  std::set<std::string> seen;
  for (std::string line; std::getline(lines, line);) {
    ASSERT_GT(line.size(), stamp.size()) << line;
    EXPECT_TRUE(jextest::MatchesDigits(line.substr(0, stamp.size()), stamp)) << line;
    const std::string text = line.substr(stamp.size());
    EXPECT_EQ(text.substr(text.size() - 101), " " + std::string(100, 'm')) << line;
    EXPECT_TRUE(seen.insert(text).second) << "twice: " << line;
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kReaders * kLines));
}

}  // namespace
