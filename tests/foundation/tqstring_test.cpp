// Tests of String, TStrList and the ASCII helpers of foundation/tqstring.
#include "foundation/tqstring.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Str(const String& s) {
  return s.Length() == 0 ? std::string() : std::string(s.Data(), static_cast<size_t>(s.Length()));
}

String Bytes(const char* p, int n) {
  String s;
  s.AddData(p, n);
  return s;
}

// ---------------------------------------------------------------------------
// Free functions

TEST(FreeFunctions, CaseMappingTouchesOnlyAsciiLetters) {
  EXPECT_EQ(UpCase('a'), 'A');
  EXPECT_EQ(UpCase('z'), 'Z');
  EXPECT_EQ(UpCase('A'), 'A');
  EXPECT_EQ(UpCase('{'), '{');
  EXPECT_EQ(UpCase('`'), '`');
  EXPECT_EQ(LoCase('Z'), 'z');
  EXPECT_EQ(LoCase('@'), '@');
  EXPECT_EQ(LoCase('['), '[');
  EXPECT_EQ(LoCase(static_cast<char>(0xC4)), static_cast<char>(0xC4));

  char text[] = "aB1\xE4z";
  EXPECT_EQ(strupper(text), text);
  EXPECT_STREQ(text, "AB1\xE4Z");
  EXPECT_STREQ(strlower(text), "ab1\xE4z");

  // The counted forms run over NUL bytes.
  char counted[] = {'a', '\0', 'b', 'C'};
  strupper(counted, 3);
  EXPECT_EQ(std::string(counted, 4), std::string("A\0BC", 4));
  strlower(counted, 4);
  EXPECT_EQ(std::string(counted, 4), std::string("a\0bc", 4));
}

TEST(FreeFunctions, IsDecimalNum) {
  struct Case {
    const char* text;
    bool expected;
  };
  for (const Case& c : std::vector<Case>{{"123", true},
                                         {"12-3", true},
                                         {"", true},
                                         {"--", true},
                                         {"1.5", false},
                                         {"+1", false},
                                         {"12 ", false},
                                         {"\xB9", false}}) {
    EXPECT_EQ(isdecimalnum(c.text), c.expected) << '"' << c.text << '"';
  }
  EXPECT_TRUE(isdecimalnum("12x", 2));
  EXPECT_FALSE(isdecimalnum("12x", 3));
  EXPECT_FALSE(isdecimalnum("-1", 2));
  EXPECT_TRUE(isdecimalnum("x", 0));
  const char nulInside[] = {'1', '\0', '2'};
  EXPECT_FALSE(isdecimalnum(nulInside, 3));
}

TEST(FreeFunctions, Mempos) {
  struct Case {
    const char* text;
    int textLen;
    const char* pat;
    int patLen;
    int exact;
    int ignoringCase;
  };
  const Case cases[] = {
      {"abcabc", 6, "abc", 3, 1, 1},    // found at the start
      {"xxabc", 5, "abc", 3, 3, 3},     // found at the very end
      {"abcabc", 6, "cab", 3, 3, 3},    // found in the middle
      {"aBc", 3, "abc", 3, 0, 1},       // case only matters for mempos
      {"abc", 3, "abcd", 4, 0, 0},      // pattern longer than the text
      {"abcd", 3, "d", 1, 0, 0},        // bytes past textLen are not searched
      {"a\0b\0c", 5, "b\0c", 3, 3, 3},  // NUL bytes are ordinary bytes
      {"abc", 0, "a", 1, 0, 0},         // empty text
      {"abc", 3, "a", 0, 0, 0},         // empty pattern
      {nullptr, 3, "a", 1, 0, 0},       // null text
      {"abc", 3, nullptr, 1, 0, 0},     // null pattern
      {"\xC4x", 2, "\xE4", 1, 0, 0},    // no case mapping beyond ASCII
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mempos(c.text, c.textLen, c.pat, c.patLen), c.exact)
        << (c.text ? c.text : "(null)") << " / " << (c.pat ? c.pat : "(null)");
    EXPECT_EQ(memposi(c.text, c.textLen, c.pat, c.patLen), c.ignoringCase)
        << (c.text ? c.text : "(null)") << " / " << (c.pat ? c.pat : "(null)");
  }
}

