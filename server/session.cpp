// One connection's session (see session.h).
#include "server/session.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "config/log.h"
#include "config/settings.h"
#include "config/status.h"
#include "net/sockets.h"
#include "protocol/codec.h"
#include "protocol/reply.h"
#include "protocol/request.h"
#include "server/dispatch.h"
#include "server/flags.h"
#include "server/listener.h"
#include "server/upgrade.h"

namespace {

constexpr int kReadChunk = 1024;
// How often the session looks at its idle limit while the peer is silent;
// data is read as soon as it arrives whatever this is.
constexpr int kPollMilliseconds = 100;
// Idle limit of an upgrade transfer when the Timeout setting sets none.
constexpr std::time_t kUpgradeIdleSeconds = 60;
// A reply the peer does not take within this time is abandoned.
constexpr int kSendTimeoutSeconds = 30;

void SendAll(int socket, const String& packet) {
  const char* data = packet.Data();
  int left = packet.Length();
  while (left > 0) {
    const ssize_t sent = send(socket, data, static_cast<size_t>(left), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return;
    data += sent;
    left -= static_cast<int>(sent);
  }
}

// A declared length beyond the cap can be refused before the bytes arrive.
bool OversizedRequest(const OXRequest& request) {
  if (request.Length() > kMaxRequestPacket) return true;
  if (request.Length() < 4) return false;
  const unsigned long long declared = DecodeLength(request.Data(), 4);
  return declared + 4 > static_cast<unsigned long long>(kMaxRequestPacket);
}

class Session {
 public:
  explicit Session(const ThreadParams& params)
      : params_(params), settings_(JEXSettings.Get()), lastData_(std::time(nullptr)) {
    timeval sendTimeout{kSendTimeoutSeconds, 0};
    setsockopt(params_.Socket, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
  }

  ~Session() {
    showmessage("Session closed, wait for next ..\n", LOCAL, mtInfo, 0);
    if (upgrade_.Active) upgrade_.AbandonUpgrade();
    shutdown(params_.Socket, SHUT_RDWR);
    close(params_.Socket);
    std::lock_guard<std::mutex> lock(thread_mutex);
    --AgentStatus.ActiveConnections;
    if (JEXFlags.UpgradeScript.Length() > 0) JEXFlags.UpgradeRequested = 1;
  }

  void Run() {
    char chunk[kReadChunk];
    for (;;) {
      String waitError;
      const int ready =
          WaitForSocket(params_.Socket, SocketWait::kReadable, kPollMilliseconds, waitError);
      if (ready < 0) return;
      if (ready == 0) {
        if (IdleTooLong()) return;
        continue;
      }
      const ssize_t received = recv(params_.Socket, chunk, sizeof chunk, 0);
      if (received < 0 && errno == EINTR) continue;
      if (received <= 0) return;
      lastData_ = std::time(nullptr);
      const bool goOn = upgrade_.Active ? TakeUpgradeData(chunk, static_cast<int>(received))
                                        : TakeRequestData(chunk, static_cast<int>(received));
      if (!goOn) return;
    }
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

  // Returns whether the session goes on reading.
  bool TakeRequestData(const char* data, int length) {
    request_.AddData(data, length);
    if (OversizedRequest(request_)) {
      showmessage("<-- Invalid OX request received\n", params_.Peer, mtInfo, 0);
      return false;
    }
    if (!request_.WholePacket()) return true;
    wholePacket_ = true;
    if (!request_.ParseInitRequest(settings_->Password, params_.Peer)) {
      showmessage("<-- Invalid OX request received\n", params_.Peer, mtInfo, 0);
      return false;
    }
    showmessage("<-- Correct OX request received\n", params_.Peer, mtInfo, 0);
    reply_.InitPacket(nullptr, request_.GetSessionKey());
    const int recognised = ProcessOXRequest(request_, reply_, JEXFlags, params_, upgrade_);
    String code = reply_.Length() > 2 ? reply_.Copy(1, 3) : String();
    code.SetZero();
    showmessage(recognised ? "--> request processed (%s)\n"
                           : "--> request rejected or operation failed (%s)\n",
                params_.Peer, mtInfo, 1, code.Data());
    reply_.FinalizePacket();
    SendAll(params_.Socket, reply_);
    return upgrade_.Active != 0;
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

void ClientExecute(ThreadParams params) {
  Session session(params);
  session.Run();
}
