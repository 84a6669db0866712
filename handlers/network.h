// TCP and UDP service tests and the network, syslog and command actions.
#pragma once

#include "handlers/handler_row.h"

// The command-table rows of this family.
HandlerRows NetworkCommandRows();
