// The status record and the "GetInfo", "GetSettings" and "SetSettings"
// handlers (see status.h).
#include "config/status.h"

#include <sys/utsname.h>

#include <span>

#include "config/settings.h"
#include "protocol/escaping.h"
#include "protocol/values.h"

TAgentStatus AgentStatus;

const char* const BoolConst[2] = {"0", "1"};

namespace {

// A flag's text, safe for any value a flag field might hold.
const char* BoolText(int flag) {
  return BoolConst[flag != 0 ? 1 : 0];
}

// A test or action that "GetInfo" offers, with the flag that enables it.
struct OfferedItem {
  const char* name;
  int TJEXSettings::*flag;
};

// The order of these lists is the order of the names and of the digits in
// the reply; the monitoring server pairs them by position.
constexpr OfferedItem kOfferedTests[] = {
    {"TCP", &TJEXSettings::EnableTCP},
    {"UDP", &TJEXSettings::EnableUDP},
    {"UNC", &TJEXSettings::EnableUNC},
    {"Folder Size", &TJEXSettings::EnableFolderSize},
    {"Count Files", &TJEXSettings::EnableCountFiles},
    {"File Availability", &TJEXSettings::EnableFileExists},
    {"File Integrity", &TJEXSettings::EnableFileCRC},
    {"File Compare", &TJEXSettings::EnableCompareFiles},
    {"Text Log", &TJEXSettings::EnableTextLog},
    {"Process", &TJEXSettings::EnableProcess},
    {"CPU Usage", &TJEXSettings::EnableCPUUsage},
    {"External", &TJEXSettings::EnableExternal},
    {"Shell Script", &TJEXSettings::EnableShellScript},
};

constexpr OfferedItem kOfferedActions[] = {
    {"Execute external command", &TJEXSettings::EnableExecuteAction},
    {"TCP/UDP send", &TJEXSettings::EnableTCPUDPAction},
    {"Syslog", &TJEXSettings::EnableSyslogAction},
};

// "<label>=" and every name followed by CR LF (the last one too).
String NameListLine(const char* label, std::span<const OfferedItem> items) {
  String line(label);
  line += '=';
  for (const OfferedItem& item : items) {
    line += item.name;
    line += "\r\n";
  }
  return line;
}

// "<label>=" and one digit per item: '0' plus the value of its flag.
String DigitsLine(const char* label, std::span<const OfferedItem> items,
                  const TJEXSettings& settings) {
  String line(label);
  line += '=';
  for (const OfferedItem& item : items) line += static_cast<char>('0' + settings.*item.flag);
  return line;
}

void AddNamedLine(JEXReply& reply, const char* name, const String& value, int encode) {
  String line(name);
  line += '=';
  line += value;
  reply.AddStringParam(line, encode);
}

void AddHostLines(JEXReply& reply) {
  utsname host;
  if (uname(&host) != 0) return;
  AddNamedLine(reply, "HostName", host.nodename, 0);
  String os(host.sysname);
  os += ' ';
  os += host.release;
  os += ' ';
  os += host.version;
  AddNamedLine(reply, "RunningOS", os, 0);
  AddNamedLine(reply, "OSUpdates", "not implemented", 0);
}

void AddStatusLines(const TJEXSettings& settings, JEXReply& reply) {
  reply.SetResult("200");
  reply.AddVarParams("%s=%s", "AgentName", AgentStatus.AgentName);
  reply.AddVarParams("%s=%s", "AgentPlatform", AgentStatus.AgentPlatform);
  reply.AddVarParams("%s=%s", "AgentVersion", AgentStatus.AgentVersion);
  reply.AddVarParams("%s=%s", "AgentDeveloper", AgentStatus.AgentDeveloper);
  reply.AddVarParams("Service=%s", BoolText(AgentStatus.Service));
  reply.AddVarParams("Active=%s", BoolText(AgentStatus.Active));
  reply.AddVarParams("ActiveConnections=%d", AgentStatus.ActiveConnections.load());
  reply.AddVarParams("OpenedConnections=%d", AgentStatus.OpenedConnections.load());
  reply.AddVarParams("FailedConnections=%d", AgentStatus.FailedConnections.load());
  reply.AddStringParam(NameListLine("Available tests", kOfferedTests), 1);
  reply.AddStringParam(DigitsLine("Enabled tests", kOfferedTests, settings), 0);
  reply.AddVarParams("%s=%d", "Port", settings.Port);
  reply.AddVarParams("%s=%d", "Timeout", settings.Timeout);
  AddNamedLine(reply, "Comment", settings.Comment, 0);
  reply.AddStringParam(NameListLine("Available actions", kOfferedActions), 1);
  reply.AddStringParam(DigitsLine("Enabled actions", kOfferedActions, settings), 0);
  AddHostLines(reply);
}

void AddSettingsLines(const TJEXSettings& settings, JEXReply& reply) {
  AddNamedLine(reply, "LogOkConn", BoolText(settings.LogSuccess), 0);
  AddNamedLine(reply, "LogBadConn", BoolText(settings.LogFails), 0);
  AddNamedLine(reply, "OkLogFile", settings.OkLogFile, 0);
  AddNamedLine(reply, "BadLogFile", settings.BadLogFile, 0);
  AddNamedLine(reply, "Password", settings.Password, 0);
  AddNamedLine(reply, "IPFiltering", BoolText(settings.FilterActive), 0);
  AddNamedLine(reply, "IPFilterAddr", settings.FilterList, 1);
  AddNamedLine(reply, "IPFilterMarks", settings.FilterMarks, 0);
  AddNamedLine(reply, "AllowUpdates", BoolText(settings.AllowUpdates), 0);
  AddNamedLine(reply, "AllowRManage", BoolText(settings.AllowManage), 0);
  AddNamedLine(reply, "UpdateAddr", settings.UpdateAddr, 0);
  AddNamedLine(reply, "ManageAddr", settings.ManageAddr, 0);
}

// How a "SetSettings" value becomes a field value.
enum class ValueKind {
  kText,         // stored as it arrives
  kInteger,      // jexDecodeInt
  kFlag,         // jexDecodeBool: 1 only for "1"
  kEscapedList,  // jexDecodeStrings: escaped CR and LF become real ones
};

struct SettableField {
  const char* name;
  ValueKind kind;
  String TJEXSettings::*text = nullptr;  // kText, kEscapedList
  int TJEXSettings::*number = nullptr;   // kInteger, kFlag
};

using S = TJEXSettings;
constexpr SettableField kSettableFields[] = {
    {"Comment", ValueKind::kText, &S::Comment},
    {"Port", ValueKind::kInteger, nullptr, &S::Port},
    {"Timeout", ValueKind::kInteger, nullptr, &S::Timeout},
    {"Password", ValueKind::kText, &S::Password},
    {"LogOkConn", ValueKind::kFlag, nullptr, &S::LogSuccess},
    {"LogBadConn", ValueKind::kFlag, nullptr, &S::LogFails},
    {"OkLogFile", ValueKind::kText, &S::OkLogFile},
    {"BadLogFile", ValueKind::kText, &S::BadLogFile},
    {"Ping", ValueKind::kFlag, nullptr, &S::EnablePing},
    {"TCP", ValueKind::kFlag, nullptr, &S::EnableTCP},
    {"UDP", ValueKind::kFlag, nullptr, &S::EnableUDP},
    {"UNC", ValueKind::kFlag, nullptr, &S::EnableUNC},
    {"Drive Space", ValueKind::kFlag, nullptr, &S::EnableFreeSpace},
    {"Folder Size", ValueKind::kFlag, nullptr, &S::EnableFolderSize},
    {"Count Files", ValueKind::kFlag, nullptr, &S::EnableCountFiles},
    {"File Availability", ValueKind::kFlag, nullptr, &S::EnableFileExists},
    {"File Compare", ValueKind::kFlag, nullptr, &S::EnableCompareFiles},
    {"Text Log", ValueKind::kFlag, nullptr, &S::EnableTextLog},
    {"File Integrity", ValueKind::kFlag, nullptr, &S::EnableFileCRC},
    {"Process", ValueKind::kFlag, nullptr, &S::EnableProcess},
    {"Service", ValueKind::kFlag, nullptr, &S::EnableService},
    {"NT Event Log", ValueKind::kFlag, nullptr, &S::EnableNTEventLog},
    {"CPU Usage", ValueKind::kFlag, nullptr, &S::EnableCPUUsage},
    {"Perf Counter", ValueKind::kFlag, nullptr, &S::EnablePerfCounter},
    {"Script", ValueKind::kFlag, nullptr, &S::EnableScript},
    {"External", ValueKind::kFlag, nullptr, &S::EnableExternal},
    {"SNMP", ValueKind::kFlag, nullptr, &S::EnableSNMP},
    {"Execute external command", ValueKind::kFlag, nullptr, &S::EnableExecuteAction},
    {"TCP/UDP send", ValueKind::kFlag, nullptr, &S::EnableTCPUDPAction},
    {"Syslog", ValueKind::kFlag, nullptr, &S::EnableSyslogAction},
    {"IPFiltering", ValueKind::kFlag, nullptr, &S::FilterActive},
    {"IPFilterAddr", ValueKind::kEscapedList, &S::FilterList},
    {"IPFilterMarks", ValueKind::kText, &S::FilterMarks},
    {"AllowUpdates", ValueKind::kFlag, nullptr, &S::AllowUpdates},
    {"AllowRManage", ValueKind::kFlag, nullptr, &S::AllowManage},
    {"UpdateAddr", ValueKind::kText, &S::UpdateAddr},
    {"ManageAddr", ValueKind::kText, &S::ManageAddr},
};

const SettableField* FindSettableField(const String& name) {
  for (const SettableField& field : kSettableFields) {
    if (name == field.name) return &field;
  }
  return nullptr;
}

void StoreValue(const SettableField& field, const String& value, TJEXSettings& settings) {
  switch (field.kind) {
    case ValueKind::kText:
      settings.*field.text = value;
      break;
    case ValueKind::kInteger:
      settings.*field.number = jexDecodeInt(value);
      break;
    case ValueKind::kFlag:
      settings.*field.number = jexDecodeBool(value);
      break;
    case ValueKind::kEscapedList:
      settings.*field.text = jexDecodeStrings(value);
      break;
  }
}

// Applies every "name=value" parameter line to settings, in order.
void ApplySettingsParams(const OXRequest& params, TJEXSettings& settings) {
  const int count = params.GetParamsCount();
  for (int index = 1; index <= count; ++index) {
    const String param = params.GetParam(index, 1);
    const int equals = param.Pos('=');
    if (equals == 0) continue;
    String name = param.Copy(1, equals - 1);
    name.Trim();
    const SettableField* field = FindSettableField(name);
    if (!field) continue;
    String value = param.Copy(equals + 1, param.Length() - equals);
    value.Trim();
    StoreValue(*field, value, settings);
  }
}

}  // namespace

void GetAgentStatus(const OXRequest& /*params*/, JEXReply& reply) {
  const SettingsSnapshot settings = JEXSettings.Get();
  AddStatusLines(*settings, reply);
}

void GetAgentSettings(const OXRequest& /*params*/, JEXReply& reply) {
  const SettingsSnapshot settings = JEXSettings.Get();
  AddStatusLines(*settings, reply);
  AddSettingsLines(*settings, reply);
}

void SetAgentSettings(const OXRequest& params, JEXReply& reply) {
  String message;
  const int saved = JEXSettings.Change(
      [&params](TJEXSettings& settings) { ApplySettingsParams(params, settings); }, message);
  if (saved) {
    reply.SetResult("200");
    return;
  }
  reply.SetResult("300");
  reply += message;
}
