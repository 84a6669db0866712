// Process-wide run flags and the mutexes of the agent server.
//
// Request handlers and the fault handler never stop or restart the process
// themselves: they raise a flag in `JEXFlags` and the main loop, which polls
// the flags once a second, carries the request out. The flags are atomic
// words so that the poll needs no lock.
#pragma once

#include <atomic>
#include <ctime>
#include <mutex>

#include "foundation/tqstring.h"

class TJEXFlags {
 public:
  TJEXFlags();

  // An upgrade transfer is under way in some session; only touched under
  // upgrade_mutex.
  int UpgradeLocked = 0;
  std::atomic<int> TerminateRequested{0};
  std::atomic<int> ReloadRequested{0};
  std::atomic<int> UpgradeRequested{0};
  // Raised by the hang-up signal in daemon mode; the main loop reloads the
  // configuration file, since a signal handler must not take the settings lock.
  std::atomic<int> SettingsReloadRequested{0};
  // Path of the generated upgrade script; empty when none. Written by the
  // session that finished the transfer before it raises UpgradeRequested
  // under thread_mutex; read by the main loop once it sees that flag.
  String UpgradeScript;
  // Non-zero while UpgradeScript is set (changed with it, under
  // thread_mutex), so that the end of a connection needs the lock only then.
  std::atomic<int> UpgradeScriptSet{0};
  std::time_t StartTime;
};

extern TJEXFlags JEXFlags;

// Guards the hand-over of UpgradeScript. The connection counters are atomic
// words and change without it.
extern std::mutex thread_mutex;
// Guards UpgradeLocked: at most one upgrade in the process.
extern std::mutex upgrade_mutex;

// Exit codes of the process.
enum ExitCode {
  kExitOk = 0,
  kExitUsage = 1,   // command line or settings
  kExitDaemon = 2,  // fork into a daemon failed
  kExitCipher = 3,  // a cipher self-test failed
  kExitListen = 4,  // listening socket cannot be opened, fatal accept error
};
