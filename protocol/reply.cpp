// JEXReply: building the reply text and turning it into the reply packet
// (see reply.h).
#include "protocol/reply.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "protocol/codec.h"
#include "protocol/escaping.h"

namespace {

constexpr char kLineFeed = '\n';
constexpr char kCarriageReturn = '\r';

// The real form is limited to 34 characters; longer values are cut there.
constexpr int kRealTextSize = 34 + 1;
// Room for any double in "%6.0f": sign and 309 digits.
constexpr int kWholeTextSize = 320;
constexpr int kVarParamsSize = 2048;

// The printed length of snprintf, clamped to what the buffer holds.
int Printed(int written, int bufferSize) {
  if (written < 0) return 0;
  return written < bufferSize ? written : bufferSize - 1;
}

}  // namespace

JEXReply& JEXReply::operator=(const String& text) {
  String::operator=(text);
  return *this;
}

JEXReply& JEXReply::operator=(String&& text) noexcept {
  String::operator=(std::move(text));
  return *this;
}

JEXReply& JEXReply::operator=(const char* text) {
  String::operator=(text);
  return *this;
}

void JEXReply::InitPacket(const char* result, const String& sessionKey) {
  SetResult(result);
  sessionKey_ = sessionKey;
}

void JEXReply::FinalizePacket() {
  CommandSeparatorCheck();
  AddChar(kCarriageReturn);
  String::operator=(EncodeData(*this, sessionKey_, SIZELEN_PACKET));
}

void JEXReply::FinalizePacket(const StreamKey& sessionCipher) {
  CommandSeparatorCheck();
  AddChar(kCarriageReturn);
  String::operator=(sessionCipher.Encode(*this, SIZELEN_PACKET));
}

String& JEXReply::SetResult(const char* code) {
  String::operator=(code);
  if (code) AddChar(kLineFeed);
  return *this;
}

void JEXReply::CommandSeparatorCheck() {
  if (Length() > 0 && (*this)[Length()] != kLineFeed) AddChar(kLineFeed);
}

void JEXReply::AddLine(const char* bytes, int length) {
  CommandSeparatorCheck();
  AddData(bytes, length);
  AddChar(kLineFeed);
}

void JEXReply::AddIntParam(int value) {
  char text[16];
  AddLine(text, Printed(std::snprintf(text, sizeof text, "%d", value), sizeof text));
}

void JEXReply::AddIntParam(double value) {
  char text[kWholeTextSize];
  AddLine(text, Printed(std::snprintf(text, sizeof text, "%6.0f", value), sizeof text));
}

void JEXReply::AddRealParam(double value) {
  char text[kRealTextSize];
  AddLine(text, Printed(std::snprintf(text, sizeof text, "%6.4f", value), sizeof text));
}

void JEXReply::AddBoolParam(int value) {
  AddLine(value ? "1" : "0", 1);
}

void JEXReply::AddTimeParam(const std::tm& time) {
  // Room for six fields of any int value.
  char text[80];
  const int written =
      std::snprintf(text, sizeof text, "%2.2d%2.2d%4.4d%2.2d%2.2d%2.2d", time.tm_mday,
                    time.tm_mon + 1, time.tm_year + 1900, time.tm_hour, time.tm_min, time.tm_sec);
  AddLine(text, Printed(written, sizeof text));
}

void JEXReply::AddTimeParam(const int& seconds) {
  const std::time_t calendar = seconds;
  std::tm local{};
  localtime_r(&calendar, &local);
  AddTimeParam(local);
}

void JEXReply::AddStringParam(const char* text, int encode) {
  if (!text) {
    AddLine(nullptr, 0);
  } else if (encode) {
    const String escaped = jexEncodeStrings(text, 0);
    AddLine(escaped.Data(), escaped.Length());
  } else {
    AddLine(text, static_cast<int>(std::strlen(text)));
  }
}

void JEXReply::AddStringParam(const String& text, int encode) {
  if (encode) {
    const String escaped = jexEncodeStrings(text);
    AddLine(escaped.Data(), escaped.Length());
  } else {
    AddLine(text.Data(), text.Length());
  }
}

void JEXReply::AddVarParams(const char* format, ...) {
  char text[kVarParamsSize];
  va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (written < 0 || written >= kVarParamsSize) return;
  AddStringParam(text, 0);
}
