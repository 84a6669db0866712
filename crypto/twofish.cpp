// Twofish cipher core: the fixed q permutations and MDS tables, the key
// schedule (Reed-Solomon S-box key words, function h, keyed S-box tables), the
// 16-round block functions and the start-up self-test.
//
// The round function uses four 256-entry tables per key in which the
// key-dependent S-boxes are already combined with the MDS matrix, so g() is
// four look-ups and three XORs.
#include "crypto/twofish.h"

#include <string.h>  // explicit_bzero
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// ---- Platform primitives (checked by test_platform) -----------------------

// 32-bit little-endian load and store, independent of host order and alignment.
inline std::uint32_t GET32(const unsigned char* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}

inline void PUT32(std::uint32_t value, unsigned char* p) {
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
  p[2] = static_cast<unsigned char>(value >> 16);
  p[3] = static_cast<unsigned char>(value >> 24);
}

inline std::uint32_t ROL32(std::uint32_t x, int n) {
  return std::rotl(x, n);
}
inline std::uint32_t ROR32(std::uint32_t x, int n) {
  return std::rotr(x, n);
}
inline std::uint32_t BSWAP(std::uint32_t x) {
  return __builtin_bswap32(x);
}

// Byte number b (0 = least significant) of x.
inline unsigned SELECT_BYTE(std::uint32_t x, int b) {
  return (x >> (8 * b)) & 0xFF;
}

// ---- Global tables, written only by Twofish_initialise --------------------

unsigned char q_table[2][256];    // q0 and q1
std::uint32_t MDS_table[4][256];  // MDS column i times the last q-box of byte i
std::atomic<int> Twofish_initialised{0};

// The 4-bit tables from which q0 and q1 are built.
constexpr unsigned char kQ0Nibbles[4][16] = {
    {0x8, 0x1, 0x7, 0xD, 0x6, 0xF, 0x3, 0x2, 0x0, 0xB, 0x5, 0x9, 0xE, 0xC, 0xA, 0x4},
    {0xE, 0xC, 0xB, 0x8, 0x1, 0x2, 0x3, 0x5, 0xF, 0x4, 0xA, 0x6, 0x7, 0x0, 0x9, 0xD},
    {0xB, 0xA, 0x5, 0xE, 0x6, 0xD, 0x9, 0x0, 0xC, 0x8, 0xF, 0x3, 0x2, 0x4, 0x7, 0x1},
    {0xD, 0x7, 0xF, 0x4, 0x1, 0x2, 0x6, 0xE, 0x9, 0xB, 0x3, 0x0, 0x8, 0x5, 0xC, 0xA}};
constexpr unsigned char kQ1Nibbles[4][16] = {
    {0x2, 0x8, 0xB, 0xD, 0xF, 0x7, 0x6, 0xE, 0x3, 0x1, 0x9, 0x4, 0x0, 0xA, 0xC, 0x5},
    {0x1, 0xE, 0x2, 0xB, 0x4, 0xC, 0x3, 0x7, 0x6, 0xD, 0xA, 0x5, 0xF, 0x9, 0x0, 0x8},
    {0x4, 0xC, 0x7, 0x5, 0x1, 0x6, 0x9, 0xA, 0x0, 0xE, 0xD, 0x8, 0x2, 0xB, 0x3, 0xF},
    {0xB, 0x9, 0x5, 0x1, 0xC, 0x3, 0xD, 0xE, 0x6, 0x4, 0x7, 0xF, 0x2, 0x0, 0x8, 0xA}};

// Field polynomials: x^8+x^6+x^5+x^3+1 for MDS, x^8+x^6+x^3+x^2+1 for RS.
constexpr unsigned kMdsPolynomial = 0x169;
constexpr unsigned kRsPolynomial = 0x14D;

constexpr unsigned char kMds[4][4] = {{0x01, 0xEF, 0x5B, 0x5B},
                                      {0x5B, 0xEF, 0xEF, 0x01},
                                      {0xEF, 0x5B, 0x01, 0xEF},
                                      {0xEF, 0x01, 0xEF, 0x5B}};
