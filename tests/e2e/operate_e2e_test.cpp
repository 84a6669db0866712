// End-to-end tests of running the agent the way a service manager and an
// administrator do: -V, -t, the quiet console, reload on SIGHUP and a clean
// end on SIGTERM in the foreground and as a daemon, and jexget's password
// file, JSON output and fleet queries against two agents on loopback.
#include <signal.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent_harness.h"

namespace e2e {
namespace {

std::string Text(const String& s) {
  return std::string(s.Data() ? s.Data() : "", s.Length());
}

std::string ReplyValue(const String& reply, const std::string& name) {
  const std::string text = Text(reply);
  const std::string marker = "\n" + name + "=";
  const size_t at = text.find(marker);
  if (at == std::string::npos) return "<missing>";
  const size_t start = at + marker.size();
  return text.substr(start, text.find('\n', start) - start);
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(OperateE2E, VersionPrintsTheVersionAndExitsWithZero) {
  const RunResult result = RunProgram({AgentBinary(), "-V"}, 10000);
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(result.Output, "jex 1.29\n");
}

// -t needs only a configuration: no agent runs, nothing listens.
class OneCommandE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    config_.Config()["fileexists"] = "1";
    config_.Config()["external"] = "0";
    config_.WriteConfig();
    WriteFile(config_.Dir().File("present.txt"), "here\n");
  }
  RunResult Run(const std::vector<std::string>& commandAndParams) const {
    std::vector<std::string> args = {AgentBinary(), "-t", config_.ConfigPath()};
    args.insert(args.end(), commandAndParams.begin(), commandAndParams.end());
    return RunProgram(args, 15000);
  }
  AgentProcess config_;  // used for its configuration only; never started
};

TEST_F(OneCommandE2E, RunsOneCommandAndExitsByItsCode) {
  struct Case {
    std::vector<std::string> command;
    int exitCode;
    std::string replyStart;
  };
  const Case cases[] = {
      {{"TEST-FileExists", config_.Dir().File("present.txt")}, 0, "200\n"},
      {{"TEST-FileExists", config_.Dir().File("absent.txt")}, 1, "301\n"},
      {{"TEST-ExternalPrg", "/bin/true"}, 1, "600\ntest is not allowed\n"},
      {{"NoSuchCommand"}, 1, "500\nUnknown command \"NoSuchCommand\"\n"},
      // Management is guarded as for a peer at 127.0.0.1; QUIT stops nothing.
      {{"QUIT"}, 0, "200\nOk\n"},
  };
  for (const Case& c : cases) {
    const RunResult result = Run(c.command);
    EXPECT_EQ(result.ExitCode, c.exitCode) << c.command[0] << "\n" << result.Output;
    EXPECT_EQ(result.Output.substr(0, c.replyStart.size()), c.replyStart) << result.Output;
  }
}

TEST_F(OneCommandE2E, ManagementGuardSeesTheLoopbackPeer) {
  config_.Config()["manageaddr"] = "10.1.2.3";
  config_.WriteConfig();
  const RunResult result = Run({"GetSettings"});
  EXPECT_EQ(result.ExitCode, 1);
  EXPECT_EQ(result.Output, "600\nOperation is not allowed\n");
}

TEST_F(OneCommandE2E, UnloadableConfigurationOrMissingCommandExitsWithOne) {
  const RunResult missing =
      RunProgram({AgentBinary(), "-t", config_.Dir().File("none.cfg"), "GetInfo"}, 10000);
  EXPECT_EQ(missing.ExitCode, 1);
  EXPECT_TRUE(Contains(missing.Output, "Cannot open configuration file")) << missing.Output;

  const RunResult noCommand = RunProgram({AgentBinary(), "-t", config_.ConfigPath()}, 10000);
  EXPECT_EQ(noCommand.ExitCode, 1);
  EXPECT_TRUE(Contains(noCommand.Output, "Usage: jex -t <cfg_file> COMMAND")) << noCommand.Output;
}

class RunningAgentE2E : public ::testing::Test {
 protected:
  AgentProcess agent;
};

TEST_F(RunningAgentE2E, HangupReloadsTheConfigurationInTheForeground) {
  ASSERT_TRUE(agent.Start()) << agent.Output();
  agent.Config()["comment"] = "reloaded in the foreground";
  agent.WriteConfig();
  kill(agent.Pid(), SIGHUP);
  EXPECT_TRUE(Eventually(
      [&] { return ReplyValue(agent.Query("GetInfo"), "Comment") == "reloaded in the foreground"; },
      5000));
  EXPECT_TRUE(agent.Running());
}

TEST_F(RunningAgentE2E, TerminateEndsTheForegroundAgentWithZero) {
  ASSERT_TRUE(agent.Start()) << agent.Output();
  kill(agent.Pid(), SIGTERM);
  EXPECT_EQ(agent.WaitExit(5000), 0);
  EXPECT_TRUE(Contains(agent.Output(), "Terminate request received. Terminating.."));
}

TEST_F(RunningAgentE2E, TerminateEndsTheDaemonAndRemovesItsPidFile) {
  const std::string pidPath = agent.Dir().File("jex.pid");
  agent.Config()["pidfile"] = pidPath;
  agent.Launch({"-d"});
  EXPECT_EQ(agent.WaitExit(15000), 0);
  ASSERT_TRUE(Eventually([&] { return !ReadFile(pidPath).empty(); }, 15000));
  const pid_t daemonPid = std::stoi(ReadFile(pidPath));
  ASSERT_TRUE(Eventually([&] { return !Text(agent.Query("GetInfo")).empty(); }, 5000));
  kill(daemonPid, SIGTERM);
  EXPECT_TRUE(Eventually([&] { return kill(daemonPid, 0) != 0; }, 5000));
  struct stat status;
  EXPECT_NE(stat(pidPath.c_str(), &status), 0);
  if (kill(daemonPid, 0) == 0) kill(daemonPid, SIGKILL);
}

TEST_F(RunningAgentE2E, QuietConsoleKeepsStartupAndFailuresOnly) {
  ASSERT_TRUE(agent.Start({"-i", "-q"})) << agent.Output();
  EXPECT_EQ(Text(agent.Query("GetInfo")).substr(0, 4), "200\n");
  EXPECT_EQ(Text(agent.Query("NoSuchCommand")).substr(0, 4), "500\n");
  ASSERT_TRUE(agent.WaitForOutput("Unknown command \"NoSuchCommand\"", 5000)) << agent.Output();
  // The served request's session ends before the refused one's is read.
  kill(agent.Pid(), SIGTERM);
  EXPECT_EQ(agent.WaitExit(5000), 0);
  const std::string output = agent.Output();
  EXPECT_TRUE(Contains(output, "Settings checking .. Ok\n")) << output;
  EXPECT_TRUE(Contains(output, "Listening...")) << output;
  EXPECT_TRUE(Contains(output, "--> request rejected or operation failed (500)")) << output;
  EXPECT_TRUE(Contains(output, "Terminate request received")) << output;
  for (const char* routine : {"TCP connection accepted", "<-- Correct OX request received",
                              "--> request processed", "Session closed"}) {
    EXPECT_FALSE(Contains(output, routine)) << routine << "\n" << output;
  }
}

// jexget against two agents: -W, --json, several hosts, the worst status.
class FleetE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    first.Config()["comment"] = "first \"agent\"\tone";
    second.Config()["comment"] = "second";
    ASSERT_TRUE(first.Start()) << first.Output();
    ASSERT_TRUE(second.Start()) << second.Output();
    passwordFile = first.Dir().File("password");
    WriteFile(passwordFile, first.Config()["password"] + "\n");
  }
  std::string Host(const AgentProcess& agent) const {
    return "127.0.0.1:" + std::to_string(agent.Port());
  }
  RunResult Jexget(const std::vector<std::string>& args) const {
    std::vector<std::string> command = {ClientBinary(), "-W", passwordFile, "-t", "5000"};
    command.insert(command.end(), args.begin(), args.end());
    return RunProgram(command, 20000);
  }
  AgentProcess first;
  AgentProcess second;
  std::string passwordFile;
};

