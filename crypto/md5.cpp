// MD5 computation: buffering of partial blocks, the four-round block
// compression and the final padding.
#include "crypto/md5.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace {

// Per-step additive constants: floor(abs(sin(i + 1)) * 2^32).
constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

// Left-rotation amounts, four per round.
constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

std::uint32_t Load32LittleEndian(const unsigned char* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}

void Store32LittleEndian(unsigned char* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

void MD5Transform(unsigned int state[4], const unsigned char block[64]) {
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = Load32LittleEndian(block + 4 * i);

  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  auto step = [&](int i, std::uint32_t f, int word) {
    const std::uint32_t rotated = std::rotl(a + f + kSine[i] + x[word], kShift[i / 16][i % 4]);
    a = d;
    d = c;
    c = b;
    b += rotated;
  };
  for (int i = 0; i < 16; ++i) step(i, (b & c) | (~b & d), i);
  for (int i = 16; i < 32; ++i) step(i, (d & b) | (~d & c), (5 * i + 1) % 16);
  for (int i = 32; i < 48; ++i) step(i, b ^ c ^ d, (3 * i + 5) % 16);
  for (int i = 48; i < 64; ++i) step(i, c ^ (b | ~d), (7 * i) % 16);
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

void MD5Open(MD5* ctx) {
  ctx->count[0] = 0;
  ctx->count[1] = 0;
  ctx->state[0] = 0x67452301u;
  ctx->state[1] = 0xefcdab89u;
  ctx->state[2] = 0x98badcfeu;
  ctx->state[3] = 0x10325476u;
}

void MD5Digest(MD5* ctx, const void* p, unsigned int len) {
  const unsigned char* bytes = static_cast<const unsigned char*>(p);
  unsigned int fill = (ctx->count[0] >> 3) & 63;

  const std::uint32_t bitsLow = len << 3;
  ctx->count[0] += bitsLow;
  if (ctx->count[0] < bitsLow) ++ctx->count[1];
  ctx->count[1] += len >> 29;

  // Complete a partial block first, then compress whole blocks in place.
  if (fill != 0) {
    const unsigned int room = 64 - fill;
    if (len < room) {
      std::memcpy(ctx->buffer + fill, bytes, len);
      return;
    }
    std::memcpy(ctx->buffer + fill, bytes, room);
    MD5Transform(ctx->state, ctx->buffer);
    bytes += room;
    len -= room;
  }
  for (; len >= 64; bytes += 64, len -= 64) MD5Transform(ctx->state, bytes);
  if (len > 0) std::memcpy(ctx->buffer, bytes, len);
}

void MD5Close(MD5* ctx, unsigned char* out) {
  unsigned char lengthBytes[8];
  Store32LittleEndian(lengthBytes, ctx->count[0]);
  Store32LittleEndian(lengthBytes + 4, ctx->count[1]);

  // 0x80 then zeros up to 56 bytes modulo 64, then the 64-bit bit count.
  static const unsigned char kPadding[64] = {0x80};
  const unsigned int fill = (ctx->count[0] >> 3) & 63;
  const unsigned int padLength = fill < 56 ? 56 - fill : 120 - fill;
  MD5Digest(ctx, kPadding, padLength);
  MD5Digest(ctx, lengthBytes, sizeof lengthBytes);

  for (int i = 0; i < 4; ++i) Store32LittleEndian(out + 4 * i, ctx->state[i]);
  std::memset(ctx, 0, sizeof *ctx);
}