constexpr unsigned char kRs[4][8] = {{0x01, 0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E},
                                     {0xA4, 0x56, 0x82, 0xF3, 0x1E, 0xC6, 0x68, 0xE5},
                                     {0x02, 0xA1, 0xFC, 0xC1, 0x47, 0xAE, 0x3D, 0x19},
                                     {0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E, 0x03}};

// Multiplication in GF(2^8) modulo the given polynomial.
unsigned GfMultiply(unsigned a, unsigned b, unsigned polynomial) {
  unsigned product = 0;
  for (; b != 0; b >>= 1) {
    if (b & 1) product ^= a;
    a <<= 1;
    if (a & 0x100) a ^= polynomial;
  }
  return product;
}

// ---- Table construction ---------------------------------------------------

void make_q_table(const unsigned char t[4][16], unsigned char q[256]) {
  auto ror4 = [](unsigned x) { return ((x >> 1) | (x << 3)) & 0xF; };
  for (unsigned x = 0; x < 256; ++x) {
    unsigned a = x >> 4, b = x & 0xF;
    for (int layer = 0; layer < 2; ++layer) {
      const unsigned mixedA = a ^ b;
      const unsigned mixedB = a ^ ror4(b) ^ ((a << 3) & 0xF);
      a = t[2 * layer][mixedA];
      b = t[2 * layer + 1][mixedB];
    }
    q[x] = static_cast<unsigned char>((b << 4) | a);
  }
}

void initialise_q_boxes() {
  make_q_table(kQ0Nibbles, q_table[0]);
  make_q_table(kQ1Nibbles, q_table[1]);
}

// The last q-box applied to byte i of h's input: q1, q0, q1, q0.
constexpr int kFinalQ[4] = {1, 0, 1, 0};

void initialise_mds_tables() {
  for (unsigned x = 0; x < 256; ++x) {
    for (int column = 0; column < 4; ++column) {
      const unsigned y = q_table[kFinalQ[column]][x];
      std::uint32_t word = 0;
      for (int row = 0; row < 4; ++row)
        word |= GfMultiply(kMds[row][column], y, kMdsPolynomial) << (8 * row);
      MDS_table[column][x] = word;
    }
  }
}

// ---- Key schedule ---------------------------------------------------------

// The q-box and key-byte layers of h for the four input bytes, all but the last
// q-box (which MDS_table contains). L holds kCycles words (2, 3 or 4).
void keyed_q_layers(unsigned char y[4], const std::uint32_t* L, int kCycles) {
  const unsigned char* q0 = q_table[0];
  const unsigned char* q1 = q_table[1];
  unsigned b0 = y[0], b1 = y[1], b2 = y[2], b3 = y[3];
  if (kCycles == 4) {
    b0 = q1[b0] ^ SELECT_BYTE(L[3], 0);
    b1 = q0[b1] ^ SELECT_BYTE(L[3], 1);
    b2 = q0[b2] ^ SELECT_BYTE(L[3], 2);
    b3 = q1[b3] ^ SELECT_BYTE(L[3], 3);
  }
  if (kCycles >= 3) {
    b0 = q1[b0] ^ SELECT_BYTE(L[2], 0);
    b1 = q1[b1] ^ SELECT_BYTE(L[2], 1);
    b2 = q0[b2] ^ SELECT_BYTE(L[2], 2);
    b3 = q0[b3] ^ SELECT_BYTE(L[2], 3);
  }
  y[0] = static_cast<unsigned char>(q0[q0[b0] ^ SELECT_BYTE(L[1], 0)] ^ SELECT_BYTE(L[0], 0));
  y[1] = static_cast<unsigned char>(q0[q1[b1] ^ SELECT_BYTE(L[1], 1)] ^ SELECT_BYTE(L[0], 1));
  y[2] = static_cast<unsigned char>(q1[q0[b2] ^ SELECT_BYTE(L[1], 2)] ^ SELECT_BYTE(L[0], 2));
  y[3] = static_cast<unsigned char>(q1[q1[b3] ^ SELECT_BYTE(L[1], 3)] ^ SELECT_BYTE(L[0], 3));
}

