// Reporting of failed programming-error checks (see assertion.h).
#include "foundation/assertion.h"

#include <cstdio>
#include <cstdlib>

void JexAssertFail(const char* expression, const char* source, const char* function, int line) {
  std::fprintf(stderr, "Assertion failed: %s, file %s, function %s, line %d\n", expression, source,
               function, line);
  std::fflush(stderr);
  std::abort();
}
