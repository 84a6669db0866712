// The agent's main loop: one event loop that polls the run flags and the
// Port setting at least once a second and reads, without blocking, the
// requests that did not arrive with their connections. Connections are
// accepted by threads of their own (acceptors.h), which screen them with the
// connection filter and carry out at once a request that came with its
// connection; a packet the loop completes goes to a worker (worker_pool.h).
// Either way at most maxsessions requests are carried out at once.
//
// Connections being read are bounded by the maxconnections setting and by
// the descriptor limit; when the table is full, the connection idle the
// longest is dropped for the new one, so a flood of idle peers cannot keep
// the monitoring server out. An idle connection is dropped once the Timeout
// setting has passed since its last bytes.
#pragma once

#include "server/daemon.h"

struct ListenerState {
  int ListenSocket = 0;
  unsigned int AddrLen = 0;
  PidFileStream PidFile;
  int PortInUse = 0;
  bool DaemonMode = false;
  char** Argv = nullptr;
  char** Envp = nullptr;
};

[[noreturn]] void RunMainLoop(ListenerState& state);

// Most connections the event loop holds with `maxConnections` asked for and
// `descriptorLimit` descriptors available: room is left for the workers'
// own files, pipes and sockets (`maxSessions` of them at once) and the
// agent's other descriptors. Never below 8.
int ConnectionCap(int maxConnections, int maxSessions, long descriptorLimit);

// Raises the soft descriptor limit to the hard one; returns the limit now
// in force.
long RaiseDescriptorLimit();

// Ends the process at once with `code`, without running destructors of
// globals that worker threads may still be using.
[[noreturn]] void TerminateProcess(int code);