TEST(FreeFunctions, AsciiClassification) {
  for (int c : {'0', '9', 'a', 'z', 'A', 'Z'}) EXPECT_TRUE(jex::isalnum(c)) << c;
  for (int c : std::initializer_list<int>{'/', ':', '@', '[', '`', '{', '_', ' ', 0, 0xA0, 0xE4,
                                          0xFF, -1}) {
    EXPECT_FALSE(jex::isalnum(c)) << c;
  }
  EXPECT_TRUE(jex::isdigit('0'));
  EXPECT_TRUE(jex::isdigit('9'));
  for (int c : std::initializer_list<int>{'a', '/', ':', 0xB2, -1})
    EXPECT_FALSE(jex::isdigit(c)) << c;
}

// ---------------------------------------------------------------------------
// String storage: capacity policy, fixed capacity, copying and appending

TEST(StringStorage, GrowableCapacityIsNextMultipleOf128StrictlyAbove) {
  const std::pair<int, int> cases[] = {{1, 128},   {127, 128}, {128, 256},
                                       {129, 256}, {255, 256}, {256, 384}};
  for (const auto& [n, capacity] : cases) {
    String s;
    s.SetLength(n);
    EXPECT_EQ(s.Length(), n);
    EXPECT_EQ(s.Capacity(), capacity) << n;
  }
  String s;
  s.SetLength(0);
  EXPECT_EQ(s.Capacity(), 0);
  EXPECT_EQ(s.Data(), nullptr);
}

TEST(StringStorage, GrowthKeepsContentsAndZeroesNewBytes) {
  String s("abc");
  s.SetLength(300);
  ASSERT_EQ(s.Capacity(), 384);
  EXPECT_EQ(std::string(s.Data(), 3), "abc");
  for (int i = 4; i <= s.Capacity(); ++i) ASSERT_EQ(s.Data()[i - 1], '\0') << i;
  s.SetLength(2);  // cut to the bytes "received"
  EXPECT_EQ(Str(s), "ab");
  EXPECT_EQ(s.Capacity(), 128);
}

TEST(StringStorage, FixedCapacityDropsExcess) {
  String s(4);
  EXPECT_TRUE(s.IsFixed());
  EXPECT_EQ(s.Length(), 0);
  ASSERT_EQ(s.Capacity(), 4);
  EXPECT_EQ(std::memcmp(s.Data(), "\0\0\0\0", 4), 0);

  s += "abcdef";
  EXPECT_EQ(Str(s), "abcd");
  s.AddChar('e');
  s += 'f';
  EXPECT_EQ(Str(s), "abcd");

  s = "uvwxyz";  // CopyData truncates as well
  EXPECT_EQ(Str(s), "uvwx");
  EXPECT_EQ(s.Capacity(), 4);

  String partly(5);
  partly += "abc";
  partly.AddData("defgh", 5);
  EXPECT_EQ(Str(partly), "abcde");

  EXPECT_FALSE(String(0).IsFixed());
  EXPECT_EQ(String(0).Capacity(), 0);
}

TEST(StringStorage, OperatorPlusGivesGrowableString) {
  String fixed(2);
  fixed += "ab";
  const String sum = fixed + "cdef";
  EXPECT_EQ(Str(sum), "abcdef");
  EXPECT_FALSE(sum.IsFixed());
  EXPECT_EQ(Str(fixed + 'c'), "abc");
  EXPECT_EQ(Str(fixed + String("xy")), "abxy");
  EXPECT_EQ(Str(fixed + static_cast<const char*>(nullptr)), "ab");
}

