// CR/LF escaping of protocol and configuration values (see escaping.h).
#include "protocol/escaping.h"

#include <cstring>

namespace {

constexpr char kLF = 10;
constexpr char kCR = 13;

// Resolves the "len 0: up to the NUL" convention; -1 for an unusable input.
int InputLength(const char* text, int len) {
  if (!text || len < 0) return -1;
  return len == 0 ? static_cast<int>(std::strlen(text)) : len;
}

// Both directions copy the plain bytes between two special spots in one go.
String Encode(const char* text, int len) {
  String out;
  int plainStart = 0;
  for (int i = 0; i < len; ++i) {
    const char c = text[i];
    if (c != kLF && c != kCR) continue;
    out.AddData(text + plainStart, i - plainStart);
    out.AddData(c == kLF ? "%0A" : "%0D", 3);
    plainStart = i + 1;
  }
  out.AddData(text + plainStart, len - plainStart);
  return out;
}

String Decode(const char* text, int len) {
  String out;
  int plainStart = 0;
  int i = 0;
  while (i < len) {
    const bool escape = len - i >= 3 && text[i] == '%' && text[i + 1] == '0' &&
                        (text[i + 2] == 'A' || text[i + 2] == 'D');
    if (!escape) {
      ++i;
      continue;
    }
    out.AddData(text + plainStart, i - plainStart);
    out.AddChar(static_cast<char>(text[i + 2] - 55));  // 'A' - 55 = LF, 'D' - 55 = CR
    i += 3;
    plainStart = i;
  }
  out.AddData(text + plainStart, len - plainStart);
  return out;
}

}  // namespace

String jexEncodeStrings(const char* text, int len) {
  len = InputLength(text, len);
  return len < 0 ? String() : Encode(text, len);
}

String jexEncodeStrings(const String& s) {
  return Encode(s.Data(), s.Length());
}

String jexDecodeStrings(const char* text, int len) {
  len = InputLength(text, len);
  return len < 0 ? String() : Decode(text, len);
}

String jexDecodeStrings(const String& s) {
  return Decode(s.Data(), s.Length());
}
