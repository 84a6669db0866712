// "GetInfo", "GetSettings" and "SetSettings": the reply lines in their order,
// and settings changes applied in memory and saved to the configuration file.
#include "config/status.h"

#include <sys/utsname.h>

#include <algorithm>
#include <string>
#include <vector>

#include "server_test_support.h"

namespace jextest {
namespace {

constexpr const char* kTestNames =
    "Available tests=TCP%0D%0AUDP%0D%0AUNC%0D%0AFolder Size%0D%0ACount Files%0D%0A"
    "File Availability%0D%0AFile Integrity%0D%0AFile Compare%0D%0AText Log%0D%0AProcess%0D%0A"
    "CPU Usage%0D%0AExternal%0D%0AShell Script%0D%0A";
constexpr const char* kActionNames =
    "Available actions=Execute external command%0D%0ATCP/UDP send%0D%0ASyslog%0D%0A";

// Sets the connection counters for one test and puts them back afterwards.
class CountersScope {
 public:
  CountersScope(int active, int opened, int failed)
      : active_(AgentStatus.ActiveConnections.exchange(active)),
        opened_(AgentStatus.OpenedConnections.exchange(opened)),
        failed_(AgentStatus.FailedConnections.exchange(failed)) {}
  ~CountersScope() {
    AgentStatus.ActiveConnections = active_;
    AgentStatus.OpenedConnections = opened_;
    AgentStatus.FailedConnections = failed_;
  }

