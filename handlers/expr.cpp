// Search expressions: boolean expressions of words and quoted strings matched against a line.
#include "handlers/expr.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int kOpen = 65535;

bool IsQuote(char c) {
  return c == '\'' || c == '"';
}

// The searched text of an operand token: without its first and last byte.
String OperandText(const String& token) {
  if (token.Length() <= 2) return String();
  return token.Copy(2, token.Length() - 2);
}

// The bytes String::Trim removes at the ends of a text.
bool IsBlankByte(char c) {
  return static_cast<signed char>(c) <= 32;
}

bool IsAlnumByte(char c) {
  return jex::isalnum(static_cast<unsigned char>(c));
}

}  // namespace

const TPriorityItem PriorityTable1[5] = {
    {"(", kOpen, 0}, {"not", kOpen, 0}, {")", 1, 65520}, {"and", 1, 1}, {"or", 1, 1},
};

BoolStack::BoolStack(int capacity)
    : items_(std::make_unique<unsigned char[]>(capacity > 0 ? static_cast<size_t>(capacity) : 1)),
      capacity_(capacity > 0 ? capacity : 0) {}

void BoolStack::Push(int b) {
  if (count_ < capacity_) {
    items_[static_cast<size_t>(count_++)] = b ? 1 : 0;
  } else {
    error_ = true;
  }
}

int BoolStack::Pop() {
  if (count_ == 0) {
    error_ = true;
    return 0;
  }
  return items_[static_cast<size_t>(--count_)];
}

void BoolStack::Not() {
  if (count_ == 0) {
    error_ = true;
    return;
  }
  unsigned char& top = items_[static_cast<size_t>(count_ - 1)];
  top = top ? 0 : 1;
}

void BoolStack::And() {
  if (count_ < 2) {
    error_ = true;
    return;
  }
  const int a = Pop();
  const int b = Pop();
  Push(a && b);
}

void BoolStack::Or() {
  if (count_ < 2) {
    error_ = true;
    return;
  }
  const int a = Pop();
  const int b = Pop();
  Push(a || b);
}

TExprParser::TExprParser(const TPriorityItem* table, int tableSize)
    : table_(table), rows_(tableSize / static_cast<int>(sizeof(TPriorityItem))) {}

int TExprParser::TokenInPos(const String& expr, int pos) const {
  for (int row = 0; row < rows_; ++row) {
    const String& token = table_[row].token;
    if (pos < 1 || pos - 1 + token.Length() > expr.Length()) continue;
    if (std::memcmp(expr.Data() + pos - 1, token.Data(), static_cast<size_t>(token.Length())) == 0)
      return row;
  }
  return -1;
}

int TExprParser::TokenInPriority(String token) const {
  token.LowerCase();
  for (int row = 0; row < rows_; ++row) {
    if (table_[row].token == token) return table_[row].inPriority;
  }
  return -1;
}

int TExprParser::TokenSPriority(String token) const {
  token.LowerCase();
  for (int row = 0; row < rows_; ++row) {
    if (table_[row].token == token) return table_[row].stackPriority;
  }
  return -1;
}

String TExprParser::TokenAt(const String& expr, int& pos, int last) {
  const int row = TokenInPos(expr, pos);
  if (row >= 0 && pos - 1 + table_[row].token.Length() <= last) {
    pos += table_[row].token.Length();
    return table_[row].token;
  }

  const int start = pos;
  if (IsQuote(expr[start])) {
    const char quote = expr[start];
    for (int i = start + 1; i <= last; ++i) {
      if (expr[i] == quote) {
        pos = i + 1;
        return expr.Copy(start, i - start + 1);
      }
    }
    Error = String("Unterminated string: ") + expr.Copy(start, last - start + 1);
    return String();
  }

  int end = start + 1;
  while (end <= last && expr[end] != ' ' && TokenInPos(expr, end) < 0) ++end;
  pos = end;
  return expr.Copy(start, end - start);
}

