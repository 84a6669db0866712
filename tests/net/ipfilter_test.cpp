// Tests of the IP access filter: list syntax, ranges, and the problem texts.
#include "net/ipfilter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

unsigned int Ip(const char* dotted) {
  return inet_addr(dotted);
}

struct FilterCase {
  const char* list;
  const char* peer;
  int admitted;
  const char* error;
};

// Readable case names in test output: the list and the peer address.
// Control characters are shown as \xNN so that names stay on one line.
void PrintTo(const FilterCase& c, std::ostream* os) {
  *os << '"';
  for (const char* p = c.list; *p != '\0'; ++p) {
    const unsigned char byte = static_cast<unsigned char>(*p);
    if (byte < 32 || byte > 126) {
      static const char kHex[] = "0123456789ABCDEF";
      *os << "\\x" << kHex[byte >> 4] << kHex[byte & 15];
    } else {
      *os << *p;
    }
  }
  *os << "\" " << c.peer;
}

class IPAllowedTable : public ::testing::TestWithParam<FilterCase> {};

TEST_P(IPAllowedTable, AnswerAndFirstProblem) {
  const FilterCase& c = GetParam();
  String error("stale text");
  EXPECT_EQ(IPAllowed(Ip(c.peer), String(c.list), error), c.admitted);
  EXPECT_EQ(std::string(error.Data() ? error.Data() : "", error.Length()), c.error);
}

const char kRanges[] = "10.0.0.1,192.168.1.10-192.168.1.50";
const char kReversed[] = "10.0.0.1,192.168.1.50-192.168.1.10";

const FilterCase kFilterCases[] = {
    // A single address admits exactly itself.
    {"127.0.0.1", "127.0.0.1", 1, ""},
    {"127.0.0.1", "127.0.0.2", 0, ""},
    // Ranges include both ends, in either order; the number order is the
    // host order, so 10.0.1.0 lies inside 10.0.0.250-10.0.1.5.
    {kRanges, "10.0.0.1", 1, ""},
    {kRanges, "192.168.1.10", 1, ""},
    {kRanges, "192.168.1.30", 1, ""},
    {kRanges, "192.168.1.50", 1, ""},
    {kRanges, "192.168.1.51", 0, ""},
    {kRanges, "192.168.1.9", 0, ""},
    {kReversed, "192.168.1.10", 1, ""},
    {kReversed, "192.168.1.30", 1, ""},
    {kReversed, "192.168.1.50", 1, ""},
    {kReversed, "192.168.1.51", 0, ""},
    {"10.0.0.250-10.0.1.5", "10.0.1.0", 1, ""},
    // The letter is dropped, "10.0.0." does not convert and ends the scan.
    {"10.0.0.x,127.0.0.1", "127.0.0.1", 0, "Invalid IP address (10.0.0.) specified"},
    // Addresses separated only by a space and a semicolon run together.
    {"127.0.0.1 ;10.0.0.1", "127.0.0.1", 0, "Invalid IP address (127.0.0.110.0.0.1) specified"},
    {"127.0.0.1 ;10.0.0.1", "10.0.0.1", 0, "Invalid IP address (127.0.0.110.0.0.1) specified"},
    // A comma and a space still separate items; the space is reported.
    {"127.0.0.1, 10.0.0.1", "127.0.0.1", 1, "Illegal character ( ) specified"},
    {"127.0.0.1, 10.0.0.1", "10.0.0.1", 1, "Illegal character ( ) specified"},
    {"127.0.0.1,\t10.0.0.1", "10.0.0.2", 0, "Illegal character (\t) specified"},
    // An invalid second address leaves a single-address item and the scan
    // goes on; the first problem is the one reported.
    {"10.0.0.1-10.0.0.,10.0.0.5", "10.0.0.3", 0, "Invalid IP address (10.0.0.) specified"},
    {"10.0.0.1-10.0.0.,10.0.0.5", "10.0.0.1", 1, "Invalid IP address (10.0.0.) specified"},
    {"10.0.0.1-10.0.0.,10.0.0.5-1.2.3.4.,10.0.0.6", "10.0.0.6", 1,
     "Invalid IP address (10.0.0.) specified"},
    // A trailing hyphen is no range; 0.0.0.0 ends the list.
    {"10.0.0.1-", "10.0.0.1", 1, ""},
    {"0.0.0.0,127.0.0.1", "127.0.0.1", 0, ""},
    // Nothing to admit.
    {"", "127.0.0.1", 0, ""},
    {"  ;  ", "127.0.0.1", 0, "Illegal character ( ) specified"},
};

