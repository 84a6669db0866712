// The main loop of the agent (see listener.h).
#include "server/listener.h"

#include <arpa/inet.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

#include "config/log.h"
#include "config/settings.h"
#include "config/status.h"
#include "net/poller.h"
#include "net/sockets.h"
#include "server/acceptors.h"
#include "server/connections.h"
#include "server/flags.h"
#include "server/session.h"
#include "server/worker_pool.h"

namespace {

// The event of the inbox, where accepting threads leave connections whose
// request is still on its way.
constexpr std::uint64_t kInboxToken = ~std::uint64_t{0};
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

enum class ReadState { kWhole, kWaiting, kGone };

// Reads what has arrived of a request packet without blocking. kGone: the
// peer closed, the read failed or the packet became too large (reported);
// the caller ends the connection. Sets `gotData` when bytes arrived.
ReadState ReadPacketBytes(int socket, in_addr peer, OXRequest& packet, bool& gotData) {
  char chunk[kRequestReadChunk];
  gotData = false;
  for (;;) {
    const ssize_t received = recv(socket, chunk, sizeof chunk, 0);
    if (received > 0) {
      gotData = true;
      packet.AddData(chunk, static_cast<int>(received));
      if (OversizedRequest(packet)) {
        showmessage("<-- Invalid OX request received\n", peer, mtInfo, 0);
        return ReadState::kGone;
      }
      if (packet.WholePacket()) return ReadState::kWhole;
      continue;
    }
    if (received < 0 && errno == EINTR) continue;
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return ReadState::kWaiting;
    return ReadState::kGone;
  }
}

class EventLoop {
 public:
  explicit EventLoop(ListenerState& state)
      : state_(state),
        pool_([](PendingRequest& job) { ServeRequest(job.Connection, job.Packet); }),
        descriptorLimit_(RaiseDescriptorLimit()),
        inboxEvent_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
        acceptors_(AcceptorCallbacks()) {
    pool_.SetDiscard([](PendingRequest& job) { EndConnection(job.Connection.Socket); });
  }