TEST(StringStorage, CopyDataReleasesOnNullOrEmpty) {
  for (int len : {0, -1}) {
    String s(8);
    s += "abc";
    s.CopyData(len == 0 ? "xyz" : "", len);
    EXPECT_EQ(s.Length(), 0);
    EXPECT_EQ(s.Capacity(), 0);
    EXPECT_EQ(s.Data(), nullptr);
    EXPECT_FALSE(s.IsFixed()) << "the fixed flag goes with the buffer";
    s += "now growable";
    EXPECT_EQ(Str(s), "now growable");
  }
  String s("abc");
  s.CopyData(nullptr, 3);
  EXPECT_EQ(s.Length(), 0);
  EXPECT_EQ(s.Capacity(), 0);
  s = static_cast<const char*>(nullptr);
  EXPECT_EQ(s.Length(), 0);
}

TEST(StringStorage, CopyDataFromOwnBuffer) {
  String s("abcdef");
  s.CopyData(s.Data(), 2);  // the string's own buffer: nothing happens
  EXPECT_EQ(Str(s), "abcdef");
  s.CopyData(s.Data() + 2, 3);  // a part of it is moved to the front
  EXPECT_EQ(Str(s), "cde");
  const String& alias = s;
  s = alias;
  EXPECT_EQ(Str(s), "cde");
}

TEST(StringStorage, CopyKeepsNulBytesAndIsDeep) {
  const String a = Bytes("a\0b", 3);
  String b(a);
  EXPECT_EQ(Str(b), std::string("a\0b", 3));
  EXPECT_NE(a.Data(), b.Data());
  b.Data()[0] = 'x';
  EXPECT_EQ(a[1], 'a');
  String c;
  c = a;
  EXPECT_EQ(Str(c), std::string("a\0b", 3));
  String d(String("moved"));
  EXPECT_EQ(Str(d), "moved");
}

TEST(StringStorage, AddDataEdgeCases) {
  String s("ab");
  s.AddData(nullptr, 5);
  s.AddData("cd\0e", -1);  // up to the NUL
  s.AddData("xyz", 0);
  s.AddData("f\0g", 3);
  EXPECT_EQ(Str(s), std::string("abcdf\0g", 7));
}

TEST(StringStorage, SelfAppendAcrossReallocation) {
  // 100 bytes doubled to 200 outgrows the 128-byte block: the source must
  // survive the reallocation of its own buffer.
  String s(std::string(100, 'q').c_str());
  s.Data()[99] = 'Z';
  ASSERT_EQ(s.Capacity(), 128);
  s += s;
  EXPECT_EQ(s.Length(), 200);
  EXPECT_EQ(s.Capacity(), 256);
  EXPECT_EQ(s[100], 'Z');
  EXPECT_EQ(s[200], 'Z');
  EXPECT_EQ(s[101], 'q');

  String part("0123456789");
  part.AddData(part.Data() + 5, 5);
  EXPECT_EQ(Str(part), "012345678956789");
}

TEST(StringStorage, ByteByByteGrowth) {
  String s;
  std::string expected;
  for (int i = 0; i < 1000; ++i) {
    const char c = static_cast<char>('a' + i % 26);
    s.AddChar(c);
    expected += c;
  }
  EXPECT_EQ(Str(s), expected);
  EXPECT_EQ(s.Capacity(), 1024);
}

TEST(StringStorage, SetZeroMakesACString) {
  String s("abcdef");
  s = "xy";  // "cdef" stays behind in the buffer
  EXPECT_STREQ(s.SetZero().Data(), "xy");

  String full(3);
  full += "abc";
  full.SetZero();
  EXPECT_EQ(full.Capacity(), 3 + 128);
  EXPECT_STREQ(full.Data(), "abc");

  String exact;
  exact.SetLength(200);
  std::memset(exact.Data(), 'x', 200);
  exact += std::string(56, 'y').c_str();  // length == capacity == 256
  ASSERT_EQ(exact.Capacity(), 256);
  exact.SetZero();
  EXPECT_EQ(exact.Capacity(), 512);  // prAllocMem(256 + 128)
  EXPECT_EQ(std::strlen(exact.Data()), 256u);

  String empty;
  EXPECT_STREQ(empty.SetZero().Data(), "");
}

