// OXRequest: the request packet laid out field by field from vector-derived
// bytes, its acceptance and the rejection of damaged packets, completeness of
// the received bytes, the debug lines, and parameter access.
#include "protocol/request.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/client.h"
#include "tests/protocol/protocol_test_support.h"

namespace {

using prototest::Bytes;
using prototest::CheckedCipherKey;
using prototest::FromHex;
using prototest::ToHex;
using prototest::Vector;

String Le16(std::uint32_t v) {
  return Bytes({static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)});
}

String Le32(std::uint32_t v) {
  return Bytes({static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)});
}

// A request packet laid out field by field. A length left at -1 is the true
// length of its field.
struct PacketLayout {
  String marker = Bytes({0x03, 0x12});
  String pswd;
  String key;
  String request;
  String trailer;    // after the request field, counted in N
  String uncounted;  // after the packet, not counted in N
  std::int64_t n = -1, p = -1, k = -1, r = -1;

  static std::uint32_t Or(std::int64_t forced, int actual) {
    return static_cast<std::uint32_t>(forced >= 0 ? forced : actual);
  }

  String Assemble() const {
    String body = marker;
    body += Le16(Or(p, pswd.Length()));
    body += pswd;
    body += Le16(Or(k, key.Length()));
    body += key;
    body += Le32(Or(r, request.Length()));
    body += request;
    body += trailer;
    String packet = Le32(Or(n, body.Length()));
    packet += body;
    packet += uncounted;
    return packet;
  }
};

struct DebugLine {
  in_addr peer;
  std::string text;
};
std::vector<DebugLine> debugLines;
void CaptureDebugLine(in_addr peer, const char* line) {
  debugLines.push_back({peer, line});
}

std::vector<std::string> DebugTexts() {
  std::vector<std::string> texts;
  for (const DebugLine& line : debugLines) texts.push_back(line.text);
  return texts;
}

const in_addr kPeer = {htonl(0x7F000009)};  // 127.0.0.9
const char* const kRequestText = "TEST-FileExists\n/tmp/jex-probe\n\r";

// Password "abc", session key "test cipherkey": both cipher keys are pinned by
// SHA-1 and Twofish vectors, the password digest by the RFC 1321 suite.
class RequestPacket : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(passwordKey_.Check());
    ASSERT_TRUE(sessionKey_.Check());
    md5Hex_ = Vector("md5.txt", "md5-rfc1321-3")["MD5"];
    layout_.pswd = FromHex(md5Hex_);
    layout_.key = passwordKey_.Encrypt(sessionKey_.KeyText());
    layout_.request = sessionKey_.Encrypt(kRequestText);
    debugLines.clear();
    SetRequestDebugSink(CaptureDebugLine);
  }
  void TearDown() override { SetRequestDebugSink(nullptr); }

  // Parses the packet with the agent's password; on rejection also checks
  // that the text is left as received and the session key empty.
  int Parse(const String& packet, const String& password) {
    OXRequest request;
    request = packet;
    const int accepted = request.ParseInitRequest(password, kPeer);
    if (accepted) {
      text_ = request;
      key_ = request.GetSessionKey();
    } else {
      EXPECT_EQ(String(request), packet);
      EXPECT_EQ(request.GetSessionKey().Length(), 0);
    }
    return accepted;
  }

  CheckedCipherKey passwordKey_{"sha1-fips-A", "tf-sha1key-abc"};
  CheckedCipherKey sessionKey_{"sha1-test-cipherkey", "tf-sha1key-selftest"};
  std::string md5Hex_;
  PacketLayout layout_;
  String text_;
  String key_;
};

