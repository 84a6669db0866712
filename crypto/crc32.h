// CRC-32 (reflected polynomial 0xEDB88320) as used by the file checksum test.
// The value reported is the raw register: initial value 0xFFFFFFFF and no final
// XOR, which is the one's complement of the common CRC-32 of the same bytes.
#pragma once

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

  // The current register value (no final XOR).
  unsigned int GetCRC() const;

  // InitCRC, UpdateCRC(p, len), GetCRC.
  unsigned int GetBlockCRC(const char* p, int len);

 private:
  unsigned int fCRC;
};
