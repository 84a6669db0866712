// Network tests and actions against loopback peers run by the test: echo,
// silent and refused TCP and UDP services, a syslog receiver, and the
// command action; every reply text of the family.
#include "handlers/network.h"

#include <chrono>
#include <cstring>

#include "net/sockets.h"
#include "tests/handlers/handler_fixture.h"
#include "tests/net/loopback_peer.h"
#include "tests/net/text_shapes.h"

namespace jextest {
namespace {

using Clock = std::chrono::steady_clock;

class NetworkTest : public HandlerTest {
 protected:
  void SetUp() override {
    HandlerTest::SetUp();
    settings_.EnableTCP = 1;
    settings_.EnableUDP = 1;
    settings_.EnableTCPUDPAction = 1;
    settings_.EnableSyslogAction = 1;
    settings_.EnableExecuteAction = 1;
    Publish();
  }
};

// "200", a whole number of milliseconds, then the given value line.
testing::AssertionResult IsTimedAnswer(const std::string& reply, const std::string& value) {
  if (TimedAnswerValue(reply) != value) return testing::AssertionFailure() << reply;
  return testing::AssertionSuccess();
}

const std::string kRefused = strerror(ECONNREFUSED);

TEST_F(NetworkTest, RefusedWhenDisabled) {
  settings_ = TJEXSettings();
  Publish();
  const std::vector<std::string> params = {"127.0.0.1", "9", "0", "1", "x", "0"};
  EXPECT_EQ(Run(ProcessTest_TCP, params), "600\ntest is not allowed");
  EXPECT_EQ(Run(ProcessTest_UDP, params), "600\ntest is not allowed");
  EXPECT_EQ(Run(ProcessAct_TCPSend, params), "600\noperation is not allowed");
  EXPECT_EQ(Run(ProcessAct_Syslog, params), "600\noperation is not allowed");
  EXPECT_EQ(Run(ProcessAct_ExternalCmd, {"true"}), "600\noperation is not allowed");

  std::vector<std::string> names;
  for (const HandlerRow& row : NetworkCommandRows()) names.push_back(row.name);
  EXPECT_EQ(names, (std::vector<std::string>{"TEST-TCP", "TEST-UDP", "ACT-ExternalCmd",
                                             "ACT-TCPUDPsend", "ACT-Syslog"}));
}

TEST_F(NetworkTest, TcpTest) {
  const LoopbackPeer echo(SOCK_STREAM, PeerMode::kEcho);
  const LoopbackPeer silent(SOCK_STREAM, PeerMode::kSilent);
  const RefusingPort refused;
  const std::string echoPort = std::to_string(echo.Port());
  const std::string silentPort = std::to_string(silent.Port());

  // Escaped line breaks travel as real bytes and come back escaped.
  EXPECT_TRUE(IsTimedAnswer(
      Run(ProcessTest_TCP, {"127.0.0.1", echoPort, "2000", " hi%0D%0A", "100"}), " hi%0D%0A"));
  // Nothing to receive: done once sent, with an empty value.
  const auto start = Clock::now();
  EXPECT_TRUE(IsTimedAnswer(Run(ProcessTest_TCP, {"127.0.0.1", silentPort, "5000", "x", "0"}), ""));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));

  // More than the buffer holds is lowered to 8192 bytes.
  const std::string big(9000, 'b');
  const std::string reply = Run(ProcessTest_TCP, {"127.0.0.1", echoPort, "2000", big, "100000"});
  const std::optional<std::string> answer = TimedAnswerValue(reply);
  ASSERT_TRUE(answer) << reply.substr(0, 40);
  EXPECT_EQ(answer->find_first_not_of('b'), std::string::npos);
  EXPECT_GT(answer->size(), 0u);
  EXPECT_LE(answer->size(), 8192u);

