// One request/reply exchange with an agent (see agent_client.h).
#include "client/agent_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "crypto/md5.h"
#include "net/sockets.h"
#include "protocol/client.h"
#include "protocol/codec.h"
#include "protocol/escaping.h"

namespace {

// Replies are a code and result lines; anything announcing more is refused
// rather than read.
constexpr unsigned int kMaxReplyBytes = 64u << 20;

// Owns a connected socket for the length of one exchange.
class Connection {
 public:
  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    if (socket_ >= 0) close(socket_);
  }

  int Open(const TAgentEndpoint& agent, String& error) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(agent.Port));
    unsigned int ip = 0;
    String host(agent.Host);
    host.SetZero();
    if (GetHostIP(host.Data(), &ip, error) != 1) return 0;
    address.sin_addr.s_addr = ip;

    socket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0) return Fail(error, "socket");
    if (agent.SourceAddress.Length() > 0 && !BindSource(agent.SourceAddress)) {
      return Fail(error, "bind");
    }
    // Connect without blocking, so that the time-out applies.
    const int flags = fcntl(socket_, F_GETFL);
    fcntl(socket_, F_SETFL, flags | O_NONBLOCK);
    if (connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0 &&
        errno != EINPROGRESS) {
      return Fail(error, "connect");
    }
    if (!WaitFor(false, agent.TimeoutMs)) {
      error = "Timeout connecting";
      return 0;
    }
    int pending = 0;
    socklen_t length = sizeof pending;
    getsockopt(socket_, SOL_SOCKET, SO_ERROR, &pending, &length);
    if (pending != 0) {
      errno = pending;
      return Fail(error, "connect");
    }
    fcntl(socket_, F_SETFL, flags & ~O_NONBLOCK);
    return 1;
  }

  int Send(const String& bytes, String& error) {
    const char* data = bytes.Data();
    int left = bytes.Length();
    while (left > 0) {
      const ssize_t sent = send(socket_, data, static_cast<size_t>(left), MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      if (sent <= 0) {
        error = String("Send failed: ") + GetErrorStr(errno);
        return 0;
      }
      data += sent;
      left -= static_cast<int>(sent);
    }
    return 1;
  }

  // Reads until a whole reply packet has arrived.
  int ReceivePacket(int timeoutMs, String& packet, String& error) {
    packet = "";
    char chunk[4096];
    while (!ReplyPacketComplete(packet)) {
      if (!WaitFor(true, timeoutMs)) {
        error = "Timeout waiting for the reply";
        return 0;
      }
      const ssize_t received = recv(socket_, chunk, sizeof chunk, 0);
      if (received < 0 && errno == EINTR) continue;
      if (received <= 0) {
        error = "Connection closed without a reply";
        return 0;
      }
      packet.AddData(chunk, static_cast<int>(received));
      if (packet.Length() >= 4 && DecodeLength(packet.Data(), 4) > kMaxReplyBytes) {
        error = "Reply too long";
        return 0;
      }
    }
    return 1;
  }

 private:
  int Fail(String& error, const char* step) {
    error = String(step) + ": " + GetErrorStr(errno);
    return 0;
  }

  bool BindSource(const String& source) {
    String text(source);
    text.SetZero();
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (inet_pton(AF_INET, text.Data(), &local.sin_addr) != 1) return false;
    return bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
  }

  // Waits until the socket is readable (or writable), at most timeoutMs.
  bool WaitFor(bool readable, int timeoutMs) {
    String ignored;
    return WaitForSocket(socket_, readable ? SocketWait::kReadable : SocketWait::kWritable,
                         timeoutMs, ignored) == 1;
  }

  int socket_ = -1;
};

int Exchange(Connection& connection, const TAgentEndpoint& agent, const String& packet,
             const String& sessionKey, String& replyText, String& error) {
  if (!connection.Send(packet, error)) return 0;
  String received;
  if (!connection.ReceivePacket(agent.TimeoutMs, received, error)) return 0;
  if (!ParseReplyPacket(received, sessionKey, replyText, error)) return 0;
  // The reply text ends with LF and the end-of-transmission CR.
  if (replyText.Length() > 0 && replyText[replyText.Length()] == '\r') {
    replyText.Delete(replyText.Length(), 1);
  }
  return 1;
}

}  // namespace

String BuildRequestText(const String& command, const std::vector<String>& params) {
  String text(command);
  text += '\n';
  for (const String& param : params) {
    text += jexEncodeStrings(param);
    text += '\n';
  }
  text += '\r';
  return text;
}

String NewSessionKey() {
  unsigned char random[16] = {};
  if (FILE* source = std::fopen("/dev/urandom", "rb")) {
    if (std::fread(random, 1, sizeof random, source) != sizeof random) random[0] ^= 0x5a;
    std::fclose(source);
  }
  String key;
  char hex[3];
  for (unsigned char byte : random) {
    std::snprintf(hex, sizeof hex, "%02x", byte);
    key += hex;
  }
  return key;
}

int QueryAgent(const TAgentEndpoint& agent, const String& requestText, String& replyText,
               String& error) {
  error = "";
  Connection connection;
  if (!connection.Open(agent, error)) return 0;
  const String key = NewSessionKey();
  const String packet = BuildRequestPacket(agent.Password, key, requestText);
  return Exchange(connection, agent, packet, key, replyText, error);
}

int UploadProgram(const TAgentEndpoint& agent, const String& program, String& replyText,
                  String& error) {
  error = "";
  Connection connection;
  if (!connection.Open(agent, error)) return 0;
  const String key = NewSessionKey();
  char size[32];
  std::snprintf(size, sizeof size, "%d", program.Length());
  const String request = BuildRequestText("UpgradeCode", {String(size)});
  if (!Exchange(connection, agent, BuildRequestPacket(agent.Password, key, request), key, replyText,
                error)) {
    return 0;
  }
  if (ReplyCode(replyText) != "200") return 1;  // refused: the reply says why

  MD5 context;
  unsigned char digest[16];
  MD5Open(&context);
  MD5Digest(&context, program.Data(), static_cast<unsigned int>(program.Length()));
  MD5Close(&context, digest);
  String digestText;
  digestText.AddData(reinterpret_cast<const char*>(digest), sizeof digest);
  String upload(program);
  upload += EncodeData(digestText, key, 0);
  return Exchange(connection, agent, upload, key, replyText, error);
}

String ReplyCode(const String& replyText) {
  return replyText.Length() >= 3 ? replyText.Copy(1, 3) : String();
}