bool legal_cycle_count(int kCycles) {
  return kCycles >= 2 && kCycles <= 4;
}

std::uint32_t h(std::uint32_t X, const std::uint32_t* L, int kCycles) {
  if (!legal_cycle_count(kCycles)) Twofish_fatal("Twofish h(): Illegal argument");
  unsigned char y[4] = {
      static_cast<unsigned char>(SELECT_BYTE(X, 0)), static_cast<unsigned char>(SELECT_BYTE(X, 1)),
      static_cast<unsigned char>(SELECT_BYTE(X, 2)), static_cast<unsigned char>(SELECT_BYTE(X, 3))};
  keyed_q_layers(y, L, kCycles);
  return MDS_table[0][y[0]] ^ MDS_table[1][y[1]] ^ MDS_table[2][y[2]] ^ MDS_table[3][y[3]];
}

// s[i][x] is the contribution of byte i = x to g(): the keyed q layers followed
// by the MDS column of byte i.
void fill_keyed_sboxes(const std::uint32_t* S, int kCycles, Twofish_key* xkey) {
  if (!legal_cycle_count(kCycles)) Twofish_fatal("Twofish fill_keyed_sboxes(): Illegal argument");
  for (unsigned x = 0; x < 256; ++x) {
    unsigned char y[4] = {static_cast<unsigned char>(x), static_cast<unsigned char>(x),
                          static_cast<unsigned char>(x), static_cast<unsigned char>(x)};
    keyed_q_layers(y, S, kCycles);
    for (int i = 0; i < 4; ++i) xkey->s[i][x] = MDS_table[i][y[i]];
  }
}

// Reed-Solomon code of 8 key bytes: one S-box key word.
std::uint32_t rs_encode(const unsigned char m[8]) {
  std::uint32_t word = 0;
  for (int row = 0; row < 4; ++row) {
    unsigned byte = 0;
    for (int j = 0; j < 8; ++j) byte ^= GfMultiply(kRs[row][j], m[j], kRsPolynomial);
    word |= std::uint32_t(byte) << (8 * row);
  }
  return word;
}

// ---- Block rounds ---------------------------------------------------------

// g(x) and g(ROL(x, 8)) from the combined S-box/MDS tables.
inline std::uint32_t g0(const Twofish_key* k, std::uint32_t x) {
  return k->s[0][SELECT_BYTE(x, 0)] ^ k->s[1][SELECT_BYTE(x, 1)] ^ k->s[2][SELECT_BYTE(x, 2)] ^
         k->s[3][SELECT_BYTE(x, 3)];
}
inline std::uint32_t g1(const Twofish_key* k, std::uint32_t x) {
  return k->s[0][SELECT_BYTE(x, 3)] ^ k->s[1][SELECT_BYTE(x, 0)] ^ k->s[2][SELECT_BYTE(x, 1)] ^
         k->s[3][SELECT_BYTE(x, 2)];
}

// Round r: (a, b) feed F, which is mixed into (c, d). The caller alternates the
// roles of the word pairs instead of swapping them.
inline void encrypt_round(const Twofish_key* k, int r, std::uint32_t a, std::uint32_t b,
                          std::uint32_t& c, std::uint32_t& d) {
  const std::uint32_t t0 = g0(k, a);
  const std::uint32_t t1 = g1(k, b);
  c = ROR32(c ^ (t0 + t1 + k->K[8 + 2 * r]), 1);
  d = ROL32(d, 1) ^ (t0 + 2 * t1 + k->K[9 + 2 * r]);
}

inline void decrypt_round(const Twofish_key* k, int r, std::uint32_t a, std::uint32_t b,
                          std::uint32_t& c, std::uint32_t& d) {
  const std::uint32_t t0 = g0(k, a);
  const std::uint32_t t1 = g1(k, b);
  c = ROL32(c, 1) ^ (t0 + t1 + k->K[8 + 2 * r]);
  d = ROR32(d ^ (t0 + 2 * t1 + k->K[9 + 2 * r]), 1);
}