TEST_F(RequestPacket, ServerSideBuilderLaysOutEveryField) {
  ASSERT_EQ(passwordKey_.KeyText(), "abc");
  ASSERT_EQ(sessionKey_.KeyText(), "test cipherkey");
  // N = 2 + 2 + 16 + 2 + 14 + 4 + 32 = 72 = 0x48; P = 16; K = 14; R = 32.
  const std::string expected =
      "48000000"  // N
      "0312"      // marker
      "1000" +
      prototest::ToHex(FromHex(md5Hex_)) +  // P, MD5("abc")
      "0E00" + ToHex(layout_.key) +         // K, key field
      "20000000" + ToHex(layout_.request);  // R, request field
  EXPECT_EQ(ToHex(layout_.Assemble()), expected);
  EXPECT_EQ(ToHex(BuildRequestPacket("abc", "test cipherkey", kRequestText)), expected);
}

TEST_F(RequestPacket, AcceptedPacketYieldsTextAndSessionKey) {
  ASSERT_EQ(Parse(layout_.Assemble(), "abc"), 1);
  EXPECT_EQ(text_, kRequestText);
  EXPECT_EQ(key_, "test cipherkey");
  EXPECT_EQ(DebugTexts(), (std::vector<std::string>{
                              "<-- TCP packet size: 76\n", "<-- JEX packet size: 72\n",
                              "<-- Pswd size: 16\n", "<-- Key size: 14\n", "<-- Req size: 32\n"}));
  for (const DebugLine& line : debugLines) EXPECT_EQ(line.peer.s_addr, kPeer.s_addr);
}

TEST_F(RequestPacket, PreparedPasswordParsesAlikeAndLeavesTheReplyCipher) {
  const PacketPassword password("abc");
  OXRequest request;
  request = layout_.Assemble();
  StreamKey sessionCipher;
  ASSERT_EQ(request.ParseInitRequest(password, kPeer, &sessionCipher), 1);
  EXPECT_EQ(String(request), kRequestText);
  EXPECT_EQ(request.GetSessionKey(), "test cipherkey");
  ASSERT_TRUE(sessionCipher.Ready());
  EXPECT_EQ(sessionCipher.Encode("200\n\r", 4), EncodeData("200\n\r", "test cipherkey", 4));

  OXRequest wrong;
  wrong = layout_.Assemble();
  EXPECT_EQ(wrong.ParseInitRequest(PacketPassword("abd"), kPeer), 0);
  EXPECT_EQ(String(wrong), layout_.Assemble());
}

TEST_F(RequestPacket, BytesAfterTheRequestFieldWithinNAreIgnored) {
  layout_.trailer = "junk";
  ASSERT_EQ(Parse(layout_.Assemble(), "abc"), 1);
  EXPECT_EQ(text_, kRequestText);
}

TEST_F(RequestPacket, EmptyPasswordHasNoDigestAndKeysWithTheEmptyMessageDigest) {
  CheckedCipherKey emptyKey("sha1-empty", "tf-sha1key-empty");
  ASSERT_TRUE(emptyKey.Check());
  ASSERT_EQ(passwordKey_.KeyText(), "abc");
  // Session key "abc" under the empty password; text under "abc".
  layout_.pswd = String();
  layout_.key = emptyKey.Encrypt("abc");
  layout_.request = passwordKey_.Encrypt(kRequestText);
  const String packet = layout_.Assemble();
  EXPECT_EQ(ToHex(packet).substr(0, 16),
            "2D000000"
            "0312"
            "0000");  // N = 45, P = 0
  EXPECT_EQ(ToHex(BuildRequestPacket("", "abc", kRequestText)), ToHex(packet));

  ASSERT_EQ(Parse(packet, ""), 1);
  EXPECT_EQ(text_, kRequestText);
  EXPECT_EQ(key_, "abc");
  EXPECT_EQ(debugLines.at(2).text, "<-- Pswd size: 0\n");
  EXPECT_EQ(Parse(packet, "abc"), 0);
}

TEST_F(RequestPacket, RequestLengthOfTwoToThe31OrMorePassesWithAnEmptyText) {
  for (std::uint32_t r : {0x80000000u, 0xFFFFFFFFu, 0u}) {
    debugLines.clear();
    layout_.r = r;
    ASSERT_EQ(Parse(layout_.Assemble(), "abc"), 1) << r;
    EXPECT_EQ(text_.Length(), 0) << r;
    EXPECT_EQ(key_, "test cipherkey") << r;
    EXPECT_EQ(debugLines.at(4).text,
              "<-- Req size: " + std::to_string(static_cast<std::int32_t>(r)) + "\n");
  }
}

