// Packet codec of the wire protocol: the layout constants of the request
// packet, the stream cipher that protects request and reply texts, the
// little-endian length fields and the password digest.
//
// Request packet (server to agent), every integer unsigned little-endian,
// P/K/R the lengths of the password, key and request fields:
//
//   offset 0           4 bytes  N = packet length - 4
//   offset 4           2 bytes  marker 0x03 0x12
//   offset 6           2 bytes  P
//   offset 8           P bytes  MD5 digest of the shared password (P = 0 when it is empty)
//   offset 8 + P       2 bytes  K
//   offset 10 + P      K bytes  session key, encrypted under the shared password
//   offset 10 + P + K  4 bytes  R
//   offset 14 + P + K  R bytes  request text, encrypted under the session key
//
// Reply packet (agent to server): 4 bytes M, then M bytes of the reply text
// encrypted under the session key of the request.
//
// Stream cipher: Twofish in 8-bit cipher feedback. The cipher key is the
// 20-byte SHA-1 digest of the key string (a 192-bit Twofish key whose last
// four bytes are zero); the feedback register starts as sixteen 0xFF bytes
// encrypted once. Only the encryption direction of the block cipher is used.
// Twofish_initialise() must have run before any of these functions is used.
//
// All functions are reentrant: each call keeps its own cipher state.
#pragma once

#include "crypto/twofish.h"
#include "foundation/tqstring.h"

// Layout of the request packet: 1-based positions within the received bytes
// and field widths in bytes.
inline constexpr int OFFSET_PACKET = 1;    // the total-length field N
inline constexpr int SIZELEN_AUTH = 2;     // the marker field
inline constexpr int SIZELEN_PSWD = 2;     // the password-field length P
inline constexpr int SIZELEN_KEY = 2;      // the key-field length K
inline constexpr int SIZELEN_REQUEST = 4;  // the request-field length R
// Width of the total-length field of a request and of the length prefix of a
// reply.
inline constexpr int SIZELEN_PACKET = 4;
// Derived positions. The key and request lengths sit further on by the
// lengths of the variable fields before them (P, then P + K).
inline constexpr int OFFSET_AUTH = OFFSET_PACKET + SIZELEN_PACKET;  // 5
inline constexpr int OFFSET_PSWD = OFFSET_AUTH + SIZELEN_AUTH;      // 7
inline constexpr int OFFSET_KEY = OFFSET_PSWD + SIZELEN_PSWD;       // 9, before adding P
inline constexpr int OFFSET_REQUEST = OFFSET_KEY + SIZELEN_KEY;     // 11, before adding P + K
// The smallest possible packet: all fixed fields, every variable field empty.
inline constexpr int SIZELEN_MINIMUM =
    SIZELEN_PSWD + SIZELEN_PACKET + SIZELEN_KEY + SIZELEN_REQUEST + SIZELEN_AUTH;  // 14

static_assert(OFFSET_AUTH == 5 && OFFSET_PSWD == 7 && OFFSET_KEY == 9 && OFFSET_REQUEST == 11 &&
              SIZELEN_MINIMUM == 14);

// The two bytes of the marker field.
inline constexpr unsigned char kPacketMarker[SIZELEN_AUTH] = {0x03, 0x12};

// A key text made ready for the stream cipher once: its SHA-1 digest
// expanded into the Twofish key schedule, and the feedback register's first
// value. Encrypting or decrypting with it costs only the stream itself, so a
// key used for many texts (the shared password, a request's session key used
// for the request and its reply) is prepared once. The key material is wiped
// when the object goes. Reading it from several threads at once is safe.
class StreamKey {
 public:
  StreamKey() = default;  // not ready: Ready() is false until Prepare
  explicit StreamKey(const String& keyText) { Prepare(keyText); }
  ~StreamKey();
  StreamKey(const StreamKey&) = delete;
  StreamKey& operator=(const StreamKey&) = delete;

  void Prepare(const String& keyText);
  bool Ready() const { return ready_; }
  // The same results as EncodeData(data, keyText, lengthBytes) and
  // DecodeData(data, keyText) for the key text it was prepared from.
  String Encode(const String& data, int lengthBytes) const;
  String Decode(const String& data) const;

 private:
  Twofish_key key_;
  unsigned char firstRegister_[16];
  bool ready_ = false;
};

// `data` encrypted under `key`. With lengthBytes non-zero the ciphertext is
// preceded by EncodeLength(ciphertext, lengthBytes). Empty data gives an empty
// result, without a length prefix. Any key is accepted, the empty one included.
String EncodeData(const String& data, const String& key, int lengthBytes);

// The inverse of EncodeData for data without a length prefix:
// DecodeData(EncodeData(d, k, 0), k) == d for every d and k.
String DecodeData(const String& data, const String& key);

// The low `digits` bytes of s.Length(), least significant first.
// digits above 4 is a programming error (assertion, the process aborts).
String EncodeLength(const String& s, int digits);

// The unsigned little-endian integer held in the `digits` bytes at p, for
// digits 1, 2 or 4; any other value up to 4 gives 0 without reading p.
// digits above 4 is a programming error (assertion, the process aborts).
unsigned int DecodeLength(const char* p, int digits);

// The 16 raw bytes of the MD5 digest of the password; empty for an empty
// password.
String EncodePswd(const String& password);
