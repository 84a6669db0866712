// MD5Open/MD5Digest/MD5Close against the shared MD5 vectors.
#include "crypto/md5.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/crypto/vector_file.h"

namespace {

// Digest of message fed in pieces of the given size; checks that MD5Close
// leaves the context all zero.
std::string DigestInPieces(const std::string& message, std::size_t piece) {
  MD5 context;
  MD5Open(&context);
  for (std::size_t at = 0; at < message.size(); at += piece)
    MD5Digest(&context, message.data() + at,
              static_cast<unsigned int>(std::min(piece, message.size() - at)));
  unsigned char digest[16];
  MD5Close(&context, digest);
  const MD5 zero{};
  EXPECT_EQ(ToHex(&context, sizeof context), ToHex(&zero, sizeof zero))
      << "context not wiped by MD5Close";
  return ToHex(digest, sizeof digest);
}

TEST(Md5, EveryVectorWholeAndInPieces) {
  const std::vector<TestVector> vectors = LoadVectors("md5.txt");
  ASSERT_FALSE(vectors.empty()) << "vector file not found in " JEX_VECTORS_DIR;
  const std::size_t kPieceSizes[] = {1, 55, 64, 65, 1u << 20};
  for (const TestVector& vector : vectors) {
    const std::string message = MessageOf(vector);
    for (std::size_t piece : kPieceSizes) {
      SCOPED_TRACE(vector.Name() + " piece " + std::to_string(piece));
      EXPECT_EQ(DigestInPieces(message, piece), ToLower(vector.Get("MD5")));
    }
  }
}

}  // namespace
