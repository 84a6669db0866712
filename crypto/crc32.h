// CRC-32 (reflected polynomial 0xEDB88320) as used by the file checksum test.
// The value reported is the raw register: initial value 0xFFFFFFFF and no final
// XOR, which is the one's complement of the common CRC-32 of the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

class TCRC32 {
 public:
  // Starts with a fresh register (InitCRC).
  TCRC32();

  // Sets the register to 0xFFFFFFFF.
  void InitCRC();

  // Feeds one byte.
  void UpdateCRC(unsigned char b);

  // Feeds len bytes from p. len == -1 means "up to the terminating NUL"; other
  // negative lengths and a null p feed nothing.
  void UpdateCRC(const char* p, int len);

  // Feeds len bytes from p (for large buffers; a null p feeds nothing).
  void UpdateBlock(const void* p, std::size_t len);

  // The current register value (no final XOR).
  unsigned int GetCRC() const;

  // InitCRC, UpdateCRC(p, len), GetCRC.
  unsigned int GetBlockCRC(const char* p, int len);

 private:
  unsigned int fCRC;
};

// The two implementations behind TCRC32, for tests and benchmarks: the
// sliced-table code and the carry-less-multiply folding code, which the
// class selects at run time. Both map a register to the register after len
// bytes; UpdateFolded falls back to the table code where the processor lacks
// the instructions (FoldingAvailable false).
namespace crc32_paths {
std::uint32_t UpdateTable(std::uint32_t crc, const unsigned char* p, std::size_t len);
std::uint32_t UpdateFolded(std::uint32_t crc, const unsigned char* p, std::size_t len);
bool FoldingAvailable();
// The 512-bit variant of the folding code; falls back to UpdateFolded where
// the processor lacks it (WideFoldingAvailable false).
std::uint32_t UpdateWide(std::uint32_t crc, const unsigned char* p, std::size_t len);
bool WideFoldingAvailable();
}  // namespace crc32_paths
