// The global run flags and server mutexes (see flags.h).
#include "server/flags.h"

TJEXFlags::TJEXFlags() : StartTime(std::time(nullptr)) {}

TJEXFlags JEXFlags;
std::mutex thread_mutex;
std::mutex upgrade_mutex;
