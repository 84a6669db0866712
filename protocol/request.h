// The request received from the monitoring server: the raw packet while it
// arrives, its authentication and decryption, and the reading of parameters
// from a decrypted parameter text.
#pragma once

#include <netinet/in.h>

#include <mutex>

#include "foundation/tqstring.h"
#include "protocol/codec.h"

// Receiver of the verbose-debugging lines of OXRequest::ParseInitRequest:
// the finished text of one line (the size lines already formatted) and the
// peer it concerns. Install one only when verbose debugging is on; without a
// sink (the default) no line is produced. The agent wires it to
// showmessage(..., mtDebug, ...) at start-up, before the listener runs.
using RequestDebugSink = void (*)(in_addr peer, const char* line);

// Installs the sink (null removes it). Safe to call from any thread.
void SetRequestDebugSink(RequestDebugSink sink);

// The shared password made ready for checking and decrypting requests: its
// MD5 digest and its prepared stream key, computed once on first use (so
// that building one needs no initialised cipher). The settings keep one
// beside the password text; any number of threads may use it.
class PacketPassword {
 public:
  explicit PacketPassword(const String& password) : text_(password) {}
  const String& Text() const { return text_; }
  const String& Digest() const;
  const StreamKey& Key() const;

 private:
  void Prepare() const;

  String text_;
  mutable std::once_flag prepared_;
  mutable String digest_;
  mutable StreamKey key_;
};

// The text (this String) holds the raw received bytes until ParseInitRequest
// accepts them, the decrypted request text afterwards. A handler receives its
// parameter text (the lines after the command name) in an OXRequest of its own.
class OXRequest : public String {
 public:
  OXRequest() = default;
  explicit OXRequest(const String& text) : String(text) {}
  OXRequest(const OXRequest&) = default;
  OXRequest(OXRequest&&) noexcept = default;
  OXRequest& operator=(const OXRequest&) = default;
  OXRequest& operator=(OXRequest&&) noexcept = default;
  ~OXRequest() = default;

  // Replace the text only; the session key stays.
  OXRequest& operator=(const String& text);
  OXRequest& operator=(String&& text) noexcept;
  OXRequest& operator=(const char* text);

  // True once the bytes gathered hold at least SIZELEN_MINIMUM bytes and at
  // least N + 4, N being the value of the first four bytes. A declared size
  // that no String can hold (N + 4 above INT_MAX) also counts as whole, so
  // that ParseInitRequest rejects it at once instead of the receive loop
  // waiting for it.
  bool WholePacket() const;

  // Checks the layout and the password digest of the received packet and
  // decrypts it: on success (1) the session key is set and the text becomes
  // the decrypted request text. On any failed check the result is 0, the text
  // is left as received and the session key is empty. Never reads outside the
  // received bytes. `peer` only labels the debug lines.
  int ParseInitRequest(const String& password, in_addr peer);
  // The same with the password prepared beforehand. When `sessionCipher` is
  // given and the request is accepted, it is left prepared with the session
  // key, ready to encrypt the reply (JEXReply::FinalizePacket).
  int ParseInitRequest(const PacketPassword& password, in_addr peer,
                       StreamKey* sessionCipher = nullptr);

  String GetSessionKey() const { return sessionKey_; }

  // Parameters of a parameter text: lines ended by LF.
  // The number of LF bytes in the text.
  int GetParamsCount() const;
  // The index-th line (1-based, index <= 1 gives the first) without its LF;
  // empty beyond the last line. With trim non-zero the line is trimmed
  // (String::Trim, which also drops the CR of the last line).
  String GetParam(int index, int trim) const;
  // The trimmed value after the first '=' of the first LF-ended line whose
  // trimmed part before that '=' equals name exactly (case-sensitive); empty
  // when no line matches. A last line without its LF is never examined. The
  // value is returned as it stands (not unescaped).
  String GetNamedParam(const char* name) const;

 private:
  String sessionKey_;
};