// ---- Self-test ------------------------------------------------------------

void test_platform() {
  const unsigned char bytes[6] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
  if (GET32(bytes) != 0x78563412u || GET32(bytes + 1) != 0x9A785634u)
    Twofish_fatal("Twofish code: GET32 not implemented properly");

  unsigned char stored[6] = {0, 0, 0, 0, 0, 0};
  PUT32(0x78563412u, stored + 1);
  if (stored[0] != 0 || std::memcmp(stored + 1, bytes, 4) != 0 || stored[5] != 0)
    Twofish_fatal("Twofish code: PUT32 not implemented properly");

  if (ROL32(0x12345678u, 8) != 0x34567812u || ROR32(0x12345678u, 8) != 0x78123456u ||
      ROL32(0x80000001u, 1) != 0x00000003u || ROR32(0x80000001u, 1) != 0xC0000000u)
    Twofish_fatal("Twofish ROL or ROR not properly defined.");

  if (BSWAP(0x12345678u) != 0x78563412u) Twofish_fatal("BSWAP not properly defined.");

  if (SELECT_BYTE(0x12345678u, 0) != 0x78 || SELECT_BYTE(0x12345678u, 1) != 0x56 ||
      SELECT_BYTE(0x12345678u, 2) != 0x34 || SELECT_BYTE(0x12345678u, 3) != 0x12)
    Twofish_fatal("Twofish code: SELECT_BYTE not implemented properly");
}

struct KnownAnswer {
  int keyLen;
  unsigned char key[32];
  unsigned char plain[16];
  unsigned char cipher[16];
};

// Published table-test triples, one per key length.
constexpr KnownAnswer kKnownAnswers[3] = {
    {16,
     {0x9F, 0x58, 0x9F, 0x5C, 0xF6, 0x12, 0x2C, 0x32, 0xB6, 0xBF, 0xEC, 0x2F, 0x2A, 0xE8, 0xC3,
      0x5A},
     {0xD4, 0x91, 0xDB, 0x16, 0xE7, 0xB1, 0xC3, 0x9E, 0x86, 0xCB, 0x08, 0x6B, 0x78, 0x9F, 0x54,
      0x19},
     {0x01, 0x9F, 0x98, 0x09, 0xDE, 0x17, 0x11, 0x85, 0x8F, 0xAA, 0xC3, 0xA3, 0xBA, 0x20, 0xFB,
      0xC3}},
    {24,
     {0x88, 0xB2, 0xB2, 0x70, 0x6B, 0x10, 0x5E, 0x36, 0xB4, 0x46, 0xBB, 0x6D,
      0x73, 0x1A, 0x1E, 0x88, 0xEF, 0xA7, 0x1F, 0x78, 0x89, 0x65, 0xBD, 0x44},
     {0x39, 0xDA, 0x69, 0xD6, 0xBA, 0x49, 0x97, 0xD5, 0x85, 0xB6, 0xDC, 0x07, 0x3C, 0xA3, 0x41,
      0xB2},
     {0x18, 0x2B, 0x02, 0xD8, 0x14, 0x97, 0xEA, 0x45, 0xF9, 0xDA, 0xAC, 0xDC, 0x29, 0x19, 0x3A,
      0x65}},
    {32,
     {0xD4, 0x3B, 0xB7, 0x55, 0x6E, 0xA3, 0x2E, 0x46, 0xF2, 0xA2, 0x82,
      0xB7, 0xD4, 0x5B, 0x4E, 0x0D, 0x57, 0xFF, 0x73, 0x9D, 0x4D, 0xC9,
      0x2C, 0x1B, 0xD7, 0xFC, 0x01, 0x70, 0x0C, 0xC8, 0x21, 0x6F},
     {0x90, 0xAF, 0xE9, 0x1B, 0xB2, 0x88, 0x54, 0x4F, 0x2C, 0x32, 0xDC, 0x23, 0x9B, 0x26, 0x35,
      0xE6},
     {0x6C, 0xB4, 0x56, 0x1C, 0x40, 0xBF, 0x0A, 0x97, 0x05, 0x93, 0x1C, 0xB6, 0xD4, 0x08, 0xE7,
      0xFA}}};

