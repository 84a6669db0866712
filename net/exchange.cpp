// One-shot TCP and UDP exchanges with a host, and the syslog sender.
#include "net/exchange.h"
