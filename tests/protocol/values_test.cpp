// Decoders of parameter values: plain and gated forms, const char* and
// String forms.
#include "protocol/values.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(jexDecodeBool, OnlyTheTextOneIsTrue) {
  EXPECT_EQ(jexDecodeBool("1"), 1);
  EXPECT_EQ(jexDecodeBool(String("1")), 1);
  for (const char* text : {"", "0", "11", "1 ", " 1", "true", "2"}) {
    EXPECT_EQ(jexDecodeBool(text), 0) << text;
    EXPECT_EQ(jexDecodeBool(String(text)), 0) << text;
  }
  EXPECT_EQ(jexDecodeBool(static_cast<const char*>(nullptr)), 0);
}

TEST(jexDecodeInt, PlainFormReadsTheLeadingNumber) {
  EXPECT_EQ(jexDecodeInt("12a"), 12);
  EXPECT_EQ(jexDecodeInt(String("12a")), 12);
  EXPECT_EQ(jexDecodeInt(" -42"), -42);
  EXPECT_EQ(jexDecodeInt("x1"), 0);
  EXPECT_EQ(jexDecodeInt(String()), 0);
}

TEST(jexDecodeInt, GatedFormAcceptsDigitsAndMinusOnly) {
  struct Case {
    const char* text;
    int accepted;
    int value;  // stored when accepted; the sentinel stays otherwise
  };
  const std::vector<Case> cases = {
      {"123", 1, 123}, {"-7", 1, -7}, {"-", 1, 0},    {"", 1, 0},    {"--", 1, 0},
      {"12a", 0, 99},  {" 1", 0, 99}, {"1.5", 0, 99}, {"+1", 0, 99},
  };
  for (const Case& c : cases) {
    int out = 99;
    EXPECT_EQ(jexDecodeInt(c.text, &out), c.accepted) << c.text;
    EXPECT_EQ(out, c.value) << c.text;
    out = 99;
    EXPECT_EQ(jexDecodeInt(String(c.text), &out), c.accepted) << c.text;
    EXPECT_EQ(out, c.value) << c.text;
  }
}

TEST(jexDecodeInt64, CarriesLargeValuesInADouble) {
  EXPECT_DOUBLE_EQ(jexDecodeInt64("10737417216"), 10737417216.0);
  EXPECT_DOUBLE_EQ(jexDecodeInt64(String("2.5e3x")), 2500.0);
  double out = -1;
  EXPECT_EQ(jexDecodeInt64("10485759", &out), 1);
  EXPECT_DOUBLE_EQ(out, 10485759.0);
  out = -1;
  EXPECT_EQ(jexDecodeInt64(String("1e3"), &out), 0);
  EXPECT_DOUBLE_EQ(out, -1);
  EXPECT_EQ(jexDecodeInt64(String("-"), &out), 1);
  EXPECT_DOUBLE_EQ(out, 0);
}

TEST(jexDecodeReal, ReadsAsAtof) {
  EXPECT_DOUBLE_EQ(jexDecodeReal("0.5000"), 0.5);
  EXPECT_DOUBLE_EQ(jexDecodeReal(String("  -1.25xyz")), -1.25);
  EXPECT_DOUBLE_EQ(jexDecodeReal("abc"), 0.0);
}

TEST(jexDecodeString, StringFormStopsAtAnEmbeddedNul) {
  String text("12");
  text.AddChar('\0');
  text += "34";
  EXPECT_EQ(jexDecodeInt(text), 12);
  int out = 0;
  EXPECT_EQ(jexDecodeInt(text, &out), 1);
  EXPECT_EQ(out, 12);
}

TEST(jexDecodeTime, FillsTheSixFieldsAsWritten) {
  for (const std::tm& time :
       {jexDecodeTime("05032009140709"), jexDecodeTime(String("05032009140709"))}) {
    EXPECT_EQ(time.tm_mday, 5);
    EXPECT_EQ(time.tm_mon, 3);
    EXPECT_EQ(time.tm_year, 2009);
    EXPECT_EQ(time.tm_hour, 14);
    EXPECT_EQ(time.tm_min, 7);
    EXPECT_EQ(time.tm_sec, 9);
    EXPECT_EQ(time.tm_wday, 0);
    EXPECT_EQ(time.tm_yday, 0);
    EXPECT_EQ(time.tm_isdst, 0);
  }
}

TEST(jexDecodeTime, AnyOtherLengthGivesAZeroRecord) {
  for (const char* text : {"", "0503200914070", "050320091407090"}) {
    const std::tm time = jexDecodeTime(text);
    EXPECT_EQ(time.tm_mday, 0) << text;
    EXPECT_EQ(time.tm_mon, 0) << text;
    EXPECT_EQ(time.tm_year, 0) << text;
    EXPECT_EQ(time.tm_sec, 0) << text;
  }
}

}  // namespace
