// The handler part of the command table: the rows of every handler family,
// gathered once. The server's own management rows come after these.
#pragma once

#include "handlers/handler_row.h"

// All handler rows; built on first use, the same span afterwards.
HandlerRows HandlerCommandRows();