String TExprParser::GetToken(String& expr) {
  expr.Trim();
  if (expr.Length() == 0) return String();
  int pos = 1;
  const String token = TokenAt(expr, pos, expr.Length());
  if (token.Length() > 0) expr.Delete(1, pos - 1);
  return token;
}

int TExprParser::Expr2Polish(String& expr, int checkOnly) {
  Error = String();
  if (!checkOnly) Output.Clear();
  std::vector<String> stack;
  auto moveTop = [&] {
    if (!checkOnly) Output.Add(stack.back());
    stack.pop_back();
  };

  // The expression is read in place, from pos up to its last non-blank
  // byte; what was not read is handed back in expr at the end.
  int pos = 1;
  int last = expr.Length();
  while (last > 0 && IsBlankByte(expr[last])) --last;
  auto giveBackRest = [&] { expr = pos <= last ? expr.Copy(pos, last - pos + 1) : String(); };

  for (;;) {
    while (pos <= last && IsBlankByte(expr[pos])) ++pos;
    if (pos > last) break;
    String token = TokenAt(expr, pos, last);
    if (token.Length() == 0 || Error.Length() != 0) break;
    const int priority = TokenInPriority(token);
    if (priority == -1) {
      if (!IsQuote(token[1]) && !isdecimalnum(token.Data(), token.Length())) {
        Error = String("Unknown operator: \"") + token + "\"";
        giveBackRest();
        return 0;
      }
      if (!checkOnly) Output.Add(token);
      continue;
    }
    token.LowerCase();
    while (!stack.empty() && TokenSPriority(stack.back()) >= priority) moveTop();
    if (token == ")") {
      while (!stack.empty() && stack.back() != "(") moveTop();
      if (stack.empty()) {
        Error = "Missing \"(\"";
        giveBackRest();
        return 0;
      }
      stack.pop_back();
    } else {
      stack.push_back(token);
    }
  }
  giveBackRest();
  if (Error.Length() != 0) return 0;
  while (!stack.empty()) moveTop();
  return 1;
}

int SearchForExpression(const String& text, const String& expression, int caseSensitive,
                        int wholeWord) {
  TExprParser parser(PriorityTable1, sizeof PriorityTable1);
  String expr(expression);
  if (!parser.Expr2Polish(expr, 0)) return 0;
  BoolStack stack(parser.Output.Count() + 2);
  for (int i = 0; i < parser.Output.Count(); ++i) {
    const String token = parser.Output[i];
    if (token == "not") {
      stack.Not();
    } else if (token == "or") {
      stack.Or();
    } else if (token == "and") {
      stack.And();
    } else {
      stack.Push(text.Search(OperandText(token), caseSensitive, wholeWord) > 0);
    }
    if (stack.Error()) return 0;
  }
  return stack.Count() == 1 && stack.Pop() ? 1 : 0;
}

const char* FindBytes(const char* text, size_t length, const char* what, size_t whatLength) {
  if (whatLength == 0 || whatLength > length) return nullptr;
  if (whatLength == 1) return static_cast<const char*>(std::memchr(text, what[0], length));
  const size_t lastStart = length - whatLength;
  const char first = what[0];
  const char last = what[whatLength - 1];
  size_t at = 0;
#if defined(__SSE2__)
  // Sixteen candidate starts at a time: only those whose first and last
  // bytes both match are compared in full, so long stretches that share
  // prefixes with the text cost no more than those that do not.
  const __m128i firsts = _mm_set1_epi8(first);
  const __m128i lasts = _mm_set1_epi8(last);
  for (; at + 15 <= lastStart; at += 16) {
    const __m128i heads = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
    const __m128i tails =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at + whatLength - 1));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_and_si128(_mm_cmpeq_epi8(heads, firsts), _mm_cmpeq_epi8(tails, lasts))));
    while (mask) {
      const size_t start = at + static_cast<size_t>(__builtin_ctz(mask));
      if (std::memcmp(text + start + 1, what + 1, whatLength - 2) == 0) return text + start;
      mask &= mask - 1;
    }
  }
