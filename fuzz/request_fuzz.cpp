// libFuzzer target for the bytes an unauthenticated peer sends: completeness
// and parsing of the request packet under the fuzz password and under the
// empty password, then what a handler does with an accepted text (parameter
// lines, value decoders, a reply echoing them), and the client's reading of a
// reply packet. Crashes, sanitizer reports and broken invariants (__builtin_trap)
// are findings.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "crypto/twofish.h"
#include "fuzz/request_fuzz.h"
#include "protocol/client.h"
#include "protocol/codec.h"
#include "protocol/reply.h"
#include "protocol/request.h"
#include "protocol/values.h"

namespace {

// The debug lines are formatted only when a sink is installed; this one
// reads each line so that the formatting path runs too.
volatile size_t debugBytes = 0;
void ReadDebugLine(in_addr, const char* line) {
  debugBytes = debugBytes + std::strlen(line);
}

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

// A handler's view: the lines after the command name, their values, and a
// reply that carries them back.
void ExerciseAcceptedText(const OXRequest& request) {
  const int firstLineFeed = request.Pos('\n');
  OXRequest params;
  if (firstLineFeed > 0) params = request.Copy(firstLineFeed + 1, request.Length() - firstLineFeed);
  const int count = params.GetParamsCount();

  JEXReply reply;
  reply.InitPacket(nullptr, request.GetSessionKey());
  reply.SetResult("200");
  const int lines = count < 16 ? count + 1 : 16;
  for (int i = 1; i <= lines; ++i) {
    const String raw = params.GetParam(i, 0);
    const String trimmed = params.GetParam(i, 1);
    Require(raw.Pos('\n') == 0 && trimmed.Length() <= raw.Length());
    int asInt = 0;
    double asDouble = 0;
    jexDecodeInt(trimmed, &asInt);
    jexDecodeInt64(trimmed, &asDouble);
    reply.AddIntParam(jexDecodeInt(trimmed));
    reply.AddIntParam(jexDecodeInt64(trimmed));
    reply.AddRealParam(jexDecodeReal(trimmed));
    reply.AddBoolParam(jexDecodeBool(trimmed));
    reply.AddTimeParam(jexDecodeTime(trimmed));
    reply.AddStringParam(raw, 1);
  }
  reply.AddStringParam(params.GetNamedParam("path"), 1);
  reply.AddStringParam(params.GetNamedParam(""), 0);
  reply.AddVarParams("%d lines", count);

  reply.CommandSeparatorCheck();
  const String plain = reply + "\r";
  reply.FinalizePacket();
  String text, error;
  Require(ReplyPacketComplete(reply));
  Require(ParseReplyPacket(reply, request.GetSessionKey(), text, error) == 1);
  Require(text == plain);
}

// Prepared once, as the settings keep them: the key set-up of the cipher
// stays out of every run.
const PacketPassword& Prepared(const char* password) {
  static const PacketPassword fuzz{String(kFuzzPassword)};
  static const PacketPassword empty{String("")};
  return password[0] ? fuzz : empty;
}

void ParseWith(const String& received, const char* password) {
  OXRequest request;
  request = received;
  const bool whole = request.WholePacket();
  const in_addr peer = {htonl(0x7F000001)};
  if (!request.ParseInitRequest(Prepared(password), peer)) {
    Require(String(request) == received && request.GetSessionKey().Length() == 0);
    return;
  }
  // An accepted packet is whole, and the server's own layout of the same
  // text and key is accepted with the same result.
  Require(whole);
  const String rebuilt = BuildRequestPacket(password, request.GetSessionKey(), request);
  if (rebuilt.Length() > 0) {
    OXRequest again;
    again = rebuilt;
    Require(again.ParseInitRequest(password, peer) == 1);
    Require(String(again) == String(request) && again.GetSessionKey() == request.GetSessionKey());
  }
  ExerciseAcceptedText(request);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Twofish_initialise();
  SetRequestDebugSink(ReadDebugLine);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  String received;
  received.CopyData(reinterpret_cast<const char*>(data), static_cast<int>(size));
  ParseWith(received, kFuzzPassword);
  ParseWith(received, "");

  String text = "untouched", error;
  if (ParseReplyPacket(received, "fuzz-session", text, error)) {
    Require(ReplyPacketComplete(received) && text.Length() == received.Length() - 4);
  } else {
    Require(text == "untouched" && error.Length() > 0);
  }
  return 0;
}