TEST(StringStorage, StrCpy) {
  const String s("hello");
  char buf[8];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(s.StrCpy(buf, 4), buf);
  EXPECT_STREQ(buf, "hel");
  EXPECT_STREQ(s.StrCpy(buf, -1), "hello");
  EXPECT_STREQ(s.StrCpy(buf, 1), "");

  std::memset(buf, '#', sizeof buf);
  s.StrCpy(buf, 0);
  String().StrCpy(buf, 8);
  EXPECT_EQ(buf[0], '#') << "size 0 or an empty string leave dst untouched";
  EXPECT_EQ(s.StrCpy(nullptr, 8), nullptr);
}

// ---------------------------------------------------------------------------
// String text operations

TEST(StringText, Equality) {
  EXPECT_TRUE(String() == static_cast<const char*>(nullptr));
  EXPECT_TRUE(String() == "");
  EXPECT_FALSE(String("a") == static_cast<const char*>(nullptr));
  EXPECT_TRUE(String("abc") == "abc");
  EXPECT_FALSE(String("abc") == "ABC");
  EXPECT_FALSE(String("abc") == "abcd");
  EXPECT_FALSE(Bytes("ab\0", 3) == "ab") << "lengths differ";
  EXPECT_TRUE(String("abc") != "ab");
  EXPECT_TRUE(Bytes("a\0b", 3) == Bytes("a\0b", 3));
  EXPECT_FALSE(Bytes("a\0b", 3) == Bytes("a\0c", 3));
  EXPECT_TRUE(String() == String(5));
  EXPECT_TRUE(String("x") != String("y"));
}

TEST(StringText, Pos) {
  const String s("abcabc");
  EXPECT_EQ(s.Pos('a'), 1);
  EXPECT_EQ(s.Pos('c'), 3);
  EXPECT_EQ(s.Pos('z'), 0);
  EXPECT_EQ(s.Pos("abc"), 1);
  EXPECT_EQ(s.Pos("ca"), 3);
  EXPECT_EQ(s.Pos("cax"), 0);
  EXPECT_EQ(s.Pos("bcx", 2), 2);
  EXPECT_EQ(s.Pos("ABC"), 0);
  EXPECT_EQ(s.Pos(""), 0);
  EXPECT_EQ(s.Pos(static_cast<const char*>(nullptr)), 0);
  EXPECT_EQ(s.Pos(String("bc")), 2);
  EXPECT_EQ(s.Pos(String()), 0);
  EXPECT_EQ(String().Pos('a'), 0);
  EXPECT_EQ(String().Pos("a"), 0);
  EXPECT_EQ(Bytes("a\0b", 3).Pos('\0'), 2);
  EXPECT_EQ(Bytes("a\0b", 3).Pos(Bytes("\0b", 2)), 2);
}

TEST(StringText, Copy) {
  struct Case {
    int start;
    int count;
    const char* expected;
  };
  const String s("abcde");
  for (const Case& c : std::vector<Case>{{1, 5, "abcde"},
                                         {2, 2, "bc"},
                                         {3, 100, "cde"},
                                         {3, INT_MAX, "cde"},
                                         {5, 1, "e"},
                                         {6, 1, ""},
                                         {9, 2, ""},
                                         {2, 0, ""},
                                         {2, -3, ""}}) {
    const String part = s.Copy(c.start, c.count);
    EXPECT_EQ(Str(part), c.expected) << c.start << ", " << c.count;
    EXPECT_FALSE(part.IsFixed());
  }
}

