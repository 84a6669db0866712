// libFuzzer target for the configuration file: the loader on any file text,
// then a save of what was loaded and a reload of the saved file.
//
// The input is written as the configuration file in a private folder (on a
// memory-backed file system where there is one). Invariants: the save of a
// loaded file succeeds; the reload reads the saved file with the same outcome
// and the same settings, where a text value may come back cut to the room of
// its line, with its line breaks turned into blanks (the form a save
// writes) and without blanks at its ends.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "config/settings.h"
#include "foundation/tqstring.h"
#include "fuzz/fuzz_support.h"

namespace {

std::string folder;
std::string configPath;
std::string savedTmpDir;

// A save writes a value on one line: CR LF and any other line break as a
// blank. The loader trims blanks at the line's end.
String SavedForm(const String& value) {
  String text = value.ReplaceAll("\r\n", " ", 1);
  char* bytes = text.Data();
  for (int i = 0; i < text.Length(); ++i) {
    if (bytes[i] == '\r' || bytes[i] == '\n') bytes[i] = ' ';
  }
  return text;
}

String TrimEnd(const String& value) {
  int end = value.Length();
  while (end > 0 && (value[end] == ' ' || value[end] == '\t')) --end;
  return value.Copy(1, end);
}

// `after` is `before` as a save and reload bring it back: the same, or cut
// shorter (the line had less room), without the blanks at its ends (the
// loader skips them).
bool SameText(const String& before, const String& after) {
  String saved = SavedForm(before);
  int lead = 0;
  while (lead < saved.Length() && (saved[lead + 1] == ' ' || saved[lead + 1] == '\t')) ++lead;
  saved = saved.Copy(lead + 1, saved.Length() - lead);
  if (after == TrimEnd(saved)) return true;
  if (after.Length() > saved.Length()) return false;
  return after == TrimEnd(saved.Copy(1, after.Length()));
}

// The filter list in memory is its entries separated by CR LF.
bool SameList(const String& before, const String& after) {
  String a = SavedForm(before), b = SavedForm(after);
  a.Trim();
  b.Trim();
  a.RemoveRepeats(' ');
  b.RemoveRepeats(' ');
  if (a == b) return true;
  return b.Length() < a.Length() && b == TrimEnd(a.Copy(1, b.Length()));
}

void CheckSame(const TJEXSettings& a, const TJEXSettings& b) {
  JEX_REQUIRE(a.Port == b.Port && a.Timeout == b.Timeout && a.MaxSessions == b.MaxSessions);
  JEX_REQUIRE(a.MaxConnections == b.MaxConnections && a.DelayForScripts == b.DelayForScripts);
  const int TJEXSettings::*const flags[] = {
      &TJEXSettings::FilterActive,       &TJEXSettings::LogSuccess,
      &TJEXSettings::LogFails,           &TJEXSettings::AllowUpdates,
      &TJEXSettings::AllowManage,        &TJEXSettings::EnableUNC,
      &TJEXSettings::EnableFreeSpace,    &TJEXSettings::EnableFolderSize,
      &TJEXSettings::EnableCountFiles,   &TJEXSettings::EnableFileExists,
      &TJEXSettings::EnableFileCRC,      &TJEXSettings::EnableCompareFiles,
      &TJEXSettings::EnableProcess,      &TJEXSettings::EnableCPUUsage,
      &TJEXSettings::EnableScript,       &TJEXSettings::EnableExternal,
      &TJEXSettings::EnablePing,         &TJEXSettings::EnableTCP,
      &TJEXSettings::EnableUDP,          &TJEXSettings::EnableTextLog,
      &TJEXSettings::EnableShellScript,  &TJEXSettings::EnableExecuteAction,
      &TJEXSettings::EnableTCPUDPAction, &TJEXSettings::EnableSyslogAction,
  };
  for (const auto flag : flags) JEX_REQUIRE(a.*flag == b.*flag);
  const String TJEXSettings::*const texts[] = {
      &TJEXSettings::Host,        &TJEXSettings::Comment,        &TJEXSettings::Password,
      &TJEXSettings::FilterMarks, &TJEXSettings::VerboseLogFile, &TJEXSettings::OkLogFile,
      &TJEXSettings::BadLogFile,  &TJEXSettings::UpdateAddr,     &TJEXSettings::ManageAddr,
  };
  for (const auto text : texts) JEX_REQUIRE(SameText(a.*text, b.*text));
  // Read-only keys are copied as they stand.
  const String TJEXSettings::*const copied[] = {
      &TJEXSettings::JexPath,       &TJEXSettings::CPUUsageScript, &TJEXSettings::ProcListScript,
      &TJEXSettings::ProcCntScript, &TJEXSettings::TmpDir,         &TJEXSettings::PidFile,
  };
  for (const auto text : copied) JEX_REQUIRE(a.*text == b.*text);
  JEX_REQUIRE(SameList(a.FilterList, b.FilterList));
}

TJEXSettings Fresh() {
  TJEXSettings s;
  std::snprintf(s.CfgFile, sizeof s.CfgFile, "%s", configPath.c_str());
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  folder = jexfuzz::MakeFuzzFolder("jex-config-fuzz");
  if (folder.empty()) {
    std::fprintf(stderr, "config_fuzz: no working folder\n");
    std::abort();
  }
  configPath = folder + "/jex.cfg";
  // A loaded "tmpdir" becomes TMPDIR; every run starts from this one.
  setenv("TMPDIR", folder.c_str(), 1);
  savedTmpDir = folder;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 16)) return 0;
  setenv("TMPDIR", savedTmpDir.c_str(), 1);
  JEX_REQUIRE(jexfuzz::WriteWholeFile(configPath, reinterpret_cast<const char*>(data), size));

  TJEXSettings loaded = Fresh();
  String message;
  const int loadResult = loaded.LoadOptions_(message);
  // The load fails for missing values too, but whatever it read is kept.
  TJEXSettings saving = loaded;
  String saveMessage;
  JEX_REQUIRE(saving.SaveOptions_(saveMessage) == 1);

  TJEXSettings reloaded = Fresh();
  String reloadMessage;
  JEX_REQUIRE(reloaded.LoadOptions_(reloadMessage) == loadResult);
  CheckSame(loaded, reloaded);
  return 0;
}
