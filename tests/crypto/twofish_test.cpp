// Twofish against the shared vectors: known answers, iterated chains, short
// keys, subkeys, and the fatal paths of the key schedule.
#include "crypto/twofish.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "crypto/sha1.h"
#include "tests/crypto/vector_file.h"

namespace {

// Expanded key of the given bytes.
Twofish_key PrepareKey(std::string key) {
  Twofish_key xkey;
  Twofish_prepare_key(reinterpret_cast<unsigned char*>(key.data()), static_cast<int>(key.size()),
                      &xkey);
  return xkey;
}

// In place: the self-test run by Twofish_initialise already covers separate
// input and output buffers.
std::string Encrypt(Twofish_key& xkey, std::string block) {
  unsigned char* bytes = reinterpret_cast<unsigned char*>(block.data());
  Twofish_encrypt(&xkey, bytes, bytes);
  return block;
}

std::string Decrypt(Twofish_key& xkey, std::string block) {
  unsigned char* bytes = reinterpret_cast<unsigned char*>(block.data());
  Twofish_decrypt(&xkey, bytes, bytes);
  return block;
}

bool SameExpansion(const Twofish_key& a, const Twofish_key& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

class TwofishVectors : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Twofish_initialise();
    Twofish_initialise();  // repeat calls must be harmless
    vectors_ = LoadVectors("twofish.txt");
  }
  static std::vector<TestVector> vectors_;
};
std::vector<TestVector> TwofishVectors::vectors_;

// Sections A1, A2, B (every step on its own), C and D: encryption and
// decryption, and for short keys the same expansion as the zero-padded key.
TEST_F(TwofishVectors, EveryBlockVectorEncryptsAndDecrypts) {
  ASSERT_FALSE(vectors_.empty()) << "vector file not found in " JEX_VECTORS_DIR;
  int checked = 0;
  for (const TestVector& vector : vectors_) {
    if (!vector.Has("PT")) continue;
    SCOPED_TRACE(vector.Name());
    const std::string key = FromHex(vector.Get("KEY"));
    ASSERT_EQ(key.size(), std::strtoul(vector.Get("KEYLEN").c_str(), nullptr, 10));
    const std::string plain = FromHex(vector.Get("PT"));
    const std::string cipher = FromHex(vector.Get("CT"));
    Twofish_key xkey = PrepareKey(key);
    EXPECT_EQ(ToHex(Encrypt(xkey, plain).data(), 16), ToLower(vector.Get("CT")));
    EXPECT_EQ(ToHex(Decrypt(xkey, cipher).data(), 16), ToLower(vector.Get("PT")));
    if (vector.Has("PADDED_KEY")) {
      EXPECT_TRUE(SameExpansion(xkey, PrepareKey(FromHex(vector.Get("PADDED_KEY")))));
    }
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

// Section B: the published rule, independent of the self-test's array form:
// the next plaintext is the ciphertext, the next key the first N bytes of the
// previous plaintext followed by the previous key.
TEST_F(TwofishVectors, IteratedChainsReachThePublishedFinalValue) {
  const std::vector<TestVector> finals = VectorsWithPrefix(vectors_, "tf-iter-");
  int chains = 0;
  for (const TestVector& final : finals) {
    if (!final.Has("FINAL_CT")) continue;
    SCOPED_TRACE(final.Name());
    const std::size_t keyLen = std::strtoul(final.Get("KEYLEN").c_str(), nullptr, 10);
    std::string key(keyLen, '\0');
    std::string plain(16, '\0');
    for (int step = 1; step <= 49; ++step) {
      Twofish_key xkey = PrepareKey(key);
      const std::string cipher = Encrypt(xkey, plain);
      ASSERT_EQ(Decrypt(xkey, cipher), plain) << "step " << step;
      key = (plain + key).substr(0, keyLen);
      plain = cipher;
    }
    EXPECT_EQ(ToHex(plain.data(), 16), ToLower(final.Get("FINAL_CT")));
    ++chains;
  }
  EXPECT_EQ(chains, 3) << "one chain per key size";
}

// Section C: the 20-byte keys are the SHA-1 digests named in KEY_SOURCE, as the
// packet cipher and the start-up self-test derive them.
TEST_F(TwofishVectors, ShaDerivedKeysMatchTheirSource) {
  const std::vector<TestVector> keyed = VectorsWithPrefix(vectors_, "tf-sha1key-");
  ASSERT_FALSE(keyed.empty());
  for (const TestVector& vector : keyed) {
    SCOPED_TRACE(vector.Name());
    const std::string source = vector.Get("KEY_SOURCE");  // SHA-1("text")
    const std::size_t open = source.find('"');
    const std::string text = source.substr(open + 1, source.rfind('"') - open - 1);
    THash_SHA sha;
    EXPECT_EQ(ToHex(sha.GetHash(text.c_str(), static_cast<long>(text.size())), 20),
              ToLower(vector.Get("KEY")));
  }
}

TEST_F(TwofishVectors, SubkeysMatchThePublishedValues) {
  const std::vector<TestVector> subkeyVectors = VectorsWithPrefix(vectors_, "tf-subkeys-");
  ASSERT_FALSE(subkeyVectors.empty());
  for (const TestVector& vector : subkeyVectors) {
    SCOPED_TRACE(vector.Name());
    const Twofish_key xkey = PrepareKey(FromHex(vector.Get("KEY")));
    const std::string words = vector.Get("SUBKEYS");
    const char* cursor = words.c_str();
    for (int i = 0; i < 40; ++i) {
      char* end = nullptr;
      EXPECT_EQ(xkey.K[i], std::strtoul(cursor, &end, 16)) << "K" << i;
      ASSERT_NE(end, cursor) << "SUBKEYS has fewer than 40 words";
      cursor = end;
    }
  }
}

// Every length 0..32 against its zero padding, beyond the vectors' keys.
TEST_F(TwofishVectors, ShortKeysExpandLikeTheirZeroPadding) {
  for (int length = 0; length <= 32; ++length) {
    SCOPED_TRACE("length " + std::to_string(length));
    std::string key(length, '\0');
    for (int i = 0; i < length; ++i) key[i] = static_cast<char>(0xA5 ^ (i * 37));
    const int padded = length <= 16 ? 16 : (length <= 24 ? 24 : 32);
    EXPECT_TRUE(
        SameExpansion(PrepareKey(key), PrepareKey(key + std::string(padded - length, '\0'))));
  }
}

using TwofishDeathTest = TwofishVectors;

TEST_F(TwofishDeathTest, IllegalKeyLengthIsFatal) {
  unsigned char key[40] = {};
  Twofish_key xkey;
  for (int length : {33, -1}) {
    SCOPED_TRACE("length " + std::to_string(length));
    EXPECT_EXIT(
        Twofish_prepare_key(key, length, &xkey), ::testing::ExitedWithCode(3),
        "\nTwofish fatal error: Twofish_prepare_key: illegal key length\nProcess terminated\n");
  }
}

// Runs in a freshly started process (threadsafe style), where nothing has
// initialised the tables yet.
TEST(TwofishUninitialisedDeathTest, PrepareKeyBeforeInitialiseIsFatal) {
  const std::string previousStyle = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  unsigned char key[16] = {};
  Twofish_key xkey;
  EXPECT_EXIT(Twofish_prepare_key(key, 16, &xkey), ::testing::ExitedWithCode(3),
              "Twofish fatal error: Twofish implementation was not initialised\\.");
  GTEST_FLAG_SET(death_test_style, previousStyle);
}

}  // namespace
