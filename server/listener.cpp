// The main loop of the agent (see listener.h).
#include "server/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "config/log.h"
#include "config/settings.h"
#include "config/status.h"
#include "net/poller.h"
#include "net/sockets.h"
#include "server/connections.h"
#include "server/flags.h"
#include "server/session.h"
#include "server/worker_pool.h"

namespace {

constexpr std::uint64_t kListenToken = ~std::uint64_t{0};
// Connections accepted per wake-up before the loop turns to reading again.
constexpr int kAcceptBurst = 64;
constexpr int kEventBatch = 256;
// The loop wakes at least this often while connections are being read, to
// apply their idle limit, and at least once a second in any case.
constexpr int kIdleCheckMs = 200;
constexpr int kFlagPollMs = 1000;
// While requests wait for a worker the loop looks at the queue this often,
// to start another worker when they wait too long.
constexpr int kQueueCheckMs = 1;

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

std::uint64_t TokenOf(const ReadingConnection& connection) {
  return (static_cast<std::uint64_t>(connection.Serial) << 32) |
         static_cast<std::uint32_t>(connection.Socket);
}

// Puts the port in use back into the settings, in memory only: the saved
// file keeps the port that was asked for.
void RestorePort(int port) {
  std::lock_guard<std::mutex> lock(optmutex);
  TJEXSettings settings = *JEXSettings.Get();
  settings.Port = port;
  JEXSettings.Publish(std::move(settings));
}

// A peer passes when the filter is off or its dotted address is one of the
// enabled entries.
bool FilterAdmits(const TJEXSettings& settings, in_addr peer) {
  if (!settings.FilterActive) return true;
  const String entry = String("\r\n") + IP2String(peer.s_addr) + "\r\n";
  return settings.ActiveFilterText.Pos(entry) != 0;
}

class EventLoop {
 public:
  explicit EventLoop(ListenerState& state)
      : state_(state),
        pool_([](PendingRequest& job) { ServeRequest(job.Connection, job.Packet); }),
        descriptorLimit_(RaiseDescriptorLimit()) {
    pool_.SetDiscard([](PendingRequest& job) { EndConnection(job.Connection.Socket); });
  }

  [[noreturn]] void Run() {
    String error;
    if (!poller_.Ok(error)) {
      showmessage("TCP listen error: %s\n", LOCAL, mtFailure, 1, Terminated(error).Data());
      TerminateProcess(kExitListen);
    }
    WatchListener();
    PollEvent events[kEventBatch];
    for (;;) {
      PollRunFlags();
      const bool queued = pool_.Grow();
      const int waitMs = queued ? kQueueCheckMs : table_.Count() > 0 ? kIdleCheckMs : kFlagPollMs;
      const int count = poller_.Wait(events, kEventBatch, waitMs);
      now_ = std::time(nullptr);
      for (int i = 0; i < count; ++i) Dispatch(events[i]);
      DropIdle();
    }
  }

 private:
  // The flags and the port, as the main loop has always polled them.
  void PollRunFlags() {
    if (JEXFlags.TerminateRequested) {
      showmessage("Terminate request received. Terminating..\n", LOCAL, mtInfo, 0);
      closepidfile(state_.PidFile);
      TerminateProcess(kExitOk);
    }
    if (JEXFlags.SettingsReloadRequested.exchange(0)) {
      String ignored;
      JEXSettings.Reload(ignored);
    }
    if (JEXFlags.ReloadRequested) ReexecuteAgent();
    if (JEXFlags.UpgradeRequested) RunUpgradeScript();
    if (JEXSettings.Get()->Port != state_.PortInUse) SwitchPort();
  }

  void WatchListener() {
    if (state_.ListenSocket <= 0) return;
    fcntl(state_.ListenSocket, F_SETFL, fcntl(state_.ListenSocket, F_GETFL) | O_NONBLOCK);
    String error;
    if (!poller_.Add(state_.ListenSocket, kListenToken, error)) {
      showmessage("TCP listen error: %s\n", LOCAL, mtFailure, 1, Terminated(error).Data());
      TerminateProcess(kExitListen);
    }
  }

