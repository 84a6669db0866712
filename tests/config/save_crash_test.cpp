// A save killed at any moment: a child process saves again and again, and is
// killed with SIGKILL after a random delay, many times over. Every time, the
// configuration file must load and be one of the two versions whole, and the
// ".Old" file must be a complete earlier version.
#include <signal.h>
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
