// THash_SHA against the shared SHA-1 vectors, its computation life cycle and
// its misuse assertions.
#include "crypto/sha1.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/crypto/vector_file.h"

namespace {

std::string DigestHex(const char* digest) {
  return ToHex(digest, 20);
}

class Sha1Vectors : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { vectors_ = LoadVectors("sha1.txt"); }
  static std::vector<TestVector> vectors_;
};
std::vector<TestVector> Sha1Vectors::vectors_;

TEST_F(Sha1Vectors, GetHashMatchesEveryVector) {
  ASSERT_FALSE(vectors_.empty()) << "vector file not found in " JEX_VECTORS_DIR;
  THash_SHA sha;
  EXPECT_EQ(sha.GetHashSize(), 20);
  for (const TestVector& vector : vectors_) {
    SCOPED_TRACE(vector.Name());
    const std::string message = MessageOf(vector);
    // A non-null pointer is needed even for the empty message.
    EXPECT_EQ(DigestHex(sha.GetHash(message.c_str(), static_cast<long>(message.size()))),
              ToLower(vector.Get("SHA1")));
    EXPECT_EQ(DigestHex(sha.GetHash(nullptr, 0)), ToLower(vector.Get("SHA1")))
        << "a null pointer returns the last digest";
  }
}

// Pieces that straddle, fill and overshoot the 64-byte block buffer.
TEST_F(Sha1Vectors, UpdatesInPiecesEqualOneShot) {
  const std::size_t kPieceSizes[] = {1, 55, 63, 64, 65, 1000};
  for (const TestVector& vector : vectors_) {
    const std::string message = MessageOf(vector);
    for (std::size_t piece : kPieceSizes) {
      SCOPED_TRACE(vector.Name() + " piece " + std::to_string(piece));
      THash_SHA sha;
      sha.Init();
      for (std::size_t at = 0; at < message.size(); at += piece)
        sha.Update(message.data() + at, static_cast<long>(std::min(piece, message.size() - at)));
      sha.Update(message.data(), 0);
      sha.Final();
      EXPECT_EQ(DigestHex(sha.GetHash(nullptr, 0)), ToLower(vector.Get("SHA1")));
    }
  }
}

TEST(Sha1, EveryComputationStartsFromScratch) {
  const std::string abc = "a9993e364706816aba3e25717850c26c9cd0d89d";
  THash_SHA sha;
  EXPECT_EQ(DigestHex(sha.GetHash("abc", 3)), abc);
  EXPECT_EQ(DigestHex(sha.GetHash("abc", 3)), abc) << "GetHash twice recomputes";
  sha.GetHash("something else", 14);
  EXPECT_EQ(DigestHex(sha.GetHash("abc", 3)), abc);

  // After Final, Update opens a new computation instead of continuing.
  sha.Update("abc", 3);
  sha.Final();
  EXPECT_EQ(DigestHex(sha.GetHash(nullptr, 0)), abc);
}

TEST(Sha1, Reverse32SwapsBytes) {
  EXPECT_EQ(REVERSE32(0x12345678u), 0x78563412u);
  EXPECT_EQ(REVERSE32(0x000000FFu), 0xFF000000u);
}

TEST(Sha1DeathTest, FinalWithoutOpenComputationAsserts) {
  THash_SHA sha;
  sha.Final();
  EXPECT_DEATH(sha.Final(),
               "Assertion failed: fInitialized, file ciplib, function Final, line 212");
}

TEST(Sha1DeathTest, DigestOfOpenComputationAsserts) {
  THash_SHA sha;  // the constructor opens a computation
  EXPECT_DEATH(sha.GetHash(nullptr, 0),
               "Assertion failed: !fInitialized, file ciplib, function GetHash, line 245");
}

}  // namespace
