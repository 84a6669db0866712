// Shared helpers of the protocol tests: hex conversion, lookup of the shared
// test vectors, and a reference cipher-feedback stream whose Twofish key is
// first checked against a published or cross-checked vector.
//
// Expected packet bytes are built from vector values only: a session-key text
// is tied to its 20-byte cipher key by a SHA-1 vector, that key is tied to the
// block function by a Twofish vector of the same key, and the keystream is
// then derived with that checked key block by block.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <ostream>
#include <string>

#include "crypto/twofish.h"
#include "foundation/tqstring.h"

// Failure messages show a String as its bytes in hex.
void PrintTo(const String& s, std::ostream* os);

namespace prototest {

using VectorFields = std::map<std::string, std::string>;

// Bytes of a hex string (either case); an odd digit count or a bad digit
// fails the current test and gives what was read so far.
String FromHex(const std::string& hex);
// Upper-case hex of the bytes.
std::string ToHex(const String& bytes);
// A String of the given bytes.
String Bytes(std::initializer_list<unsigned char> bytes);

// The fields of the named vector in the named file of JEX_VECTORS_DIR; an
// empty map (and a failed test) when it is missing.
VectorFields Vector(const std::string& file, const std::string& name);

// Builds the cipher tables once per process.
void EnsureTwofish();

// A Twofish key for the cipher feedback of one key text, checked against the
// vectors before use.
class CheckedCipherKey {
 public:
  // sha1Vector: the sha1.txt vector whose MSG_ASCII is the key text;
  // twofishVector: a twofish.txt section C vector whose KEY is that digest.
  CheckedCipherKey(const std::string& sha1Vector, const std::string& twofishVector);

  // Success when the key text, the digest and the block function agree with
  // both vectors.
  ::testing::AssertionResult Check() const;
  // The key text, as the agent receives it (password or session key).
  const String& KeyText() const { return keyText_; }
  // The reference stream: the register starts as E(16 x 0xFF); each byte is
  // XORed with the first byte of E(register), and the ciphertext byte is
  // shifted into the register.
  String Encrypt(const String& plain);

 private:
  String keyText_;
  Twofish_key key_{};
  std::string problem_;
};

}  // namespace prototest
