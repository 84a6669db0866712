// Scaffolding of the dispatcher, upgrade and status tests: a private temporary
// directory, whole-file helpers, a fixture that puts the global settings,
// run flags and TMPDIR/TMP back after every test, and requests that carry a
// session key the way a parsed packet does.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "config/settings.h"
#include "crypto/twofish.h"
#include "foundation/tqstring.h"
#include "protocol/client.h"
#include "protocol/request.h"
#include "server/flags.h"
#include "server/session.h"
#include "tests/support/test_support.h"

namespace jextest {

// The reply's lines, split at LF (a final LF ends the last line).
inline std::vector<std::string> Lines(const String& text) {
  std::vector<std::string> lines;
  std::string all = Str(text);
  size_t start = 0;
  while (start < all.size()) {
    const size_t end = all.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(all.substr(start));
      break;
    }
    lines.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

inline bool IsRegularFile(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

inline mode_t Mode(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

inline void SetCfgFile(TJEXSettings& s, const std::string& path) {
  std::memset(s.CfgFile, 0, sizeof(s.CfgFile));
  std::strncpy(s.CfgFile, path.c_str(), sizeof(s.CfgFile) - 1);
}

inline ThreadParams PeerParams(const char* address) {
  ThreadParams params;
  params.Peer.s_addr = inet_addr(address);
  return params;
}

inline void ClearRunFlags() {
  JEXFlags.TerminateRequested = 0;
  JEXFlags.ReloadRequested = 0;
  JEXFlags.UpgradeRequested = 0;
  JEXFlags.UpgradeScript = "";
  JEXFlags.UpgradeScriptSet = 0;
  std::lock_guard<std::mutex> lock(upgrade_mutex);
  JEXFlags.UpgradeLocked = 0;
}

inline int UpgradeLocked() {
  std::lock_guard<std::mutex> lock(upgrade_mutex);
  return JEXFlags.UpgradeLocked;
}

constexpr const char* kPassword = "secret";

// The decrypted request as ParseInitRequest leaves it: the text and the
// session key of a real packet.
inline OXRequest ParsedRequest(const std::string& text, const String& sessionKey) {
  OXRequest request;
  request = BuildRequestPacket(kPassword, sessionKey, Bytes(text));
  EXPECT_EQ(request.ParseInitRequest(kPassword, in_addr{}), 1);
  return request;
}

// Every test starts from clean run flags and gets back the settings, flags and
// temporary-directory variables that were in force before it.
class ServerTest : public testing::Test {
 protected:
  void SetUp() override {
    Twofish_initialise();
    ASSERT_FALSE(dir_.Path().empty());
    savedSettings_ = JEXSettings.Get();
    ClearRunFlags();
  }
  void TearDown() override {
    ClearRunFlags();
    JEXSettings.Publish(*savedSettings_);
  }

  // Settings that admit management and upgrades from 127.0.0.1 and write no
  // log files.
  static TJEXSettings ManagedSettings() {
    TJEXSettings s;
    s.Password = kPassword;
    s.AllowManage = 1;
    s.ManageAddr = "127.0.0.1";
    s.AllowUpdates = 1;
    s.UpdateAddr = "127.0.0.1";
    s.JexPath = "/opt/jex/bin/jex";
    return s;
  }

  // A configuration file in the temporary directory that loads successfully.
  std::string WriteConfig(const std::string& extraLines) {
    const std::string agent = dir_.File("jex");
    WriteFile(agent, "agent");
    const std::string cfg = dir_.File("jex.cfg");
    WriteFile(cfg, "# test configuration\nport=5710\npassword=" + std::string(kPassword) +
                       "\njexpath=" + agent + "\ntmpdir=" + dir_.Path() + "\n" + extraLines);
    return cfg;
  }

  // The settings loaded from cfg, as the agent has them after start-up.
  static TJEXSettings LoadedSettings(const std::string& cfg) {
    TJEXSettings s;
    SetCfgFile(s, cfg);
    String msg;
    EXPECT_EQ(s.LoadOptions_(msg), 1) << Str(msg);
    return s;
  }

  TempDir dir_;
  EnvRestorer tmpdir_{"TMPDIR"};
  EnvRestorer tmp_{"TMP"};
  SettingsSnapshot savedSettings_;
};

}  // namespace jextest
