// Decoding of the textual values carried in request parameters: booleans,
// integers, 64-bit integers carried in a double, reals and times.
//
// Each decoder has a form over a NUL-terminated text and a form over a String
// (taken by value, made NUL-terminated, then decoded the same way; bytes after
// an embedded NUL are not seen). A null text reads as the empty text. The
// gated forms with an output argument return 1 and store the value, or return
// 0 and leave the output untouched.
#pragma once

#include <ctime>

#include "foundation/tqstring.h"

// 1 when the text is exactly "1", else 0.
int jexDecodeBool(const char* text);
int jexDecodeBool(String text);

// The leading decimal integer of the text as atoi reads it (0 when none).
int jexDecodeInt(const char* text);
int jexDecodeInt(String text);
// Only for a text made of digits and '-' (isdecimalnum; the empty text and
// "-" qualify): stores atoi of it and returns 1; otherwise returns 0.
int jexDecodeInt(const char* text, int* out);
int jexDecodeInt(String text, int* out);

// The number as atof reads it.
double jexDecodeInt64(const char* text);
double jexDecodeInt64(String text);
// The isdecimalnum gate of jexDecodeInt, then atof.
int jexDecodeInt64(const char* text, double* out);
int jexDecodeInt64(String text, double* out);

// The number as atof reads it.
double jexDecodeReal(const char* text);
double jexDecodeReal(String text);

// DDMMYYYYhhmmss: for a text of exactly 14 characters, tm_mday, tm_mon,
// tm_year, tm_hour, tm_min and tm_sec take the values of their digit pairs
// (the month and the year as written, not rebased), each read as atoi reads
// it; no other field is set. Any other text gives an all-zero record.
std::tm jexDecodeTime(const char* text);
std::tm jexDecodeTime(String text);
