// libFuzzer target for the line-break escaping of values: any bytes given to
// the decoder, and the encoder's round trip.
//
// Invariants: the escaped form holds no CR or LF; decoding the escaped form
// gives the input back whenever the input holds no "%0A" or "%0D" of its own
// (those the escaping cannot tell apart); decoding never makes a text longer
// and leaves a text without '%' unchanged; the C-string forms agree with the
// String forms up to the first NUL.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/tqstring.h"
#include "fuzz/fuzz_support.h"
#include "protocol/escaping.h"

namespace {

bool HoldsEscape(const String& s) {
  return s.Pos("%0A", 3) > 0 || s.Pos("%0D", 3) > 0;
}

bool HoldsLineBreak(const String& s) {
  return s.Pos('\r') > 0 || s.Pos('\n') > 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 16)) return 0;
  const String input = jexfuzz::Bytes(data, size);

  const String encoded = jexEncodeStrings(input);
  JEX_REQUIRE(!HoldsLineBreak(encoded));
  const String decoded = jexDecodeStrings(encoded);
  if (!HoldsEscape(input)) JEX_REQUIRE(decoded == input);

  const String plain = jexDecodeStrings(input);
  JEX_REQUIRE(plain.Length() <= input.Length());
  if (input.Pos('%') == 0) JEX_REQUIRE(plain == input);
  // Decoding the escaped form of a decoded text is the identity again when
  // the decoded text holds no escape sequence.
  if (!HoldsEscape(plain)) JEX_REQUIRE(jexDecodeStrings(jexEncodeStrings(plain)) == plain);

  // The C-string forms: len 0 reads up to the NUL, a given len reads exactly.
  const char* bytes = reinterpret_cast<const char*>(data);
  const size_t untilNul = size ? strnlen(bytes, size) : 0;
  if (untilNul < size) {
    String prefix;
    prefix.CopyData(bytes, static_cast<int>(untilNul));
    JEX_REQUIRE(jexEncodeStrings(bytes, 0) == jexEncodeStrings(prefix));
    JEX_REQUIRE(jexDecodeStrings(bytes, 0) == jexDecodeStrings(prefix));
  }
  if (size > 0) {
    JEX_REQUIRE(jexEncodeStrings(bytes, static_cast<int>(size)) == encoded);
    JEX_REQUIRE(jexDecodeStrings(bytes, static_cast<int>(size)) == plain);
  }
  JEX_REQUIRE(jexEncodeStrings(bytes, -1).Length() == 0 &&
              jexDecodeStrings(nullptr, 3).Length() == 0);
  return 0;
}