  // After a re-execution or the upgrade script could not be started, the
  // listening socket and the pid file are gone: bring both back.
  void ResumeListening() {
    String error;
    state_.ListenSocket = Listen(state_.AddrLen, error);
    if (!state_.ListenSocket) {
      showmessage("TCP listen error: %s\n", LOCAL, mtFailure, 1, Terminated(error).Data());
      TerminateProcess(kExitListen);
    }
    WatchListener();
    state_.PortInUse = JEXSettings.Get()->Port;
    if (state_.DaemonMode && JEXSettings.Get()->PidFile.Length() > 0) {
      state_.PidFile = createpidfile();
    }
  }

  void ReexecuteAgent() {
    showmessage("Reload request received. Executing..\n", LOCAL, mtInfo, 0);
    CloseSocket(state_.ListenSocket);
    closepidfile(state_.PidFile);
    std::fflush(stdout);
    const String path = Terminated(JEXSettings.Get()->JexPath);
    execve(path.Data(), state_.Argv, state_.Envp);
    showmessage("Error: cannot start new instance\n", LOCAL, mtFailure, 0);
    JEXFlags.ReloadRequested = 0;
    ResumeListening();
  }

  void RunUpgradeScript() {
    showmessage("Upgrade request received. Executing..\n", LOCAL, mtInfo, 0);
    CloseSocket(state_.ListenSocket);
    closepidfile(state_.PidFile);
    String script;
    {
      std::lock_guard<std::mutex> lock(thread_mutex);
      script = Terminated(JEXFlags.UpgradeScript);
    }
    std::fflush(stdout);
    execve(script.Data(), state_.Argv, state_.Envp);
    showmessage("Error: cannot start upgrading script\n", LOCAL, mtFailure, 0);
    {
      // The path goes too: since the loop listens again, every later session
      // end would otherwise raise the flag and bounce the listener on the same
      // failure.
      std::lock_guard<std::mutex> lock(thread_mutex);
      JEXFlags.UpgradeScript = "";
      JEXFlags.UpgradeScriptSet = 0;
      JEXFlags.UpgradeRequested = 0;
    }
    ResumeListening();
  }

  void SwitchPort() {
    CloseSocket(state_.ListenSocket);
    String error;
    state_.ListenSocket = Listen(state_.AddrLen, error);
    if (state_.ListenSocket) {
      WatchListener();
      state_.PortInUse = JEXSettings.Get()->Port;
      showmessage("Server port switching .. Ok\n", LOCAL, mtSuccess, 0);
      return;
    }
    showmessage("Error: cannot open new port for listening\n", LOCAL, mtFailure, 0);
    RestorePort(state_.PortInUse);
    state_.ListenSocket = Listen(state_.AddrLen, error);
    if (!state_.ListenSocket) {
      showmessage("Cannot open original port either. Terminating\n", LOCAL, mtFailure, 0);
      TerminateProcess(kExitListen);
    }
    WatchListener();
    showmessage("Return to original port\n", LOCAL, mtFailure, 0);
  }

  void Dispatch(const PollEvent& event) {
    if (event.token == kListenToken) {
      AcceptBurst();
      return;
    }
    ReadingConnection* connection = table_.Find(static_cast<int>(event.token & 0xFFFFFFFFu));
    // An event of a connection that has gone since the batch was collected.
    if (!connection || TokenOf(*connection) != event.token) return;
    ReadAvailable(*connection);
  }

  void AcceptBurst() {
    for (int i = 0; i < kAcceptBurst && state_.ListenSocket > 0; ++i) {
      sockaddr_in peer{};
      socklen_t length = sizeof peer;
      const int socket = accept4(state_.ListenSocket, reinterpret_cast<sockaddr*>(&peer), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (socket < 0) {
        if (!AcceptFailed(errno)) return;
        continue;
      }
      Admit(socket, peer.sin_addr);
    }
  }

  // Returns whether accepting may go on at once.
  bool AcceptFailed(int error) {
    if (error == EAGAIN || error == EWOULDBLOCK) return false;
    if (error == EINTR || error == ECONNABORTED || error == EPROTO) return true;
    if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
      // Out of descriptors or memory: make room by dropping the connection
      // idle the longest; with none to drop, the workers hold everything,
      // so pause briefly instead of spinning on the pending connection.
      showmessage("Accept error: %s\n", LOCAL, mtFailure, 1, Terminated(GetErrorStr(error)).Data());
      if (ReadingConnection* oldest = table_.Oldest()) {
        Drop(*oldest);
      } else {
        usleep(10 * 1000);
      }
      return false;
    }
    showmessage("Accept fatal error: %s\n\n", LOCAL, mtFailure, 1,
                Terminated(GetErrorStr(error)).Data());
    TerminateProcess(kExitListen);
  }

