// Search expressions: tokens, Polish order and error texts of the parser, the
// grouping rules, evaluation on lines, and the compiled form giving the same
// answers as the one-shot search.
#include "handlers/expr.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using jextest::Bytes;
using jextest::Str;

std::vector<std::string> Polish(const std::string& expression, std::string* error = nullptr) {
  TExprParser parser(PriorityTable1, sizeof PriorityTable1);
  String expr = Bytes(expression);
  const int ok = parser.Expr2Polish(expr, 0);
  if (error) *error = Str(parser.Error);
  std::vector<std::string> out;
  if (!ok) return {"<error>"};
  for (int i = 0; i < parser.Output.Count(); ++i) out.push_back(Str(parser.Output[i]));
  return out;
}

TEST(ExprParser, TokensAndPolishOrder) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Polish("'a' or 'b' and 'c'"), (V{"'a'", "'b'", "or", "'c'", "and"}));
  EXPECT_EQ(Polish("'a' and not 'b' or 'c'"), (V{"'a'", "'b'", "'c'", "or", "not", "and"}));
  EXPECT_EQ(Polish("( 'a' or 'b' ) and 'c'"), (V{"'a'", "'b'", "or", "'c'", "and"}));
  EXPECT_EQ(Polish("'a' AND 'b'"), (V{"'a'", "'b'", "and"})) << "separate words in any case";
  EXPECT_EQ(Polish("\"it's\" or 'say \"x\"'"), (V{"\"it's\"", "'say \"x\"'", "or"}));
  EXPECT_EQ(Polish("404"), (V{"404"}));
  EXPECT_EQ(Polish(""), V{});
  EXPECT_EQ(Polish("('a'"), (V{"'a'", "("})) << "an unclosed '(' stays as an operand";
}

TEST(ExprParser, OperatorsInsideBareWords) {
  TExprParser parser(PriorityTable1, sizeof PriorityTable1);
  String expr("order android");
  std::vector<std::string> tokens;
  for (String t = parser.GetToken(expr); t.Length(); t = parser.GetToken(expr))
    tokens.push_back(Str(t));
  EXPECT_EQ(tokens, (std::vector<std::string>{"or", "der", "and", "roid"}));
  EXPECT_EQ(parser.TokenInPos(String("xnot"), 2), 1);
  EXPECT_EQ(parser.TokenInPos(String("NOT"), 1), -1) << "positions compare exactly";
  EXPECT_EQ(parser.TokenInPriority(String("OR")), 1);
  EXPECT_EQ(parser.TokenSPriority(String(")")), 65520);
  EXPECT_EQ(parser.TokenInPriority(String("'x'")), -1);
}

TEST(ExprParser, ErrorTexts) {
  std::string error;
  EXPECT_EQ(Polish("'abc", &error), std::vector<std::string>{"<error>"});
  EXPECT_EQ(error, "Unterminated string: 'abc");
  Polish("error", &error);
  EXPECT_EQ(error, "Unknown operator: \"err\"") << "the bare word splits at its \"or\"";
  Polish("warning", &error);
  EXPECT_EQ(error, "Unknown operator: \"warning\"");
  Polish("'a' )", &error);
  EXPECT_EQ(error, "Missing \"(\"");
}

TEST(ExprParser, CheckOnlyLeavesTheOutputAlone) {
  TExprParser parser(PriorityTable1, sizeof PriorityTable1);
  String first("'x' or 'y'");
  ASSERT_EQ(parser.Expr2Polish(first, 0), 1);
  String second("'a' and 'b'");
  EXPECT_EQ(parser.Expr2Polish(second, 1), 1);
  EXPECT_EQ(parser.Output.Count(), 3);
  EXPECT_EQ(Str(parser.Output[0]), "'x'");
}

// The whole conversion reads the text in place: an expression as long as the
// largest request (1 MiB) converts in one pass instead of copying what is left
// after every token, and what a failed conversion did not read is handed back.
TEST(ExprParser, RequestSizedExpressionsAndTheUnreadRest) {
  constexpr int kDepth = 1 << 19;
  const std::string nested = std::string(kDepth, '(') + "'a'" + std::string(kDepth, ')');
  EXPECT_EQ(Polish(nested), std::vector<std::string>{"'a'"});
  std::string chain = "'a'";
  while (chain.size() < (1u << 20)) chain += " or 'a'";
  TExprParser parser(PriorityTable1, sizeof PriorityTable1);
  String expr = Bytes(chain);
  ASSERT_EQ(parser.Expr2Polish(expr, 1), 1);
  EXPECT_EQ(expr.Length(), 0);

  String rest("  'a' ) 'b'  \t");
  EXPECT_EQ(parser.Expr2Polish(rest, 0), 0);
  EXPECT_EQ(Str(rest), " 'b'");
  String unterminated(" 'a' and 'b  ");
  EXPECT_EQ(parser.Expr2Polish(unterminated, 0), 0);
  EXPECT_EQ(Str(parser.Error), "Unterminated string: 'b");
}

TEST(BoolStackTest, OverflowAndUnderflowSetTheFlag) {
  BoolStack stack(1);
  stack.Push(1);
  EXPECT_FALSE(stack.Error());
  stack.Push(0);
  EXPECT_TRUE(stack.Error());
  BoolStack empty(3);
  EXPECT_EQ(empty.Pop(), 0);
  EXPECT_TRUE(empty.Error());
  BoolStack one(3);
  one.Push(1);
  one.And();
  EXPECT_TRUE(one.Error());
}

struct ExprCase {
  const char* expression;
  const char* text;
  int caseSensitive;
  int wholeWord;
  int expected;
};

