// The reply under construction: a result code line, result lines each ended
// by LF, and finally the encrypted reply packet.
//
// Value forms written by the Add... operations:
//   AddIntParam(int)     "%d"
//   AddIntParam(double)  "%6.0f"  a whole number, at least 6 columns
//   AddRealParam         "%6.4f"  four decimals, at least 6 columns, at most 34 characters
//   AddBoolParam         "1" for non-zero, "0" for zero
//   AddTimeParam         DDMMYYYYhhmmss, local time
//   AddStringParam       the text as given, or escaped by jexEncodeStrings
// Each first ends the current line (CommandSeparatorCheck), then appends the
// value and LF.
#pragma once

#include <ctime>

#include "foundation/tqstring.h"
#include "protocol/codec.h"

class JEXReply : public String {
 public:
  JEXReply() = default;
  JEXReply(const JEXReply&) = default;
  JEXReply(JEXReply&&) noexcept = default;
  JEXReply& operator=(const JEXReply&) = default;
  JEXReply& operator=(JEXReply&&) noexcept = default;
  ~JEXReply() = default;

  // Replace the text only; the session key stays.
  JEXReply& operator=(const String& text);
  JEXReply& operator=(String&& text) noexcept;
  JEXReply& operator=(const char* text);

  // Text = result followed by LF (a null result leaves the text empty); the
  // session key is stored for FinalizePacket.
  void InitPacket(const char* result, const String& sessionKey);

  // Turns the finished reply text into the reply packet in place: the text
  // ends with LF, gets one CR, and is replaced by the 4-byte little-endian
  // length and the text encrypted under the session key.
  void FinalizePacket();
  // The same with the session key already prepared (it must be the key the
  // reply was initialised with).
  void FinalizePacket(const StreamKey& sessionCipher);

  // Replaces the whole text by code and LF (a null code empties it) and
  // returns the text, to which a reason may be appended with +=.
  String& SetResult(const char* code);

  // Appends LF when the text is not empty and does not end with LF.
  void CommandSeparatorCheck();

  void AddIntParam(int value);
  // A 64-bit integer carried in a double.
  void AddIntParam(double value);
  void AddRealParam(double value);
  void AddBoolParam(int value);
  void AddTimeParam(const std::tm& time);
  // Calendar seconds, converted to local time.
  void AddTimeParam(const int& seconds);
  // encode non-zero: escaped by jexEncodeStrings. A null text adds an empty line.
  void AddStringParam(const char* text, int encode);
  void AddStringParam(const String& text, int encode);
  // printf-style; the line is added only when the formatted text has fewer
  // than 2048 characters, else (or when formatting fails) nothing is added.
  void AddVarParams(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  // CommandSeparatorCheck, the bytes, LF.
  void AddLine(const char* bytes, int length);

  String sessionKey_;
};
