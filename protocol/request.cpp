// OXRequest: completeness and parsing of the received request packet, and
// parameter access on the decrypted text (see request.h).
//
// The packet comes straight from an unauthenticated peer. Every length check
// is done in 64-bit arithmetic, so no field value can overflow it, and every
// field is read only after a check has shown that it lies within the
// received bytes.
#include "protocol/request.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "protocol/codec.h"

namespace {

std::atomic<RequestDebugSink> debugSink{nullptr};

// Emits one debug line through the sink; `format` takes one int.
void DebugValue(RequestDebugSink sink, in_addr peer, const char* format, int value) {
  if (!sink) return;
  char line[64];
  std::snprintf(line, sizeof line, format, value);
  sink(peer, line);
}

void DebugText(RequestDebugSink sink, in_addr peer, const char* text) {
  if (sink) sink(peer, text);
}

// Constant-time equality of two byte strings of the same known length, so
// the time taken does not tell how much of a guessed digest was right.
bool SameBytes(const char* a, const char* b, int n) {
  unsigned char diff = 0;
  for (int i = 0; i < n; ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

// The bytes at 0-based offset `offset` of the text; the caller has checked
// that the field read there lies within the text.
const char* FieldAt(const String& text, std::int64_t offset) {
  return text.Data() + offset;
}

// Where the variable fields of a packet lie: 0-based offsets and lengths,
// all within the received bytes once LocateFields has accepted them.
struct FieldSpans {
  int pswdAt = 0;
  int pswdSize = 0;
  int keyAt = 0;
  int keySize = 0;
  int requestAt = 0;
  std::int32_t requestSize = 0;  // negative for a field length of 2^31 or more
};

// The layout checks, in order, each after its debug line; false at the first
// one that fails.
bool LocateFields(const String& packet, RequestDebugSink sink, in_addr peer, FieldSpans& spans) {
  const std::int64_t total = packet.Length();
  DebugValue(sink, peer, "<-- TCP packet size: %d\n", packet.Length());
  if (total < SIZELEN_MINIMUM) return false;

  // N: the bytes that follow the length field.
  const unsigned int declared = DecodeLength(FieldAt(packet, OFFSET_PACKET - 1), SIZELEN_PACKET);
  DebugValue(sink, peer, "<-- JEX packet size: %d\n", static_cast<int>(declared));
  if (static_cast<std::int64_t>(declared) + SIZELEN_PACKET != total) return false;

  // P, then the password field.
  const std::int64_t pswdSize = DecodeLength(FieldAt(packet, OFFSET_PSWD - 1), SIZELEN_PSWD);
  DebugValue(sink, peer, "<-- Pswd size: %d\n", static_cast<int>(pswdSize));
  if (SIZELEN_MINIMUM + pswdSize > total) return false;

  // K, after the password field, then the key field.
  const std::int64_t keySizeAt = OFFSET_KEY - 1 + pswdSize;
  const std::int64_t keySize = DecodeLength(FieldAt(packet, keySizeAt), SIZELEN_KEY);
  DebugValue(sink, peer, "<-- Key size: %d\n", static_cast<int>(keySize));
  if (SIZELEN_MINIMUM + pswdSize + keySize > total) return false;

  // R, after the key field, then the request field. R is a signed 32-bit
  // value to this check, as it always was on the wire: a length of 2^31 or
  // more is negative, passes, and selects an empty field. The sum itself is
  // exact, so no length can make it wrap.
  const std::int64_t requestSizeAt = OFFSET_REQUEST - 1 + pswdSize + keySize;
  const auto requestSize =
      static_cast<std::int32_t>(DecodeLength(FieldAt(packet, requestSizeAt), SIZELEN_REQUEST));
  DebugValue(sink, peer, "<-- Req size: %d\n", requestSize);
  if (SIZELEN_MINIMUM + pswdSize + keySize + requestSize > total) return false;

  const auto* marker = reinterpret_cast<const unsigned char*>(FieldAt(packet, OFFSET_AUTH - 1));
  if (marker[0] != kPacketMarker[0] || marker[1] != kPacketMarker[1]) return false;

  // Every offset is below total, which is an int.
  spans.pswdAt = OFFSET_PSWD - 1 + SIZELEN_PSWD;
  spans.pswdSize = static_cast<int>(pswdSize);
  spans.keyAt = static_cast<int>(keySizeAt + SIZELEN_KEY);
  spans.keySize = static_cast<int>(keySize);
  spans.requestAt = static_cast<int>(requestSizeAt + SIZELEN_REQUEST);
  spans.requestSize = requestSize;
  return true;
}

}  // namespace

void SetRequestDebugSink(RequestDebugSink sink) {
  debugSink.store(sink);
}

OXRequest& OXRequest::operator=(const String& text) {
  String::operator=(text);
  return *this;
}

OXRequest& OXRequest::operator=(String&& text) noexcept {
  String::operator=(std::move(text));
  return *this;
}

OXRequest& OXRequest::operator=(const char* text) {
  String::operator=(text);
  return *this;
}

bool OXRequest::WholePacket() const {
  const std::int64_t received = Length();
  if (received < SIZELEN_MINIMUM) return false;
  const std::int64_t declared =
      static_cast<std::int64_t>(DecodeLength(FieldAt(*this, OFFSET_PACKET - 1), SIZELEN_PACKET)) +
      SIZELEN_PACKET;
  return declared > INT_MAX || received >= declared;
}

void PacketPassword::Prepare() const {
  std::call_once(prepared_, [this] {
    digest_ = EncodePswd(text_);
    key_.Prepare(text_);
  });
}

const String& PacketPassword::Digest() const {
  Prepare();
  return digest_;
}

const StreamKey& PacketPassword::Key() const {
  Prepare();
  return key_;
}

int OXRequest::ParseInitRequest(const String& password, in_addr peer) {
  return ParseInitRequest(PacketPassword(password), peer);
}

int OXRequest::ParseInitRequest(const PacketPassword& password, in_addr peer,
                                StreamKey* sessionCipher) {
  sessionKey_ = String();
  const RequestDebugSink sink = debugSink.load();
  FieldSpans spans;
  if (!LocateFields(*this, sink, peer, spans)) return 0;

  const String& expected = password.Digest();
  if (spans.pswdSize != expected.Length() ||
      !SameBytes(FieldAt(*this, spans.pswdAt), expected.Data(), expected.Length())) {
    DebugText(sink, peer, "<-- Wrong password or MD5 error\n");
    return 0;
  }

  // Positions of String::Copy are 1-based.
  sessionKey_ = password.Key().Decode(Copy(spans.keyAt + 1, spans.keySize));
  const String requestField =
      spans.requestSize > 0 ? Copy(spans.requestAt + 1, spans.requestSize) : String();
  if (sessionCipher) {
    sessionCipher->Prepare(sessionKey_);
    String::operator=(sessionCipher->Decode(requestField));
  } else {
    String::operator=(DecodeData(requestField, sessionKey_));
  }
  return 1;
}

int OXRequest::GetParamsCount() const {
  int count = 0;
  const char* p = Data();
  for (int i = 0; i < Length(); ++i) count += p[i] == '\n';
  return count;
}

String OXRequest::GetParam(int index, int trim) const {
  String line = GetWord(index, '\n');
  if (trim) line.Trim();
  return line;
}

String OXRequest::GetNamedParam(const char* name) const {
  // One walk over the LF-ended lines; the bytes after the last LF are not a
  // parameter line.
  const char* text = Data();
  const int length = Length();
  int lineStart = 0;
  for (int i = 0; i < length; ++i) {
    if (text[i] != '\n') continue;
    String line;
    line.CopyData(text + lineStart, i - lineStart);
    lineStart = i + 1;
    line.Trim();
    const int equals = line.Pos('=');
    if (equals == 0) continue;
    String key = line.Copy(1, equals - 1);
    key.Trim();
    if (key != name) continue;
    String value = line.Copy(equals + 1, line.Length() - equals);
    value.Trim();
    return value;
  }
  return String();
}
