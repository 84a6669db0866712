// SHA-1 computation of THash_SHA: block buffering, the 80-round compression,
// padding and the misuse checks.
#include "crypto/sha1.h"

#include <string.h>  // explicit_bzero
#include <bit>
#include <cstring>

#include "foundation/assertion.h"

namespace {

constexpr std::uint32_t kInitialChaining[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u,
                                               0xC3D2E1F0u};

// Converts between host words and the big-endian words of SHA-1.
std::uint32_t HostToBig(std::uint32_t value) {
  if constexpr (std::endian::native == std::endian::little) return REVERSE32(value);
  return value;
}

std::uint32_t Rol(std::uint32_t value, int bits) {
  return std::rotl(value, bits);
}

}  // namespace

THash_SHA::THash_SHA() : fHashSize(20) {
  Init();
}

THash_SHA::~THash_SHA() {
  Burn();
}

void THash_SHA::Init() {
  Burn();
  std::memcpy(fDigest, kInitialChaining, sizeof fDigest);
  fInitialized = 1;
}

void THash_SHA::Update(const char* p, long len) {
  if (!fInitialized) Init();
  if (p == nullptr || len <= 0) return;

  const std::uint32_t bitsLow = static_cast<std::uint32_t>(len) << 3;
  fCountLo += bitsLow;
  if (fCountLo < bitsLow) ++fCountHi;
  fCountHi += static_cast<std::uint32_t>(static_cast<unsigned long>(len) >> 29);

  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(p);
  unsigned long remaining = static_cast<unsigned long>(len);
  while (remaining > 0) {
    const std::uint32_t room = sizeof fBuffer - fBufferFill;
    const std::uint32_t chunk = remaining < room ? static_cast<std::uint32_t>(remaining) : room;
    std::memcpy(fBuffer + fBufferFill, bytes, chunk);
    fBufferFill += chunk;
    bytes += chunk;
    remaining -= chunk;
    if (fBufferFill == sizeof fBuffer) Compress();
  }
}

void THash_SHA::Compress() {
  std::uint32_t w[80];
  std::memcpy(w, fBuffer, sizeof fBuffer);
  for (int i = 0; i < 16; ++i) w[i] = HostToBig(w[i]);
  for (int i = 16; i < 80; ++i) w[i] = Rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

  std::uint32_t a = fDigest[0], b = fDigest[1], c = fDigest[2], d = fDigest[3], e = fDigest[4];
  auto round = [&](std::uint32_t f, std::uint32_t k, std::uint32_t wi) {
    const std::uint32_t t = Rol(a, 5) + f + e + k + wi;
    e = d;
    d = c;
    c = Rol(b, 30);
    b = a;
    a = t;
  };
  for (int i = 0; i < 20; ++i) round((b & c) | (~b & d), 0x5A827999u, w[i]);
  for (int i = 20; i < 40; ++i) round(b ^ c ^ d, 0x6ED9EBA1u, w[i]);
  for (int i = 40; i < 60; ++i) round((b & c) | (b & d) | (c & d), 0x8F1BBCDCu, w[i]);
  for (int i = 60; i < 80; ++i) round(b ^ c ^ d, 0xCA62C1D6u, w[i]);

  fDigest[0] += a;
  fDigest[1] += b;
  fDigest[2] += c;
  fDigest[3] += d;
  fDigest[4] += e;

  // The schedule is a dying local: a plain memset would be optimised away.
  explicit_bzero(w, sizeof w);
  std::memset(fBuffer, 0, sizeof fBuffer);
  fBufferFill = 0;
}

void THash_SHA::Final() {
  JEX_ASSERT(fInitialized, "fInitialized", "ciplib", "Final", 212);
  fBuffer[fBufferFill] = 0x80;
  if (fBufferFill > 55) Compress();
  const std::uint32_t count[2] = {HostToBig(fCountHi), HostToBig(fCountLo)};
  std::memcpy(fBuffer + 56, count, sizeof count);
  Compress();
  for (std::uint32_t& word : fDigest) word = HostToBig(word);
  fInitialized = 0;
}

const char* THash_SHA::GetHash(const char* p, long len) {
  if (p != nullptr) {
    Init();
    Update(p, len);
    Final();
  } else {
    JEX_ASSERT(!fInitialized, "!fInitialized", "ciplib", "GetHash", 245);
  }
  return reinterpret_cast<const char*>(fDigest);
}

int THash_SHA::GetHashSize() const {
  return fHashSize;
}

void THash_SHA::Burn() {
  // explicit_bzero: the destructor's stores must not be dropped as dead.
  fCountHi = 0;
  fCountLo = 0;
  fBufferFill = 0;
  explicit_bzero(fBuffer, sizeof fBuffer);
  explicit_bzero(fDigest, sizeof fDigest);
  fInitialized = 0;
}