  EXPECT_EQ(Run(ProcessTest_TCP, {"127.0.0.1", silentPort, "300", "x", "10"}), "301\nTimeout\n0\n");
  EXPECT_EQ(Run(ProcessTest_TCP, {"127.0.0.1", std::to_string(refused.Port()), "2000", "x", "10"}),
            "301\n" + kRefused + "\n-6\n");
  EXPECT_EQ(Run(ProcessTest_TCP, {"no-such-host.invalid", "80", "2000", "x", "10"}),
            "301\nCannot resolve server name to IP address\n-2\n");

  const std::vector<std::string> wrong[] = {
      {"127.0.0.1", "x", "2000", "x", "10"},
      {"127.0.0.1", echoPort, "1.5", "x", "10"},
      {"127.0.0.1", echoPort, "2000", "x", "ten"},
  };
  for (const std::vector<std::string>& params : wrong) {
    EXPECT_EQ(Run(ProcessTest_TCP, params), "501\nWrong parameter");
  }
}

TEST_F(NetworkTest, UdpTest) {
  const LoopbackPeer echo(SOCK_DGRAM, PeerMode::kEcho);
  const LoopbackPeer silent(SOCK_DGRAM, PeerMode::kSilent);
  const std::string echoPort = std::to_string(echo.Port());
  const std::string silentPort = std::to_string(silent.Port());

  EXPECT_TRUE(IsTimedAnswer(
      Run(ProcessTest_UDP, {"127.0.0.1", echoPort, "300", "1", "query%0A", "8192"}), "query%0A"));
  EXPECT_TRUE(
      IsTimedAnswer(Run(ProcessTest_UDP, {"127.0.0.1", silentPort, "300", "1", "q", "0"}), ""));

  // Every attempt waits one whole second at least; the last one's outcome.
  const auto start = Clock::now();
  EXPECT_EQ(Run(ProcessTest_UDP, {"127.0.0.1", silentPort, "300", "2", "again", "10"}),
            "301\nTimeout\n0\n");
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1980));
  EXPECT_EQ(silent.WaitForReceived(3, 2000), (std::vector<std::string>{"q", "again", "again"}));

  EXPECT_EQ(Run(ProcessTest_UDP, {"no-such-host.invalid", "53", "1000", "1", "q", "10"}),
            "301\nCannot resolve server name to IP address\n-2\n");

  const std::vector<std::string> wrong[] = {
      {"127.0.0.1", echoPort, "1000", "0", "q", "10"},   // no attempt
      {"127.0.0.1", echoPort, "1000", "-3", "q", "10"},  // a negative count starts none either
      {"127.0.0.1", echoPort, "1000", "1", "", "10"},    // nothing to send
      {"127.0.0.1", "port", "1000", "1", "q", "10"},
      {"127.0.0.1", echoPort, "1s", "1", "q", "10"},
      {"127.0.0.1", echoPort, "1000", "one", "q", "10"},
      {"127.0.0.1", echoPort, "1000", "1", "q", "+10"},
  };
  for (const std::vector<std::string>& params : wrong) {
    EXPECT_EQ(Run(ProcessTest_UDP, params), "501\nWrong parameter");
  }
}

