// Socket layer: listening socket, connect with time-out, TSyncSocket, name
// resolution, address formatting and error texts (see sockets.h).
#include "net/sockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "foundation/assertion.h"

std::mutex iplib_mutex;

namespace {

constexpr int kListenBacklog = 512;
constexpr int kResolverBufferSize = 2048;
constexpr int kHostNameSize = 254;
constexpr int kAddressTextSize = 24;
constexpr int kErrorTextSize = 1024;
constexpr int kReceiveChunk = 20480;
constexpr int kConnectedProbeMs = 5;

const char* const kTimeoutText = "Timeout";
const char* const kCannotResolveText = "Cannot resolve server name to IP address";
const char* const kUnknownAddressText = "Name resolution error: unknown address structure";

#ifdef MSG_NOSIGNAL
// A peer that has gone away must give a send error, not a SIGPIPE.
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

struct AddrInfoDeleter {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoDeleter>;

// strerror_r comes in two flavours (GNU: returns the text; XSI: returns a
// status and fills the buffer); these overloads accept whichever is declared.
[[maybe_unused]] const char* ErrorTextOf(const char* text, const char* /*buffer*/) {
  return text;
}
[[maybe_unused]] const char* ErrorTextOf(int status, const char* buffer) {
  return status == 0 ? buffer : nullptr;
}

// RFC 6761: names in the "invalid" domain never exist, so they are refused
// locally rather than sent to a name server.
bool IsReservedInvalidName(const char* name) {
  size_t len = std::strlen(name);
  if (len > 0 && name[len - 1] == '.') --len;
  constexpr char kLabel[] = "invalid";
  constexpr size_t kLabelLen = sizeof(kLabel) - 1;
  if (len < kLabelLen) return false;
  const char* label = name + len - kLabelLen;
  if (len > kLabelLen && label[-1] != '.') return false;
  return strncasecmp(label, kLabel, kLabelLen) == 0;
}

// Plain blocking connect (PerformConnect with time-out 0).
int ConnectBlocking(int sock, const sockaddr_in& peer, String& error) {
  if (connect(sock, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) != 0) {
    error = GetErrorStr(errno);
    return kNetConnectError;
  }
  return 1;
}

// Non-blocking connect that must complete within timeoutMs milliseconds.
int ConnectWithTimeout(int sock, const sockaddr_in& peer, int timeoutMs, String& error) {
  int nonBlocking = 1;
  if (ioctl(sock, FIONBIO, &nonBlocking) != 0) {
    error = String("ioctl error - ") + GetErrorStr(errno);
    return kNetSocketError;
  }
  if (connect(sock, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) != 0 &&
      errno != EINPROGRESS && errno != EALREADY && errno != EISCONN) {
    error = GetErrorStr(errno);
    return kNetConnectError;
  }
  const int ready = WaitForSocket(sock, SocketWait::kWritable, timeoutMs, error);
  if (ready == 0) {
    error = kTimeoutText;
    return kNetTimeout;
  }
  if (ready < 0) return kNetConnectError;
  // Writable means the attempt has ended; SO_ERROR says how.
  int pending = 0;
  socklen_t optionLength = sizeof(pending);
  if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &pending, &optionLength) != 0) {
    error = GetErrorStr(errno);
    return kNetConnectError;
  }
  if (pending == 0 && optionLength == 4) return 1;
  error = GetErrorStr(pending);
  return kNetConnectError;
}

sockaddr_in MakePeerAddress(unsigned int ip, int port) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  peer.sin_addr.s_addr = ip;
  return peer;
}

}  // namespace

// ---------------------------------------------------------------------------
// TSocketHandle

TSocketHandle& TSocketHandle::operator=(TSocketHandle&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

int TSocketHandle::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void TSocketHandle::Reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) close(fd_);
  fd_ = fd;
}

// ---------------------------------------------------------------------------
// Waiting

