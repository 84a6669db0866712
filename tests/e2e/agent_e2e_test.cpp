// End-to-end tests: the real jex binary in interactive mode on a free
// loopback port, driven over TCP by the client library and raw sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "agent_harness.h"
#include "protocol/client.h"

namespace e2e {
namespace {

std::string Text(const String& s) {
  return std::string(s.Data() ? s.Data() : "", s.Length());
}

// A raw loopback connection for sending hand-made bytes.
class RawConnection {
 public:
  explicit RawConnection(int port) {
    socket_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    timeval timeout{8, 0};
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~RawConnection() { close(socket_); }
  bool Connected() const { return connected_; }
  int Socket() const { return socket_; }

  void Send(const std::string& bytes, size_t pieceSize = 0) {
    if (pieceSize == 0) pieceSize = bytes.size();
    for (size_t at = 0; at < bytes.size(); at += pieceSize) {
      ::send(socket_, bytes.data() + at, std::min(pieceSize, bytes.size() - at), MSG_NOSIGNAL);
      if (pieceSize < bytes.size()) usleep(1000);
    }
  }

  // Everything the agent sends until it closes (or the receive time-out).
  std::string ReceiveUntilClosed(bool* closed = nullptr) {
    std::string received;
    char chunk[4096];
    for (;;) {
      const ssize_t got = recv(socket_, chunk, sizeof chunk, 0);
      if (got <= 0) {
        if (closed) *closed = got == 0;
        return received;
      }
      received.append(chunk, static_cast<size_t>(got));
    }
  }

 private:
  int socket_ = -1;
  bool connected_ = false;
};

std::string Packet(const std::string& password, const std::string& key, const std::string& text) {
  return Text(
      BuildRequestPacket(String(password.c_str()), String(key.c_str()), String(text.c_str())));
}

String DecodeReply(const std::string& packet, const std::string& key) {
  String raw;
  raw.AddData(packet.data(), static_cast<int>(packet.size()));
  String text;
  String error;
  if (!ParseReplyPacket(raw, String(key.c_str()), text, error)) return String();
  return text;
}

// The value of "name=value" among the reply's lines.
std::string ReplyValue(const String& reply, const std::string& name) {
  const std::string text = Text(reply);
  const std::string marker = "\n" + name + "=";
  const size_t at = text.find(marker);
  if (at == std::string::npos) return "<missing>";
  const size_t start = at + marker.size();
  return text.substr(start, text.find('\n', start) - start);
}

TEST(CommandLineE2E, ErrorsPrintUsageAndExitWithOne) {
  struct Case {
    std::vector<std::string> args;
    std::string expected;
  };
  const Case cases[] = {
      {{}, "Error\nInvalid or missed command line parameter\n\n Usage: jex [-d|-i]"},
      {{"-p", "70000", "x.cfg"}, "Error\nInvalid port number\n\n Usage:"},
      {{"-p", "abc", "x.cfg"}, "Error\nInvalid port number"},
      {{"-i", "-p"}, "Error\nInvalid or missed command line parameter"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {AgentBinary()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult result = RunProgram(args, 10000);
    EXPECT_EQ(result.ExitCode, 1) << result.Output;
    EXPECT_NE(result.Output.find(c.expected), std::string::npos) << result.Output;
  }
}

TEST(CommandLineE2E, UnloadableSettingsExitWithOne) {
  TempDir dir;
  WriteFile(dir.File("empty.cfg"), "# nothing but a comment\n");
  const RunResult result = RunProgram({AgentBinary(), "-i", dir.File("empty.cfg")}, 10000);
  EXPECT_EQ(result.ExitCode, 1);
  EXPECT_NE(result.Output.find("Settings checking .. Error\n  TCP post is not specified!\n"
                               "  Password is not specified!\n"
                               "  Full path to the agent is not specified!\n\n"
                               "Please check '" +
                               dir.File("empty.cfg") + "' file"),
            std::string::npos)
      << result.Output;
}

class AgentE2E : public ::testing::Test {
 protected:
  AgentProcess agent;
};

TEST_F(AgentE2E, StartsAndAnswersGetInfo) {
  const std::string pidPath = agent.Dir().File("jex.pid");
  agent.Config()["pidfile"] = pidPath;  // interactive mode writes none
  ASSERT_TRUE(agent.Start()) << agent.Output();
  const std::string console = agent.Output();
  for (const char* line :
       {" Application:  JEX (Sentrel for Orvex)\n", " Version:      1.29 for OpenBSD\n",
        "Command line checking .. Ok\n", "Settings checking .. Ok\n", "CPU testing .. Ok\n",
        "Basic encyption checking .. Ok\n", "JEX encyption checking .. Ok\n",
        "Sock testing .. Ok\n"}) {
    EXPECT_NE(console.find(line), std::string::npos) << line << console;
  }
  const String reply = agent.Query("GetInfo");
  EXPECT_EQ(Text(reply).substr(0, 4), "200\n") << Text(reply);
  EXPECT_EQ(ReplyValue(reply, "AgentVersion"), "1.29");
  EXPECT_EQ(ReplyValue(reply, "Comment"), "end-to-end");
  EXPECT_EQ(ReplyValue(reply, "Port"), std::to_string(agent.Port()));
  struct stat status;
  EXPECT_NE(stat(pidPath.c_str(), &status), 0);
}

TEST_F(AgentE2E, TakenPortEndsTheStartWithFour) {
  // Another listener holds the agent's port, so the port probe fails after
  // its three attempts.
  struct Holder {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ~Holder() { close(fd); }
  } holder;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(agent.Port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder.fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(holder.fd, 1), 0);
  const auto started = std::chrono::steady_clock::now();
  agent.Launch({"-i"});
  EXPECT_EQ(agent.WaitExit(15000), 4);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500));
  const std::string console = agent.Output();
  EXPECT_NE(console.find("JEX encyption checking .. Ok\nSock testing .. TCP listen error:\n"
                         "socket() or bind() error\n\n"),
            std::string::npos)
      << console;
  EXPECT_EQ(console.find("Listening..."), std::string::npos);
}

TEST_F(AgentE2E, WrongPasswordAndDamagedPacketsGetNoReply) {
  agent.Config()["timeout"] = "1000";  // the truncated packet waits for this
  ASSERT_TRUE(agent.Start()) << agent.Output();
  const std::string good = Packet("e2e-secret", "k1", "GetInfo\n\r");
  std::string badMarker = good;
  badMarker[4] = 0x04;
  const std::string cases[] = {Packet("wrong", "k1", "GetInfo\n\r"), badMarker,
                               good.substr(0, 13) + std::string(4, '\0')};
  for (const std::string& bytes : cases) {
    RawConnection connection(agent.Port());
    ASSERT_TRUE(connection.Connected());
    connection.Send(bytes);
    bool closed = false;
    EXPECT_EQ(connection.ReceiveUntilClosed(&closed), "");
    EXPECT_TRUE(closed);
  }
  EXPECT_NE(agent.Output().find("<-- Invalid OX request received"), std::string::npos);
}

TEST_F(AgentE2E, RequestSplitIntoSingleBytesIsAssembled) {
  ASSERT_TRUE(agent.Start()) << agent.Output();
  RawConnection connection(agent.Port());
  connection.Send(Packet("e2e-secret", "split-key", "GetInfo\n\r"), 1);
  const String reply = DecodeReply(connection.ReceiveUntilClosed(), "split-key");
  EXPECT_EQ(Text(reply).substr(0, 4), "200\n");
}

TEST_F(AgentE2E, OversizedDeclaredLengthIsDropped) {
  ASSERT_TRUE(agent.Start()) << agent.Output();
  RawConnection connection(agent.Port());
  std::string header("\xff\xff\xff\x7f\x03\x12", 6);
  connection.Send(header);
  bool closed = false;
  EXPECT_EQ(connection.ReceiveUntilClosed(&closed), "");
  EXPECT_TRUE(closed);
}

TEST_F(AgentE2E, ConnectionFilterRejectsAndCounts) {
  agent.Config()["filteractive"] = "1";
  agent.Config()["filterlist"] = "127.0.0.2 127.0.0.1";
  agent.Config()["filtermarks"] = "10";
  agent.Config()["manageaddr"] = "127.0.0.1-127.0.0.9";
  ASSERT_TRUE(agent.Start()) << agent.Output();
  EXPECT_EQ(Text(agent.Query("GetInfo")), "");  // 127.0.0.1 is not enabled
  const String reply = agent.Query("GetInfo", {}, "127.0.0.2");
  EXPECT_EQ(ReplyValue(reply, "FailedConnections"), "1") << Text(reply);
  EXPECT_NE(agent.Output().find("TCP connection rejected"), std::string::npos);
}

TEST_F(AgentE2E, ManagementRefusedBySettings) {
  agent.Config()["manageaddr"] = "127.0.0.2";
  ASSERT_TRUE(agent.Start()) << agent.Output();
  EXPECT_EQ(Text(agent.Query("QUIT")), "600\nOperation is not allowed\n");
  EXPECT_TRUE(agent.Running());
}

TEST_F(AgentE2E, ManagementRefusedWhenDisabled) {
  agent.Config()["allowmanage"] = "0";
  ASSERT_TRUE(agent.Start()) << agent.Output();
  EXPECT_EQ(Text(agent.Query("GetSettings")), "600\nOperation is not allowed\n");
}

TEST_F(AgentE2E, SetSettingsPersistsAndSurvivesReload) {
  ASSERT_TRUE(agent.Start()) << agent.Output();
  EXPECT_EQ(Text(agent.Query("SetSettings", {"Comment=changed remotely", "TCP=0"})), "200\n");
  const std::string saved = ReadFile(agent.ConfigPath());
  EXPECT_NE(saved.find("comment=changed remotely\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("tcp=0"), std::string::npos) << saved;
  EXPECT_EQ(Text(agent.Query("ReloadCfg")), "200\nOk\n");
  const String info = agent.Query("GetInfo");
  EXPECT_EQ(ReplyValue(info, "Comment"), "changed remotely");
  EXPECT_EQ(ReplyValue(info, "Enabled tests").substr(0, 1), "0");
}

TEST_F(AgentE2E, PortChangeIsFollowed) {
  ASSERT_TRUE(agent.Start()) << agent.Output();
  const int newPort = FreePort();
  const std::string setting = "Port=" + std::to_string(newPort);
  EXPECT_EQ(Text(agent.Query("SetSettings", {String(setting.c_str())})).substr(0, 3), "200");
  TAgentEndpoint moved = agent.Endpoint();
  moved.Port = newPort;
  String reply;
  String error;
  EXPECT_TRUE(Eventually(
      [&] { return QueryAgent(moved, BuildRequestText("GetInfo", {}), reply, error) == 1; }, 5000));
  EXPECT_EQ(ReplyValue(reply, "Port"), std::to_string(newPort));
  EXPECT_NE(agent.Output().find("Server port switching .. Ok"), std::string::npos);
}

TEST_F(AgentE2E, QuitEndsTheProcessWithZero) {
  ASSERT_TRUE(agent.Start()) << agent.Output();
  EXPECT_EQ(Text(agent.Query("QUIT")), "200\nOk\n");
  EXPECT_EQ(agent.WaitExit(5000), 0);
  EXPECT_NE(agent.Output().find("Terminate request received. Terminating.."), std::string::npos);
}

TEST_F(AgentE2E, QuitInDaemonModeRemovesThePidFile) {
  const std::string pidPath = agent.Dir().File("jex.pid");
  agent.Config()["pidfile"] = pidPath;
  agent.Launch({"-d"});
  EXPECT_EQ(agent.WaitExit(15000), 0);  // the parent returns at once
  ASSERT_TRUE(Eventually([&] { return !ReadFile(pidPath).empty(); }, 15000));
  const pid_t daemonPid = std::stoi(ReadFile(pidPath));
  ASSERT_TRUE(Eventually([&] { return !Text(agent.Query("GetInfo")).empty(); }, 5000));
  EXPECT_EQ(Text(agent.Query("QUIT")), "200\nOk\n");
  EXPECT_TRUE(Eventually([&] { return kill(daemonPid, 0) != 0; }, 5000));
  struct stat status;
  EXPECT_NE(stat(pidPath.c_str(), &status), 0);
  if (kill(daemonPid, 0) == 0) kill(daemonPid, SIGKILL);
}

TEST_F(AgentE2E, HangupReloadsTheConfigurationInDaemonMode) {
  const std::string pidPath = agent.Dir().File("jex.pid");
  agent.Config()["pidfile"] = pidPath;
  agent.Launch({"-d"});
  EXPECT_EQ(agent.WaitExit(15000), 0);
  ASSERT_TRUE(Eventually([&] { return !ReadFile(pidPath).empty(); }, 15000));
  const pid_t daemonPid = std::stoi(ReadFile(pidPath));
  ASSERT_TRUE(Eventually([&] { return !Text(agent.Query("GetInfo")).empty(); }, 5000));

  agent.Config()["comment"] = "reloaded on hang-up";
  agent.WriteConfig();
  kill(daemonPid, SIGHUP);
  EXPECT_TRUE(Eventually(
      [&] { return ReplyValue(agent.Query("GetInfo"), "Comment") == "reloaded on hang-up"; },
      5000));
  EXPECT_EQ(Text(agent.Query("QUIT")), "200\nOk\n");
  EXPECT_TRUE(Eventually([&] { return kill(daemonPid, 0) != 0; }, 5000));
  if (kill(daemonPid, 0) == 0) kill(daemonPid, SIGKILL);
}

TEST_F(AgentE2E, ReloadAppReExecutesTheAgent) {
  ASSERT_TRUE(agent.Start()) << agent.Output();
  EXPECT_EQ(Text(agent.Query("ReloadApp")), "200\nOk\n");
  ASSERT_TRUE(agent.WaitForOutput("Reload request received. Executing..", 5000));
  // The same process starts again from the banner and listens anew.
  EXPECT_TRUE(Eventually(
      [&] {
        const std::string out = agent.Output();
        const size_t first = out.find("Listening...");
        return first != std::string::npos &&
               out.find("Listening...", first + 1) != std::string::npos;
      },
      10000))
      << agent.Output();
  EXPECT_TRUE(Eventually([&] { return !Text(agent.Query("GetInfo")).empty(); }, 5000));
  EXPECT_TRUE(agent.Running());
}

TEST_F(AgentE2E, FailedReExecutionKeepsServing) {
  // jexpath names a file that exists but cannot be executed.
  const std::string notAProgram = agent.Dir().File("not-a-program");
  WriteFile(notAProgram, "plain text\n");
  agent.Config()["jexpath"] = notAProgram;
  ASSERT_TRUE(agent.Start()) << agent.Output();
  EXPECT_EQ(Text(agent.Query("ReloadApp")), "200\nOk\n");
  ASSERT_TRUE(agent.WaitForOutput("Error: cannot start new instance", 5000)) << agent.Output();
  EXPECT_TRUE(Eventually([&] { return !Text(agent.Query("GetInfo")).empty(); }, 8000))
      << agent.Output();
}

TEST_F(AgentE2E, IdleConnectionIsDroppedAfterTimeout) {
  agent.Config()["timeout"] = "1000";
  ASSERT_TRUE(agent.Start()) << agent.Output();
  RawConnection idle(agent.Port());
  const auto started = std::chrono::steady_clock::now();
  bool closed = false;
  EXPECT_EQ(idle.ReceiveUntilClosed(&closed), "");
  EXPECT_TRUE(closed);
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_LE(waited, std::chrono::milliseconds(4000));
}

size_t CountOf(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// Bytes of one whole reply packet from a raw connection, or what came before
// it closed.
std::string ReceiveOnePacket(int socket) {
  String received;
  char byte;
  while (!ReplyPacketComplete(received) && recv(socket, &byte, 1, 0) == 1) received.AddChar(byte);
  return Text(received);
}

TEST_F(AgentE2E, ProbesAreAnsweredWhileManyConnectionsIdle) {
  agent.Config()["timeout"] = "30000";
  ASSERT_TRUE(agent.Start()) << agent.Output();
  std::vector<std::unique_ptr<RawConnection>> idle;
  for (int i = 0; i < 300; ++i) idle.push_back(std::make_unique<RawConnection>(agent.Port()));
  for (int probe = 0; probe < 3; ++probe) {
    EXPECT_EQ(ReplyValue(agent.Query("GetInfo"), "AgentPlatform"), "OpenBSD") << probe;
  }
  for (const auto& connection : idle) EXPECT_TRUE(connection->Connected());
}

TEST_F(AgentE2E, FullTableDropsTheLongestIdleConnectionFirst) {
  agent.Config()["timeout"] = "30000";
  agent.Config()["maxconnections"] = "8";
  ASSERT_TRUE(agent.Start()) << agent.Output();
  std::vector<std::unique_ptr<RawConnection>> held;
  for (int i = 0; i < 9; ++i) {
    held.push_back(std::make_unique<RawConnection>(agent.Port()));
    // One at a time, so that the agent takes them in this order.
    ASSERT_TRUE(Eventually(
        [&] { return CountOf(agent.Output(), "TCP connection accepted") == held.size(); }, 3000));
    usleep(50 * 1000);
  }
  // The ninth idle connection pushed out the first, and only the first.
  bool closed = false;
  EXPECT_EQ(held[0]->ReceiveUntilClosed(&closed), "");
  EXPECT_TRUE(closed);
  // The second-oldest still carries a request.
  const std::string key = "held second key";
  held[1]->Send(Packet("e2e-secret", key, "GetInfo\n\r"));
  EXPECT_EQ(Text(DecodeReply(held[1]->ReceiveUntilClosed(), key)).substr(0, 4), "200\n");
  EXPECT_EQ(ReplyValue(agent.Query("GetInfo"), "AgentPlatform"), "OpenBSD");
}

TEST_F(AgentE2E, SlowWriterWithinTheTimeoutIsServed) {
  agent.Config()["timeout"] = "1000";
  ASSERT_TRUE(agent.Start()) << agent.Output();
  const std::string key = "slow writer";
  const std::string packet = Packet("e2e-secret", key, "GetInfo\n\r");
  RawConnection slow(agent.Port());
  // About 2.4 s in all, never more than 0.4 s without a byte.
  const size_t pieces = 6;
  const size_t piece = (packet.size() + pieces - 1) / pieces;
  for (size_t at = 0; at < packet.size(); at += piece) {
    slow.Send(packet.substr(at, piece));
    usleep(400 * 1000);
  }
  EXPECT_EQ(Text(DecodeReply(slow.ReceiveUntilClosed(), key)).substr(0, 4), "200\n");
}

TEST_F(AgentE2E, BurstBeyondTheWorkersWaitsAndIsAnswered) {
  agent.Config()["maxsessions"] = "1";
  ASSERT_TRUE(agent.Start()) << agent.Output();
  constexpr int kClients = 12;
  std::vector<std::string> platforms(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] { platforms[i] = ReplyValue(agent.Query("GetInfo"), "AgentPlatform"); });
  }
  for (std::thread& client : clients) client.join();
  for (int i = 0; i < kClients; ++i) EXPECT_EQ(platforms[i], "OpenBSD") << i;
}

TEST_F(AgentE2E, RequestsAreServedDuringAnUpgradeTransfer) {
  agent.Config()["maxsessions"] = "2";
  ASSERT_TRUE(agent.Start()) << agent.Output();
  const std::string key = "upgrade key";
  RawConnection upgrade(agent.Port());
  upgrade.Send(Packet("e2e-secret", key, "UpgradeCode\n5000\n\r"));
  EXPECT_EQ(Text(DecodeReply(ReceiveOnePacket(upgrade.Socket()), key)), "200\n\r");
  // The transfer holds its worker; the other one serves the requests.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(ReplyValue(agent.Query("GetInfo"), "AgentPlatform"), "OpenBSD") << i;
  }
}

// A flood that takes every descriptor the agent may have: it keeps serving
// while the flood lasts and answers as before once it is over.
TEST_F(AgentE2E, FloodBeyondTheDescriptorLimitLeavesTheAgentServing) {
  agent.Config()["timeout"] = "30000";
  agent.Config()["maxsessions"] = "1";
  agent.Config()["maxconnections"] = "1000";
  agent.SetDescriptorLimit(48);
  ASSERT_TRUE(agent.Start()) << agent.Output();
  {
    std::vector<std::unique_ptr<RawConnection>> flood;
    for (int i = 0; i < 200; ++i) flood.push_back(std::make_unique<RawConnection>(agent.Port()));
    EXPECT_TRUE(Eventually(
        [&] { return ReplyValue(agent.Query("GetInfo"), "AgentPlatform") == "OpenBSD"; }, 5000))
        << agent.Output();
  }
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(ReplyValue(agent.Query("GetInfo"), "AgentPlatform"), "OpenBSD") << i;
  }
  EXPECT_TRUE(agent.Running());
}

TEST_F(AgentE2E, UpgradeReplacesTheProgramAndStartsIt) {
  // The agent runs from a copy, which the upgrade replaces by a stand-in
  // program that records the arguments it was started with.
  const std::string installed = agent.Dir().File("jex-installed");
  ASSERT_EQ(RunProgram({"/bin/cp", AgentBinary(), installed}, 10000).ExitCode, 0);
  agent.Config()["jexpath"] = installed;
  ASSERT_TRUE(agent.Start()) << agent.Output();

  const std::string marker = agent.Dir().File("upgraded.txt");
  std::string standIn = "#!/bin/sh\n# stand-in for a new agent program, used by the upgrade test\n";
  standIn += "echo \"$@\" > '" + marker + "'\n";
  String program;
  program.AddData(standIn.data(), static_cast<int>(standIn.size()));
  ASSERT_GE(program.Length(), 101);

  String reply;
  String error;
  ASSERT_EQ(UploadProgram(agent.Endpoint(), program, reply, error), 1) << Text(error);
  EXPECT_EQ(Text(reply), "200\n");
  ASSERT_TRUE(Eventually([&] { return !ReadFile(marker).empty(); }, 20000)) << agent.Output();
  EXPECT_EQ(ReadFile(marker), "-i " + agent.ConfigPath() + "\n");
  EXPECT_EQ(ReadFile(installed), standIn);
  EXPECT_EQ(agent.WaitExit(15000), 0);
}

}  // namespace
}  // namespace e2e