 private:
  int active_, opened_, failed_;
};

class StatusTest : public ServerTest {
 protected:
  static std::vector<std::string> Run(void (*handler)(const OXRequest&, JEXReply&),
                                      const std::string& params, JEXReply& reply) {
    handler(OXRequest(Bytes(params)), reply);
    return Lines(reply);
  }
};

TEST_F(StatusTest, GetInfoOnDefaultSettings) {
  JEXSettings.Publish(LoadedSettings(WriteConfig("comment=agent under test\n")));
  CountersScope counters(2, 17, 3);
  JEXReply reply;
  const std::vector<std::string> lines = Run(GetAgentStatus, "ignored\n", reply);

  const std::vector<std::string> expected = {
      "200",
      "AgentName=TQ Sentrel",
      "AgentPlatform=OpenBSD",
      "AgentVersion=1.29",
      "AgentDeveloper=the jex project, https://jex.example.org",
      "Service=0",
      "Active=0",
      "ActiveConnections=2",
      "OpenedConnections=17",
      "FailedConnections=3",
      kTestNames,
      "Enabled tests=1111111111111",
      "Port=5710",
      "Timeout=4000",
      "Comment=agent under test",
      kActionNames,
      "Enabled actions=000",
  };
  utsname host;
  ASSERT_EQ(uname(&host), 0);
  std::vector<std::string> all = expected;
  all.push_back(std::string("HostName=") + host.nodename);
  all.push_back(std::string("RunningOS=") + host.sysname + " " + host.release + " " + host.version);
  all.push_back("OSUpdates=not implemented");
  EXPECT_EQ(lines, all);
  EXPECT_EQ(Str(reply).back(), '\n');
}

// Each digit follows its own flag, in the order of the names.
TEST_F(StatusTest, EnabledDigitsFollowTheirFlags) {
  TJEXSettings s;
  s.EnableTCP = 1;
  s.EnableFileCRC = 1;
  s.EnableShellScript = 1;
  s.EnableTCPUDPAction = 1;
  s.EnableFreeSpace = 1;  // not reported
  s.Comment = "line1\r\nline2 100%";
  JEXSettings.Publish(s);
  JEXReply reply;
  const std::vector<std::string> lines = Run(GetAgentStatus, "", reply);
  ASSERT_GE(lines.size(), 18u);
  EXPECT_EQ(lines[11], "Enabled tests=1000001000001");
  // The comment goes out as it is, its line break included.
  EXPECT_EQ(lines[14], "Comment=line1\r");
  EXPECT_EQ(lines[15], "line2 100%");
  EXPECT_EQ(lines[17], "Enabled actions=010");
}

TEST_F(StatusTest, GetSettingsAppendsTheManagementLines) {
  TJEXSettings s = ManagedSettings();
  s.LogSuccess = 1;
  s.LogFails = 0;
  s.OkLogFile = "ok.log";
  s.BadLogFile = "/var/log/bad.log";
  s.FilterActive = 1;
  s.FilterList = "10.0.0.1\r\n10.0.0.2";
  s.FilterMarks = "10";
  s.AllowUpdates = 0;
  s.UpdateAddr = "10.0.0.5-10.0.0.9";
  s.ManageAddr = "127.0.0.1, 10.0.0.7";
  JEXSettings.Publish(s);

  JEXReply info;
  Run(GetAgentStatus, "", info);
  JEXReply settings;
  const std::vector<std::string> lines = Run(GetAgentSettings, "", settings);

  const std::string infoText = Str(info);
  ASSERT_EQ(Str(settings).substr(0, infoText.size()), infoText) << "the whole GetInfo reply first";
  const std::vector<std::string> tail(lines.begin() + static_cast<long>(Lines(info).size()),
                                      lines.end());
  const std::vector<std::string> expected = {
      "LogOkConn=1",
      "LogBadConn=0",
      "OkLogFile=ok.log",
      "BadLogFile=/var/log/bad.log",
      std::string("Password=") + kPassword,
      "IPFiltering=1",
      "IPFilterAddr=10.0.0.1%0D%0A10.0.0.2",
      "IPFilterMarks=10",
      "AllowUpdates=0",
      "AllowRManage=1",
      "UpdateAddr=10.0.0.5-10.0.0.9",
      "ManageAddr=127.0.0.1, 10.0.0.7",
  };
  EXPECT_EQ(tail, expected);
}

TEST_F(StatusTest, SetSettingsChangesMemoryAndTheFile) {
  const std::string cfg = WriteConfig("comment=old\ntcp=1\n");
  JEXSettings.Publish(LoadedSettings(cfg));

  JEXReply reply;
  Run(SetAgentSettings,
      "Port=6000\n"
      " Comment =  new comment  \n"
      "port=1\n"  // other capitals: not a settings name
      "COMMENT=shouted\n"
      "TCP=0\n"
      "Syslog=1\n"
      "AllowUpdates=yes\n"  // only "1" is true
      "Timeout=12x\n"
      "IPFilterAddr=10.0.0.1%0D%0A10.0.0.2\n"
      "IPFilterMarks=11\n"
      "no equals sign\n"
      "Unknown=5\n"
      "Port=6001\n"  // the last occurrence wins
      "Password=a=b\n"
      "Service=1\r",  // no LF: never examined
      reply);
  EXPECT_EQ(Str(reply), "200\n");

  const SettingsSnapshot now = JEXSettings.Get();
  EXPECT_EQ(now->Port, 6001);
  EXPECT_EQ(Str(now->Comment), "new comment");
  EXPECT_EQ(now->EnableTCP, 0);
  EXPECT_EQ(now->EnableSyslogAction, 1);
  EXPECT_EQ(now->AllowUpdates, 0);
  EXPECT_EQ(now->Timeout, 12);
  EXPECT_EQ(Str(now->FilterList), "10.0.0.1\r\n10.0.0.2");
  EXPECT_EQ(Str(now->Password), "a=b");
  EXPECT_EQ(now->EnableService, 0);

  // What was saved comes back from the file.
  const TJEXSettings reloaded = LoadedSettings(cfg);
  EXPECT_EQ(reloaded.Port, 6001);
  EXPECT_EQ(Str(reloaded.Comment), "new comment");
  EXPECT_EQ(reloaded.EnableTCP, 0);
  EXPECT_EQ(reloaded.EnableSyslogAction, 1);
  EXPECT_EQ(reloaded.Timeout, 12);
  EXPECT_EQ(Str(reloaded.FilterList), "10.0.0.1\r\n10.0.0.2");
  EXPECT_EQ(Str(reloaded.FilterMarks), "11");
  EXPECT_EQ(Str(reloaded.Password), "a=b");

  // And the filter list goes out escaped the way it came in.
  JEXReply settings;
  const std::vector<std::string> lines = Run(GetAgentSettings, "", settings);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "IPFilterAddr=10.0.0.1%0D%0A10.0.0.2"),
            lines.end());
}

TEST_F(StatusTest, FailedSaveReplies300AndKeepsTheNewValues) {
  const std::string cfg = WriteConfig("");
  JEXSettings.Publish(LoadedSettings(cfg));
  std::filesystem::remove(cfg);

  JEXReply reply;
  Run(SetAgentSettings, "Comment=kept anyway\n", reply);
  EXPECT_EQ(Str(reply), "300\nCannot open configuration file '" + cfg + "'");
  EXPECT_EQ(Str(JEXSettings.Get()->Comment), "kept anyway");
  EXPECT_FALSE(Exists(cfg));
}

TEST_F(StatusTest, EmptySetSettingsJustSaves) {
  const std::string cfg = WriteConfig("");
  JEXSettings.Publish(LoadedSettings(cfg));
  JEXReply reply;
  Run(SetAgentSettings, "", reply);
  EXPECT_EQ(Str(reply), "200\n");
  EXPECT_TRUE(Exists(cfg + ".Old"));
}

}  // namespace
}  // namespace jextest
