// One connection's session (see session.h).
#include "server/session.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <memory>

#include "config/log.h"
#include "config/settings.h"
#include "config/status.h"
#include "net/sockets.h"
#include "protocol/codec.h"
#include "protocol/reply.h"
#include "server/dispatch.h"
#include "server/flags.h"
#include "server/upgrade.h"

namespace {

// How often a session looks at its idle limit while the peer is silent;
// data is read as soon as it arrives whatever this is.
constexpr int kPollMilliseconds = 100;
// Idle limit of an upgrade transfer when the Timeout setting sets none.
constexpr std::time_t kUpgradeIdleSeconds = 60;
// A reply the peer does not take within this time is abandoned.
constexpr int kSendTimeoutMs = 30000;

// Sends the whole packet on a blocking or non-blocking socket; a peer that
// stops taking bytes for kSendTimeoutMs loses the rest.
void SendAll(int socket, const String& packet) {
  const char* data = packet.Data();
  int left = packet.Length();
  while (left > 0) {
    const ssize_t sent = send(socket, data, static_cast<size_t>(left), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      String ignored;
      if (WaitForSocket(socket, SocketWait::kWritable, kSendTimeoutMs, ignored) != 1) return;
      continue;
    }
    if (sent <= 0) return;
    data += sent;
    left -= static_cast<int>(sent);
  }
}

class Session {
 public:
  explicit Session(const ThreadParams& params)
      : params_(params), settings_(JEXSettings.Get()), lastData_(std::time(nullptr)) {}

  ~Session() {
    if (upgrade_.Active) upgrade_.AbandonUpgrade();
    EndConnection(params_.Socket);
  }

  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Reads from the socket until the session is over.
  void Run() {
    char chunk[kRequestReadChunk];
    for (;;) {
      String waitError;
      const int ready =
          WaitForSocket(params_.Socket, SocketWait::kReadable, kPollMilliseconds, waitError);
      if (ready < 0) return;
      if (ready == 0) {
        if (IdleTooLong()) return;
        continue;
      }
      const ssize_t received = recv(params_.Socket, chunk, sizeof chunk, MSG_DONTWAIT);
      if (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (received <= 0) return;
      lastData_ = std::time(nullptr);
      const bool goOn = upgrade_.Active ? TakeUpgradeData(chunk, static_cast<int>(received))
                                        : TakeRequestData(chunk, static_cast<int>(received));
      if (!goOn) return;
    }
  }

  // Carries out a packet that arrived whole; returns whether the session
  // goes on reading (an upgrade transfer follows).
  bool TakeWholePacket(OXRequest& packet) {
    wholePacket_ = true;
    // Every published snapshot carries the prepared password; a record that
    // never went through the store is prepared here.
    std::shared_ptr<const PacketPassword> password = settings_->PasswordKeys;
    if (!password) password = std::make_shared<const PacketPassword>(settings_->Password);
    StreamKey sessionCipher;
    if (!packet.ParseInitRequest(*password, params_.Peer, &sessionCipher)) {
      showmessage("<-- Invalid OX request received\n", params_.Peer, mtInfo, 0);
      return false;
    }
    showmessage("<-- Correct OX request received\n", params_.Peer, mtInfo, 0);
    reply_.InitPacket(nullptr, packet.GetSessionKey());
    const int recognised = ProcessOXRequest(packet, reply_, JEXFlags, params_, upgrade_);
    char code[4] = {};
    if (reply_.Length() > 2) {
      for (int i = 0; i < 3; ++i) code[i] = reply_[i + 1];
    }
    showmessage(recognised ? "--> request processed (%s)\n"
                           : "--> request rejected or operation failed (%s)\n",
                params_.Peer, mtInfo, 1, code);
    // After an accepted "UpgradeCode" the reply object stays for the final
    // reply of the transfer; it keeps the session key.
    reply_.FinalizePacket(sessionCipher);
    SendAll(params_.Socket, reply_);
    return upgrade_.Active != 0;
  }

 private:
  bool IdleTooLong() const {
    const std::time_t now = std::time(nullptr);
    const int timeout = settings_->Timeout;
    if (upgrade_.Active) {
      const std::time_t limit = timeout > 0 ? timeout / 1000 : kUpgradeIdleSeconds;
      return lastData_ + limit < now;
    }
    return !wholePacket_ && timeout > 0 && lastData_ + timeout / 1000 < now;
  }

  bool TakeRequestData(const char* data, int length) {
    request_.AddData(data, length);
    if (OversizedRequest(request_)) {
      showmessage("<-- Invalid OX request received\n", params_.Peer, mtInfo, 0);
      return false;
    }
    if (!request_.WholePacket()) return true;
    return TakeWholePacket(request_);
  }

  bool TakeUpgradeData(char* data, int length) {
    DoUpgrading(upgrade_, data, length, upgradeError_);
    if (upgrade_.Active) return true;
    if (upgradeError_.Length() > 0) {
      reply_.SetResult("300");
      reply_ += upgradeError_;
    } else {
      reply_.SetResult("200");
    }
    reply_.FinalizePacket();
    SendAll(params_.Socket, reply_);
    return false;
  }

  ThreadParams params_;
  SettingsSnapshot settings_;  // one consistent view for the whole session
  std::time_t lastData_;
  bool wholePacket_ = false;
  OXRequest request_;
  JEXReply reply_;
  UpgradeRec upgrade_;
  String upgradeError_;
};

}  // namespace

bool OversizedRequest(const OXRequest& packet) {
  if (packet.Length() > kMaxRequestPacket) return true;
  if (packet.Length() < 4) return false;
  const unsigned long long declared = DecodeLength(packet.Data(), 4);
  return declared + 4 > static_cast<unsigned long long>(kMaxRequestPacket);
}

void CountConnectionIn() {
  ++AgentStatus.ActiveConnections;
  ++AgentStatus.OpenedConnections;
}

void EndConnection(int socket) {
  showmessage("Session closed, wait for next ..\n", LOCAL, mtInfo, 0);
  shutdown(socket, SHUT_RDWR);
  close(socket);
  --AgentStatus.ActiveConnections;
  if (!JEXFlags.UpgradeScriptSet) return;
  std::lock_guard<std::mutex> lock(thread_mutex);
  if (JEXFlags.UpgradeScript.Length() > 0) JEXFlags.UpgradeRequested = 1;
}

void ServeRequest(ThreadParams params, OXRequest& packet) {
  Session session(params);
  if (session.TakeWholePacket(packet)) session.Run();
}

void ClientExecute(ThreadParams params) {
  Session session(params);
  session.Run();
}
