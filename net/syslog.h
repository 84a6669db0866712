// The syslog sender: one BSD-syslog datagram per message over UDP.
//
// A datagram reads "<PRI>Mmm dd hh:mm:ss ADDRESS TAG: MESSAGE", with PRI =
// facility * 8 + severity, the local time with the day of the month padded
// by a space ("Feb  5"), and ADDRESS the agent's own IPv4 address in dotted
// form (0.0.0.0 when the host name cannot be resolved). No terminating zero,
// no line end.
#pragma once

#include <ctime>

#include "foundation/tqstring.h"

// Syslog severity, 0 (emergency) to 7 (debug).
using TSyslogSeverity = int;

// The time stamp of a datagram ("Mmm dd hh:mm:ss") for the current local
// time, and for a given local time.
String CDateTime();
String SyslogTimeStamp(const std::tm& local);

// The whole datagram text for the given time stamp and address.
String BuildSyslogMessage(long long facility, TSyslogSeverity severity, const String& timeStamp,
                          const String& address, const char* tag, const char* message);

// Sends one datagram with the current time and the agent's address to
// host:port. Returns the number of bytes sent, or a negative network result
// code with the reason in error (empty on success).
int SendToSysLog(const char* host, int port, int facility, TSyslogSeverity severity,
                 const char* tag, const char* message, String& error);
