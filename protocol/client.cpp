// Server side of the packet layout (see client.h and codec.h).
#include "protocol/client.h"

#include <climits>
#include <cstdint>
#include <cstdio>

#include "crypto/twofish.h"
#include "protocol/codec.h"

namespace {

constexpr int kMaxKeyField = 0xFFFF;

// The 4-byte length prefix of a reply, or -1 while fewer bytes arrived.
std::int64_t AnnouncedReplyBytes(const String& received) {
  if (received.Length() < SIZELEN_PACKET) return -1;
  return DecodeLength(received.Data(), SIZELEN_PACKET);
}

}  // namespace

String BuildRequestPacket(const String& password, const String& sessionKey,
                          const String& requestText) {
  Twofish_initialise();  // the client side has no start-up self-test of its own
  const String pswdField = EncodePswd(password);
  const String keyField = EncodeData(sessionKey, password, 0);
  const String requestField = EncodeData(requestText, sessionKey, 0);
  if (keyField.Length() > kMaxKeyField) return String();
  const std::int64_t total = static_cast<std::int64_t>(SIZELEN_MINIMUM) + pswdField.Length() +
                             keyField.Length() + requestField.Length();
  if (total > INT_MAX) return String();

  String body;
  body.AddData(reinterpret_cast<const char*>(kPacketMarker), SIZELEN_AUTH);
  body += EncodeLength(pswdField, SIZELEN_PSWD);
  body += pswdField;
  body += EncodeLength(keyField, SIZELEN_KEY);
  body += keyField;
  body += EncodeLength(requestField, SIZELEN_REQUEST);
  body += requestField;

  String packet = EncodeLength(body, SIZELEN_PACKET);
  packet += body;
  return packet;
}

bool ReplyPacketComplete(const String& received) {
  const std::int64_t announced = AnnouncedReplyBytes(received);
  return announced >= 0 && received.Length() - SIZELEN_PACKET >= announced;
}

int ParseReplyPacket(const String& packet, const String& sessionKey, String& text, String& error) {
  Twofish_initialise();
  const std::int64_t announced = AnnouncedReplyBytes(packet);
  if (announced < 0) {
    error = "reply shorter than its length field";
    return 0;
  }
  const std::int64_t carried = packet.Length() - SIZELEN_PACKET;
  if (carried != announced) {
    char reason[96];
    std::snprintf(reason, sizeof reason, "reply length field announces %lld bytes, %lld follow",
                  static_cast<long long>(announced), static_cast<long long>(carried));
    error = reason;
    return 0;
  }
  text = DecodeData(packet.Copy(SIZELEN_PACKET + 1, static_cast<int>(carried)), sessionKey);
  return 1;
}
