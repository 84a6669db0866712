// The syslog sender: one BSD-syslog datagram per message over UDP.
#include "net/syslog.h"

#include <cstdio>

#include "net/exchange.h"
#include "net/sockets.h"

namespace {

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

String SyslogTimeStamp(const std::tm& local) {
  char text[64];
  std::snprintf(text, sizeof text, "%2.2d %2.2d:%2.2d:%2.2d", local.tm_mday, local.tm_hour,
                local.tm_min, local.tm_sec);
  if (text[0] == '0') text[0] = ' ';
  const int month = local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0;
  String stamp(kMonths[month]);
  stamp += ' ';
  stamp += text;
  return stamp;
}

String CDateTime() {
  const time_t now = time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return SyslogTimeStamp(local);
}

String BuildSyslogMessage(long long facility, TSyslogSeverity severity, const String& timeStamp,
                          const String& address, const char* tag, const char* message) {
  char priority[48];
  std::snprintf(priority, sizeof priority, "<%lld>", facility * 8 + severity);
  String datagram(priority);
  datagram += timeStamp;
  datagram += ' ';
  datagram += address;
  datagram += ' ';
  datagram += tag ? tag : "";
  datagram += ": ";
  datagram += message ? message : "";
  return datagram;
}

int SendToSysLog(const char* host, int port, int facility, TSyslogSeverity severity,
                 const char* tag, const char* message, String& error) {
  error = "";
  String datagram =
      BuildSyslogMessage(facility, severity, CDateTime(), IP2String(GetMyIP()), tag, message);
  return SendReceiveUDPPacket(host, port, 0, datagram.Data(), nullptr, datagram.Length(), 0, error);
}
