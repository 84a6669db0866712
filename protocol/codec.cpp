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

// One pass of the 8-bit cipher-feedback stream over `data` with a prepared
// key; the byte fed back is always the ciphertext byte, which is the output
// when encrypting and the input when decrypting.
void RunStream(const Twofish_key& key, const unsigned char (&firstRegister)[kBlockSize],
               const String& data, bool encrypt, unsigned char* dst) {
  unsigned char feedback[kBlockSize];
  unsigned char mask[kBlockSize];
  std::memcpy(feedback, firstRegister, sizeof feedback);
  const auto* in = reinterpret_cast<const unsigned char*>(data.Data());
  const int n = data.Length();
  for (int i = 0; i < n; ++i) {
    Twofish_encrypt(&key, feedback, mask);
    const unsigned char inByte = in[i];
    const unsigned char outByte = static_cast<unsigned char>(inByte ^ mask[0]);
    dst[i] = outByte;
    std::memmove(feedback, feedback + 1, kBlockSize - 1);
    feedback[kBlockSize - 1] = encrypt ? outByte : inByte;
  }
  explicit_bzero(feedback, sizeof feedback);
  explicit_bzero(mask, sizeof mask);
}

}  // namespace

StreamKey::~StreamKey() {
  explicit_bzero(&key_, sizeof key_);
  explicit_bzero(firstRegister_, sizeof firstRegister_);
}

void StreamKey::Prepare(const String& keyText) {
  THash_SHA sha;
  // A null pointer would ask for the previous digest, so the empty key is
  // hashed through an empty literal.
  const char* digest = sha.GetHash(keyText.Data() ? keyText.Data() : "", keyText.Length());
  const int keyLen = sha.GetHashSize();
  unsigned char cipherKey[32] = {};
  std::memcpy(cipherKey, digest, static_cast<size_t>(keyLen));
  Twofish_prepare_key(cipherKey, keyLen, &key_);
  explicit_bzero(cipherKey, sizeof cipherKey);
  std::memset(firstRegister_, 0xFF, sizeof firstRegister_);
  Twofish_encrypt(&key_, firstRegister_, firstRegister_);
  ready_ = true;
}

// The length prefix and the ciphertext are written into one buffer.
String StreamKey::Encode(const String& data, int lengthBytes) const {
  String packet;
  const int n = data.Length();
  if (n == 0) return packet;
  const String prefix = lengthBytes ? EncodeLength(data, lengthBytes) : String();
  packet.SetLength(prefix.Length() + n);
  if (prefix.Length()) std::memcpy(packet.Data(), prefix.Data(), prefix.Length());
  RunStream(key_, firstRegister_, data, true,
            reinterpret_cast<unsigned char*>(packet.Data()) + prefix.Length());
  return packet;
}

String StreamKey::Decode(const String& data) const {
  String out;
  if (data.Length() == 0) return out;
  out.SetLength(data.Length());
  RunStream(key_, firstRegister_, data, false, reinterpret_cast<unsigned char*>(out.Data()));
  return out;
}

String EncodeData(const String& data, const String& key, int lengthBytes) {
  if (data.Length() == 0) return String();
  return StreamKey(key).Encode(data, lengthBytes);
}

String DecodeData(const String& data, const String& key) {
  if (data.Length() == 0) return String();
  return StreamKey(key).Decode(data);
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
