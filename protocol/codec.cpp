// Packet codec: the cipher-feedback stream over Twofish, length fields and
// the password digest (see codec.h).
#include "protocol/codec.h"

#include <string.h>  // explicit_bzero

#include <cstring>

#include "crypto/md5.h"
#include "crypto/sha1.h"
#include "crypto/twofish.h"
#include "foundation/assertion.h"

namespace {

constexpr int kBlockSize = 16;

// The state of one pass of the 8-bit cipher-feedback stream: the expanded
// key and the feedback register. Built once per EncodeData/DecodeData call,
// wiped when the pass ends.
class FeedbackStream {
 public:
  explicit FeedbackStream(const String& key) {
    THash_SHA sha;
    // A null pointer would ask for the previous digest, so the empty key is
    // hashed through an empty literal.
    const char* digest = sha.GetHash(key.Data() ? key.Data() : "", key.Length());
    const int keyLen = sha.GetHashSize();
    unsigned char cipherKey[32] = {};
    std::memcpy(cipherKey, digest, static_cast<size_t>(keyLen));
    Twofish_prepare_key(cipherKey, keyLen, &key_);
    explicit_bzero(cipherKey, sizeof cipherKey);

    std::memset(register_, 0xFF, sizeof register_);
    Twofish_encrypt(&key_, register_, register_);
  }

  ~FeedbackStream() {
    explicit_bzero(&key_, sizeof key_);
    explicit_bzero(register_, sizeof register_);
    explicit_bzero(scratch_, sizeof scratch_);
  }

  FeedbackStream(const FeedbackStream&) = delete;
  FeedbackStream& operator=(const FeedbackStream&) = delete;

  // The next keystream byte: the first byte of the encrypted register.
  unsigned char NextMask() {
    Twofish_encrypt(&key_, register_, scratch_);
    return scratch_[0];
  }

  // Shifts the ciphertext byte into the register from the right.
  void Feed(unsigned char cipherByte) {
    std::memmove(register_, register_ + 1, kBlockSize - 1);
    register_[kBlockSize - 1] = cipherByte;
  }

 private:
  Twofish_key key_;
  unsigned char register_[kBlockSize];
  unsigned char scratch_[kBlockSize];
};

// One pass over the data; the byte fed back is always the ciphertext byte,
// which is the output when encrypting and the input when decrypting.
String RunStream(const String& data, const String& key, bool encrypt) {
  String out;
  const int n = data.Length();
  if (n == 0) return out;
  FeedbackStream stream(key);
  out.SetLength(n);
  const auto* in = reinterpret_cast<const unsigned char*>(data.Data());
  auto* dst = reinterpret_cast<unsigned char*>(out.Data());
  for (int i = 0; i < n; ++i) {
    const unsigned char inByte = in[i];
    const unsigned char outByte = static_cast<unsigned char>(inByte ^ stream.NextMask());
    dst[i] = outByte;
    stream.Feed(encrypt ? outByte : inByte);
  }
  return out;
}

}  // namespace

String EncodeData(const String& data, const String& key, int lengthBytes) {
  String cipherText = RunStream(data, key, true);
  if (lengthBytes == 0 || cipherText.Length() == 0) return cipherText;
  String packet = EncodeLength(cipherText, lengthBytes);
  packet += cipherText;
  return packet;
}

String DecodeData(const String& data, const String& key) {
  return RunStream(data, key, false);
}

String EncodeLength(const String& s, int digits) {
  const unsigned int len = static_cast<unsigned int>(s.Length());
  JEX_ASSERT(digits <= static_cast<int>(sizeof(len)), "digits<=sizeof(len)", "jex_const",
             "EncodeLength", 140);
  String out;
  for (int i = 0; i < digits; ++i) out.AddChar(static_cast<char>((len >> (8 * i)) & 0xFF));
  return out;
}

unsigned int DecodeLength(const char* p, int digits) {
  JEX_ASSERT(digits <= static_cast<int>(sizeof(int)), "digits<=sizeof(int)", "jex_const",
             "DecodeLength", 155);
  if (digits != 1 && digits != 2 && digits != 4) return 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(p);
  unsigned int value = 0;
  for (int i = digits - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

String EncodePswd(const String& password) {
  String digest;
  if (password.Length() == 0) return digest;
  MD5 context;
  MD5Open(&context);
  MD5Digest(&context, password.Data(), static_cast<unsigned int>(password.Length()));
  unsigned char out[16];
  MD5Close(&context, out);
  digest.CopyData(reinterpret_cast<const char*>(out), sizeof out);
  return digest;
}
