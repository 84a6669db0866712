// TCP and UDP service tests and the network, syslog and command actions.
#include "handlers/network.h"

HandlerRows NetworkCommandRows() { return {}; }