TEST(StringText, Delete) {
  struct Case {
    int start;
    int count;
    const char* expected;
  };
  for (const Case& c : std::vector<Case>{{1, 1, "bcde"},
                                         {2, 3, "ae"},
                                         {4, 100, "abc"},
                                         {5, 1, "abcd"},
                                         {6, 1, "abcde"},
                                         {0, 2, "abcde"},
                                         {2, 0, "abcde"},
                                         {1, 5, ""}}) {
    String s("abcde");
    s.Delete(c.start, c.count);
    EXPECT_EQ(Str(s), c.expected) << c.start << ", " << c.count;
  }
}

TEST(StringText, TrimRemovesBytesUpToSpaceAndAllHighBytes) {
  struct Case {
    const char* text;
    const char* expected;
  };
  for (const Case& c : std::vector<Case>{{"\t x \xA0", "x"},
                                         {"   ", ""},
                                         {"\x01\x1Fz y\r\n", "z y"},
                                         {"\xFF\x80z\x7F", "z\x7F"},  // 0x7F is not blank
                                         {"!", "!"},
                                         {"", ""}}) {
    String s(c.text);
    s.Trim();
    EXPECT_EQ(Str(s), c.expected) << '"' << c.text << '"';
  }
  String blank(" \t ");
  blank.Trim();
  EXPECT_EQ(blank.Capacity(), 0) << "an all-blank string releases its buffer";
  EXPECT_EQ(blank.Data(), nullptr);

  String nul = Bytes("\0a\0", 3);
  nul.Trim();
  EXPECT_EQ(Str(nul), "a");
}

TEST(StringText, RemoveRepeats) {
  struct Case {
    const char* text;
    const char* expected;
  };
  for (const Case& c : std::vector<Case>{{"a   b  c", "a b c"},
                                         {"   a", "  a"},  // a leading run keeps two
                                         {"  a", "  a"},
                                         {" a", " a"},
                                         {"a    ", "a "},
                                         {"x", "x"},
                                         {"", ""},
                                         {"abc", "abc"}}) {
    String s(c.text);
    s.RemoveRepeats(' ');
    EXPECT_EQ(Str(s), c.expected) << '"' << c.text << '"';
  }
  String commas("a,,,,b");
  commas.RemoveRepeats(',');
  EXPECT_EQ(Str(commas), "a,b");
}

TEST(StringText, ReplaceAll) {
  struct Case {
    const char* text;
    const char* what;
    const char* with;
    int caseSensitive;
    const char* expected;
  };
  for (const Case& c : std::vector<Case>{{"abab", "ab", "Z", 1, "ZZ"},
                                         {"ab", "ab", "Z", 1, "Z"},
                                         {"xaBy", "AB", "-", 0, "x-y"},
                                         {"xaBy", "AB", "-", 1, "xaBy"},
                                         {"aaa", "a", "aa", 1, "aaaaaa"},  // no rescan
                                         {"aaaa", "aa", "b", 1, "bb"},     // non-overlapping
                                         {"a.b.c", ".", "", 1, "abc"},
                                         {"abc", "", "x", 1, "abc"},
                                         {"abc", "b", nullptr, 1, "ac"},
                                         {"", "a", "b", 1, ""}}) {
    const String s(c.text);
    EXPECT_EQ(Str(s.ReplaceAll(c.what, c.with, c.caseSensitive)), c.expected)
        << c.text << " / " << c.what;
  }
}

TEST(StringText, GetWord) {
  struct Case {
    const char* text;
    int index;
    const char* expected;
  };
  for (const Case& c : std::vector<Case>{{"a,,b", 1, "a"},
                                         {"a,,b", 2, ""},
                                         {"a,,b", 3, "b"},
                                         {"a,b", 3, ""},
                                         {"a,b", 0, "a"},
                                         {"a,b", -4, "a"},
                                         {"one,two,three", 2, "two"},
                                         {"a,b,", 3, ""},
                                         {",x", 1, ""},
                                         {",x", 2, "x"},
                                         {"", 1, ""}}) {
    EXPECT_EQ(Str(String(c.text).GetWord(c.index, ',')), c.expected) << c.text << " #" << c.index;
  }
}

