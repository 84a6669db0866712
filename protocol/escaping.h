// Line-break escaping of request, reply and configuration values: a value
// that contains CR or LF travels as one line with those bytes written as
// "%0D" and "%0A". Every other byte, '%' included, stands for itself, so the
// escaping is not reversible for a text that already contains "%0A" or "%0D".
//
// All functions are stateless and callable from any thread.
#pragma once

#include "foundation/tqstring.h"

// The escaped form of len bytes of text: LF becomes "%0A", CR "%0D". len 0
// means up to the NUL; a null text or a negative len gives an empty string.
String jexEncodeStrings(const char* text, int len);
// The same over all bytes of s (NUL bytes included).
String jexEncodeStrings(const String& s);

// The unescaped form of len bytes of text, scanned left to right: each
// complete "%0A" becomes LF and each "%0D" CR (upper-case letter only); any
// other '%' passes unchanged. len 0 means up to the NUL; a null text or a
// negative len gives an empty string.
String jexDecodeStrings(const char* text, int len);
// The same over all bytes of s (NUL bytes included).
String jexDecodeStrings(const String& s);
