// The monitoring server's side of one exchange with an agent: build the
// request text, send it as an encrypted packet over TCP, read and decrypt the
// reply. Used by the `jexget` command-line client and by the end-to-end tests.
#pragma once

#include <vector>

#include "foundation/tqstring.h"

struct TAgentEndpoint {
  String Host = "127.0.0.1";
  int Port = 0;
  String Password;
  int TimeoutMs = 10000;  // for connecting and for each wait for reply bytes
  String SourceAddress;   // local IPv4 address to connect from; empty = any
};

// The request text: the command line, one line per parameter (line breaks
// inside a parameter escaped), then the end-of-transmission CR.
String BuildRequestText(const String& command, const std::vector<String>& params);

// A fresh random session key (32 hexadecimal characters).
String NewSessionKey();

// Sends `requestText` under a new session key and reads the reply text.
// Returns 1 with the decrypted reply (code line first, the final CR removed),
// or 0 with the reason in `error`.
int QueryAgent(const TAgentEndpoint& agent, const String& requestText, String& replyText,
               String& error);

// Uploads a new program: "UpgradeCode" with its size, then the bytes and
// their encrypted MD5 digest on the same connection. Returns 1 with the final
// reply text (or the refusal of "UpgradeCode"), 0 with the reason in `error`.
int UploadProgram(const TAgentEndpoint& agent, const String& program, String& replyText,
                  String& error);

// The three-digit result code at the start of a reply text, or an empty text.
String ReplyCode(const String& replyText);
