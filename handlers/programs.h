// Program, script, process and CPU tests: external programs and the configured scripts.
#pragma once

#include "handlers/handler_row.h"

// The command-table rows of this family.
HandlerRows ProgramCommandRows();
