// File and folder tests: counting, CRC, comparing and searching files, existence, folder size and file-system capacity.
#pragma once

#include "handlers/handler_row.h"

// The command-table rows of this family.
HandlerRows FileCommandRows();
