// libFuzzer target for the search expressions of the text log and file
// commands: parsing into Polish order, the per-line evaluation and the
// compiled form, and the byte search under both.
//
// Input: one byte of options (bit 0 case-sensitive, bit 1 whole word), the
// expression up to the first LF, then the line. Invariants: the compiled
// expression gives the per-line result on the same line (an unusable one
// never matches there either); a syntax check alone agrees with a full
// conversion; the vectorised byte search finds the first occurrence that a
// plain search finds.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/tqstring.h"
#include "fuzz/fuzz_support.h"
#include "handlers/expr.h"

namespace {

// The first occurrence, found the slow and obvious way.
const char* PlainFind(const char* text, size_t length, const char* what, size_t whatLength) {
  if (whatLength == 0 || whatLength > length) return nullptr;
  for (size_t at = 0; at + whatLength <= length; ++at) {
    if (std::memcmp(text + at, what, whatLength) == 0) return text + at;
  }
  return nullptr;
}

void CheckParser(const String& expression) {
  TExprParser full(PriorityTable1, sizeof PriorityTable1);
  TExprParser check(PriorityTable1, sizeof PriorityTable1);
  String forFull(expression), forCheck(expression);
  const int converted = full.Expr2Polish(forFull, 0);
  const int checked = check.Expr2Polish(forCheck, 1);
  JEX_REQUIRE(converted == checked);
  JEX_REQUIRE(check.Output.Count() == 0);
  if (!converted) JEX_REQUIRE(full.Error.Length() > 0);
}

void CheckCompiled(const String& expression, const String& line, int caseSensitive, int wholeWord) {
  const int expected = SearchForExpression(line, expression, caseSensitive, wholeWord);
  const TCompiledExpression compiled(expression, caseSensitive);
  if (!compiled.Usable()) {
    JEX_REQUIRE(expected == 0);
    return;
  }
  String text(line);
  if (!caseSensitive && text.Length() > 0) LowerBytes(text.Data(), text.Data(), text.Length());
  const int got = compiled.Matches(text.Data(), static_cast<size_t>(text.Length()), wholeWord);
  JEX_REQUIRE(got == expected);
  size_t longest = 0;
  for (int i = 0; i < compiled.OperandCount(); ++i) {
    const size_t length = static_cast<size_t>(compiled.Operand(i).Length());
    if (length > longest) longest = length;
  }
  JEX_REQUIRE(compiled.LongestOperand() == longest);
}

void CheckByteSearch(const String& what, const String& line) {
  const size_t length = static_cast<size_t>(line.Length());
  const size_t whatLength = static_cast<size_t>(what.Length());
  const char* found = FindBytes(line.Data(), length, what.Data(), whatLength);
  JEX_REQUIRE(found == PlainFind(line.Data(), length, what.Data(), whatLength));
  const size_t offset =
      FindOccurrence(line.Data(), length, 0, what.Data(), whatLength, false, true);
  JEX_REQUIRE(found ? offset == static_cast<size_t>(found - line.Data()) : offset == SIZE_MAX);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 8192) return 0;
  const int caseSensitive = data[0] & 1;
  const int wholeWord = (data[0] >> 1) & 1;
  const char* rest = reinterpret_cast<const char*>(data + 1);
  const size_t restLength = size - 1;
  const void* lf = std::memchr(rest, '\n', restLength);
  const size_t expressionLength =
      lf ? static_cast<size_t>(static_cast<const char*>(lf) - rest) : restLength;
  String expression, line;
  expression.CopyData(rest, static_cast<int>(expressionLength));
  if (lf) {
    line.CopyData(rest + expressionLength + 1, static_cast<int>(restLength - expressionLength - 1));
  }

  CheckParser(expression);
  CheckCompiled(expression, line, caseSensitive, wholeWord);
  CheckByteSearch(expression, line);
  return 0;
}