INSTANTIATE_TEST_SUITE_P(Lists, IPAllowedTable, ::testing::ValuesIn(kFilterCases));

TEST(IPAllowed, StopsAtTheFirstAdmittingItem) {
  // The invalid item after the admitting one is never examined.
  String error;
  EXPECT_EQ(IPAllowed(Ip("10.0.0.1"), String("10.0.0.1,999.1.1.1"), error), 1);
  EXPECT_TRUE(error == "");
}

TEST(IPAllowed, ByteAboveAsciiAndNulAreIllegalCharacters) {
  String list("127.0.0.1,");
  list.AddChar('\0');
  list += "10.0.0.1";
  String error;
  EXPECT_EQ(IPAllowed(Ip("10.0.0.1"), list, error), 1);
  String expected("Illegal character (");
  expected.AddChar('\0');
  expected += ") specified";
  EXPECT_TRUE(error == expected);

  String high("127.0.0.1\xE9");
  EXPECT_EQ(IPAllowed(Ip("127.0.0.1"), high, error), 1);
  EXPECT_TRUE(error == "Illegal character (\xE9) specified");
}

TEST(IsListSetChar, OnlyDigitsDotHyphenComma) {
  for (int c = -128; c < 128; ++c) {
    const char ch = static_cast<char>(c);
    const bool member = (ch >= '0' && ch <= '9') || ch == '.' || ch == '-' || ch == ',';
    EXPECT_EQ(islistsetchar(ch), member ? 1 : 0) << "character " << c;
  }
}

TEST(GetItem, TakesItemsOffTheFront) {
  String work("10.0.0.1,10.0.0.9-10.0.0.2,10.0.0.3");
  String error;
  unsigned int low = 7, high = 7;

  getitem(work, low, high, error);
  EXPECT_EQ(low, 0x0A000001u);
  EXPECT_EQ(high, 0u);
  EXPECT_TRUE(work == "10.0.0.9-10.0.0.2,10.0.0.3");

  getitem(work, low, high, error);
  EXPECT_EQ(low, 0x0A000009u);
  EXPECT_EQ(high, 0x0A000002u);
  EXPECT_TRUE(work == "10.0.0.3");

  getitem(work, low, high, error);
  EXPECT_EQ(low, 0x0A000003u);
  EXPECT_TRUE(work == "");

  getitem(work, low, high, error);
  EXPECT_EQ(low, 0u);
  EXPECT_TRUE(error == "");
}

TEST(GetItem, InvalidFirstAddressLeavesWorkUntouched) {
  String work("..1.2.3.4.5,10.0.0.1");
  String error;
  unsigned int low = 7, high = 7;
  getitem(work, low, high, error);
  EXPECT_EQ(low, 0u);
  EXPECT_EQ(high, 0u);
  EXPECT_TRUE(error == "Invalid IP address (1.2.3.4.5) specified");
  EXPECT_TRUE(work == "..1.2.3.4.5,10.0.0.1");
}

TEST(GetItem, EmptySecondAddressIsReported) {
  String work("10.0.0.1-,10.0.0.2");
  String error;
  unsigned int low = 0, high = 7;
  getitem(work, low, high, error);
  EXPECT_EQ(low, 0x0A000001u);
  EXPECT_EQ(high, 0u);
  EXPECT_TRUE(error == "Invalid IP address () specified");
  EXPECT_TRUE(work == "10.0.0.2");
}

}  // namespace
