// The main loop of the agent (see listener.h).
#include "server/listener.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "config/log.h"
#include "config/settings.h"
#include "config/status.h"
#include "net/sockets.h"
#include "server/flags.h"
#include "server/session.h"

namespace {

constexpr size_t kSessionStackBytes = 1 << 20;

void DropConnection(int socket) {
  shutdown(socket, SHUT_RDWR);
  close(socket);
}

// Closes the listening socket and marks it closed.
void CloseSocket(int& socket) {
  if (socket <= 0) return;
  DropConnection(socket);
  socket = 0;
}

// After a re-execution or the upgrade script could not be started, the
// listening socket and the pid file are gone: bring both back.
void ResumeListening(ListenerState& state) {
  String error;
  state.ListenSocket = Listen(state.AddrLen, error);
  if (!state.ListenSocket) {
    showmessage("TCP listen error: %s\n", LOCAL, mtFailure, 1, Terminated(error).Data());
    TerminateProcess(kExitListen);
  }
  state.PortInUse = JEXSettings.Get()->Port;
  if (state.DaemonMode && JEXSettings.Get()->PidFile.Length() > 0) state.PidFile = createpidfile();
}

void ReexecuteAgent(ListenerState& state) {
  showmessage("Reload request received. Executing..\n", LOCAL, mtInfo, 0);
  CloseSocket(state.ListenSocket);
  closepidfile(state.PidFile);
  const String path = Terminated(JEXSettings.Get()->JexPath);
  execve(path.Data(), state.Argv, state.Envp);
  showmessage("Error: cannot start new instance\n", LOCAL, mtFailure, 0);
  JEXFlags.ReloadRequested = 0;
  ResumeListening(state);
}

void RunUpgradeScript(ListenerState& state) {
  showmessage("Upgrade request received. Executing..\n", LOCAL, mtInfo, 0);
  CloseSocket(state.ListenSocket);
  closepidfile(state.PidFile);
  String script;
  {
    std::lock_guard<std::mutex> lock(thread_mutex);
    script = Terminated(JEXFlags.UpgradeScript);
  }
  execve(script.Data(), state.Argv, state.Envp);
  showmessage("Error: cannot start upgrading script\n", LOCAL, mtFailure, 0);
  {
    // The path goes too: since the loop listens again, every later session end
    // would otherwise raise the flag and bounce the listener on the same failure.
    std::lock_guard<std::mutex> lock(thread_mutex);
    JEXFlags.UpgradeScript = "";
    JEXFlags.UpgradeRequested = 0;
  }
  ResumeListening(state);
}

// Puts the port in use back into the settings, in memory only: the saved
// file keeps the port that was asked for.
void RestorePort(int port) {
  std::lock_guard<std::mutex> lock(optmutex);
  TJEXSettings settings = *JEXSettings.Get();
  settings.Port = port;
  JEXSettings.Publish(std::move(settings));
}

void SwitchPort(ListenerState& state) {
  CloseSocket(state.ListenSocket);
  String error;
  state.ListenSocket = Listen(state.AddrLen, error);
  if (state.ListenSocket) {
    state.PortInUse = JEXSettings.Get()->Port;
    showmessage("Server port switching .. Ok\n", LOCAL, mtSuccess, 0);
    return;
  }
  showmessage("Error: cannot open new port for listening\n", LOCAL, mtFailure, 0);
  RestorePort(state.PortInUse);
  state.ListenSocket = Listen(state.AddrLen, error);
  if (!state.ListenSocket) {
    showmessage("Cannot open original port either. Terminating\n", LOCAL, mtFailure, 0);
    TerminateProcess(kExitListen);
  }
  showmessage("Return to original port\n", LOCAL, mtFailure, 0);
}

void* SessionThread(void* argument) {
  const ThreadParams params = *std::unique_ptr<ThreadParams>(static_cast<ThreadParams*>(argument));
  ClientExecute(params);
  return nullptr;
}

// Starts a detached session thread that owns the connection. The session
// counts itself out when it ends; here it is counted in, so that the cap on
// concurrent sessions sees it at once.
bool StartSession(const ThreadParams& params) {
  {
    std::lock_guard<std::mutex> lock(thread_mutex);
    ++AgentStatus.ActiveConnections;
    ++AgentStatus.OpenedConnections;
  }
  auto owned = std::make_unique<ThreadParams>(params);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attributes, kSessionStackBytes);
  pthread_t thread;
  const int result = pthread_create(&thread, &attributes, SessionThread, owned.get());
  pthread_attr_destroy(&attributes);
  if (result == 0) {
    owned.release();  // the thread owns it now
    return true;
  }
  // No session served the connection: it counts neither as active nor as opened.
  std::lock_guard<std::mutex> lock(thread_mutex);
  --AgentStatus.ActiveConnections;
  --AgentStatus.OpenedConnections;
  return false;
}

void AcceptConnection(ListenerState& state) {
  sockaddr_in peer{};
  socklen_t length = state.AddrLen <= sizeof peer ? state.AddrLen : sizeof peer;
  const int connection =
      accept4(state.ListenSocket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
  if (connection < 0) {
    if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN || errno == EPROTO) return;
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      // Out of descriptors or memory for the moment: a flood of peers must
      // not end the agent, so wait a little and keep serving.
      showmessage("Accept error: %s\n", LOCAL, mtFailure, 1, Terminated(GetErrorStr(errno)).Data());
      usleep(100 * 1000);
      return;
    }
    showmessage("Accept fatal error: %s\n\n", LOCAL, mtFailure, 1,
                Terminated(GetErrorStr(errno)).Data());
    TerminateProcess(kExitListen);
  }

  const SettingsSnapshot settings = JEXSettings.Get();
  const String dotted = IP2String(peer.sin_addr.s_addr);
  if (settings->FilterActive) {
    const String entry = String("\r\n") + dotted + "\r\n";
    if (settings->ActiveFilterText.Pos(entry) == 0) {
      ++AgentStatus.FailedConnections;
      showmessage("TCP connection rejected\n", peer.sin_addr, mtFailure, 0);
      DropConnection(connection);
      return;
    }
  }
  if (AgentStatus.ActiveConnections >= settings->MaxSessions) {
    showmessage("TCP connection rejected: too many sessions\n", peer.sin_addr, mtFailure, 0);
    DropConnection(connection);
    return;
  }

  showmessage("TCP connection accepted\n", peer.sin_addr, mtSuccess, 0);
  ThreadParams params;
  params.Socket = connection;
  params.Peer = peer.sin_addr;
  if (!StartSession(params)) {
    showmessage("Cannot start a session thread\n", peer.sin_addr, mtFailure, 0);
    DropConnection(connection);
  }
}

}  // namespace

void TerminateProcess(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(code);
}

void RunMainLoop(ListenerState& state) {
  for (;;) {
    if (JEXFlags.TerminateRequested) {
      showmessage("Terminate request received. Terminating..\n", LOCAL, mtInfo, 0);
      closepidfile(state.PidFile);
      TerminateProcess(kExitOk);
    }
    if (JEXFlags.SettingsReloadRequested.exchange(0)) {
      String ignored;
      JEXSettings.Reload(ignored);
    }
    if (JEXFlags.ReloadRequested) ReexecuteAgent(state);
    if (JEXFlags.UpgradeRequested) RunUpgradeScript(state);
    if (JEXSettings.Get()->Port != state.PortInUse) SwitchPort(state);

    String ignored;
    if (WaitForSocket(state.ListenSocket, SocketWait::kReadable, 1000, ignored) != 1) continue;
    AcceptConnection(state);
  }
}
