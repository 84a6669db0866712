// A save killed at any moment: a child process saves again and again, and is
// killed with SIGKILL after a random delay, many times over. Every time, the
// configuration file must load and be one of the two versions whole, and the
// ".Old" file must be a complete earlier version. And a save that runs out
// of disk space fails without harm.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <set>
#include <string>

#include "config/settings.h"
#include "config_test_util.h"

namespace {

using jextest::Str;

constexpr int kKills = 200;

TEST(SaveCrash, KilledSavesLeaveTheOldOrTheNewFileWhole) {
  jextest::TempDir dir;
  jextest::EnvGuard env;
  ASSERT_TRUE(dir.Ok());
  jextest::WriteFile(dir.File("jex"), "agent");
  const std::string cfg = dir.File("jex.cfg");
  // A file of some size, so that a save takes a while to write.
  std::string padding;
  for (int i = 0; i < 400; ++i) padding += "; padding line " + std::to_string(i) + "\n";
  const std::string initial = jextest::WithDir(
      "jexpath=@DIR@/jex\ntmpdir=@DIR@\nport=1055\npassword=pw\ncomment=initial\n", dir.Path()) +
                              padding;
  jextest::WriteFile(cfg, initial);

  TJEXSettings settings;
  jextest::SetCfgFile(settings, cfg);
  String msg;
  ASSERT_EQ(settings.LoadOptions_(msg), 1) << Str(msg);

  // The two versions a save can leave, made once by saves that finish.
  std::set<std::string> versions;
  for (const char* comment : {"version A", "version B"}) {
    settings.Comment = comment;
    ASSERT_EQ(settings.SaveOptions_(msg), 1) << Str(msg);
    versions.insert(*jextest::ReadFile(cfg));
  }
  std::set<std::string> oldVersions = versions;
  oldVersions.insert(initial);

  std::mt19937 random(20261211);
  std::uniform_int_distribution<int> delayUs(0, 3000);
  for (int kill = 0; kill < kKills; ++kill) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0;; ++i) {
        settings.Comment = i % 2 ? "version A" : "version B";
        String ignored;
        settings.SaveOptions_(ignored);
      }
    }
    usleep(static_cast<useconds_t>(delayUs(random)));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);

    const auto saved = jextest::ReadFile(cfg);
    ASSERT_TRUE(saved.has_value()) << "kill " << kill << ": the configuration file is missing";
    ASSERT_EQ(versions.count(*saved), 1u) << "kill " << kill << ": a torn file";
    TJEXSettings loaded;
    jextest::SetCfgFile(loaded, cfg);
    ASSERT_EQ(loaded.LoadOptions_(msg), 1) << "kill " << kill << ": " << Str(msg);
    const auto old = jextest::ReadFile(cfg + ".Old");
    ASSERT_TRUE(old.has_value()) << "kill " << kill;
    ASSERT_EQ(oldVersions.count(*old), 1u) << "kill " << kill << ": a torn .Old file";
  }
}

}  // namespace

namespace {

// A disk that fills up during the save (a file-size limit stands in for it,
// in a child process): the save fails with its message and the stored file
// and its .Old copy stay exactly as they were.
TEST(SaveCrash, FullDiskFailsTheSaveAndKeepsTheFile) {
  jextest::TempDir dir;
  jextest::EnvGuard env;
  ASSERT_TRUE(dir.Ok());
  jextest::WriteFile(dir.File("jex"), "agent");
  const std::string cfg = dir.File("jex.cfg");
  std::string text = jextest::WithDir(
      "jexpath=@DIR@/jex\ntmpdir=@DIR@\nport=1055\npassword=pw\ncomment=stored\n", dir.Path());
  for (int i = 0; i < 200; ++i) text += "; a line the save must copy " + std::to_string(i) + "\n";
  jextest::WriteFile(cfg, text);
  jextest::WriteFile(cfg + ".Old", "earlier");

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
    const rlimit limit{1024, 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    TJEXSettings settings;
    jextest::SetCfgFile(settings, cfg);
    String msg;
    if (settings.LoadOptions_(msg) != 1) _exit(2);
    settings.Comment = "changed";
    const int saved = settings.SaveOptions_(msg);
    const bool rightMessage = Str(msg) == "Cannot create new configuration file '" + cfg + ".New'";
    _exit(saved == 0 && rightMessage ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the save must fail with its message";
  EXPECT_EQ(jextest::ReadFile(cfg), text);
  EXPECT_EQ(jextest::ReadFile(cfg + ".Old"), "earlier");
  EXPECT_FALSE(jextest::Exists(cfg + ".New"));
}

}  // namespace
