// Folder listings and the fixed answers of the commands this platform does not support.
#include "handlers/listing.h"

HandlerRows ListingCommandRows() { return {}; }