String FlipLastByte(const String& s) {
  String flipped = s.Copy(1, s.Length() - 1);
  flipped.AddChar(static_cast<char>(s[s.Length()] ^ 1));
  return flipped;
}

TEST_F(RequestPacket, ThirteenBytesAreRejectedBeforeAnyFieldIsRead) {
  const String packet = Le32(9) + String("012345678");  // N + 4 = 13 = L
  EXPECT_EQ(Parse(packet, "abc"), 0);
  EXPECT_EQ(DebugTexts(), std::vector<std::string>{"<-- TCP packet size: 13\n"});
}

// One damage per case; `lines` is the number of debug lines shown before the
// rejection (the checks run in a fixed order).
struct Damage {
  const char* name;
  void (*edit)(PacketLayout&);
  const char* agentPassword;
  size_t lines;
};

TEST_F(RequestPacket, DamagedPacketsAreRejected) {
  // The intact packet: L = 76, N = 72, P = 16, K = 14, R = 32.
  const std::vector<Damage> damages = {
      {"N + 4 below the bytes received", [](PacketLayout& l) { l.n = 71; }, "abc", 2},
      {"N + 4 above the bytes received", [](PacketLayout& l) { l.n = 73; }, "abc", 2},
      {"more bytes arrived than N says", [](PacketLayout& l) { l.uncounted = "x"; }, "abc", 2},
      {"N of 2^32 - 4", [](PacketLayout& l) { l.n = 0xFFFFFFFC; }, "abc", 2},
      {"P one past the end", [](PacketLayout& l) { l.p = 76 - 14 + 1; }, "abc", 3},
      {"P of 65535", [](PacketLayout& l) { l.p = 0xFFFF; }, "abc", 3},
      {"K one past the end", [](PacketLayout& l) { l.k = 76 - 14 - 16 + 1; }, "abc", 4},
      {"K of 65535", [](PacketLayout& l) { l.k = 0xFFFF; }, "abc", 4},
      {"R one past the end", [](PacketLayout& l) { l.r = 33; }, "abc", 5},
      {"R of 2^31 - 1", [](PacketLayout& l) { l.r = 0x7FFFFFFF; }, "abc", 5},
      {"first marker byte",
       [](PacketLayout& l) {
         l.marker = Bytes({0x04, 0x12});
       },
       "abc", 5},
      {"second marker byte",
       [](PacketLayout& l) {
         l.marker = Bytes({0x03, 0x13});
       },
       "abc", 5},
      {"wrong password", [](PacketLayout&) {}, "abd", 6},
      {"damaged digest", [](PacketLayout& l) { l.pswd = FlipLastByte(l.pswd); }, "abc", 6},
      {"digest one byte short", [](PacketLayout& l) { l.pswd = l.pswd.Copy(1, 15); }, "abc", 6},
      {"no digest while a password is set", [](PacketLayout& l) { l.pswd = String(); }, "abc", 6},
      {"digest while the password is empty", [](PacketLayout&) {}, "", 6},
  };
  for (const Damage& damage : damages) {
    debugLines.clear();
    PacketLayout layout = layout_;
    damage.edit(layout);
    const String packet = layout.Assemble();
    EXPECT_EQ(Parse(packet, damage.agentPassword), 0) << damage.name;
    ASSERT_EQ(debugLines.size(), damage.lines) << damage.name;
    EXPECT_EQ(debugLines[0].text, "<-- TCP packet size: " + std::to_string(packet.Length()) + "\n");
    if (damage.lines == 6) {
      EXPECT_EQ(debugLines[5].text, "<-- Wrong password or MD5 error\n");
    }
  }
}