const ExprCase kCases[] = {
    {"'error' and not 'disk'", "Disk error", 0, 0, 0},
    {"'error' and not 'disk'", "Disk error", 1, 0, 1},
    {"'a' or 'b' and 'c'", "a", 0, 0, 0},
    {"'a' or 'b' and 'c'", "a c", 0, 0, 1},
    {"not 'x' or 'y'", "y", 0, 0, 0},
    {"not 'x' or 'y'", "z", 0, 0, 1},
    {"( 'a' or 'b' ) and 'c'", "b c", 0, 0, 1},
    {"'a' )", "a", 0, 0, 0},
    {"('a'", "a", 0, 0, 0},
    {"\"it's\"", "well it's here", 0, 0, 1},
    {"'say \"hi\"'", "they say \"hi\"", 0, 0, 1},
    {"error", "error", 0, 0, 0},
    {"'abc", "abc", 0, 0, 0},
    {"'cat'", "a cat.", 0, 1, 1},
    {"'cat'", "concatenate", 0, 1, 0},
    {"'cat'", "concatenate", 0, 0, 1},
    {"", "anything", 0, 0, 0},
    {"not", "anything", 0, 0, 0},
    {"'x' and", "x", 0, 0, 0},
    {"404", "code 404", 0, 0, 1},  // searched as its inner text "0"
    {"12", "12", 0, 0, 0},         // inner text empty: never found
    {"'ERR' AND 'disk'", "err on DISK", 0, 0, 1},
    {"'ERR' AND 'disk'", "err on DISK", 1, 0, 0},
    {"not not 'a'", "a", 0, 0, 1},
    {"'a' and ('b' or not 'c')", "a c", 0, 0, 0},
    {"'a' and ('b' or not 'c')", "a d", 0, 0, 1},
};

TEST(SearchExpression, TableOfCases) {
  for (const ExprCase& c : kCases) {
    SCOPED_TRACE(std::string(c.expression) + " on " + c.text);
    EXPECT_EQ(
        SearchForExpression(String(c.text), String(c.expression), c.caseSensitive, c.wholeWord),
        c.expected);
  }
}

// The compiled form, given lower-cased text when the search ignores case.
int Compiled(const std::string& expression, const std::string& text, int caseSensitive,
             int wholeWord) {
  TCompiledExpression compiled(Bytes(expression), caseSensitive);
  std::string searched = text;
  if (!caseSensitive) LowerBytes(searched.data(), searched.data(), searched.size());
  return compiled.Matches(searched.data(), searched.size(), wholeWord);
}

TEST(CompiledExpression, AgreesWithTheTable) {
  for (const ExprCase& c : kCases) {
    SCOPED_TRACE(std::string(c.expression) + " on " + c.text);
    EXPECT_EQ(Compiled(c.expression, c.text, c.caseSensitive, c.wholeWord), c.expected);
  }
}

// Random expressions over a few operands against random lines.
TEST(CompiledExpression, AgreesWithTheOneShotSearchOnRandomInput) {
  std::mt19937 random(7);
  const char* pieces[] = {"'ab'", "'B'", "'c d'", "and", "or", "not", "(", ")", "'x'"};
  const char alphabet[] = "abBcd xX.";
  for (int i = 0; i < 2000; ++i) {
    std::string expression;
    for (int k = 0, n = 1 + random() % 7; k < n; ++k) {
      expression += pieces[random() % std::size(pieces)];
      expression += ' ';
    }
    std::string text;
    for (int k = 0, n = random() % 12; k < n; ++k)
      text += alphabet[random() % (sizeof alphabet - 1)];
    const int caseSensitive = random() % 2;
    const int wholeWord = random() % 2;
    SCOPED_TRACE(expression + " on '" + text + "'");
    ASSERT_EQ(Compiled(expression, text, caseSensitive, wholeWord),
              SearchForExpression(Bytes(text), Bytes(expression), caseSensitive, wholeWord));
  }
}

// The vectorised byte search against the C library's on random texts with
// repeated prefixes, at every length and alignment around its stride.
TEST(FindBytesTest, AgreesWithMemmem) {
  std::mt19937 random(3);
  const std::string alphabet = "aab\nc";
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    for (int k = 0, n = random() % 70; k < n; ++k) text += alphabet[random() % alphabet.size()];
    std::string what;
    for (int k = 0, n = 1 + random() % 5; k < n; ++k) what += alphabet[random() % alphabet.size()];
    const size_t offset = random() % 8;
    const std::string shifted = std::string(offset, 'z') + text;
    const char* mine = FindBytes(shifted.data() + offset, text.size(), what.data(), what.size());
    const void* theirs = memmem(shifted.data() + offset, text.size(), what.data(), what.size());
    ASSERT_EQ(static_cast<const void*>(mine), theirs) << "'" << text << "' / '" << what << "'";
  }
  EXPECT_EQ(FindBytes("abc", 3, "", 0), nullptr);
}

TEST(FindOccurrenceTest, WholeWordsAndPieces) {
  const std::string text = "xerr: err";
  EXPECT_EQ(FindOccurrence(text.data(), text.size(), 0, "err", 3, false, true), 1u);
  EXPECT_EQ(FindOccurrence(text.data(), text.size(), 0, "err", 3, true, true), 6u);
  // The byte before `from` is context: "err" at 1 is preceded by 'x'.
  EXPECT_EQ(FindOccurrence(text.data(), 4, 1, "err", 3, true, true), SIZE_MAX);
  // An occurrence touching the end waits when more bytes follow.
  EXPECT_EQ(FindOccurrence(text.data(), text.size(), 5, "err", 3, true, false), SIZE_MAX);
  EXPECT_EQ(FindOccurrence(text.data(), text.size(), 5, "err", 3, false, false), 6u);
  EXPECT_EQ(FindOccurrence(text.data(), text.size(), 0, "", 0, false, true), SIZE_MAX);
}

}  // namespace
