// Text log tests: incremental scans of a log file for lines matching a search expression.
#include "handlers/textlog.h"

HandlerRows TextLogCommandRows() { return {}; }
