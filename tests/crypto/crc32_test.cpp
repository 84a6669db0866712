// TCRC32 against the shared CRC-32 vectors: whole blocks, piecewise updates and
// the length conventions of UpdateCRC.
#include "crypto/crc32.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/crypto/vector_file.h"

namespace {

unsigned int ExpectedCrc(const TestVector& vector) {
  return static_cast<unsigned int>(std::strtoul(vector.Get("GETCRC").c_str(), nullptr, 16));
}

class Crc32Vectors : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { vectors_ = LoadVectors("crc32.txt"); }
  static std::vector<TestVector> vectors_;
};
std::vector<TestVector> Crc32Vectors::vectors_;

TEST_F(Crc32Vectors, BlockCrcMatchesEveryVector) {
  ASSERT_FALSE(vectors_.empty()) << "vector file not found in " JEX_VECTORS_DIR;
  TCRC32 crc;
  for (const TestVector& vector : vectors_) {
    SCOPED_TRACE(vector.Name());
    const std::string message = MessageOf(vector);
    EXPECT_EQ(crc.GetBlockCRC(message.data(), static_cast<int>(message.size())),
              ExpectedCrc(vector));
    EXPECT_EQ(crc.GetCRC(), ExpectedCrc(vector));
  }
}

// Piece sizes around the 16-byte stride of the fast path, and single bytes,
// must give the same register as one block.
TEST_F(Crc32Vectors, UpdatesInPiecesEqualTheBlock) {
  const std::size_t kPieceSizes[] = {1, 3, 15, 16, 17, 33, 4099};
  for (const TestVector& vector : vectors_) {
    const std::string message = MessageOf(vector);
    for (std::size_t piece : kPieceSizes) {
      SCOPED_TRACE(vector.Name() + " piece " + std::to_string(piece));
      TCRC32 crc;
      for (std::size_t at = 0; at < message.size(); at += piece) {
        const std::size_t length = std::min(piece, message.size() - at);
        if (length == 1)
          crc.UpdateCRC(static_cast<unsigned char>(message[at]));
        else
          crc.UpdateCRC(message.data() + at, static_cast<int>(length));
      }
      EXPECT_EQ(crc.GetCRC(), ExpectedCrc(vector));
    }
  }
}

TEST(Crc32, LengthConventions) {
  TCRC32 crc;
  EXPECT_EQ(crc.GetCRC(), 0xFFFFFFFFu) << "a new object starts with a fresh register";
  EXPECT_EQ(crc.GetBlockCRC("123456789", -1), 0x340BC6D9u) << "-1 reads up to the NUL";
  EXPECT_EQ(crc.GetBlockCRC("123456789", 0), 0xFFFFFFFFu);
  EXPECT_EQ(crc.GetBlockCRC("123456789", -2), 0xFFFFFFFFu) << "other negative lengths feed nothing";

  crc.GetBlockCRC("123456789", 9);
  crc.UpdateCRC(nullptr, 5);
  crc.UpdateCRC(nullptr, -1);
  EXPECT_EQ(crc.GetCRC(), 0x340BC6D9u) << "a null pointer leaves the register alone";

  crc.InitCRC();
  EXPECT_EQ(crc.GetCRC(), 0xFFFFFFFFu);
}

}  // namespace
