// Decoders of parameter values (see values.h).
#include "protocol/values.h"

#include <cstdlib>
#include <cstring>

namespace {

const char* OrEmpty(const char* text) {
  return text ? text : "";
}

// The NUL-terminated view of a String copy.
const char* Terminated(String& text) {
  return text.SetZero().Data();
}

// atoi of the `count` characters at p.
int FieldValue(const char* p, int count) {
  char field[8] = {};
  std::memcpy(field, p, static_cast<size_t>(count));
  return std::atoi(field);
}

}  // namespace

int jexDecodeBool(const char* text) {
  return std::strcmp(OrEmpty(text), "1") == 0 ? 1 : 0;
}
int jexDecodeBool(String text) {
  return jexDecodeBool(Terminated(text));
}

int jexDecodeInt(const char* text) {
  return std::atoi(OrEmpty(text));
}
int jexDecodeInt(String text) {
  return jexDecodeInt(Terminated(text));
}

int jexDecodeInt(const char* text, int* out) {
  text = OrEmpty(text);
  if (!isdecimalnum(text)) return 0;
  *out = std::atoi(text);
  return 1;
}
int jexDecodeInt(String text, int* out) {
  return jexDecodeInt(Terminated(text), out);
}

double jexDecodeInt64(const char* text) {
  return std::atof(OrEmpty(text));
}
double jexDecodeInt64(String text) {
  return jexDecodeInt64(Terminated(text));
}

int jexDecodeInt64(const char* text, double* out) {
  text = OrEmpty(text);
  if (!isdecimalnum(text)) return 0;
  *out = std::atof(text);
  return 1;
}
int jexDecodeInt64(String text, double* out) {
  return jexDecodeInt64(Terminated(text), out);
}

double jexDecodeReal(const char* text) {
  return std::atof(OrEmpty(text));
}
double jexDecodeReal(String text) {
  return jexDecodeReal(Terminated(text));
}

std::tm jexDecodeTime(const char* text) {
  std::tm time{};
  text = OrEmpty(text);
  if (std::strlen(text) != 14) return time;
  time.tm_mday = FieldValue(text, 2);
  time.tm_mon = FieldValue(text + 2, 2);
  time.tm_year = FieldValue(text + 4, 4);
  time.tm_hour = FieldValue(text + 8, 2);
  time.tm_min = FieldValue(text + 10, 2);
  time.tm_sec = FieldValue(text + 12, 2);
  return time;
}
std::tm jexDecodeTime(String text) {
  return jexDecodeTime(Terminated(text));
}
