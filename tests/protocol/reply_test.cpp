// JEXReply: the reply packet pinned to vector-derived bytes, and the text
// forms of the Add... operations.
#include "protocol/reply.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "protocol/client.h"
#include "tests/protocol/protocol_test_support.h"

namespace {

using prototest::CheckedCipherKey;
using prototest::ToHex;

TEST(ReplyPacket, CodeLineBecomesLengthAndEncryptedBytes) {
  struct KeyCase {
    const char* sha1Vector;
    const char* twofishVector;
  };
  for (const KeyCase& c :
       {KeyCase{"sha1-fips-A", "tf-sha1key-abc"}, KeyCase{"sha1-empty", "tf-sha1key-empty"}}) {
    CheckedCipherKey key(c.sha1Vector, c.twofishVector);
    ASSERT_TRUE(key.Check());
    JEXReply reply;
    reply.InitPacket(nullptr, key.KeyText());
    EXPECT_EQ(reply.Length(), 0);
    reply.SetResult("200");
    ASSERT_EQ(String(reply), "200\n");
    reply.FinalizePacket();
    // 5, 0, 0, 0, then '2', '0', '0', LF, CR each XORed with its keystream byte.
    const String cipher = key.Encrypt("200\n\r");
    ASSERT_EQ(cipher.Length(), 5);
    EXPECT_EQ(ToHex(reply), "05000000" + ToHex(cipher)) << c.twofishVector;
  }
}

TEST(ReplyPacket, FinalizeEndsTheLastLineAndAppendsCr) {
  prototest::EnsureTwofish();
  JEXReply reply;
  reply.InitPacket("301", "session");
  EXPECT_EQ(String(reply), "301\n");
  reply += "no such file or acess denied";
  reply.FinalizePacket();
  String text, error;
  ASSERT_EQ(ParseReplyPacket(reply, "session", text, error), 1) << error.SetZero().Data();
  EXPECT_EQ(text, "301\nno such file or acess denied\n\r");
}

TEST(ReplyPacket, AssigningTextKeepsTheSessionKey) {
  prototest::EnsureTwofish();
  JEXReply reply;
  reply.InitPacket(nullptr, "session");
  reply = "200\nOk\n";
  reply = String("500\nVoid request received\n");
  reply.FinalizePacket();
  String text, error;
  ASSERT_EQ(ParseReplyPacket(reply, "session", text, error), 1);
  EXPECT_EQ(text, "500\nVoid request received\n\r");
}

TEST(SetResult, ReplacesTheWholeText) {
  JEXReply reply;
  reply.SetResult("200");
  reply.AddIntParam(1);
  reply.AddStringParam("x", 0);
  reply.SetResult("301") += "Folder doesn`t exist or access denied";
  EXPECT_EQ(String(reply), "301\nFolder doesn`t exist or access denied");
  reply.SetResult(nullptr);
  EXPECT_EQ(reply.Length(), 0);
}

TEST(CommandSeparatorCheck, EndsAnOpenLineOnly) {
  JEXReply reply;
  reply.CommandSeparatorCheck();
  EXPECT_EQ(reply.Length(), 0);
  reply.AddIntParam(7);  // no line break before the first value
  EXPECT_EQ(String(reply), "7\n");
  reply += "reason";
  reply.AddBoolParam(0);
  EXPECT_EQ(String(reply), "7\nreason\n0\n");
  reply.CommandSeparatorCheck();
  EXPECT_EQ(String(reply), "7\nreason\n0\n");
}

// Each case writes one value after the code line "200".
struct ValueCase {
  const char* name;
  void (*add)(JEXReply&);
  const char* line;
};

TEST(AddParams, WriteTheirTextForms) {
  const std::vector<ValueCase> cases = {
      {"int", [](JEXReply& r) { r.AddIntParam(-1234); }, "-1234"},
      {"int64 short", [](JEXReply& r) { r.AddIntParam(5.0); }, "     5"},
      {"int64 rounded", [](JEXReply& r) { r.AddIntParam(12.6); }, "    13"},
      {"int64 wide", [](JEXReply& r) { r.AddIntParam(10485759.0 * 1024); }, "10737417216"},
      {"int64 huge", [](JEXReply& r) { r.AddIntParam(1e20); }, "100000000000000000000"},
      {"real", [](JEXReply& r) { r.AddRealParam(0.5); }, "0.5000"},
      {"real negative", [](JEXReply& r) { r.AddRealParam(-2.25); }, "-2.2500"},
      {"real wide", [](JEXReply& r) { r.AddRealParam(12345.678); }, "12345.6780"},
      {"bool nonzero", [](JEXReply& r) { r.AddBoolParam(7); }, "1"},
      {"bool zero", [](JEXReply& r) { r.AddBoolParam(0); }, "0"},
      {"string", [](JEXReply& r) { r.AddStringParam("a\r\nb", 0); }, "a\r\nb"},
      {"string escaped", [](JEXReply& r) { r.AddStringParam("a\r\nb", 1); }, "a%0D%0Ab"},
      {"string null", [](JEXReply& r) { r.AddStringParam(static_cast<const char*>(nullptr), 1); },
       ""},
      {"String escaped", [](JEXReply& r) { r.AddStringParam(String("x\ny"), 1); }, "x%0Ay"},
      {"var", [](JEXReply& r) { r.AddVarParams("%s=%d", "count", 3); }, "count=3"},
  };
  for (const ValueCase& c : cases) {
    JEXReply reply;
    reply.SetResult("200");
    c.add(reply);
    EXPECT_EQ(String(reply), String("200\n") + c.line + "\n") << c.name;
  }
}

TEST(AddParams, RealFormIsCutAtThirtyFourCharacters) {
  char full[400];
  std::snprintf(full, sizeof full, "%6.4f", 1e40);
  JEXReply reply;
  reply.AddRealParam(1e40);
  EXPECT_EQ(String(reply), String(std::string(full, 34).c_str()) + "\n");
}

TEST(AddParams, StringKeepsEmbeddedNulBytes) {
  String text("a");
  text.AddChar('\0');
  text.AddChar('b');
  JEXReply reply;
  reply.AddStringParam(text, 0);
  EXPECT_EQ(ToHex(reply), "6100620A");
}

TEST(AddTimeParam, WritesDayMonthYearAndTime) {
  std::tm time{};
  time.tm_mday = 5;
  time.tm_mon = 2;  // March
  time.tm_year = 2009 - 1900;
  time.tm_hour = 14;
  time.tm_min = 7;
  time.tm_sec = 9;
  JEXReply reply;
  reply.AddTimeParam(time);

  // The same moment as calendar seconds, converted back to local time.
  time.tm_isdst = -1;
  const int seconds = static_cast<int>(std::mktime(&time));
  reply.AddTimeParam(seconds);
  EXPECT_EQ(String(reply), "05032009140709\n05032009140709\n");
}

TEST(AddVarParams, AddsTheLineBelow2048CharactersOnly) {
  const std::string fits(2047, 'v');
  const std::string tooLong(2048, 'w');
  JEXReply reply;
  reply.SetResult("200");
  reply.AddVarParams("%s", fits.c_str());
  EXPECT_EQ(String(reply), String("200\n") + fits.c_str() + "\n");
  reply.AddVarParams("%s", tooLong.c_str());
  reply.AddVarParams("%s%s", fits.c_str(), "x");
  EXPECT_EQ(reply.Length(), 4 + 2048);
}

}  // namespace
