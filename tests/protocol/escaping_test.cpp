// Tests of the CR/LF escaping of protocol/escaping.
#include "protocol/escaping.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Str(const String& s) {
  return s.Length() == 0 ? std::string() : std::string(s.Data(), static_cast<size_t>(s.Length()));
}

String Bytes(const std::string& text) {
  String s;
  s.AddData(text.data(), static_cast<int>(text.size()));
  return s;
}

struct Case {
  std::string input;
  std::string expected;
};

TEST(Escaping, Encode) {
  const std::vector<Case> cases = {
      {"a\r\nb", "a%0D%0Ab"},
      {"\n", "%0A"},
      {"\r\r", "%0D%0D"},
      {"100%", "100%"},
      {"%0A", "%0A"},  // an escape-like text is not escaped again
      {"plain text", "plain text"},
      {std::string("x\0\ny", 4), std::string("x\0%0Ay", 6)},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Str(jexEncodeStrings(Bytes(c.input))), c.expected) << c.input;
    EXPECT_EQ(Str(jexEncodeStrings(c.input.data(), static_cast<int>(c.input.size()))), c.expected)
        << c.input;
  }
}

TEST(Escaping, Decode) {
  const std::vector<Case> cases = {
      {"a%0D%0Ab", "a\r\nb"},
      {"a%0d", "a%0d"},  // lower-case letter
      {"%0", "%0"},      // incomplete at the end
      {"x%", "x%"},
      {"%0B%1A%%0A", "%0B%1A%\n"},
      {"%%0D", "%\r"},
      {"%0A%0A", "\n\n"},
      {"100%", "100%"},
      {std::string("%0\0A", 4), std::string("%0\0A", 4)},
      {std::string("\0%0A", 4), std::string("\0\n", 2)},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Str(jexDecodeStrings(Bytes(c.input))), c.expected) << c.input;
    EXPECT_EQ(Str(jexDecodeStrings(c.input.data(), static_cast<int>(c.input.size()))), c.expected)
        << c.input;
  }
}

TEST(Escaping, RoundTripOfEveryByte) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  all += "end %0 %% %0a %";
  EXPECT_EQ(Str(jexDecodeStrings(jexEncodeStrings(Bytes(all)))), all);
  // Escaped text holds no line break at all.
  const String encoded = jexEncodeStrings(Bytes(all));
  EXPECT_EQ(encoded.Pos('\n'), 0);
  EXPECT_EQ(encoded.Pos('\r'), 0);
}

TEST(Escaping, LiteralEscapeSequenceIsNotReversible) {
  EXPECT_EQ(Str(jexDecodeStrings(jexEncodeStrings("a%0Ab", 0))), "a\nb");
}

TEST(Escaping, PointerFormLengthConventions) {
  // len 0 reads up to the NUL; a given len reads exactly that many bytes.
  EXPECT_EQ(Str(jexEncodeStrings("a\nb\0c\n", 0)), "a%0Ab");
  EXPECT_EQ(Str(jexEncodeStrings("a\nb\0c\n", 6)), std::string("a%0Ab\0c%0A", 10));
  EXPECT_EQ(Str(jexEncodeStrings("a\nb", 2)), "a%0A");
  EXPECT_EQ(Str(jexDecodeStrings("%0Dx\0%0A", 0)), "\rx");
  EXPECT_EQ(Str(jexDecodeStrings("%0Dx", 2)), "%0") << "len cuts an escape short";

  EXPECT_EQ(jexEncodeStrings(nullptr, 0).Length(), 0);
  EXPECT_EQ(jexEncodeStrings(nullptr, 5).Length(), 0);
  EXPECT_EQ(jexDecodeStrings(nullptr, 0).Length(), 0);
  EXPECT_EQ(jexEncodeStrings("abc", -1).Length(), 0);
  EXPECT_EQ(jexDecodeStrings("abc", -1).Length(), 0);
}

TEST(Escaping, EmptyStringWithStaleBufferGivesEmpty) {
  // Length 0 but a live buffer: the String forms must not fall back to
  // reading up to a NUL.
  String s("x\ny");
  s.Delete(1, 3);
  ASSERT_NE(s.Data(), nullptr);
  s.Data()[0] = '\n';
  EXPECT_EQ(jexEncodeStrings(s).Length(), 0);
  EXPECT_EQ(jexDecodeStrings(s).Length(), 0);
}

}  // namespace