void test_vectors() {
  for (const KnownAnswer& answer : kKnownAnswers) {
    Twofish_key xkey;
    unsigned char key[32];
    unsigned char plain[16];
    unsigned char cipher[16];
    std::memcpy(key, answer.key, sizeof key);
    std::memcpy(plain, answer.plain, sizeof plain);
    std::memcpy(cipher, answer.cipher, sizeof cipher);
    Twofish_prepare_key(key, answer.keyLen, &xkey);
    // Twice, so that a block function that alters the key would be caught.
    for (int pass = 0; pass < 2; ++pass) {
      unsigned char block[16];
      Twofish_encrypt(&xkey, plain, block);
      if (std::memcmp(block, answer.cipher, 16) != 0) Twofish_fatal("Twofish encryption failure");
      Twofish_decrypt(&xkey, cipher, block);
      if (std::memcmp(block, answer.plain, 16) != 0) Twofish_fatal("Twofish decryption failure");
    }
  }
}

struct SequenceCheck {
  int keyLen;
  unsigned char finalCipher[16];
};

// Ciphertext of step 49 of the published iterated test.
constexpr SequenceCheck kSequenceChecks[3] = {{16,
                                               {0x5D, 0x9D, 0x4E, 0xEF, 0xFA, 0x91, 0x51, 0x57,
                                                0x55, 0x24, 0xF1, 0x15, 0x81, 0x5A, 0x12, 0xE0}},
                                              {24,
                                               {0xE7, 0x54, 0x49, 0x21, 0x2B, 0xEE, 0xF9, 0xF4,
                                                0xA3, 0x90, 0xBD, 0x86, 0x0A, 0x64, 0x09, 0x41}},
                                              {32,
                                               {0x37, 0xFE, 0x26, 0xFF, 0x1C, 0xF6, 0x61, 0x75,
                                                0xF5, 0xDD, 0xF4, 0xC3, 0x3B, 0x97, 0xA2, 0x05}}};

// Each step's key is the bytes following the current block: the previous
// plaintext and key, exactly as in the published chain.
void test_sequences() {
  constexpr int kFirstBlock = 50;
  constexpr int kSteps = 49;
  for (const SequenceCheck& check : kSequenceChecks) {
    unsigned char buffer[(kFirstBlock + 3) * 16] = {};
    Twofish_key xkey;
    unsigned char* current = buffer + kFirstBlock * 16;
    for (int step = 0; step < kSteps; ++step, current -= 16) {
      unsigned char* previous = current - 16;
      unsigned char decrypted[16];
      Twofish_prepare_key(current + 16, check.keyLen, &xkey);
      Twofish_encrypt(&xkey, current, previous);
      Twofish_decrypt(&xkey, previous, decrypted);
      if (std::memcmp(decrypted, current, 16) != 0)
        Twofish_fatal("Twofish decryption failure in sequence");
    }
    if (std::memcmp(current, check.finalCipher, 16) != 0)
      Twofish_fatal("Twofish encryption failure in sequence");
  }
}

int padded_key_length(int keyLen) {
  return keyLen <= 16 ? 16 : (keyLen <= 24 ? 24 : 32);
}

void test_odd_sized_keys() {
  unsigned char buffer[32] = {};
  Twofish_key xkey;
  Twofish_key paddedKey;
  Twofish_prepare_key(buffer, 16, &xkey);
  Twofish_encrypt(&xkey, buffer, buffer);
  Twofish_encrypt(&xkey, buffer + 16, buffer + 16);
  for (int L = 31; L >= 0; --L) {
    buffer[L] = 0;
    Twofish_prepare_key(buffer, L, &xkey);
    Twofish_prepare_key(buffer, padded_key_length(L), &paddedKey);
    if (std::memcmp(&xkey, &paddedKey, sizeof xkey) != 0)
      Twofish_fatal("Odd sized keys do not expand properly");
  }
}

