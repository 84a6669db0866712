// One-shot TCP and UDP exchanges against loopback peers (echo, silent,
// hang-up, refused), and the syslog datagram: its time stamp, priority and
// the bytes a receiver gets.
#include "net/exchange.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "net/sockets.h"
#include "net/syslog.h"
#include "tests/net/loopback_peer.h"
#include "tests/net/text_shapes.h"
#include "tests/support/test_support.h"

namespace jextest {
namespace {

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

struct Exchange {
  int result = 0;
  std::string received;
  std::string error;
  long long ms = 0;
};

using ExchangeFunction = int (*)(const char*, int, int, void*, void*, int, int, String&);

Exchange Exchanged(ExchangeFunction function, const char* host, int port, int timeout,
                   std::string data, int receiveLength) {
  Exchange out;
  char buffer[8192] = {};
  String error("left over");
  const auto start = Clock::now();
  out.result = function(host, port, timeout, data.data(), buffer, static_cast<int>(data.size()),
                        receiveLength, error);
  out.ms = MillisecondsSince(start);
  if (out.result > 0 && receiveLength > 0) out.received.assign(buffer, out.result);
  out.error = Str(error);
  return out;
}

TEST(ExchangeTcpTest, EchoAndLimits) {
  const LoopbackPeer echo(SOCK_STREAM, PeerMode::kEcho);
  Exchange e = Exchanged(SendReceiveTCPPacket, "127.0.0.1", echo.Port(), 2000, "ping\r\n", 100);
  EXPECT_EQ(e.result, 6);
  EXPECT_EQ(e.received, "ping\r\n");
  EXPECT_EQ(e.error, "");

  // A receive length below the answer takes only that much.
  e = Exchanged(SendReceiveTCPPacket, "127.0.0.1", echo.Port(), 2000, "abcdef", 3);
  EXPECT_EQ(e.result, 3);
  EXPECT_EQ(e.received, "abc");

  // Names resolve like addresses.
  e = Exchanged(SendReceiveTCPPacket, "localhost", echo.Port(), 2000, "x", 10);
  EXPECT_EQ(e.result, 1);
}

TEST(ExchangeTcpTest, NothingToReceiveDoesNotWait) {
  const LoopbackPeer silent(SOCK_STREAM, PeerMode::kSilent);
  const Exchange e = Exchanged(SendReceiveTCPPacket, "127.0.0.1", silent.Port(), 3000, "data", 0);
  EXPECT_EQ(e.result, 1);
  EXPECT_LT(e.ms, 1000);
  EXPECT_EQ(silent.WaitForReceived(1, 2000), std::vector<std::string>{"data"});
}

TEST(ExchangeTcpTest, Failures) {
  const LoopbackPeer silent(SOCK_STREAM, PeerMode::kSilent);
  Exchange e = Exchanged(SendReceiveTCPPacket, "127.0.0.1", silent.Port(), 300, "hello", 10);
  EXPECT_EQ(e.result, 0);
  EXPECT_EQ(e.error, "Timeout");
  EXPECT_GE(e.ms, 290);
  EXPECT_LT(e.ms, 2000);

  const LoopbackPeer hangUp(SOCK_STREAM, PeerMode::kHangUp);
  e = Exchanged(SendReceiveTCPPacket, "127.0.0.1", hangUp.Port(), 2000, "", 10);
  EXPECT_EQ(e.result, 0);  // closed without an answer
  EXPECT_EQ(e.error, "");

  const RefusingPort refused;
  e = Exchanged(SendReceiveTCPPacket, "127.0.0.1", refused.Port(), 2000, "x", 10);
  EXPECT_EQ(e.result, kNetConnectError);
  EXPECT_EQ(e.error, strerror(ECONNREFUSED));

  e = Exchanged(SendReceiveTCPPacket, "no-such-host.invalid", 80, 2000, "x", 10);
  EXPECT_EQ(e.result, kNetResolveError);
  EXPECT_EQ(e.error, "Cannot resolve server name to IP address");
}

TEST(ExchangeUdpTest, EchoAndSendOnly) {
  const LoopbackPeer echo(SOCK_DGRAM, PeerMode::kEcho);
  Exchange e = Exchanged(SendReceiveUDPPacket, "127.0.0.1", echo.Port(), 2, "query\n", 8192);
  EXPECT_EQ(e.result, 6);
  EXPECT_EQ(e.received, "query\n");
  EXPECT_EQ(e.error, "");

  // Nothing to receive: the count of bytes sent.
  const LoopbackPeer silent(SOCK_DGRAM, PeerMode::kSilent);
  e = Exchanged(SendReceiveUDPPacket, "127.0.0.1", silent.Port(), 2, "twelve bytes", 0);
  EXPECT_EQ(e.result, 12);
  EXPECT_EQ(e.error, "");
  EXPECT_EQ(silent.WaitForReceived(1, 2000), std::vector<std::string>{"twelve bytes"});
}

TEST(ExchangeUdpTest, Failures) {
  const LoopbackPeer silent(SOCK_DGRAM, PeerMode::kSilent);
  Exchange e = Exchanged(SendReceiveUDPPacket, "127.0.0.1", silent.Port(), 1, "hello", 100);
  EXPECT_EQ(e.result, 0);
  EXPECT_EQ(e.error, "Timeout");
  EXPECT_GE(e.ms, 990);
  EXPECT_LT(e.ms, 3000);

  e = Exchanged(SendReceiveUDPPacket, "no-such-host.invalid", 53, 1, "x", 10);
  EXPECT_EQ(e.result, kNetResolveError);
  EXPECT_EQ(e.error, "Cannot resolve server name to IP address");
}

TEST(SyslogTest, TimeStamps) {
  struct Case {
    int month, day, hour, minute, second;
    const char* stamp;
  };
  const Case cases[] = {
      {1, 5, 17, 32, 8, "Feb  5 17:32:08"},
      {9, 15, 9, 5, 0, "Oct 15 09:05:00"},
      {0, 1, 0, 0, 0, "Jan  1 00:00:00"},
      {11, 31, 23, 59, 59, "Dec 31 23:59:59"},
  };
  for (const Case& c : cases) {
    std::tm local{};
    local.tm_mon = c.month;
    local.tm_mday = c.day;
    local.tm_hour = c.hour;
    local.tm_min = c.minute;
    local.tm_sec = c.second;
    EXPECT_EQ(Str(SyslogTimeStamp(local)), c.stamp);
  }
  EXPECT_TRUE(FitsShape(Str(CDateTime()), kSyslogStampShape)) << Str(CDateTime());
}

TEST(SyslogTest, Priorities) {
  struct Case {
    long long facility;
    int severity;
    const char* text;
  };
  const Case cases[] = {
      {1, 3, "<11>Feb  5 17:32:08 10.1.2.3 TQ JEX: disk full"},
      {16, 6, "<134>Feb  5 17:32:08 10.1.2.3 TQ JEX: disk full"},
      {0, 0, "<0>Feb  5 17:32:08 10.1.2.3 TQ JEX: disk full"},
      {100, 7, "<807>Feb  5 17:32:08 10.1.2.3 TQ JEX: disk full"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Str(BuildSyslogMessage(c.facility, c.severity, "Feb  5 17:32:08", "10.1.2.3",
                                     "TQ JEX", "disk full")),
              c.text);
  }
}

// The receiver gets exactly one datagram of the documented form.
TEST(SyslogTest, DatagramReachesReceiver) {
  const LoopbackPeer receiver(SOCK_DGRAM, PeerMode::kSilent);
  String error("left over");
  const int sent =
      SendToSysLog("127.0.0.1", receiver.Port(), 16, 6, "TQ JEX", "line one\r\nline two", error);
  EXPECT_EQ(Str(error), "");
  const std::vector<std::string> got = receiver.WaitForReceived(1, 2000);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(sent, static_cast<int>(got[0].size()));
  const std::string address = Str(IP2String(GetMyIP()));
  EXPECT_TRUE(IsSyslogDatagram(got[0], "134", address, "TQ JEX: line one\r\nline two")) << got[0];

  EXPECT_EQ(SendToSysLog("no-such-host.invalid", 514, 1, 3, "TQ JEX", "x", error),
            kNetResolveError);
  EXPECT_EQ(Str(error), "Cannot resolve server name to IP address");
}

}  // namespace
}  // namespace jextest
