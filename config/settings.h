// The agent's settings record, its configuration file, and the process-wide
// store through which every thread reads a consistent snapshot of it.
//
// `TJEXSettings` is a plain value: the command-line switches, everything read
// from the key=value configuration file, and the values derived from them.
// `LoadOptions_`/`SaveOptions_` work on the instance they are called on.
//
// Threads never read a record that another thread is changing. The global
// `JEXSettings` store holds an immutable snapshot behind a shared pointer: a
// reader takes the current snapshot once (per request, per message) and keeps
// it alive for as long as it reads; a reload or a settings change builds a new
// record from a copy of the current one and publishes it whole. Loads and saves
// are serialised by `optmutex`.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "foundation/tqstring.h"

class PacketPassword;

class TJEXSettings {
 public:
  TJEXSettings();

  // Command line.
  int Interactive = 0;
  int Verbose = 0;
  int Debug = 0;
  char CfgFile[512] = {};

  // Configuration file (key in brackets where it differs from the field).
  String TmpDir;    // "tmpdir", completed by PutRight
  String JexPath;   // "jexpath": full path of the agent executable
  String PidFile;   // "pidfile"
  String Host;      // "host": local address the listener binds to
  int Port = 0;     // "port", or "-p"
  int Timeout = 0;  // "timeout": session idle limit in milliseconds
  int DelayForScripts = 0;
  String Password;
  String Comment;
  String VerboseLogFile;
  int LogSuccess = 0;
  String OkLogFile;
  int FilterActive = 0;
  int LogFails = 0;
  String BadLogFile;
  String FilterList;  // entries separated by CR LF
  int AllowUpdates = 0;
  String UpdateAddr;
  String FilterMarks;
  int AllowManage = 0;
  String ManageAddr;
  String ActiveFilterText;  // derived: CR LF, then each enabled entry and CR LF

  int EnableUNC = 0;
  int EnableFreeSpace = 0;
  int EnableFolderSize = 0;
  int EnableCountFiles = 0;
  int EnableFileExists = 0;
  int EnableFileCRC = 0;
  int EnableCompareFiles = 0;
  int EnableProcess = 0;
  int EnableService = 0;
  int EnableNTEventLog = 0;
  int EnableCPUUsage = 0;
  int EnablePerfCounter = 0;
  int EnableSNMP = 0;
  int EnableScript = 0;
  int EnableExternal = 0;
  int EnablePing = 0;
  int EnableTCP = 0;
  int EnableUDP = 0;
  int EnableTextLog = 0;
  int EnableShellScript = 0;
  int EnableExecuteAction = 0;
  int EnableTCPUDPAction = 0;
  int EnableSyslogAction = 0;

  String CPUUsageScript;
  String ProcListScript;
  String ProcCntScript;

  // "maxsessions": most requests carried out at once; further complete
  // requests wait their turn. Not reset by a load; 0 or less after a load
  // becomes the default.
  int MaxSessions = 0;
  // "maxconnections": most connections held open at once, reading requests
  // or waiting for a worker; when the table is full the connection idle the
  // longest is dropped for a new one. Read only (never saved); 0 or less
  // after a load becomes the default. The listener also keeps it within the
  // descriptor limit.
  int MaxConnections = 0;

  // Derived from Password when the record is published: its digest and
  // prepared cipher key, shared by every snapshot with the same password.
  std::shared_ptr<const PacketPassword> PasswordKeys;

  // Load: 1 on success (msg may still hold a warning), 0 with the reasons.
  int LoadOptions(String& msg);   // under optmutex
  int LoadOptions_(String& msg);  // the load itself
  // Save: rewrites the configuration file in place through ".New"/".Old".
  int SaveOptions(String& msg);  // under optmutex
  int SaveOptions_(String& msg);
  // Derives ActiveFilterText, completes script paths and TmpDir, exports TMPDIR.
  // A script named without a directory goes next to JexPath; an unset script
  // stays empty. msg gets only the filter warning, when there is one.
  void PutRight(String& msg);
};

constexpr int kDefaultTimeout = 4000;
constexpr int kDefaultMaxSessions = 64;
constexpr int kDefaultMaxConnections = 16384;

// Serialises every load and save of the settings.
extern std::mutex optmutex;

using SettingsSnapshot = std::shared_ptr<const TJEXSettings>;

class TSettingsStore {
 public:
  TSettingsStore();

  // The current settings; cheap, callable from any thread. Each thread keeps
  // the snapshot it took last and takes the lock again only after a Publish.
  SettingsSnapshot Get() const;
  // Replaces the current settings (start-up, tests). Prepares PasswordKeys
  // when it is missing or belongs to another password.
  void Publish(TJEXSettings settings);
  // Reloads the configuration file into a copy of the current settings and
  // publishes it when the load succeeds; a failed reload keeps the settings
  // in force. Returns the load's result; msg gets its message.
  int Reload(String& msg);
  // Applies `edit` to a copy of the current settings, saves the file and
  // publishes the copy whatever the save's outcome. Returns the save's result.
  int Change(const std::function<void(TJEXSettings&)>& edit, String& msg);

 private:
  mutable std::mutex pointerMutex_;  // guards current_ only, never held long
  SettingsSnapshot current_;
  // Changes with every Publish, under pointerMutex_; unique across stores.
  std::atomic<std::uint64_t> version_;
};

extern TSettingsStore JEXSettings;

// The configuration keys the loader knows, in lower case and in the order in
// which a save appends missing ones: for documentation checks and tools.
int SettingsKeyCount();
// The index-th key (0-based); null outside 0..SettingsKeyCount()-1.
const char* SettingsKeyName(int index);
