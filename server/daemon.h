// The second half of start-up: the cipher and codec self-tests, the port
// probe, daemon mode, the signal handlers, the listening socket and the pid
// file; then the hand-over to the main loop.
#pragma once

#include <cstdio>
#include <memory>

#include "foundation/tqstring.h"

// Opens the listening socket on the Host and Port settings: up to three
// attempts, each failure followed by a one-second pause. Returns the socket,
// or 0 with the reason in `error`; `addrlen` receives a peer address length.
int Listen(unsigned int& addrlen, String& error);

// Forks into the background: 0 in the daemon, -1 when the fork failed; the
// parent prints "Daemon started" and exits with 0.
int daemon_init();

// The pid file: open, holding a whole-file write lock, for the process's life.
struct PidFileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using PidFileStream = std::unique_ptr<std::FILE, PidFileCloser>;

// Writes the process id to the PidFile setting's path under a lock; null (with
// a message) when the file cannot be created or locked.
PidFileStream createpidfile();
// Closes the stream and deletes the file; does nothing for a null stream.
void closepidfile(PidFileStream& pidfile);

// Hang-up handler (both modes): asks the main loop to reload the settings.
void reloadcfg(int signal);
// Termination handler: asks the main loop to end the agent as "QUIT" does
// (pid file removed, exit code 0).
void terminateagent(int signal);
// Memory-access fault handler: restarts the agent when it has run long enough.
void reloadapp(int signal);

// Start-up steps after the settings: self-tests, port probe, daemon, signals,
// listening socket, pid file, "Listening...", then the main loop, which does
// not return. `argv` and `envp` are kept for re-execution.
[[noreturn]] void ServeForever(char** argv, char** envp);

// The two cryptographic self-tests; exit 3 on a mismatch.
void RunSelfTests();
