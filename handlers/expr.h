// Search expressions: boolean expressions of words and quoted strings matched against a line.
//
// An expression combines quoted strings with "and", "or", "not" and
// parentheses, e.g. 'error' and not ('disk' or 'tape'). TExprParser turns it
// into Polish (postfix) order with a two-priority operator-precedence table;
// each operand is then a substring search in the line and the operators are
// applied on a stack of booleans.
//
// Grouping that users rely on: "and" and "or" have one priority and group
// from left to right; "not" covers everything after it up to the closing
// parenthesis of its group or the end; operators are recognised inside bare
// words ('order' yields "or" and 'der'). Every problem (syntax, a stack
// underflow) gives "no match".
//
// TCompiledExpression converts once and evaluates many lines with the same
// results as SearchForExpression; everything here is safe to use from several
// threads as long as each uses its own objects.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "foundation/tqstring.h"

struct TPriorityItem {
  String token;
  int inPriority;     // when the token arrives from the expression
  int stackPriority;  // when the token lies on the operator stack
};

// "(", "not", ")", "and", "or" with their priorities, in this order.
extern const TPriorityItem PriorityTable1[5];

// A fixed-capacity stack of booleans whose error flag records any overflow or
// underflow and is never cleared.
class BoolStack {
 public:
  explicit BoolStack(int capacity);
  void Push(int b);
  int Pop();
  void Not();
  void And();
  void Or();
  int Count() const { return count_; }
  bool Error() const { return error_; }

 private:
  std::unique_ptr<unsigned char[]> items_;
  int count_ = 0;
  int capacity_;
  bool error_ = false;
};

class TExprParser {
 public:
  // tableSize is the table's size in bytes (sizeof of the array).
  TExprParser(const TPriorityItem* table, int tableSize);

  // Index of the first row whose token stands in expr at 1-based pos
  // (exact, case-sensitive), or -1.
  int TokenInPos(const String& expr, int pos) const;
  // Input / stack priority of the row equal to the lower-cased token, or -1.
  int TokenInPriority(String token) const;
  int TokenSPriority(String token) const;
  // Removes the next token from the front of expr; empty at the end or on an
  // error (then Error is set).
  String GetToken(String& expr);
  // 1 when expr (consumed) converts into Output, else 0 with Error set. With
  // checkOnly the syntax is checked and Output is left alone.
  int Expr2Polish(String& expr, int checkOnly);

  TStrList Output;
  String Error;

 private:
  // The token that starts at 1-based pos of expr[1, last] (no blanks at
  // pos), pos moved past it; empty with Error set for an unterminated
  // string. Reading in place keeps a long expression's conversion linear.
  String TokenAt(const String& expr, int& pos, int last);

  const TPriorityItem* table_;
  int rows_;
};

// 1 when text satisfies expression, else 0.
int SearchForExpression(const String& text, const String& expression, int caseSensitive,
                        int wholeWord);

// The first occurrence of the whatLength bytes of what in text[0, length),
// exact bytes; null when there is none or what is empty.
const char* FindBytes(const char* text, size_t length, const char* what, size_t whatLength);

// 0-based offset of the first occurrence of what in text[from, length) that
// counts; SIZE_MAX when none does. With wholeWord an occurrence counts only
// when the byte before it (text[start - 1], none at 0) and the byte after it
// are not ASCII letters or digits. When endIsFinal is false the bytes after
// text[length) exist but are not here yet, so an occurrence touching the end
// is left for a later call. An empty what is never found.
size_t FindOccurrence(const char* text, size_t length, size_t from, const char* what,
                      size_t whatLength, bool wholeWord, bool endIsFinal);

// ASCII lower-casing of n bytes from src into dst (which may equal src).
void LowerBytes(char* dst, const char* src, size_t n);

// An expression converted once, for evaluating many lines.
class TCompiledExpression {
 public:
  // Operands are lower-cased here when caseSensitive is 0; the caller then
  // hands in lower-cased text.
  TCompiledExpression(const String& expression, int caseSensitive);

  // False when the expression can never match (syntax error, stack misuse,
  // not exactly one value at the end).
  bool Usable() const { return usable_; }
  int OperandCount() const { return static_cast<int>(operands_.size()); }
  const String& Operand(int i) const { return operands_[static_cast<size_t>(i)]; }
  // The longest operand, for the overlap of text searched in pieces.
  size_t LongestOperand() const { return longest_; }
  // 1 when the expression holds given which operands were found, else 0.
  int Evaluate(const std::vector<char>& found) const;
  // Searches every operand in text (already lower-cased when the expression
  // is not case-sensitive) and evaluates.
  int Matches(const char* text, size_t length, int wholeWord) const;

 private:
  enum class Op : unsigned char { kOperand, kNot, kAnd, kOr };
  struct Step {
    Op op;
    int operand;
  };
  std::vector<Step> steps_;
  std::vector<String> operands_;  // the text between the quotes
  size_t longest_ = 0;
  bool usable_ = false;
};
