// The settings record: loading the configuration file, deriving the filter
// text, script paths and temporary directory, the key table shared with the
// save, and the snapshot store `JEXSettings`.
#include "config/settings.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "config/cfgfile.h"
#include "foundation/paths.h"
#include "protocol/escaping.h"
#include "protocol/request.h"

std::mutex optmutex;
TSettingsStore JEXSettings;

namespace jexcfg {

namespace {

using T = TJEXSettings;

constexpr KeyInfo Text(const char* name, String T::*field, SaveMode save) {
  return {name, KeyKind::kText, save, field, nullptr};
}
constexpr KeyInfo Number(const char* name, int T::*field, SaveMode save) {
  return {name, KeyKind::kInteger, save, nullptr, field};
}
constexpr KeyInfo Flag(const char* name, int T::*field, SaveMode save) {
  return {name, KeyKind::kFlag, save, nullptr, field};
}

constexpr SaveMode kAppend = SaveMode::kRewriteAppend;
constexpr SaveMode kNever = SaveMode::kNever;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

const KeyInfo kKeys[] = {
    Text("host", &T::Host, kAppend),
    Number("port", &T::Port, kAppend),
    Number("timeout", &T::Timeout, kAppend),
    Text("comment", &T::Comment, kAppend),
    Text("password", &T::Password, kAppend),
    Flag("filteractive", &T::FilterActive, kAppend),
    Text("filtermarks", &T::FilterMarks, kAppend),
    {"filterlist", KeyKind::kList, kAppend, &T::FilterList, nullptr},
    Text("verboselogfile", &T::VerboseLogFile, kAppend),
    Flag("logsuccess", &T::LogSuccess, kAppend),
    Flag("logfails", &T::LogFails, kAppend),
    Text("oklogfile", &T::OkLogFile, kAppend),
    Text("badlogfile", &T::BadLogFile, kAppend),
    Flag("allowupdates", &T::AllowUpdates, kAppend),
    Flag("allowmanage", &T::AllowManage, kAppend),
    Text("updateaddr", &T::UpdateAddr, kAppend),
    Text("manageaddr", &T::ManageAddr, kAppend),
    Flag("unc", &T::EnableUNC, kAppend),
    // Rewritten where the file has it, but never appended.
    Flag("freespace", &T::EnableFreeSpace, SaveMode::kRewrite),
    Flag("foldersize", &T::EnableFolderSize, kAppend),
    Flag("countfiles", &T::EnableCountFiles, kAppend),
    Flag("fileexists", &T::EnableFileExists, kAppend),
    Flag("filecrc", &T::EnableFileCRC, kAppend),
    Flag("comparefiles", &T::EnableCompareFiles, kAppend),
    Flag("process", &T::EnableProcess, kAppend),
    Flag("cpuusage", &T::EnableCPUUsage, kAppend),
    Flag("script", &T::EnableScript, kAppend),
    Flag("external", &T::EnableExternal, kAppend),
    Flag("ping", &T::EnablePing, kAppend),
    Flag("tcp", &T::EnableTCP, kAppend),
    Flag("udp", &T::EnableUDP, kAppend),
    Flag("textlog", &T::EnableTextLog, kAppend),
    Flag("shellscript", &T::EnableShellScript, kAppend),
    Flag("executeaction", &T::EnableExecuteAction, kAppend),
    Flag("tcpudpaction", &T::EnableTCPUDPAction, kAppend),
    Flag("syslogaction", &T::EnableSyslogAction, kAppend),
    Number("maxsessions", &T::MaxSessions, kAppend),
    // Read only: these lines are copied unchanged by a save.
    Text("jexpath", &T::JexPath, kNever),
    Text("cpuusagescript", &T::CPUUsageScript, kNever),
    Text("proclistscript", &T::ProcListScript, kNever),
    Text("proccntscript", &T::ProcCntScript, kNever),
    Text("tmpdir", &T::TmpDir, kNever),
    Text("pidfile", &T::PidFile, kNever),
    Number("delayforscripts", &T::DelayForScripts, kNever),
    Number("maxconnections", &T::MaxConnections, kNever),
};
const int kKeyCount = static_cast<int>(sizeof(kKeys) / sizeof(kKeys[0]));

}  // namespace jexcfg

int SettingsKeyCount() {
  return jexcfg::kKeyCount;
}

const char* SettingsKeyName(int index) {
  return index >= 0 && index < jexcfg::kKeyCount ? jexcfg::kKeys[index].name : nullptr;
}

namespace jexcfg {

int FindKey(const String& lowerKey) {
  for (int i = 0; i < kKeyCount; ++i) {
    if (lowerKey == kKeys[i].name) return i;
  }
  return -1;
}

bool ReadCfgLine(FILE* file, CfgLine& line) {
  constexpr int kMaxPiece = static_cast<int>(sizeof(line.text)) - 1;
  line.length = 0;
  line.continues = false;
  int c = 0;
  while (line.length < kMaxPiece && (c = getc(file)) != EOF) {
    line.text[line.length++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  line.text[line.length] = '\0';
  if (line.length == kMaxPiece && line.text[kMaxPiece - 1] != '\n') {
    // Peek: only a piece followed by more bytes is part of a longer line.
    c = getc(file);
    if (c != EOF) {
      ungetc(c, file);
      line.continues = true;
    }
  }
  return line.length > 0;
}

bool SplitCfgLine(const CfgLine& line, String& lowerKey, int& valueStart) {
  if (line.length == 0 || line.text[0] == '#' || line.text[0] == ';') return false;
  const void* found = std::memchr(line.text, '=', static_cast<size_t>(line.length));
  if (!found) return false;
  const int equals = static_cast<int>(static_cast<const char*>(found) - line.text);
  int keyStart = 0;
  int keyEnd = equals;
  while (keyStart < keyEnd && IsBlank(line.text[keyStart])) ++keyStart;
  while (keyEnd > keyStart && IsBlank(line.text[keyEnd - 1])) --keyEnd;
  lowerKey.CopyData(line.text + keyStart, keyEnd - keyStart);
  lowerKey.LowerCase();
  valueStart = equals + 1;
  while (valueStart < line.length && IsBlank(line.text[valueStart])) ++valueStart;
  return true;
}

FilePtr OpenCfgForReading(const char* path) {
  FilePtr file(fopen(path, "re"));  // "e": not inherited by programs the agent runs
  struct stat info;
  if (file && fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode)) file.reset();
  return file;
}

String OpenFailureText(const char* path) {
  return String("Cannot open configuration file '") + path + "'";
}

}  // namespace jexcfg

// ---------------------------------------------------------------------------
// Loading

namespace {

using jexcfg::KeyInfo;
using jexcfg::KeyKind;

// The values every load starts from; the fields not named here (host, port,
// time-out, verbose log, temporary directory, scripts, session cap) are kept.
void ResetForLoad(TJEXSettings& s) {
  s.JexPath = "";
  s.Comment = "";
  s.Password = "";
  s.FilterActive = 0;
  s.FilterMarks = "1";
  s.FilterList = "127.0.0.1";
  s.LogSuccess = 0;
  s.LogFails = 1;
  s.OkLogFile = "log1.txt";
  s.BadLogFile = "log2.txt";
  s.AllowUpdates = 1;
  s.AllowManage = 1;
  s.UpdateAddr = "127.0.0.1";
  s.ManageAddr = "127.0.0.1";
  for (int* test : {&s.EnableUNC, &s.EnableFreeSpace, &s.EnableFolderSize, &s.EnableCountFiles,
                    &s.EnableFileExists, &s.EnableFileCRC, &s.EnableCompareFiles, &s.EnableProcess,
                    &s.EnableCPUUsage, &s.EnableScript, &s.EnableExternal, &s.EnablePing,
                    &s.EnableTCP, &s.EnableUDP, &s.EnableTextLog, &s.EnableShellScript}) {
    *test = 1;
  }
  s.EnableExecuteAction = 0;
  s.EnableTCPUDPAction = 0;
  s.EnableSyslogAction = 0;
  s.PidFile = "";
  s.DelayForScripts = 90000;
  // The flags that have no key.
  s.EnableService = 0;
  s.EnableNTEventLog = 0;
  s.EnablePerfCounter = 0;
  s.EnableSNMP = 1;
}

// The value of a key line: from its first non-blank byte, without trailing
// blanks and line end.
String LineValue(const jexcfg::CfgLine& line, int valueStart) {
  int end = line.length;
  while (end > valueStart) {
    const char c = line.text[end - 1];
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') break;
    --end;
  }
  String value;
  value.CopyData(line.text + valueStart, end - valueStart);
  return value;
}

int ToInteger(String value) {
  return atoi(value.SetZero().Data());
}

// In the file the filter entries are separated by blanks; in memory by CR LF.
String DecodeFilterList(const String& value) {
  String list = jexDecodeStrings(value);
  list.Trim();
  list.RemoveRepeats(' ');
  return list.ReplaceAll(" ", "\r\n", 1);
}

void ApplyKey(TJEXSettings& s, const KeyInfo& key, const String& value) {
  switch (key.kind) {
    case KeyKind::kText:
      s.*key.text = value;
      break;
    case KeyKind::kList:
      s.*key.text = DecodeFilterList(value);
      break;
    case KeyKind::kFlag:
      s.*key.number = (value.Length() > 0 && value[1] == '1') ? 1 : 0;
      break;
    case KeyKind::kInteger:
      // The first non-zero port wins, so "-p" and the running port stay.
      if (key.number == &TJEXSettings::Port && s.Port != 0) break;
      s.*key.number = ToInteger(value);
      break;
  }
}

// Reads every line of the file into s; false on a read error.
bool ReadSettingsFile(FILE* file, TJEXSettings& s) {
  jexcfg::CfgLine line;
  String key;
  int valueStart = 0;
  while (jexcfg::ReadCfgLine(file, line)) {
    if (!jexcfg::SplitCfgLine(line, key, valueStart)) continue;
    const int index = jexcfg::FindKey(key);
    if (index >= 0) ApplyKey(s, jexcfg::kKeys[index], LineValue(line, valueStart));
  }
  return !ferror(file);
}

bool PathExists(String path, bool directory) {
  if (path.Length() == 0) return false;
  const char* text = path.SetZero().Data();
  return directory ? DirectoryExists(text) : FileExists(text);
}

void ValidateLoaded(const TJEXSettings& s, String& msg, int& result) {
  if (s.Port == 0) {
    msg += "  TCP post is not specified!\n";
    result = 0;
  }
  if (s.Password.Length() == 0) {
    msg += "  Password is not specified!\n";
    result = 0;
  }
  if (s.JexPath.Length() == 0 || s.JexPath[1] != '/') {
    msg += "  Full path to the agent is not specified!\n";
    result = 0;
  } else if (!PathExists(s.JexPath, false)) {
    msg += "  Invalid path to the agent!\n";
    result = 0;
  }
}

void BuildActiveFilterText(TJEXSettings& s, String& msg) {
  s.ActiveFilterText = "\r\n";
  for (int i = 1; i <= s.FilterMarks.Length(); ++i) {
    String entry = s.FilterList.GetWord(i, '\n');
    entry.Trim();
    if (entry.Length() == 0) {
      msg = "FilterMarks has less items than FilterList";
      return;
    }
    if (s.FilterMarks[i] == '1') {
      s.ActiveFilterText += entry;
      s.ActiveFilterText += "\r\n";
    }
  }
}

// A script named without a directory lives next to the agent. An unset
// script stays empty, so its users can tell that none is configured.
void CompleteScriptPath(String& script, const String& agentDir) {
  if (script.Length() == 0 || ExtractFilePath(script).Length() > 0) return;
  script = IncludeTrailingPathDelimiter(agentDir) + script;
}

void CompleteTmpDir(TJEXSettings& s) {
  if (!PathExists(s.TmpDir, true)) {
    const char* env = getenv("TMPDIR");
    if (!env) env = getenv("TMP");
    s.TmpDir = (env && DirectoryExists(env)) ? env : ".";
  }
  s.TmpDir = ExcludeTrailingPathDelimiter(s.TmpDir);
  String value(s.TmpDir);
  const char* text = value.SetZero().Data();
  // Writing the environment is not safe against concurrent readers, so it is
  // left alone when it already holds the value (every reload and save).
  const char* current = getenv("TMPDIR");
  if (!current || std::strcmp(current, text) != 0) setenv("TMPDIR", text, 1);
}

}  // namespace

TJEXSettings::TJEXSettings() = default;

int TJEXSettings::LoadOptions(String& msg) {
  std::lock_guard<std::mutex> lock(optmutex);
  return LoadOptions_(msg);
}

int TJEXSettings::LoadOptions_(String& msg) {
  msg = "";
  ResetForLoad(*this);
  if (CfgFile[0] == '\0') {
    msg = "Configuration file is not specified";
    return 0;
  }
  {
    jexcfg::FilePtr file = jexcfg::OpenCfgForReading(CfgFile);
    if (!file || !ReadSettingsFile(file.get(), *this)) {
      msg = jexcfg::OpenFailureText(CfgFile);
      return 0;
    }
  }
  int result = 1;
  PutRight(msg);
  if (Timeout == 0) Timeout = kDefaultTimeout;
  if (MaxSessions <= 0) MaxSessions = kDefaultMaxSessions;
  if (MaxConnections <= 0) MaxConnections = kDefaultMaxConnections;
  ValidateLoaded(*this, msg, result);
  return result;
}

int TJEXSettings::SaveOptions(String& msg) {
  std::lock_guard<std::mutex> lock(optmutex);
  return SaveOptions_(msg);
}

void TJEXSettings::PutRight(String& msg) {
  BuildActiveFilterText(*this, msg);
  const String agentDir = ExtractFilePath(JexPath);
  if (agentDir.Length() > 0) {
    CompleteScriptPath(CPUUsageScript, agentDir);
    CompleteScriptPath(ProcListScript, agentDir);
    CompleteScriptPath(ProcCntScript, agentDir);
  }
  CompleteTmpDir(*this);
}

// ---------------------------------------------------------------------------
// Snapshot store

namespace {
// Versions are drawn from one counter, so that no two stores (tests build
// several) ever share one and a thread's cached snapshot always names the
// store it came from.
std::atomic<std::uint64_t> settingsVersions{0};
}  // namespace

TSettingsStore::TSettingsStore()
    : current_(std::make_shared<const TJEXSettings>()), version_(++settingsVersions) {}

SettingsSnapshot TSettingsStore::Get() const {
  thread_local std::uint64_t cachedVersion = 0;
  thread_local SettingsSnapshot cached;
  if (cachedVersion == version_.load(std::memory_order_acquire)) return cached;
  std::lock_guard<std::mutex> lock(pointerMutex_);
  cached = current_;
  cachedVersion = version_.load(std::memory_order_relaxed);
  return cached;
}

void TSettingsStore::Publish(TJEXSettings settings) {
  if (!settings.PasswordKeys || settings.PasswordKeys->Text() != settings.Password) {
    settings.PasswordKeys = std::make_shared<const PacketPassword>(settings.Password);
  }
  auto fresh = std::make_shared<const TJEXSettings>(std::move(settings));
  std::lock_guard<std::mutex> lock(pointerMutex_);
  current_.swap(fresh);
  version_.store(++settingsVersions, std::memory_order_release);
  // The previous record, now in `fresh`, is released after the lock.
}

int TSettingsStore::Reload(String& msg) {
  std::lock_guard<std::mutex> lock(optmutex);
  TJEXSettings fresh(*Get());
  const int loaded = fresh.LoadOptions_(msg);
  if (loaded) Publish(std::move(fresh));
  return loaded;
}

int TSettingsStore::Change(const std::function<void(TJEXSettings&)>& edit, String& msg) {
  std::lock_guard<std::mutex> lock(optmutex);
  TJEXSettings fresh(*Get());
  edit(fresh);
  const int saved = fresh.SaveOptions_(msg);
  Publish(std::move(fresh));
  return saved;
}
