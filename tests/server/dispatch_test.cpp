// Dispatcher: protocol faults, command matching, the management and upgrade
// guards, the server commands and the start of an upgrade transfer.
#include "server/dispatch.h"

#include <algorithm>
#include <string>

#include "server/upgrade.h"
#include "server_test_support.h"

namespace jextest {
namespace {

class DispatchTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    JEXSettings.Publish(ManagedSettings());
  }

  // Dispatches text from peer with a fresh upgrade record; returns the result.
  int Dispatch(const std::string& text, const char* peer = "127.0.0.1") {
    UpgradeRec upgrade;
    return Dispatch(text, upgrade, peer);
  }
  int Dispatch(const std::string& text, UpgradeRec& upgrade, const char* peer = "127.0.0.1") {
    reply_ = JEXReply();
    OXRequest request = ParsedRequest(text, kSessionKey);
    return ProcessOXRequest(request, reply_, JEXFlags, PeerParams(peer), upgrade);
  }
  std::string Reply() const { return Str(reply_); }

  static constexpr const char* kSessionKey = "session-key-1";
  JEXReply reply_;
};

// Each protocol fault is answered, returns 0 and logs one failure line that
// names the peer.
TEST_F(DispatchTest, ProtocolFaultsAndUnknownCommands) {
  const std::string log = dir_.File("bad.log");
  TJEXSettings settings = ManagedSettings();
  settings.LogFails = 1;
  settings.BadLogFile = log.c_str();
  JEXSettings.Publish(settings);

  struct FaultCase {
    const char* text;
    const char* reply;
    const char* logged;
  };
  const FaultCase cases[] = {
      {"GetInfo\n", "502\nEndOfTransmission signal missed", "EndOfTransmission signal missed\n"},
      {"QUIT", "502\nEndOfTransmission signal missed", "EndOfTransmission signal missed\n"},
      {"", "502\nEndOfTransmission signal missed", "EndOfTransmission signal missed\n"},
      {"\r", "500\nVoid request received", "Void request received\n"},
      {" \t\r\nGetInfo\n", "500\nVoid request received", "Void request received\n"},
      {"quit\n\r", "500\nUnknown command \"quit\"", "Unknown command \"quit\"\n"},
      {"GETINFO\r", "500\nUnknown command \"GETINFO\"", "Unknown command \"GETINFO\"\n"},
      {"TEST-Nothing\nparam\n\r", "500\nUnknown command \"TEST-Nothing\"",
       "Unknown command \"TEST-Nothing\"\n"},
      {"100%s%n\r", "500\nUnknown command \"100%s%n\"", "Unknown command \"100%s%n\"\n"},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.text);
    std::filesystem::remove(log);
    EXPECT_EQ(Dispatch(c.text), 0);
    EXPECT_EQ(Reply(), c.reply);
    const std::string logged = ReadFile(log).value_or("");
    const std::string tail = std::string("\t 127.0.0.1\t ") + c.logged;
    EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 1) << logged;
    EXPECT_TRUE(logged.size() >= tail.size() &&
                logged.compare(logged.size() - tail.size(), tail.size(), tail) == 0)
        << logged;
  }
  EXPECT_EQ(JEXFlags.TerminateRequested, 0);

  // A refusal is a recognised command: answered, but not logged here.
  settings.AllowManage = 0;
  JEXSettings.Publish(settings);
  std::filesystem::remove(log);
  EXPECT_EQ(Dispatch("QUIT\n\r"), 1);
  EXPECT_FALSE(Exists(log));
}

TEST_F(DispatchTest, GetInfoIsMatchedAfterTrimmingAndWithoutLineFeed) {
  for (const char* text : {"GetInfo\r", "GetInfo\n\r", " \tGetInfo \t\nignored\n\r"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Dispatch(text), 1);
    const std::vector<std::string> lines = Lines(reply_);
    ASSERT_GE(lines.size(), 17u);
    EXPECT_EQ(lines[0], "200");
    EXPECT_EQ(lines[1], "AgentName=TQ Sentrel");
  }
}

TEST_F(DispatchTest, QuitAndReloadAppRaiseTheirFlags) {
  EXPECT_EQ(Dispatch("QUIT\n\r"), 1);
  EXPECT_EQ(Reply(), "200\nOk");
  EXPECT_EQ(JEXFlags.TerminateRequested, 1);
  EXPECT_EQ(JEXFlags.ReloadRequested, 0);

  EXPECT_EQ(Dispatch("  ReloadApp\r"), 1);
  EXPECT_EQ(Reply(), "200\nOk");
  EXPECT_EQ(JEXFlags.ReloadRequested, 1);
}

