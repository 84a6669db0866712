// Server side of the wire: reading reply packets, and a whole exchange from
// the request packet to the decrypted reply.
#include "protocol/client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/codec.h"
#include "protocol/reply.h"
#include "protocol/request.h"
#include "tests/protocol/protocol_test_support.h"

namespace {

using prototest::Bytes;

class ClientSide : public ::testing::Test {
 protected:
  void SetUp() override { prototest::EnsureTwofish(); }
};

TEST_F(ClientSide, ReplyPacketMustBeExactlyItsLengthAndPayload) {
  const String payload = EncodeData("200\nOk\n\r", "key", 0);
  String text = "untouched";
  String error;

  EXPECT_EQ(ParseReplyPacket(Bytes({5, 0, 0}), "key", text, error), 0);
  EXPECT_EQ(error, "reply shorter than its length field");

  const String whole = EncodeLength(payload, 4) + payload;
  EXPECT_EQ(ParseReplyPacket(whole.Copy(1, whole.Length() - 1), "key", text, error), 0);
  EXPECT_EQ(error, "reply length field announces 8 bytes, 7 follow");
  EXPECT_EQ(ParseReplyPacket(whole + "x", "key", text, error), 0);
  EXPECT_EQ(error, "reply length field announces 8 bytes, 9 follow");
  EXPECT_EQ(ParseReplyPacket(Bytes({0xFF, 0xFF, 0xFF, 0xFF, 1}), "key", text, error), 0);
  EXPECT_EQ(error, "reply length field announces 4294967295 bytes, 1 follow");
  EXPECT_EQ(text, "untouched");

  ASSERT_EQ(ParseReplyPacket(whole, "key", text, error), 1);
  EXPECT_EQ(text, "200\nOk\n\r");
  ASSERT_EQ(ParseReplyPacket(Bytes({0, 0, 0, 0}), "key", text, error), 1);
  EXPECT_EQ(text.Length(), 0);
}

TEST_F(ClientSide, WholeReplyOnceTheAnnouncedBytesArrived) {
  EXPECT_FALSE(ReplyPacketComplete(String()));
  EXPECT_FALSE(ReplyPacketComplete(Bytes({2, 0, 0})));
  EXPECT_TRUE(ReplyPacketComplete(Bytes({0, 0, 0, 0})));
  EXPECT_FALSE(ReplyPacketComplete(Bytes({2, 0, 0, 0, 'a'})));
  EXPECT_TRUE(ReplyPacketComplete(Bytes({2, 0, 0, 0, 'a', 'b'})));
  EXPECT_FALSE(ReplyPacketComplete(Bytes({0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b'})));
}

TEST_F(ClientSide, SessionKeyTooLongForItsFieldGivesNoPacket) {
  String key;
  key.SetLength(0x10000);
  EXPECT_EQ(BuildRequestPacket("pw", key, "GetAgentStatus\n\r").Length(), 0);
  key.SetLength(0xFFFF);
  EXPECT_GT(BuildRequestPacket("pw", key, "GetAgentStatus\n\r").Length(), 0);
}

TEST_F(ClientSide, WholeExchangeInSmallChunks) {
  const String packet = BuildRequestPacket("secret", "k3y-0f-session", "TEST-CountFiles\n/tmp\n\r");
  OXRequest request;
  int chunks = 0;
  for (int at = 1; at <= packet.Length() && !request.WholePacket(); at += 7, ++chunks) {
    request += packet.Copy(at, 7);
  }
  ASSERT_TRUE(request.WholePacket());
  EXPECT_GT(chunks, 1);
  const in_addr peer = {htonl(0x7F000001)};
  ASSERT_EQ(request.ParseInitRequest("secret", peer), 1);
  EXPECT_EQ(String(request), "TEST-CountFiles\n/tmp\n\r");

  JEXReply reply;
  reply.InitPacket(nullptr, request.GetSessionKey());
  reply.SetResult("200");
  reply.AddIntParam(3);
  reply.FinalizePacket();
  ASSERT_TRUE(ReplyPacketComplete(reply));
  String text, error;
  ASSERT_EQ(ParseReplyPacket(reply, "k3y-0f-session", text, error), 1);
  EXPECT_EQ(text, "200\n3\n\r");
}

}  // namespace