TEST_F(RequestPacket, WholeOnceTheDeclaredBytesHaveArrived) {
  const String packet = layout_.Assemble();
  OXRequest request;
  for (int i = 1; i <= packet.Length(); ++i) {
    request.AddChar(packet[i]);
    EXPECT_EQ(request.WholePacket(), i == packet.Length()) << i;
  }
  request.AddChar('x');
  EXPECT_TRUE(request.WholePacket());
}

TEST(WholePacket, NeedsTheMinimumAndHandsOverImpossibleSizes) {
  const String ten("0123456789");
  struct Case {
    String bytes;
    bool whole;
  };
  const std::vector<Case> cases = {
      {String(), false},
      {Le32(9) + ten.Copy(1, 9), false},  // 13 bytes, N + 4 reached
      {Le32(10) + ten, true},
      {Le32(11) + ten, false},
      {Le32(0x7FFFFFFB) + ten, false},  // N + 4 = INT_MAX: could still arrive
      {Le32(0x7FFFFFFC) + ten, true},   // beyond any String: rejected at once
      {Le32(0xFFFFFFFF) + ten, true},
  };
  for (const Case& c : cases) {
    OXRequest request;
    request = c.bytes;
    EXPECT_EQ(request.WholePacket(), c.whole) << ToHex(c.bytes);
  }
}

TEST_F(RequestPacket, NoSinkNoDebugLines) {
  SetRequestDebugSink(nullptr);
  ASSERT_EQ(Parse(layout_.Assemble(), "abc"), 1);
  EXPECT_TRUE(debugLines.empty());
}

TEST_F(RequestPacket, AssigningTextKeepsTheSessionKey) {
  OXRequest request;
  request = layout_.Assemble();
  ASSERT_EQ(request.ParseInitRequest("abc", kPeer), 1);
  request = "x=1\n";
  EXPECT_EQ(String(request), "x=1\n");
  EXPECT_EQ(request.GetSessionKey(), "test cipherkey");
  request = String("y=2\n");
  EXPECT_EQ(request.GetSessionKey(), "test cipherkey");
}

TEST(GetParam, SplitsAtEveryLineFeed) {
  OXRequest params;
  params = "a\nb\n\r";
  EXPECT_EQ(params.GetParamsCount(), 2);
  EXPECT_EQ(params.GetParam(1, 0), "a");
  EXPECT_EQ(params.GetParam(0, 0), "a");
  EXPECT_EQ(params.GetParam(-7, 0), "a");
  EXPECT_EQ(params.GetParam(2, 1), "b");
  EXPECT_EQ(params.GetParam(3, 0), "\r");
  EXPECT_EQ(params.GetParam(3, 1), "");
  EXPECT_EQ(params.GetParam(5, 0), "");

  params = " a \n\nc";
  EXPECT_EQ(params.GetParamsCount(), 2);
  EXPECT_EQ(params.GetParam(1, 0), " a ");
  EXPECT_EQ(params.GetParam(1, 1), "a");
  EXPECT_EQ(params.GetParam(2, 0), "");
  EXPECT_EQ(params.GetParam(3, 0), "c");

  params = "";
  EXPECT_EQ(params.GetParamsCount(), 0);
  EXPECT_EQ(params.GetParam(1, 1), "");
}

TEST(GetNamedParam, FirstExactNameOfAnLfEndedLine) {
  struct Case {
    const char* text;
    const char* name;
    const char* value;
  };
  const std::vector<Case> cases = {
      {" x = 1=2 \nx=3\n", "x", "1=2"},
      {"X=1\n", "x", ""},
      {"y=2\nx=1", "x", ""},  // the last line has no LF
      {"x\nxx=1\nx=2\n", "x", "2"},
      {"x=a%0Ab\n", "x", "a%0Ab"},  // not unescaped
      {"x=1\r\n", "x", "1"},
      {"path = /tmp/a b \nx=\n", "path", "/tmp/a b"},
      {"=v\n", "", "v"},
      {"", "x", ""},
  };
  for (const Case& c : cases) {
    OXRequest params;
    params = c.text;
    EXPECT_EQ(params.GetNamedParam(c.name), c.value) << c.text;
  }
}

}  // namespace