TEST_F(FleetE2E, JsonForOneHostEscapesTheLines) {
  const RunResult result = Jexget({"-h", Host(first), "--json", "GetInfo"});
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  EXPECT_EQ(result.Output.substr(0, 32), "{\"code\": \"200\", \"lines\": [\"Agent")
      << result.Output;
  EXPECT_TRUE(Contains(result.Output, "\"Comment=first \\\"agent\\\"\\tone\"")) << result.Output;
  EXPECT_EQ(result.Output.back(), '\n');
  EXPECT_EQ(result.Output.find('\n'), result.Output.size() - 1) << "one line per host";

  // Well-formed UTF-8 passes; a stray byte stands for the character of its number.
  const RunResult bytes = Jexget({"-h", Host(first), "--json",
                                  "B\xff\xc3\xa9"
                                  "d"});
  EXPECT_EQ(bytes.ExitCode, 1) << bytes.Output;
  EXPECT_TRUE(Contains(bytes.Output,
                       "\"Unknown command \\\"B\\u00ff\xc3\xa9"
                       "d\\\"\""))
      << bytes.Output;
}

TEST_F(FleetE2E, SeveralHostsInOrderWithTheWorstStatus) {
  const RunResult both = Jexget({"-h", Host(first) + "," + Host(second), "--json", "GetInfo"});
  EXPECT_EQ(both.ExitCode, 0) << both.Output;
  const size_t firstAt = both.Output.find("{\"host\": \"" + Host(first) + "\", \"code\": \"200\"");
  const size_t secondAt =
      both.Output.find("{\"host\": \"" + Host(second) + "\", \"code\": \"200\"");
  ASSERT_NE(firstAt, std::string::npos) << both.Output;
  ASSERT_NE(secondAt, std::string::npos) << both.Output;
  EXPECT_LT(firstAt, secondAt);
  EXPECT_TRUE(Contains(both.Output, "\"Comment=second\"")) << both.Output;

  // An unknown command on both: 1; a host that does not answer: 3.
  const RunResult refused = Jexget({"-h", Host(first) + "," + Host(second), "NoSuchCommand"});
  EXPECT_EQ(refused.ExitCode, 1) << refused.Output;
  EXPECT_TRUE(Contains(refused.Output, Host(first) + ": 500\n")) << refused.Output;
  EXPECT_TRUE(Contains(refused.Output, Host(second) + ": Unknown command \"NoSuchCommand\"\n"))
      << refused.Output;

  const std::string silent = "127.0.0.1:" + std::to_string(FreePort());
  const RunResult partly = Jexget({"-h", Host(first) + "," + silent, "--json", "GetInfo"});
  EXPECT_EQ(partly.ExitCode, 3) << partly.Output;
  EXPECT_TRUE(Contains(partly.Output, "{\"host\": \"" + silent +
                                          "\", \"code\": \"\", \"lines\": [], "
                                          "\"error\": \""))
      << partly.Output;
  EXPECT_TRUE(Contains(partly.Output, "{\"host\": \"" + Host(first) + "\", \"code\": \"200\""));
}

TEST_F(FleetE2E, WrongPasswordFileGetsNoReplyAndMissingFileIsAUsageError) {
  WriteFile(passwordFile, "not-the-password");
  EXPECT_EQ(Jexget({"-h", Host(first), "GetInfo"}).ExitCode, 3);
  const RunResult missing =
      RunProgram({ClientBinary(), "-W", first.Dir().File("none"), "GetInfo"}, 10000);
  EXPECT_EQ(missing.ExitCode, 2);
  EXPECT_TRUE(Contains(missing.Output, "cannot read the password file")) << missing.Output;
}

}  // namespace
}  // namespace e2e
