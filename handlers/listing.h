// Folder listings and the fixed answers of the commands this platform does not support.
#pragma once

#include "handlers/handler_row.h"

// The command-table rows of this family.
HandlerRows ListingCommandRows();
