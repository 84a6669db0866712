// End-to-end tests of the program, script, process, CPU and network commands
// through the running agent: the shipped scripts on this host, programs that
// must be killed with their children or collected later, descriptors the
// programs must not inherit, and loopback TCP, UDP and syslog peers.
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "agent_harness.h"
#include "net/sockets.h"
#include "tests/net/loopback_peer.h"
#include "tests/net/text_shapes.h"

namespace e2e {
namespace {

std::string Text(const String& s) {
  return std::string(s.Data() ? s.Data() : "", s.Length());
}

std::string Shipped(const char* name) {
  return std::string(JEX_BINARY_DIR) + "/scripts/" + name;
}

// Children of pid that have ended but were never collected.
int ZombieChildren(pid_t parent) {
  int zombies = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string stat = ReadFile(entry.path().string() + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size()) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(stat.c_str() + close + 2, "%c %d", &state, &ppid) != 2) continue;
    if (ppid == parent && state == 'Z') ++zombies;
  }
  return zombies;
}

class ProgramsE2ETest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Orphans of the agent's programs come back to this process, so a test
    // can tell whether they were killed and collect them.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
  }
  static void TearDownTestSuite() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  }

  void SetUp() override {
    for (const char* flag : {"external", "shellscript", "process", "cpuusage", "tcp", "udp",
                             "executeaction", "tcpudpaction", "syslogaction"}) {
      agent_.Config()[flag] = "1";
    }
    agent_.Config()["delayforscripts"] = "0";
    agent_.Config()["proclistscript"] = Shipped("jex-proclist.sh");
    agent_.Config()["proccntscript"] = Shipped("jex-proccnt.sh");
    agent_.Config()["cpuusagescript"] = Shipped("jex-cpuusage.sh");
  }
  void Start() { ASSERT_TRUE(agent_.Start()) << agent_.Output(); }
  std::string Query(const char* command, const std::vector<std::string>& params) {
    std::vector<String> values;
    for (const std::string& param : params) values.emplace_back(param.c_str());
    return Text(agent_.Query(command, values));
  }
  std::string Script(const std::string& name, const std::string& text) {
    const std::string path = agent_.Dir().File(name);
    WriteFile(path, text);
    chmod(path.c_str(), 0700);
    return path;
  }

  AgentProcess agent_;
};

TEST_F(ProgramsE2ETest, ExternalProgramsAndShellScripts) {
  Start();
  EXPECT_EQ(Query("TEST-ExternalPrg", {"sh -c 'exit 3'", "", "", "0"}), "200\n3\n");
  EXPECT_EQ(Query("TEST-ExternalPrg", {"/nonexistent/jex-prog", "", "", "0"}),
            "301\nexec error: " + std::string(strerror(ENOENT)) + "\n");
  EXPECT_EQ(Query("TEST-ExternalPrg", {"", "", "", "0"}),
            "501\nCommand line to execute is not specified\n");
  EXPECT_EQ(Query("ACT-ExternalCmd", {"sh -c '[ \"$(pwd)\" = /tmp ] && exit 6'", "/tmp", "0", "0"}),
            "200\n6\n");

  const std::string script = "echo first\necho \"scriptres: $1 $2\" >&2\necho last\n";
  EXPECT_EQ(Query("TEST-ShellScript", {"/bin/sh %Script% %PARAMS%", script, "a b", "", "2"}),
            "200\nscriptres: a b\nfirst%0D%0Ascriptres: a b%0D%0A\n");
  EXPECT_EQ(Query("TEST-ShellScript", {"/bin/sh %script%", "echo one\necho two", "", "5", "0"}),
            "200\ntwo\n\n");
  // Nothing of either test is left in the temporary directory.
  for (const auto& entry : std::filesystem::directory_iterator(agent_.Dir().Path())) {
    EXPECT_EQ(entry.path().filename().string().rfind("tmp", 0), std::string::npos) << entry.path();
  }
}

// A program past its time-out goes together with the processes it started.
TEST_F(ProgramsE2ETest, TimeOutKillsProgramWithItsChildren) {
  Start();
  const std::string pidFile = agent_.Dir().File("child.pid");
  const std::string sleeper =
      Script("sleeper.sh", "#!/bin/sh\nsleep 30 &\necho $! > '" + pidFile + "'\nsleep 30\n");
  EXPECT_EQ(Query("TEST-ExternalPrg", {sleeper, "", "", "1000"}), "301\nabnormal termination\n");
  const pid_t child = static_cast<pid_t>(std::atoi(ReadFile(pidFile).c_str()));
  ASSERT_GT(child, 0);
  // Killed: collected here as an orphan that came back, or gone altogether.
  int status = 0;
  bool reaped = false;
  const bool ended = Eventually(
      [&] {
        reaped = reaped || waitpid(child, &status, WNOHANG) == child;
        return reaped || (kill(child, 0) != 0 && errno == ESRCH);
      },
      3000);
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  EXPECT_TRUE(ended);
  if (reaped) {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  }
}