  [[noreturn]] void Run() {
    String error;
    if (!poller_.Ok(error) || inboxEvent_.Get() < 0 ||
        !poller_.Add(inboxEvent_.Get(), kInboxToken, error)) {
      if (error.Length() == 0) error = GetErrorStr(errno);
      showmessage("TCP listen error: %s\n", LOCAL, mtFailure, 1, Terminated(error).Data());
      TerminateProcess(kExitListen);
    }
    StartAccepting();
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

  Acceptors::Callbacks AcceptorCallbacks() {
    Acceptors::Callbacks callbacks;
    callbacks.Accepted = [this](int socket, in_addr peer) { TakeAccepted(socket, peer); };
    callbacks.NoRoom = [this](int error) { AskForRoom(error); };
    callbacks.Failed = [](int error) {
      showmessage("Accept fatal error: %s\n\n", LOCAL, mtFailure, 1,
                  Terminated(GetErrorStr(error)).Data());
      TerminateProcess(kExitListen);
    };
    // One beyond the requests carried out at once, so that a thread is left
    // to accept (and queue) while all of them are busy.
    callbacks.MaxThreads = [] { return std::max(JEXSettings.Get()->MaxSessions, 1) + 1; };
    return callbacks;
  }

  void StartAccepting() {
    if (state_.ListenSocket <= 0) return;
    if (!acceptors_.Publish(state_.ListenSocket)) {
      showmessage("Cannot start a session thread\n", LOCAL, mtFailure, 0);
      TerminateProcess(kExitListen);
    }
  }

  // No accepting thread uses the listening socket once it is closed.
  void StopListening() {
    acceptors_.Withdraw();
    CloseSocket(state_.ListenSocket);
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
    StartAccepting();
    state_.PortInUse = JEXSettings.Get()->Port;
    if (state_.DaemonMode && JEXSettings.Get()->PidFile.Length() > 0) {
      state_.PidFile = createpidfile();
    }
  }

  void ReexecuteAgent() {
    showmessage("Reload request received. Executing..\n", LOCAL, mtInfo, 0);
    StopListening();
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
    StopListening();
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
    StopListening();
    String error;
    state_.ListenSocket = Listen(state_.AddrLen, error);
    if (state_.ListenSocket) {
      StartAccepting();
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
    StartAccepting();
    showmessage("Return to original port\n", LOCAL, mtFailure, 0);
  }

  void Dispatch(const PollEvent& event) {
    if (event.token == kInboxToken) {
      TakeInbox();
      return;
    }
    ReadingConnection* connection = table_.Find(static_cast<int>(event.token & 0xFFFFFFFFu));
    // An event of a connection that has gone since the batch was collected.
    if (!connection || TokenOf(*connection) != event.token) return;
    ReadAvailable(*connection);
  }

  // --- On the accepting threads -------------------------------------------

  // A new connection: screened by the filter, then, when its request has
  // arrived with it, carried out on this thread; otherwise left to the loop.
  void TakeAccepted(int socket, in_addr peer) {
    const SettingsSnapshot settings = JEXSettings.Get();
    if (!FilterAdmits(*settings, peer)) {
      ++AgentStatus.FailedConnections;
      showmessage("TCP connection rejected\n", peer, mtFailure, 0);
      DropConnection(socket);
      return;
    }
    showmessage("TCP connection accepted\n", peer, mtSuccess, 0);
    CountConnectionIn();
    PendingRequest job{ThreadParams{socket, peer}, OXRequest{}};
    // No waiting here for bytes still to come: a silent peer must not hold
    // an accepting thread.
    bool gotData = false;
    switch (ReadPacketBytes(socket, peer, job.Packet, gotData)) {
      case ReadState::kWhole:
        ServeHereOrQueue(std::move(job), settings->MaxSessions);
        return;
      case ReadState::kGone:
        EndConnection(socket);
        return;
      case ReadState::kWaiting:
        LeaveInInbox(std::move(job));
        return;
    }
  }

  void ServeHereOrQueue(PendingRequest&& job, int limit) {
    if (!pool_.TryServeHere(limit)) {
      Queue(std::move(job), limit);
      return;
    }
    ServeRequest(job.Connection, job.Packet);
    pool_.ServedHere();
  }

  // Out of descriptors: the loop drops the connection idle the longest.
  void AskForRoom(int error) {
    showmessage("Accept error: %s\n", LOCAL, mtFailure, 1, Terminated(GetErrorStr(error)).Data());
    LeaveInInbox(PendingRequest{ThreadParams{-1, {}}, OXRequest{}});
  }

  void LeaveInInbox(PendingRequest&& job) {
    bool wasEmpty = false;
    {
      std::lock_guard<std::mutex> lock(inboxMutex_);
      wasEmpty = inbox_.empty();
      inbox_.push_back(std::move(job));
    }
    if (!wasEmpty) return;
    const std::uint64_t one = 1;
    // The counter only fails to take more when it is already signalled.
    (void)!write(inboxEvent_.Get(), &one, sizeof one);
  }

  // --- On the loop ----------------------------------------------------------

  void TakeInbox() {
    std::uint64_t ignored = 0;
    (void)!read(inboxEvent_.Get(), &ignored, sizeof ignored);
    std::vector<PendingRequest> arrived;
    {
      std::lock_guard<std::mutex> lock(inboxMutex_);
      arrived.swap(inbox_);
    }
    for (PendingRequest& job : arrived) {
      if (job.Connection.Socket < 0) {
        if (ReadingConnection* oldest = table_.Oldest()) Drop(*oldest);
        continue;
      }
      Adopt(std::move(job));
    }
  }

  // A connection whose request is still on its way: kept in the table,
  // making room by dropping the one idle the longest, and watched.
  void Adopt(PendingRequest&& job) {
    const SettingsSnapshot settings = JEXSettings.Get();
    const int cap = ConnectionCap(settings->MaxConnections, settings->MaxSessions, descriptorLimit_);
    while (table_.Count() >= cap) Drop(*table_.Oldest());
    ReadingConnection& connection =
        table_.Insert(job.Connection.Socket, job.Connection.Peer, now_ ? now_ : std::time(nullptr));
    connection.Packet = std::move(job.Packet);
    String error;
    if (poller_.Add(connection.Socket, TokenOf(connection), error)) {
      connection.Watched = true;
    } else {
      Drop(connection);
    }
  }

  // Reads what has arrived; a whole packet goes to the workers.
  void ReadAvailable(ReadingConnection& connection) {
    bool gotData = false;
    switch (ReadPacketBytes(connection.Socket, connection.Peer, connection.Packet, gotData)) {
      case ReadState::kWhole:
        HandOver(connection);
        return;
      case ReadState::kGone:
        Drop(connection);
        return;
      case ReadState::kWaiting:
        if (gotData) table_.Touch(connection, now_ ? now_ : std::time(nullptr));
        return;
    }
  }

  void HandOver(ReadingConnection& connection) {
    if (connection.Watched) poller_.Remove(connection.Socket);
    PendingRequest job{ThreadParams{connection.Socket, connection.Peer},
                       std::move(connection.Packet)};
    table_.Erase(connection);
    Queue(std::move(job), JEXSettings.Get()->MaxSessions);
  }

  void Queue(PendingRequest&& job, int limit) {
    const ThreadParams connection = job.Connection;
    if (!pool_.Submit(std::move(job), limit)) {
      showmessage("Cannot start a session thread\n", connection.Peer, mtFailure, 0);
      EndConnection(connection.Socket);
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
  ConnectionTable table_;  // the loop's own, like the poller
  WorkerPool pool_;
  long descriptorLimit_;
  std::time_t now_ = 0;
  TSocketHandle inboxEvent_;  // an eventfd: the inbox has entries
  std::mutex inboxMutex_;
  std::vector<PendingRequest> inbox_;
  // Last: its threads use the members above until it is gone.
  Acceptors acceptors_;
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