// Every management command under both refusals, and the upgrade command
// under its own: "600", nothing carried out, and the request still counts as
// recognised.
TEST_F(DispatchTest, GuardsRefuseByFlagAndByAddress) {
  struct Refusal {
    const char* what;
    void (*edit)(TJEXSettings&);
  };
  const Refusal refusals[] = {
      {"AllowManage off", [](TJEXSettings& s) { s.AllowManage = 0; }},
      {"peer outside ManageAddr", [](TJEXSettings& s) { s.ManageAddr = "10.0.0.1-10.0.0.9"; }},
  };
  for (const Refusal& refusal : refusals) {
    TJEXSettings settings = ManagedSettings();
    refusal.edit(settings);
    JEXSettings.Publish(settings);
    for (const char* text : {"ReloadCfg\n\r", "ReloadApp\n\r", "QUIT\n\r", "GetSettings\n\r",
                             "SetSettings\nComment=changed\n\r"}) {
      SCOPED_TRACE(std::string(refusal.what) + ": " + text);
      EXPECT_EQ(Dispatch(text), 1);
      EXPECT_EQ(Reply(), "600\nOperation is not allowed");
    }
    EXPECT_EQ(JEXFlags.TerminateRequested, 0);
    EXPECT_EQ(JEXFlags.ReloadRequested, 0);
    EXPECT_EQ(Str(JEXSettings.Get()->Comment), "");
  }

  // The management settings do not open the upgrade command, nor the reverse.
  setenv("TMPDIR", dir_.File("missing").c_str(), 1);
  TJEXSettings settings = ManagedSettings();
  settings.AllowUpdates = 0;
  JEXSettings.Publish(settings);
  EXPECT_EQ(Dispatch("UpgradeCode\n500\n\r"), 1);
  EXPECT_EQ(Reply(), "600\nOperation is not allowed");
  settings = ManagedSettings();
  settings.UpdateAddr = "10.0.0.1";
  JEXSettings.Publish(settings);
  EXPECT_EQ(Dispatch("UpgradeCode\n500\n\r"), 1);
  EXPECT_EQ(Reply(), "600\nOperation is not allowed");
  EXPECT_EQ(Dispatch("UpgradeCode\n500\n\r", "10.0.0.1"), 1);
  EXPECT_EQ(Reply(), "300\nCannot create temp file")
      << "an admitted peer reaches the transfer (TMPDIR names no directory)";
  EXPECT_EQ(Dispatch("QUIT\n\r", "10.0.0.1"), 1);
  EXPECT_EQ(Reply(), "600\nOperation is not allowed");
  EXPECT_EQ(UpgradeLocked(), 0);
}

TEST_F(DispatchTest, ReloadCfgReportsTheLoad) {
  const std::string cfg = WriteConfig("comment=from the file\n");
  TJEXSettings settings = ManagedSettings();
  SetCfgFile(settings, cfg);
  JEXSettings.Publish(settings);

  EXPECT_EQ(Dispatch("ReloadCfg\n\r"), 1);
  EXPECT_EQ(Reply(), "200\nOk");
  EXPECT_EQ(Str(JEXSettings.Get()->Comment), "from the file");

  std::filesystem::remove(cfg);
  EXPECT_EQ(Dispatch("ReloadCfg\n\r"), 1);
  EXPECT_EQ(Reply(), "300\nCannot open configuration file '" + cfg + "'");
}

// Sizes outside 101..10485759 (after cutting toward zero) are refused and
// release the lock; sizes inside start the transfer.
TEST_F(DispatchTest, UpgradeCodeChecksTheAnnouncedSize) {
  setenv("TMPDIR", dir_.Path().c_str(), 1);
  const std::string program = dir_.File("jex__.upd");
  struct SizeCase {
    const char* size;
    bool accepted;
    int64_t stored;
  };
  const SizeCase cases[] = {
      {"100", false, 0},      {"100.9", false, 0},
      {"10485760", false, 0}, {"-101", false, 0},
      {"", false, 0},         {"abc", false, 0},
      {"1e300", false, 0},    {"101", true, 101},
      {"101.9", true, 101},   {"10485759", true, 10485759},
      {" 4096 ", true, 4096},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.size);
    UpgradeRec upgrade;
    EXPECT_EQ(Dispatch(std::string("UpgradeCode\n") + c.size + "\n\r", upgrade), 1);
    if (c.accepted) {
      EXPECT_EQ(Reply(), "200\n");
      EXPECT_EQ(upgrade.Active, 1);
      EXPECT_EQ(upgrade.Started, 1);
      EXPECT_EQ(upgrade.FileSize, c.stored);
      EXPECT_EQ(Str(upgrade.SessionKey), kSessionKey);
      EXPECT_TRUE(IsRegularFile(program));
      EXPECT_EQ(UpgradeLocked(), 1);
    } else {
      EXPECT_EQ(Reply(), "501\nWrong file parameter(s)");
      EXPECT_EQ(upgrade.Active, 0);
      EXPECT_EQ(UpgradeLocked(), 0);
    }
  }
  EXPECT_EQ(UpgradeLocked(), 0) << "each accepted record released the lock when it went";
  EXPECT_FALSE(Exists(program)) << "and deleted its unfinished file";
}

TEST_F(DispatchTest, SecondUpgradeIsRefusedWhileOneRuns) {
  setenv("TMPDIR", dir_.Path().c_str(), 1);
  {
    UpgradeRec first;
    ASSERT_EQ(Dispatch("UpgradeCode\n101\n\r", first), 1);
    ASSERT_EQ(Reply(), "200\n");

    UpgradeRec second;
    EXPECT_EQ(Dispatch("UpgradeCode\n101\n\r", second), 1);
    EXPECT_EQ(Reply(), "302\n");
    EXPECT_EQ(second.Active, 0);
    EXPECT_EQ(first.Active, 1);
    EXPECT_EQ(UpgradeLocked(), 1);
    // A size that would be refused is still answered "302": the lock comes first.
    EXPECT_EQ(Dispatch("UpgradeCode\n5\n\r", second), 1);
    EXPECT_EQ(Reply(), "302\n");
    EXPECT_EQ(UpgradeLocked(), 1) << "a refused record must not release the other's lock";
  }
  UpgradeRec third;
  EXPECT_EQ(Dispatch("UpgradeCode\n101\n\r", third), 1);
  EXPECT_EQ(Reply(), "200\n");
}

}  // namespace
}  // namespace jextest