// A program left running by a time-out of -1 is collected by a later call.
TEST_F(ProgramsE2ETest, ProgramsLeftRunningAreCollected) {
  Start();
  EXPECT_EQ(Query("TEST-ExternalPrg", {"sleep 2", "", "", "-1"}), "200\n0\n");
  EXPECT_EQ(Query("ACT-ExternalCmd", {"sleep 2", "", "0", "-1"}), "200\n0\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(ZombieChildren(agent_.Pid()), 2);
  EXPECT_EQ(Query("TEST-ExternalPrg", {"sh -c 'exit 4'", "", "", "-1"}), "200\n4\n");
  EXPECT_EQ(ZombieChildren(agent_.Pid()), 0);
}

// Programs see only their three standard streams, not the agent's sockets
// and files.
TEST_F(ProgramsE2ETest, ProgramsInheritNoDescriptors) {
  agent_.Config()["logsuccess"] = "1";
  agent_.Config()["oklogfile"] = agent_.Dir().File("ok.log");
  Start();
  const std::string probe =
      "sh -c 'for n in 3 4 5 6 7 8 9 10 11 12 13 14 15 16; do [ -e /proc/self/fd/$n ] && exit $n; "
      "done; exit 0'";
  EXPECT_EQ(Query("TEST-ExternalPrg", {probe, "", "", "0"}), "200\n0\n");
}

TEST_F(ProgramsE2ETest, ShippedProcessAndCpuScripts) {
  const std::string marker = agent_.Dir().File("ran");
  // Program execution off: the process test must still run nothing.
  agent_.Config()["external"] = "0";
  agent_.Config()["shellscript"] = "0";
  agent_.Config()["executeaction"] = "0";
  Start();
  const std::string list = Query("GetProcessesList", {});
  EXPECT_NE(list.find("%0D%0A" + std::to_string(agent_.Pid()) + " jex%0D%0A"), std::string::npos)
      << list.substr(0, 300);

  const std::string agents = Query("TEST-Process", {"", "jex"});
  EXPECT_TRUE(agents.rfind("200\n", 0) == 0 && std::atoi(agents.c_str() + 4) >= 1) << agents;
  for (const std::string& name : {"x; touch " + marker, "$(touch " + marker + ")",
                                  "`touch " + marker + "`", "a' \"b\" && touch " + marker}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Query("TEST-Process", {"", name}), "200\n0\n");
  }
  EXPECT_FALSE(jextest::Exists(marker));
  EXPECT_EQ(Query("TEST-Process", {"", ""}), "501\nName of the process is not specified\n");
  EXPECT_EQ(Query("TEST-ExternalPrg", {"touch " + marker, "", "", "0"}),
            "600\ntest is not allowed\n");

  // A real value with four decimals.
  const std::string cpu = Query("TEST-CPU", {});
  const size_t point = cpu.find('.');
  ASSERT_NE(point, std::string::npos) << cpu;
  EXPECT_TRUE(cpu.rfind("200\n", 0) == 0 && jextest::FitsShape(cpu.substr(point), ".9999\n"))
      << cpu;
}

TEST_F(ProgramsE2ETest, NetworkTestsAndActions) {
  using jextest::LoopbackPeer;
  using jextest::PeerMode;
  const LoopbackPeer tcpEcho(SOCK_STREAM, PeerMode::kEcho);
  const LoopbackPeer udpEcho(SOCK_DGRAM, PeerMode::kEcho);
  const LoopbackPeer udpSilent(SOCK_DGRAM, PeerMode::kSilent);
  const LoopbackPeer syslog(SOCK_DGRAM, PeerMode::kSilent);
  Start();
  using jextest::TimedAnswerValue;
  EXPECT_EQ(TimedAnswerValue(Query("TEST-TCP", {"127.0.0.1", std::to_string(tcpEcho.Port()), "2000",
                                                "hello\r\n", "64"})),
            "hello%0D%0A");
  EXPECT_EQ(TimedAnswerValue(Query("TEST-UDP", {"127.0.0.1", std::to_string(udpEcho.Port()), "1000",
                                                "1", "hello\r\n", "64"})),
            "hello%0D%0A");
  EXPECT_EQ(
      Query("TEST-UDP", {"127.0.0.1", std::to_string(udpSilent.Port()), "1000", "1", "q", "9"}),
      "301\nTimeout\n0\n");
  EXPECT_EQ(
      Query("TEST-UDP", {"127.0.0.1", std::to_string(udpSilent.Port()), "1000", "-1", "q", "9"}),
      "501\nWrong parameter\n");
  EXPECT_EQ(Query("ACT-TCPUDPsend", {"127.0.0.1", std::to_string(udpSilent.Port()), "1", "sent"}),
            "200\nData has been sent\n");
  EXPECT_EQ(Query("ACT-Syslog", {"127.0.0.1", std::to_string(syslog.Port()), "16", "6", "up"}),
            "200\nSyslog: Data to 127.0.0.1 has been sent\n");
  const std::vector<std::string> datagrams = syslog.WaitForReceived(1, 2000);
  ASSERT_EQ(datagrams.size(), 1u);
  EXPECT_TRUE(
      jextest::IsSyslogDatagram(datagrams[0], "134", Text(IP2String(GetMyIP())), "TQ JEX: up"))
      << datagrams[0];
  const std::vector<std::string> silentGot = udpSilent.WaitForReceived(2, 2000);
  EXPECT_EQ(silentGot, (std::vector<std::string>{"q", "sent"}));
}

}  // namespace
}  // namespace e2e
