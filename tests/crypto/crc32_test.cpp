// TCRC32 against the shared CRC-32 vectors: whole blocks, piecewise updates and
// the length conventions of UpdateCRC.
#include "crypto/crc32.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

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

// Both implementations behind the class, over every vector: the table code
// always, the folding code where the processor has it.
TEST_F(Crc32Vectors, TableAndFoldingPathsMatchEveryVector) {
  if (!crc32_paths::FoldingAvailable()) GTEST_LOG_(INFO) << "no carry-less multiply here";
  if (!crc32_paths::WideFoldingAvailable()) GTEST_LOG_(INFO) << "no 512-bit carry-less multiply";
  for (const TestVector& vector : vectors_) {
    SCOPED_TRACE(vector.Name());
    const std::string message = MessageOf(vector);
    const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
    EXPECT_EQ(crc32_paths::UpdateTable(0xFFFFFFFFu, bytes, message.size()), ExpectedCrc(vector));
    EXPECT_EQ(crc32_paths::UpdateFolded(0xFFFFFFFFu, bytes, message.size()), ExpectedCrc(vector));
    EXPECT_EQ(crc32_paths::UpdateWide(0xFFFFFFFFu, bytes, message.size()), ExpectedCrc(vector));
  }
}

// Random lengths (short, around the folding thresholds, long), start
// alignments and incoming registers: the folding path must agree with the
// byte-at-a-time definition and the table code.
TEST(Crc32Paths, FoldingAgreesWithTableOnRandomLengthsAndAlignments) {
  std::mt19937 random(12345);
  std::vector<unsigned char> data(70000 + 64);
  for (unsigned char& byte : data) byte = static_cast<unsigned char>(random());
  std::vector<std::size_t> lengths = {0,   1,   15,  16,  63,  64,  65,  78,  79,   80,   127,
                                      128, 129, 255, 256, 270, 271, 272, 319, 4096, 70000};
  for (int i = 0; i < 200; ++i) lengths.push_back(random() % 5000);
  for (std::size_t length : lengths) {
    const std::size_t offset = random() % 64;
    const std::uint32_t start = static_cast<std::uint32_t>(random());
    SCOPED_TRACE("length " + std::to_string(length) + " offset " + std::to_string(offset));
    const unsigned char* p = data.data() + offset;
    std::uint32_t expected = start;
    for (std::size_t k = 0; k < length; ++k) {
      expected = crc32_paths::UpdateTable(expected, p + k, 1);
    }
    EXPECT_EQ(crc32_paths::UpdateTable(start, p, length), expected);
    EXPECT_EQ(crc32_paths::UpdateFolded(start, p, length), expected);
    EXPECT_EQ(crc32_paths::UpdateWide(start, p, length), expected);
  }
}

TEST(Crc32Paths, LargeBlockUpdateEqualsPieces) {
  std::vector<char> data(1 << 20);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 9));
  TCRC32 whole;
  whole.UpdateBlock(data.data(), data.size());
  TCRC32 pieces;
  for (std::size_t at = 0; at < data.size(); at += 1000) {
    pieces.UpdateCRC(data.data() + at,
                     static_cast<int>(std::min<std::size_t>(1000, data.size() - at)));
  }
  EXPECT_EQ(whole.GetCRC(), pieces.GetCRC());
  TCRC32 none;
  none.UpdateBlock(nullptr, 10);
  EXPECT_EQ(none.GetCRC(), 0xFFFFFFFFu);
}

}  // namespace
