// Console and log-file messages. Every event of the agent goes through
// `showmessage`, which time-stamps it, prints it on the console in interactive
// mode and appends it to the success, failure and verbose logs chosen by its
// class and the settings. One whole message is written under `showmutex`.
#pragma once

#include <netinet/in.h>

#include <mutex>

#include "foundation/tqstring.h"

enum MsgType { mtSuccess = 0, mtFailure = 1, mtDebug = 2, mtInfo = 3 };

// The address of messages that concern no peer.
inline constexpr in_addr LOCAL = {0};

extern std::mutex showmutex;

// fmt is a printf format when `formatted` is non-zero, else the literal text.
void showmessage(const char* fmt, in_addr addr, MsgType type, int formatted, ...)
    __attribute__((format(printf, 1, 5)));
// Appends text to the file; a name without a directory goes next to the
// configuration file. Failures are silent.
void writelog(String fileName, const char* text);