#endif
  for (; at <= lastStart; ++at) {
    if (text[at] == first && text[at + whatLength - 1] == last &&
        std::memcmp(text + at + 1, what + 1, whatLength - 2) == 0)
      return text + at;
  }
  return nullptr;
}

size_t FindOccurrence(const char* text, size_t length, size_t from, const char* what,
                      size_t whatLength, bool wholeWord, bool endIsFinal) {
  if (whatLength == 0 || from >= length) return SIZE_MAX;
  while (from + whatLength <= length) {
    const char* hit = FindBytes(text + from, length - from, what, whatLength);
    if (!hit) return SIZE_MAX;
    const size_t start = static_cast<size_t>(hit - text);
    const size_t end = start + whatLength;
    if (!wholeWord) return start;
    if (end == length && !endIsFinal) return SIZE_MAX;
    const bool clearBefore = start == 0 || !IsAlnumByte(text[start - 1]);
    const bool clearAfter = end == length || !IsAlnumByte(text[end]);
    if (clearBefore && clearAfter) return start;
    from = start + 1;
  }
  return SIZE_MAX;
}

void LowerBytes(char* dst, const char* src, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(src[i]);
    dst[i] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
}

TCompiledExpression::TCompiledExpression(const String& expression, int caseSensitive) {
  TExprParser parser(PriorityTable1, sizeof PriorityTable1);
  String expr(expression);
  if (!parser.Expr2Polish(expr, 0)) return;
  // The stack depth depends on the order of tokens only, so misuse (an
  // operator without operands, values left over) is known before any line.
  int depth = 0;
  for (int i = 0; i < parser.Output.Count(); ++i) {
    const String token = parser.Output[i];
    if (token == "not") {
      if (depth < 1) return;
      steps_.push_back({Op::kNot, 0});
    } else if (token == "or" || token == "and") {
      if (depth < 2) return;
      --depth;
      steps_.push_back({token == "or" ? Op::kOr : Op::kAnd, 0});
    } else {
      String operand = OperandText(token);
      if (!caseSensitive) operand.LowerCase();
      if (static_cast<size_t>(operand.Length()) > longest_) longest_ = operand.Length();
      steps_.push_back({Op::kOperand, static_cast<int>(operands_.size())});
      operands_.push_back(operand);
      ++depth;
    }
  }
  usable_ = depth == 1;
}

int TCompiledExpression::Evaluate(const std::vector<char>& found) const {
  if (!usable_) return 0;
  // Depth was checked at construction: no overflow or underflow here.
  std::vector<char> stack;
  stack.reserve(steps_.size());
  for (const Step& step : steps_) {
    switch (step.op) {
      case Op::kOperand:
        stack.push_back(found[static_cast<size_t>(step.operand)]);
        break;
      case Op::kNot:
        stack.back() = !stack.back();
        break;
      case Op::kAnd: {
        const char a = stack.back();
        stack.pop_back();
        stack.back() = a && stack.back();
        break;
      }
      case Op::kOr: {
        const char a = stack.back();
        stack.pop_back();
        stack.back() = a || stack.back();
        break;
      }
    }
  }
  return stack.back() ? 1 : 0;
}

int TCompiledExpression::Matches(const char* text, size_t length, int wholeWord) const {
  if (!usable_) return 0;
  std::vector<char> found(operands_.size());
  for (size_t i = 0; i < operands_.size(); ++i) {
    const String& operand = operands_[i];
    found[i] =
        FindOccurrence(text, length, 0, operand.Data(), static_cast<size_t>(operand.Length()),
                       wholeWord != 0, true) != SIZE_MAX;
  }
  return Evaluate(found);
}
