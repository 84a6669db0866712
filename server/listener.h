// The agent's main loop: polls the run flags and the Port setting once a
// second, accepts connections, screens them with the connection filter and
// starts one detached session thread per accepted connection.
#pragma once

#include "server/daemon.h"

// Largest request packet a session accepts; a peer that declares or sends
// more is dropped. Requests are one command with its parameters (a shell
// script text being the largest), so this is generous.
constexpr int kMaxRequestPacket = 1 << 20;

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

// Ends the process at once with `code`, without running destructors of
// globals that detached session threads may still be using.
[[noreturn]] void TerminateProcess(int code);
