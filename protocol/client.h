// The monitoring server's side of the wire: building request packets and
// reading reply packets. Used by the command-line client and by tests that
// talk to the agent the way the server does.
#pragma once

#include "foundation/tqstring.h"

// The request packet carrying requestText: the total length, the marker, the
// MD5 digest of the password (no field for an empty password), the session
// key encrypted under the password and the request text encrypted under the
// session key, each field behind its length. Empty when the session key is
// longer than its 2-byte length field can say (65535 bytes) or the packet
// would exceed 2^31 - 1 bytes.
String BuildRequestPacket(const String& password, const String& sessionKey,
                          const String& requestText);

// True once `received` holds a whole reply packet: the 4-byte length M and at
// least M bytes after it.
bool ReplyPacketComplete(const String& received);

// Checks that the packet is exactly its 4-byte length field and the bytes it
// announces, and decrypts them under the session key into text. Returns 1 on
// success; 0 with the reason in error (text untouched) otherwise.
int ParseReplyPacket(const String& packet, const String& sessionKey, String& text, String& error);
