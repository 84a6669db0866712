// Programming-error checks. A failed check prints the expression together with
// the source unit, function and line it names, then aborts the process. The
// source names are the agent's historic unit names ("tqstring", "ciplib",
// "jex_const"), so the messages stay stable across refactorings of the files.
#pragma once

[[noreturn]] void JexAssertFail(const char* expression, const char* source, const char* function,
                                int line);

// Checks `cond`; on failure reports `expr_text` as the failed expression.
#define JEX_ASSERT(cond, expr_text, source, function, line)        \
  do {                                                             \
    if (!(cond)) JexAssertFail(expr_text, source, function, line); \
  } while (0)
