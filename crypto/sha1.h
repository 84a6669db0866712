// SHA-1 message digest (THash_SHA) and the 32-bit byte swap it relies on.
// Used to turn pass phrases into 20-byte cipher keys. Each object holds one
// computation; misuse (Final without Init, reading the digest of an open
// computation) fails an assertion of source "ciplib".
#pragma once

#include <cstdint>

// Byte swap of a 32-bit value: bytes 0,1,2,3 become 3,2,1,0.
inline unsigned int REVERSE32(unsigned int value) {
  return __builtin_bswap32(value);
}

class THash_SHA {
 public:
  // Hash size 20, then Init.
  THash_SHA();
  // Burns the state.
  ~THash_SHA();

  THash_SHA(const THash_SHA&) = delete;
  THash_SHA& operator=(const THash_SHA&) = delete;

  // Starts a new computation (Burn, then load the initial chaining values).
  void Init();

  // Adds len bytes from p; starts a computation first when none is open.
  // len <= 0 adds nothing.
  void Update(const char* p, long len);

  // Pads, compresses the last block and stores the digest; the computation must
  // be open (asserts otherwise). Afterwards no computation is open.
  void Final();

  // With p: Init, Update(p, len), Final, and returns the 20 digest bytes held in
  // this object. With a null p: returns the digest of the last Final; no
  // computation may be open (asserts otherwise).
  const char* GetHash(const char* p, long len);

  // Always 20 bytes.
  int GetHashSize() const;

  // Zeroes counts, block buffer and chaining words; no computation is open.
  void Burn();

 private:
  // One 64-byte block from fBuffer into the chaining words; clears the buffer.
  void Compress();

  int fInitialized;           // nonzero between Init and the end of Final
  int fHashSize;              // 20
  std::uint32_t fCountHi;     // message length in bits, high word
  std::uint32_t fCountLo;     // message length in bits, low word
  std::uint32_t fBufferFill;  // bytes waiting in fBuffer
  std::uint32_t fDigest[5];   // chaining words; the digest bytes after Final
  unsigned char fBuffer[64];  // block buffer
};
