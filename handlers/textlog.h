// Text log tests: incremental scans of a log file for lines matching a search expression.
#pragma once

#include "handlers/handler_row.h"

// The command-table rows of this family.
HandlerRows TextLogCommandRows();
