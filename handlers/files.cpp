// File and folder tests: counting, CRC, comparing and searching files, existence, folder size and file-system capacity.
#include "handlers/files.h"

HandlerRows FileCommandRows() { return {}; }