  void Admit(int socket, in_addr peer) {
    const SettingsSnapshot settings = JEXSettings.Get();
    if (!FilterAdmits(*settings, peer)) {
      ++AgentStatus.FailedConnections;
      showmessage("TCP connection rejected\n", peer, mtFailure, 0);
      DropConnection(socket);
      return;
    }
    showmessage("TCP connection accepted\n", peer, mtSuccess, 0);
    CountConnectionIn();
    const int cap = ConnectionCap(settings->MaxConnections, settings->MaxSessions, descriptorLimit_);
    while (table_.Count() >= cap) Drop(*table_.Oldest());
    ReadingConnection& connection = table_.Insert(socket, peer, now_ ? now_ : std::time(nullptr));
    // The request has usually arrived with the connection: read it at once
    // and watch the socket only when more is to come.
    if (!ReadAvailable(connection)) return;
    String error;
    if (poller_.Add(socket, TokenOf(connection), error)) {
      connection.Watched = true;
    } else {
      Drop(connection);
    }
  }

  // Reads what has arrived. Returns true while the connection stays in the
  // table waiting for more; false once it was handed to a worker or dropped.
  bool ReadAvailable(ReadingConnection& connection) {
    char chunk[kRequestReadChunk];
    bool gotData = false;
    for (;;) {
      const ssize_t received = recv(connection.Socket, chunk, sizeof chunk, 0);
      if (received > 0) {
        gotData = true;
        connection.Packet.AddData(chunk, static_cast<int>(received));
        if (OversizedRequest(connection.Packet)) {
          showmessage("<-- Invalid OX request received\n", connection.Peer, mtInfo, 0);
          Drop(connection);
          return false;
        }
        if (connection.Packet.WholePacket()) {
          HandOver(connection);
          return false;
        }
        continue;
      }
      if (received < 0 && errno == EINTR) continue;
      if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      Drop(connection);  // closed by the peer, or failed
      return false;
    }
    if (gotData) table_.Touch(connection, now_ ? now_ : std::time(nullptr));
    return true;
  }

  void HandOver(ReadingConnection& connection) {
    if (connection.Watched) poller_.Remove(connection.Socket);
    PendingRequest job{ThreadParams{connection.Socket, connection.Peer},
                       std::move(connection.Packet)};
    table_.Erase(connection);
    if (!pool_.Submit(std::move(job), JEXSettings.Get()->MaxSessions)) {
      showmessage("Cannot start a session thread\n", job.Connection.Peer, mtFailure, 0);
      EndConnection(job.Connection.Socket);
    }
  }

  // Closing the socket also takes it out of the poller.
  void Drop(ReadingConnection& connection) {
    const int socket = connection.Socket;
    table_.Erase(connection);
    EndConnection(socket);
  }

  // The table is in order of activity: only its old end can have expired.
  void DropIdle() {
    const int timeout = JEXSettings.Get()->Timeout;
    if (timeout <= 0) return;
    while (ReadingConnection* oldest = table_.Oldest()) {
      if (oldest->LastData + timeout / 1000 >= now_) return;
      Drop(*oldest);
    }
  }

  ListenerState& state_;
  Poller poller_;
  ConnectionTable table_;
  WorkerPool pool_;
  long descriptorLimit_;
  std::time_t now_ = 0;
};

}  // namespace

int ConnectionCap(int maxConnections, int maxSessions, long descriptorLimit) {
  constexpr long kOwnDescriptors = 32;  // standard streams, logs, poller, listener
  constexpr long kPerWorker = 4;        // a file, a pipe pair or a socket per request
  const long room = descriptorLimit - kOwnDescriptors - kPerWorker * std::max(maxSessions, 1);
  const long cap = std::min<long>(maxConnections > 0 ? maxConnections : kDefaultMaxConnections, room);
  return static_cast<int>(std::max<long>(cap, 8));
}

long RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  // An unlimited or huge limit is more than any table needs.
  constexpr rlim_t kEnough = 1 << 20;
  return static_cast<long>(limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > kEnough
                               ? kEnough
                               : limit.rlim_cur);
}

void TerminateProcess(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(code);
}

void RunMainLoop(ListenerState& state) {
  // Lives for the rest of the process, which ends through TerminateProcess
  // or an exec.
  static EventLoop loop(state);
  loop.Run();
}
