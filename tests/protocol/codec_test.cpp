// Packet codec: the cipher stream pinned to vector-derived bytes, length
// fields, the password digest and the layout constants.
#include "protocol/codec.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/protocol/protocol_test_support.h"

namespace {

using prototest::Bytes;
using prototest::CheckedCipherKey;
using prototest::FromHex;
using prototest::ToHex;
using prototest::Vector;

TEST(LayoutConstants, MatchTheServersPacketLayout) {
  EXPECT_EQ(OFFSET_PACKET, 1);
  EXPECT_EQ(SIZELEN_AUTH, 2);
  EXPECT_EQ(SIZELEN_PSWD, 2);
  EXPECT_EQ(SIZELEN_KEY, 2);
  EXPECT_EQ(SIZELEN_REQUEST, 4);
  EXPECT_EQ(OFFSET_AUTH, 5);
  EXPECT_EQ(OFFSET_PSWD, 7);
  EXPECT_EQ(OFFSET_KEY, 9);
  EXPECT_EQ(OFFSET_REQUEST, 11);
  EXPECT_EQ(SIZELEN_MINIMUM, 14);
  EXPECT_EQ(kPacketMarker[0], 0x03);
  EXPECT_EQ(kPacketMarker[1], 0x12);
}

// Key texts whose cipher keys are pinned by a SHA-1 vector and a Twofish
// vector of the same 20-byte key.
struct KeyCase {
  const char* label;
  const char* sha1Vector;
  const char* twofishVector;
};

void PrintTo(const KeyCase& c, std::ostream* os) {
  *os << c.label;
}

class CipherStream : public ::testing::TestWithParam<KeyCase> {};

TEST_P(CipherStream, EncodeDataMatchesTheVectorCheckedStream) {
  CheckedCipherKey key(GetParam().sha1Vector, GetParam().twofishVector);
  ASSERT_TRUE(key.Check());
  // 15 bytes stay within the first register; 40 replace it twice over.
  for (const char* text : {"123456789012345", "TEST-FileExists\n/var/log/messages\n\r 40b"}) {
    const String plain(text);
    const String expected = key.Encrypt(plain);
    ASSERT_EQ(expected.Length(), plain.Length());
    EXPECT_EQ(ToHex(EncodeData(plain, key.KeyText(), 0)), ToHex(expected)) << text;
    // The register restarts from the encrypted 0xFF block on every call.
    EXPECT_EQ(ToHex(EncodeData(plain, key.KeyText(), 0)), ToHex(expected)) << text;
    EXPECT_EQ(DecodeData(expected, key.KeyText()), plain) << text;
  }
}

TEST_P(CipherStream, LengthPrefixPrecedesTheCiphertext) {
  CheckedCipherKey key(GetParam().sha1Vector, GetParam().twofishVector);
  ASSERT_TRUE(key.Check());
  const String plain("200\n\r");
  const String cipher = key.Encrypt(plain);
  EXPECT_EQ(ToHex(EncodeData(plain, key.KeyText(), 4)), "05000000" + ToHex(cipher));
  EXPECT_EQ(ToHex(EncodeData(plain, key.KeyText(), 2)), "0500" + ToHex(cipher));
}

INSTANTIATE_TEST_SUITE_P(
    VectorKeys, CipherStream,
    ::testing::Values(KeyCase{"abc", "sha1-fips-A", "tf-sha1key-abc"},
                      KeyCase{"TestCipherkey", "sha1-test-cipherkey", "tf-sha1key-selftest"},
                      KeyCase{"Empty", "sha1-empty", "tf-sha1key-empty"}),
    [](const ::testing::TestParamInfo<KeyCase>& info) { return std::string(info.param.label); });

TEST(EncodeData, EmptyDataGivesEmptyResultWithoutPrefix) {
  prototest::EnsureTwofish();
  EXPECT_EQ(EncodeData(String(), "key", 0).Length(), 0);
  EXPECT_EQ(EncodeData(String(), "key", 4).Length(), 0);
  EXPECT_EQ(DecodeData(String(), "key").Length(), 0);
}

TEST(EncodeData, DecodeInvertsEncodeForAnyKeyAndBytes) {
  prototest::EnsureTwofish();
  String binary;
  for (int i = 0; i < 600; ++i) binary.AddChar(static_cast<char>((i * 37) & 0xFF));  // NULs too
  String longKey;
  for (int i = 0; i < 300; ++i) longKey.AddChar(static_cast<char>(i));
  for (const String& key : {String(), String("p"), longKey, binary}) {
    const String cipher = EncodeData(binary, key, 0);
    EXPECT_EQ(cipher.Length(), binary.Length());
    EXPECT_NE(cipher, binary);
    EXPECT_EQ(DecodeData(cipher, key), binary);
  }
}

// A prepared key must give exactly what the one-shot functions give, and may
// be used for any number of texts.
TEST(StreamKey, PreparedOnceMatchesTheOneShotCipher) {
  prototest::EnsureTwofish();
  String binary;
  for (int i = 0; i < 300; ++i) binary.AddChar(static_cast<char>((i * 53) & 0xFF));
  for (const String& keyText : {String(), String("password"), binary}) {
    const StreamKey key(keyText);
    ASSERT_TRUE(key.Ready());
    for (const String& data : {String("200\n\r"), binary, String()}) {
      EXPECT_EQ(key.Encode(data, 0), EncodeData(data, keyText, 0));
      EXPECT_EQ(key.Encode(data, 4), EncodeData(data, keyText, 4));
      EXPECT_EQ(key.Decode(data), DecodeData(data, keyText));
    }
  }
}

TEST(EncodeLength, WritesTheLowBytesLeastSignificantFirst) {
  String s;
  s.SetLength(0x010203);
  EXPECT_EQ(ToHex(EncodeLength(s, 4)), "03020100");
  EXPECT_EQ(ToHex(EncodeLength(s, 2)), "0302");
  EXPECT_EQ(ToHex(EncodeLength(s, 1)), "03");
  EXPECT_EQ(EncodeLength(s, 0).Length(), 0);
  EXPECT_EQ(ToHex(EncodeLength(String(), 4)), "00000000");
}

TEST(DecodeLength, ReadsOneTwoOrFourBytesUnsigned) {
  const String bytes = Bytes({0x04, 0x03, 0x02, 0x81});
  EXPECT_EQ(DecodeLength(bytes.Data(), 1), 0x04u);
  EXPECT_EQ(DecodeLength(bytes.Data(), 2), 0x0304u);
  EXPECT_EQ(DecodeLength(bytes.Data(), 4), 0x81020304u);
  EXPECT_EQ(DecodeLength(bytes.Data(), 3), 0u);
  EXPECT_EQ(DecodeLength(nullptr, 0), 0u);
  EXPECT_EQ(DecodeLength(nullptr, -1), 0u);
}

TEST(LengthFieldDeathTest, WiderThanFourBytesFailsTheAssertion) {
  const String s("abc");
  EXPECT_DEATH(EncodeLength(s, 5),
               "Assertion failed: digits<=sizeof\\(len\\), file jex_const, function EncodeLength, "
               "line 140");
  EXPECT_DEATH(DecodeLength(s.Data(), 5),
               "Assertion failed: digits<=sizeof\\(int\\), file jex_const, function DecodeLength, "
               "line 155");
}

TEST(EncodePswd, IsTheRawMd5DigestOrEmpty) {
  EXPECT_EQ(EncodePswd(String()).Length(), 0);
  for (const char* name : {"md5-rfc1321-2", "md5-rfc1321-3", "md5-rfc1321-4", "md5-rfc1321-7"}) {
    prototest::VectorFields v = Vector("md5.txt", name);
    const String digest = EncodePswd(v["MSG_ASCII"].c_str());
    EXPECT_EQ(digest.Length(), 16) << name;
    EXPECT_EQ(ToHex(digest), ToHex(FromHex(v["MD5"]))) << name;
  }
}

}  // namespace