TEST_F(NetworkTest, SendAction) {
  const LoopbackPeer tcp(SOCK_STREAM, PeerMode::kSilent);
  const LoopbackPeer udp(SOCK_DGRAM, PeerMode::kSilent);
  const RefusingPort refused;
  const std::string tcpPort = std::to_string(tcp.Port());
  const std::string udpPort = std::to_string(udp.Port());

  // TCP, then the second piece after the delay on the same connection.
  const auto start = Clock::now();
  EXPECT_EQ(Run(ProcessAct_TCPSend, {"127.0.0.1", tcpPort, "0", "first%0D%0A", "1", "second"}),
            "200\nData has been sent");
  EXPECT_GE(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(tcp.WaitForReceived(1, 2000), std::vector<std::string>{"first\r\nsecond"});

  // Any protocol text but "0" is UDP.
  for (const char* protocol : {"1", "tcp", ""}) {
    EXPECT_EQ(Run(ProcessAct_TCPSend, {"127.0.0.1", udpPort, protocol, "d", "0", ""}),
              "200\nData has been sent");
  }
  EXPECT_EQ(Run(ProcessAct_TCPSend, {"127.0.0.1", udpPort, "7", "one", "0", "two"}),
            "200\nData has been sent");
  EXPECT_EQ(udp.WaitForReceived(5, 2000), (std::vector<std::string>{"d", "d", "d", "one", "two"}));

  EXPECT_EQ(Run(ProcessAct_TCPSend, {"127.0.0.1", std::to_string(refused.Port()), "0", "d"}),
            "301\n" + kRefused);
  EXPECT_EQ(Run(ProcessAct_TCPSend, {"no-such-host.invalid", "9", "1", "d"}),
            "301\nCannot resolve server name to IP address");

  const std::vector<std::string> wrong[] = {
      {"", tcpPort, "0", "d"},
      {"127.0.0.1", tcpPort, "0", ""},
      {"127.0.0.1", "x", "0", "d"},
      {"127.0.0.1", tcpPort, "0", "d", "soon"},
  };
  for (const std::vector<std::string>& params : wrong) {
    EXPECT_EQ(Run(ProcessAct_TCPSend, params), "501\nWrong parameter");
  }
}

TEST_F(NetworkTest, SyslogAction) {
  const LoopbackPeer receiver(SOCK_DGRAM, PeerMode::kSilent);
  const std::string port = std::to_string(receiver.Port());
  EXPECT_EQ(Run(ProcessAct_Syslog, {"127.0.0.1", port, "1", "3", "disk full%0D%0Aon /var"}),
            "200\nSyslog: Data to 127.0.0.1 has been sent");
  const std::vector<std::string> got = receiver.WaitForReceived(1, 2000);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(
      IsSyslogDatagram(got[0], "11", Str(IP2String(GetMyIP())), "TQ JEX: disk full\r\non /var"))
      << got[0];

  EXPECT_EQ(Run(ProcessAct_Syslog, {"no-such-host.invalid", "514", "1", "3", "m"}),
            "301\nCannot resolve server name to IP address");
  const std::vector<std::string> wrong[] = {
      {"127.0.0.1", port, "1", "8", "m"},
      {"127.0.0.1", port, "1", "-1", "m"},
      {"", port, "1", "3", "m"},
      {"127.0.0.1", "x", "1", "3", "m"},
      {"127.0.0.1", port, "user", "3", "m"},
      {"127.0.0.1", port, "1", "err", "m"},
  };
  for (const std::vector<std::string>& params : wrong) {
    EXPECT_EQ(Run(ProcessAct_Syslog, params), "501\nWrong parameter");
  }
  EXPECT_EQ(receiver.Received().size(), 1u);
}

TEST_F(NetworkTest, ExternalCommandAction) {
  struct Case {
    std::vector<std::string> params;
    std::string reply;
  };
  const Case cases[] = {
      {{"sh -c '[ \"$(pwd)\" = /tmp ] && exit 7'", "/tmp", "0", "0"}, "200\n7\n"},
      {{"sh -c 'exit 2'", "", "", ""}, "200\n2\n"},
      {{"sh -c 'exit 2'", "", "", "-1"}, "200\n2\n"},
      {{"/nonexistent/jex-cmd", "", "0", "0"}, "301\nexec error: " + std::string(strerror(ENOENT))},
      {{"", "", "0", "0"}, "501\nCommand line to execute is not specified"},
      {{"sh -c 'exit 2'", "", "x", "0"}, "501\nWrong parameter"},
      {{"sh -c 'exit 2'", "", "0", "1000ms"}, "501\nWrong parameter"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params[0]);
    EXPECT_EQ(Run(ProcessAct_ExternalCmd, c.params), c.reply);
  }
}

}  // namespace
}  // namespace jextest
