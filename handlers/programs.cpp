// Program, script, process and CPU tests: external programs and the configured scripts.
#include "handlers/programs.h"

HandlerRows ProgramCommandRows() { return {}; }
