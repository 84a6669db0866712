// CRC-32 register arithmetic of TCRC32: byte-wise and 16-bytes-at-a-time updates.
//
// The classic implementation builds a 256-entry table in every TCRC32 object.
// Here the tables are computed once at compile time and shared read-only by all
// objects: constructing a checksum object costs nothing, concurrent threads share
// the tables without locking, and 16 tables ("slicing by 16") let the main loop
// consume 16 bytes per step instead of one, which is about four times faster over
// large files. The results are bit-identical to the single-table loop.
#include "crypto/crc32.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;
constexpr int kSlices = 16;

using CrcTables = std::array<std::array<std::uint32_t, 256>, kSlices>;

// tables[0] is the ordinary byte table. tables[k][n] is the register change of
// byte value n followed by k zero bytes, so that 16 independent look-ups,
// XORed together, advance the register over 16 bytes at once.
constexpr CrcTables MakeCrcTables() {
  CrcTables tables{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t value = n;
    for (int bit = 0; bit < 8; ++bit) value = (value & 1) ? (value >> 1) ^ kPolynomial : value >> 1;
    tables[0][n] = value;
  }
  for (int k = 1; k < kSlices; ++k) {
    for (int n = 0; n < 256; ++n) {
      const std::uint32_t previous = tables[k - 1][n];
      tables[k][n] = (previous >> 8) ^ tables[0][previous & 0xFF];
    }
  }
  return tables;
}

constexpr CrcTables kTables = MakeCrcTables();

std::uint32_t Load32LittleEndian(const unsigned char* p) {
  std::uint32_t value;
  std::memcpy(&value, p, sizeof value);
  if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap32(value);
  return value;
}

// Look-up of byte number byte (0 = lowest) of word in table number table.
std::uint32_t Slice(int table, std::uint32_t word, int byte) {
  return kTables[table][(word >> (8 * byte)) & 0xFF];
}

// The four look-ups for the 4 bytes of word, the first of which is followed by
// firstTable further bytes.
std::uint32_t SliceWord(int firstTable, std::uint32_t word) {
  return (Slice(firstTable, word, 0) ^ Slice(firstTable - 1, word, 1)) ^
         (Slice(firstTable - 2, word, 2) ^ Slice(firstTable - 3, word, 3));
}

std::uint32_t UpdateBytewise(std::uint32_t crc, const unsigned char* p, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i) crc = kTables[0][(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

// Keeps the compiler from folding value into a longer XOR chain: without it
// the 16 look-ups become one serial chain with the register-dependent terms in
// the middle, which costs about a third of the speed.
inline void KeepSeparate(std::uint32_t& value) {
  __asm__("" : "+r"(value));
}

// 32-bit loads rather than 64-bit ones: extracting bytes from 32-bit words
// takes fewer instructions, and the loop is bound by instruction throughput.
std::uint32_t UpdateSliced(std::uint32_t crc, const unsigned char* p, std::size_t len) {
  while (len >= kSlices) {
    // Twelve look-ups depend on the data only and can run ahead of the register.
    std::uint32_t ahead = SliceWord(11, Load32LittleEndian(p + 4)) ^
                          SliceWord(7, Load32LittleEndian(p + 8)) ^
                          SliceWord(3, Load32LittleEndian(p + 12));
    KeepSeparate(ahead);
    crc = SliceWord(15, Load32LittleEndian(p) ^ crc) ^ ahead;
    p += kSlices;
    len -= kSlices;
  }
  return UpdateBytewise(crc, p, len);
}

}  // namespace

TCRC32::TCRC32() {
  InitCRC();
}

void TCRC32::InitCRC() {
  fCRC = 0xFFFFFFFFu;
}

void TCRC32::UpdateCRC(unsigned char b) {
  fCRC = kTables[0][(fCRC ^ b) & 0xFF] ^ (fCRC >> 8);
}

void TCRC32::UpdateCRC(const char* p, int len) {
  if (p == nullptr) return;
  const std::size_t count = (len == -1) ? std::strlen(p) : (len > 0 ? std::size_t(len) : 0);
  fCRC = UpdateSliced(fCRC, reinterpret_cast<const unsigned char*>(p), count);
}

unsigned int TCRC32::GetCRC() const {
  return fCRC;
}

unsigned int TCRC32::GetBlockCRC(const char* p, int len) {
  InitCRC();
  UpdateCRC(p, len);
  return GetCRC();
}
