// One-shot TCP and UDP exchanges with a host, and the syslog sender.
#include "net/exchange.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>

#include "net/sockets.h"

namespace {

constexpr const char* kTimeoutText = "Timeout";

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;  // a closed peer must not raise SIGPIPE
#else
constexpr int kSendFlags = 0;
#endif

int Timeout(String& error) {
  error = kTimeoutText;
  return kNetTimeout;
}

// Waits for the answer and receives it once; the network result code.
int ReceiveOnce(int sock, int timeoutMs, void* buffer, int length, String& error) {
  String waitError;
  const int ready = WaitForSocket(sock, SocketWait::kReadable, timeoutMs, waitError);
  if (ready == 0) return Timeout(error);
  if (ready < 0) {
    error = waitError;
    return kNetReceiveError;
  }
  const ssize_t received = recv(sock, buffer, static_cast<size_t>(length), 0);
  if (received < 0) {
    if (errno == ETIMEDOUT) return Timeout(error);
    error = GetErrorStr(errno);
    return kNetReceiveError;
  }
  return static_cast<int>(received);
}

int SecondsToMilliseconds(int seconds) {
  const long long ms = static_cast<long long>(seconds) * 1000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

int SendReceiveTCPPacket(const char* host, int port, int timeout, void* sendBuffer,
                         void* receiveBuffer, int sendLength, int receiveLength, String& error) {
  int fd = -1;
  const int connected = PerformConnect(fd, host, port, timeout, error);
  const TSocketHandle sock(fd);
  if (connected != 1) return connected;
  if (sendLength > 0) {
    if (send(sock.Get(), sendBuffer, static_cast<size_t>(sendLength), kSendFlags) < 0) {
      error = GetErrorStr(errno);
      return kNetSendError;
    }
  }
  if (receiveLength <= 0) return 1;
  return ReceiveOnce(sock.Get(), timeout, receiveBuffer, receiveLength, error);
}

int SendReceiveUDPPacket(const char* host, int port, int timeout, void* sendBuffer,
                         void* receiveBuffer, int sendLength, int receiveLength, String& error) {
  error = "";
  unsigned int ip = 0;
  const int resolved = GetHostIP(host, &ip, error);
  if (resolved != 1) return resolved;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  peer.sin_addr.s_addr = ip;

  const TSocketHandle sock(socket(AF_INET, SOCK_DGRAM, 0));
  if (!sock.Valid()) {
    error = GetErrorStr(errno);
    return kNetSocketError;
  }
  int transferred = 0;
  if (sendLength > 0) {
    const ssize_t sent = sendto(sock.Get(), sendBuffer, static_cast<size_t>(sendLength), kSendFlags,
                                reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    if (sent < 0) {
      error = GetErrorStr(errno);
      return kNetSendError;
    }
    transferred = static_cast<int>(sent);
  }
  if (receiveLength > 0) {
    // From any sender: the socket is not connected.
    transferred = ReceiveOnce(sock.Get(), SecondsToMilliseconds(timeout), receiveBuffer,
                              receiveLength, error);
    if (transferred <= 0) return transferred;
  }
  error = "";
  return transferred;
}