void self_test() {
  test_vectors();
  test_sequences();
  test_odd_sized_keys();
}

}  // namespace

void Twofish_fatal(const char* msg) {
  std::fprintf(stderr, "\nTwofish fatal error: %s\nProcess terminated\n", msg);
  std::fflush(stderr);
  std::exit(3);
}

void Twofish_initialise() {
  static std::once_flag once;
  std::call_once(once, [] {
    test_platform();
    initialise_q_boxes();
    initialise_mds_tables();
    Twofish_initialised.store(1, std::memory_order_release);
    self_test();
  });
}

void Twofish_prepare_key(unsigned char* key, int keyLen, Twofish_key* xkey) {
  if (!Twofish_initialised.load(std::memory_order_acquire))
    Twofish_fatal("Twofish implementation was not initialised.");
  if (keyLen < 0 || keyLen > 32) Twofish_fatal("Twofish_prepare_key: illegal key length");

  unsigned char padded[32] = {};
  if (keyLen > 0) std::memcpy(padded, key, keyLen);
  const int kCycles = keyLen + 7 < 16 ? 2 : (keyLen + 7) / 8;

  // Even and odd key words feed h for the subkeys; the Reed-Solomon words, in
  // reverse order, key the S-boxes.
  std::uint32_t evenWords[4], oddWords[4], sboxWords[4];
  for (int i = 0; i < kCycles; ++i) {
    evenWords[i] = GET32(padded + 8 * i);
    oddWords[i] = GET32(padded + 8 * i + 4);
    sboxWords[kCycles - 1 - i] = rs_encode(padded + 8 * i);
  }

  constexpr std::uint32_t kRho = 0x01010101u;
  for (int i = 0; i < 40; i += 2) {
    const std::uint32_t a = h(i * kRho, evenWords, kCycles);
    const std::uint32_t b = ROL32(h((i + 1) * kRho, oddWords, kCycles), 8);
    xkey->K[i] = a + b;
    xkey->K[i + 1] = ROL32(a + 2 * b, 9);
  }
  fill_keyed_sboxes(sboxWords, kCycles, xkey);

  explicit_bzero(padded, sizeof padded);
  explicit_bzero(evenWords, sizeof evenWords);
  explicit_bzero(oddWords, sizeof oddWords);
  explicit_bzero(sboxWords, sizeof sboxWords);
}

void Twofish_encrypt(const Twofish_key* xkey, const unsigned char* in, unsigned char* out) {
  const std::uint32_t* K = xkey->K;
  std::uint32_t a = GET32(in) ^ K[0];
  std::uint32_t b = GET32(in + 4) ^ K[1];
  std::uint32_t c = GET32(in + 8) ^ K[2];
  std::uint32_t d = GET32(in + 12) ^ K[3];
#pragma GCC unroll 8
  for (int r = 0; r < 16; r += 2) {
    encrypt_round(xkey, r, a, b, c, d);
    encrypt_round(xkey, r + 1, c, d, a, b);
  }
  // The last round's swap is undone: output words are c, d, a, b.
  PUT32(c ^ K[4], out);
  PUT32(d ^ K[5], out + 4);
  PUT32(a ^ K[6], out + 8);
  PUT32(b ^ K[7], out + 12);
}

void Twofish_decrypt(Twofish_key* xkey, unsigned char* in, unsigned char* out) {
  const std::uint32_t* K = xkey->K;
  std::uint32_t c = GET32(in) ^ K[4];
  std::uint32_t d = GET32(in + 4) ^ K[5];
  std::uint32_t a = GET32(in + 8) ^ K[6];
  std::uint32_t b = GET32(in + 12) ^ K[7];
#pragma GCC unroll 8
  for (int r = 14; r >= 0; r -= 2) {
    decrypt_round(xkey, r + 1, c, d, a, b);
    decrypt_round(xkey, r, a, b, c, d);
  }
  PUT32(a ^ K[0], out);
  PUT32(b ^ K[1], out + 4);
  PUT32(c ^ K[2], out + 8);
  PUT32(d ^ K[3], out + 12);
}