TEST(StringText, Search) {
  struct Case {
    const char* text;
    const char* what;
    int caseSensitive;
    int wholeWord;
    int expected;
  };
  for (const Case& c : std::vector<Case>{{"Concat cat", "cat", 0, 1, 8},
                                         {"Concat cat", "cat", 0, 0, 4},
                                         {"cats", "cat", 0, 1, 0},
                                         {"Concat CAT", "cat", 1, 0, 4},
                                         {"Concat CAT", "cat", 1, 1, 0},
                                         {"Concat CAT", "cat", 0, 1, 8},
                                         {"cat", "cat", 1, 1, 1},
                                         {"(cat)", "cat", 1, 1, 2},
                                         {"x_cat", "cat", 1, 1, 3},  // '_' is no letter
                                         {"\xE4"
                                          "cat\xE4",
                                          "cat", 1, 1, 2},
                                         {"aaa b", "aa", 1, 1, 0},
                                         {"aaa aa", "aa", 1, 1, 5},  // overlapping tries
                                         {"abc", "", 1, 0, 0},
                                         {"", "a", 1, 0, 0}}) {
    EXPECT_EQ(String(c.text).Search(c.what, c.caseSensitive, c.wholeWord), c.expected)
        << c.text << " / " << c.what << " cs=" << c.caseSensitive << " ww=" << c.wholeWord;
  }
}

TEST(StringText, LowerCase) {
  String s = Bytes("AbC\0D\xC4", 6);
  EXPECT_EQ(&s.LowerCase(), &s);
  EXPECT_EQ(Str(s), std::string("abc\0d\xC4", 6));
}

// ---------------------------------------------------------------------------
// TStrList

TEST(StrList, AddIndexDeleteKeepOrder) {
  TStrList list;
  EXPECT_EQ(list.Count(), 0);
  list.Add(String("one"));
  list.Add(String());
  list.Add(Bytes("t\0o", 3));
  list.Add(String("four"));
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(Str(list[0]), "one");
  EXPECT_EQ(list[1].Length(), 0);
  EXPECT_EQ(Str(list[2]), std::string("t\0o", 3));

  list.Delete(1);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(Str(list[0]), "one");
  EXPECT_EQ(Str(list[1]), std::string("t\0o", 3));
  EXPECT_EQ(Str(list[2]), "four");
  list.DeleteLast();
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(Str(list[1]), std::string("t\0o", 3));
  list.Delete(0);
  list.Delete(0);
  EXPECT_EQ(list.Count(), 0);
}

TEST(StrList, ItemsAreCopies) {
  String source("abc");
  TStrList list;
  list.Add(source);
  source.Data()[0] = 'X';
  String item = list[0];
  item.Data()[1] = 'Y';
  EXPECT_EQ(Str(list[0]), "abc");
}

TEST(StrList, ManyItemsAndClear) {
  TStrList list;
  for (int i = 0; i < 300; ++i) list.Add(String(std::to_string(i).c_str()));
  ASSERT_EQ(list.Count(), 300);
  EXPECT_EQ(Str(list[0]), "0");
  EXPECT_EQ(Str(list[128]), "128");
  EXPECT_EQ(Str(list[299]), "299");
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  list.Add(String("again"));
  EXPECT_EQ(Str(list[0]), "again");
}

using StrListDeathTest = ::testing::Test;

TEST_F(StrListDeathTest, OutOfRangeIndexAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TStrList list;
  list.Add(String("only"));
  EXPECT_DEATH(list.Delete(1), "Assertion failed: 0, file tqstring, function Delete, line 471");
  EXPECT_DEATH(list.Delete(-1), "function Delete, line 471");
  EXPECT_DEATH(list[1], "Assertion failed: 0, file tqstring, function operator\\[\\], line 495");
  EXPECT_DEATH(list[-1], "function operator\\[\\], line 495");
  TStrList empty;
  EXPECT_DEATH(empty.DeleteLast(), "function Delete, line 471");
}

}  // namespace