int WaitForSocket(int sock, SocketWait what, int timeoutMs, String& error) {
  if (sock < 0) {
    error = GetErrorStr(EBADF);
    return -1;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
  long long leftMs = timeoutMs > 0 ? timeoutMs : 0;
  for (;;) {
    pollfd watched{};
    watched.fd = sock;
    watched.events = what == SocketWait::kReadable ? POLLIN : POLLOUT;
    const int rc = poll(&watched, 1, static_cast<int>(leftMs));
    // An error or hang-up counts as ready: the next read or write reports it.
    if (rc > 0) {
      if (watched.revents & POLLNVAL) {
        error = GetErrorStr(EBADF);
        return -1;
      }
      return 1;
    }
    if (rc == 0) return 0;
    if (errno != EINTR) {
      error = GetErrorStr(errno);
      return -1;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    leftMs = left.count() > 0 ? left.count() : 0;
  }
}

// ---------------------------------------------------------------------------
// Listening socket

int TcpListen(const char* node, const char* service, unsigned int* addrlen, String& error) {
  error = "";
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(node, service, &hints, &found);
  if (rc != 0) {
    error = gai_strerror(rc);
    return 0;
  }
  AddrInfoList addresses(found);

  TSocketHandle listener;
  const addrinfo* bound = nullptr;
  for (const addrinfo* ai = addresses.get(); ai != nullptr && bound == nullptr; ai = ai->ai_next) {
    listener.Reset(socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol));
    if (!listener.Valid()) continue;
    int reuse = 1;
    setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
    if (bind(listener.Get(), ai->ai_addr, ai->ai_addrlen) == 0) bound = ai;
  }
  if (bound == nullptr) {
    listener.Reset();
    error = "socket() or bind() error";
    return 0;
  }
  if (listen(listener.Get(), kListenBacklog) != 0) {
    error = "listen() error";
    return 0;
  }
  if (addrlen != nullptr) *addrlen = static_cast<unsigned int>(bound->ai_addrlen);
  return listener.Release();
}

int TcpListen(const char* node, int port, unsigned int* addrlen, String& error) {
  char service[16];
  std::snprintf(service, sizeof(service), "%d", port);
  return TcpListen(node, service, addrlen, error);
}

// ---------------------------------------------------------------------------
// Name resolution and address formatting

int ResolveHostName(const char* name, hostent* resultBuf, char* buf, unsigned long buflen,
                    hostent** result, int* hErrno) {
  *result = nullptr;
  if (name == nullptr || IsReservedInvalidName(name)) {
    *hErrno = HOST_NOT_FOUND;
    return -1;
  }
  // The C library's gethostbyname_r is re-entrant, so no lock is needed here.
  const int rc = gethostbyname_r(name, resultBuf, buf, buflen, result, hErrno);
  if (rc != 0 || *result == nullptr) {
    *result = nullptr;
    if (*hErrno == 0) *hErrno = rc != 0 ? rc : HOST_NOT_FOUND;
    return -1;
  }
  *hErrno = 0;
  return 0;
}

int GetHostIP(const char* host, unsigned int* ip, String& error) {
  JEX_ASSERT(ip != nullptr, "ip != NULL", "ciplib", "GetHostIP", __LINE__);
  error = "";
  if (host != nullptr) {
    const in_addr_t dotted = inet_addr(host);
    if (dotted != INADDR_NONE) {
      *ip = dotted;
      return 1;
    }
  }
  hostent entry{};
  std::vector<char> buffer(kResolverBufferSize);
  hostent* found = nullptr;
  int resolverError = 0;
  if (ResolveHostName(host, &entry, buffer.data(), buffer.size(), &found, &resolverError) != 0 ||
      found->h_addr_list == nullptr || found->h_addr_list[0] == nullptr) {
    error = kCannotResolveText;
    return kNetResolveError;
  }
  if (found->h_length != 4) {
    error = kUnknownAddressText;
    return kNetResolveError;
  }
  std::memcpy(ip, found->h_addr_list[0], 4);
  return 1;
}

unsigned int GetMyIP() {
  char name[kHostNameSize];
  if (gethostname(name, sizeof(name)) != 0) return 0;
  name[sizeof(name) - 1] = '\0';  // a truncated name need not be terminated
  unsigned int ip = 0;
  String error;
  return GetHostIP(name, &ip, error) == 1 ? ip : 0;
}

char* inet_ntoa_safe(in_addr addr, char* dst, int size) {
  if (dst == nullptr || size < 1) return dst;
  // inet_ntoa formats into one static buffer shared by all threads.
  std::lock_guard<std::mutex> lock(iplib_mutex);
  std::strncpy(dst, inet_ntoa(addr), static_cast<size_t>(size - 1));
  dst[size - 1] = '\0';
  return dst;
}

String IP2String(unsigned int addr) {
  char text[kAddressTextSize];
  in_addr address{};
  address.s_addr = addr;
  return String(inet_ntoa_safe(address, text, sizeof(text)));
}

String GetErrorStr(int errnum) {
  char buffer[kErrorTextSize];
  buffer[0] = '\0';
  const char* text = ErrorTextOf(strerror_r(errnum, buffer, sizeof(buffer)), buffer);
  return String(text != nullptr ? text : "");
}

// ---------------------------------------------------------------------------
// Outgoing connections

int PerformConnect(int& sock, const char* host, int port, int timeout, String& error) {
  error = "";
  sock = -1;
  unsigned int ip = 0;
  const int resolved = GetHostIP(host, &ip, error);
  if (resolved != 1) return resolved;
  const sockaddr_in peer = MakePeerAddress(ip, port);

  sock = socket(AF_INET, SOCK_STREAM, 0);
  if (sock < 0) {
    error = GetErrorStr(errno);
    sock = -1;
    return kNetSocketError;
  }
  if (timeout == 0) return ConnectBlocking(sock, peer, error);
  return ConnectWithTimeout(sock, peer, timeout, error);
}

// ---------------------------------------------------------------------------
// TSyncSocket

int TSyncSocket::Connect(const char* host, int port, int timeout) {
  Disconnect();
  const int rc = kind_ == 1 ? PerformConnect(socket_, host, port, timeout, lastError_)
                            : ConnectDatagram(host, port);
  if (rc != 1 && socket_ != -1) {
    // A socket whose connect failed must not look connected; keep its reason.
    close(socket_);
    socket_ = -1;
  }
  return rc;
}

int TSyncSocket::ConnectDatagram(const char* host, int port) {
  lastError_ = "";
  unsigned int ip = 0;
  const int resolved = GetHostIP(host, &ip, lastError_);
  if (resolved != 1) return resolved;
  socket_ = socket(AF_INET, SOCK_DGRAM, 0);
  if (socket_ < 0) {
    socket_ = -1;
    lastError_ = GetErrorStr(errno);
    return kNetSocketError;
  }
  const sockaddr_in peer = MakePeerAddress(ip, port);
  if (connect(socket_, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) != 0) {
    lastError_ = GetErrorStr(errno);
    return kNetConnectError;
  }
  return 1;
}

int TSyncSocket::Connected() {
  if (socket_ == -1) return 0;
  String ignored;
  return WaitForSocket(socket_, SocketWait::kReadable, kConnectedProbeMs, ignored) >= 0 ? 1 : 0;
}

void TSyncSocket::Disconnect() {
  lastError_ = "";
  if (socket_ != -1) {
    close(socket_);
    socket_ = -1;
  }
}

int TSyncSocket::ReadString(String& out, int timeout) {
  lastError_ = "";
  out = "";
  const int ready = WaitForSocket(socket_, SocketWait::kReadable, timeout, lastError_);
  if (ready < 0) return kNetReceiveError;
  if (ready == 0) {
    lastError_ = kTimeoutText;
    return kNetTimeout;
  }
  std::vector<char> chunk(kReceiveChunk);
  const ssize_t received = recv(socket_, chunk.data(), chunk.size(), 0);
  if (received < 0) {
    if (errno == ETIMEDOUT) {
      lastError_ = kTimeoutText;
      return kNetTimeout;
    }
    lastError_ = GetErrorStr(errno);
    return kNetReceiveError;
  }
  out.AddData(chunk.data(), static_cast<int>(received));
  return static_cast<int>(received);
}

int TSyncSocket::SendBuf(const char* buf, int len, int /*timeout*/) {
  lastError_ = "";
  if (len < 1) return 0;
  const ssize_t sent = send(socket_, buf, static_cast<size_t>(len), kSendFlags);
  if (sent < 0) {
    lastError_ = GetErrorStr(errno);
    return kNetSendError;
  }
  return static_cast<int>(sent);
}

int TSyncSocket::SendString(const String& text, int timeout) {
  return SendBuf(text.Data(), text.Length(), timeout);
}
