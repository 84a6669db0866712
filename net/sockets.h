// Socket layer: the listening socket, outgoing TCP connections with a connect
// time-out, the synchronous socket of the send actions, thread-safe IPv4 name
// resolution and address formatting, and system error texts.
//
// Connecting and exchanging operations return one of the network result codes
// below and put the reason into a caller-supplied String (empty on success).
//
// Waiting: every wait goes through WaitForSocket, over poll(), so descriptors
// of any number can be waited on (an agent holding thousands of connections
// has high ones); a negative or closed one fails with the system text for
// EBADF.
#pragma once

#include <netdb.h>
#include <netinet/in.h>

#include <mutex>

#include "foundation/tqstring.h"

// Network result codes (a positive value is success: 1 for a connection, a
// byte count for a transfer).
constexpr int kNetTimeout = 0;        // time-out, or the peer sent nothing
constexpr int kNetResolveError = -2;  // the host name cannot be resolved
constexpr int kNetSocketError = -3;   // socket cannot be created / made non-blocking
constexpr int kNetSendError = -4;     // sending failed
constexpr int kNetReceiveError = -5;  // receiving failed
constexpr int kNetConnectError = -6;  // connecting failed

// Serialises the C library's non-re-entrant address formatter (inet_ntoa) and
// any other non-re-entrant resolver call. Never held together with another lock.
extern std::mutex iplib_mutex;

// Owns one socket descriptor and closes it on destruction. Movable, not
// copyable. -1 means "no descriptor".
class TSocketHandle {
 public:
  TSocketHandle() = default;
  explicit TSocketHandle(int fd) : fd_(fd) {}
  ~TSocketHandle() { Reset(); }
  TSocketHandle(TSocketHandle&& other) noexcept : fd_(other.Release()) {}
  TSocketHandle& operator=(TSocketHandle&& other) noexcept;
  TSocketHandle(const TSocketHandle&) = delete;
  TSocketHandle& operator=(const TSocketHandle&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it; the handle is left empty.
  int Release();
  // Closes the held descriptor (if any) and takes fd.
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

enum class SocketWait { kReadable, kWritable };

// Waits with poll() until sock is readable or writable, at most timeoutMs
// milliseconds (a negative time-out counts as 0; an interrupted wait resumes
// with the time left). Returns 1 when ready, 0 on time-out, -1 on failure with
// the reason in error (error is left alone otherwise).
int WaitForSocket(int sock, SocketWait what, int timeoutMs, String& error);

// Opens a listening IPv4 TCP socket (SO_REUSEADDR, backlog 512) on node
// (null: every local address) and service (a port number or service name).
// Returns the socket, or 0 with the reason in error: the resolver's own text,
// "socket() or bind() error" or "listen() error". When addrlen is not null it
// receives the length of the bound address.
int TcpListen(const char* node, const char* service, unsigned int* addrlen, String& error);
// The same with the port given as a number.
int TcpListen(const char* node, int port, unsigned int* addrlen, String& error);

// Re-entrant host name lookup with the calling convention of the C library's
// gethostbyname_r: the record goes into *resultBuf, the data it points to into
// buf (buflen bytes). Returns 0 with *result = resultBuf and *hErrno = 0, or -1
// with *result = null and the resolver's error code in *hErrno (for example
// when the name is unknown or buf is too small). Names in the reserved
// ".invalid" domain fail at once without asking any name server.
int ResolveHostName(const char* name, hostent* resultBuf, char* buf, unsigned long buflen,
                    hostent** result, int* hErrno);

// Resolves host (dotted IPv4 address or host name) to an IPv4 address in
// network byte order in *ip (ip must not be null). Returns 1, or -2 with
// "Cannot resolve server name to IP address" or "Name resolution error: unknown
// address structure" in error (*ip is then untouched).
int GetHostIP(const char* host, unsigned int* ip, String& error);

// The IPv4 address (network byte order) of the local host name; 0 when the
// name cannot be read or resolved.
unsigned int GetMyIP();

// Writes the dotted form of addr into dst: at most size - 1 characters and a
// terminating zero at dst[size - 1]. Returns dst (untouched when size < 1).
char* inet_ntoa_safe(in_addr addr, char* dst, int size);
// The dotted form of addr (network byte order).
String IP2String(unsigned int addr);

// The system's text for an error number; empty when there is none.
String GetErrorStr(int errnum);

// Connects sock to host:port over TCP. timeout 0 makes a plain blocking
// connect; otherwise the socket is made non-blocking (and stays so) and the
// connection must complete within timeout milliseconds. Returns 1, 0 with
// "Timeout", -2 (resolution), -3 (socket; "ioctl error - " + the system text
// when it cannot be made non-blocking) or -6 (the system text). sock is -1 when
// no socket was created; after any later failure it keeps the descriptor and
// the caller must close it.
int PerformConnect(int& sock, const char* host, int port, int timeout, String& error);

// A connected TCP (kind 1) or UDP (any other kind) socket used synchronously
// by one thread. Every operation clears LastError() first and leaves the
// reason of a failure there. The destructor disconnects.
class TSyncSocket {
 public:
  explicit TSyncSocket(int kind) : kind_(kind) {}
  ~TSyncSocket() { Disconnect(); }
  TSyncSocket(const TSyncSocket&) = delete;
  TSyncSocket& operator=(const TSyncSocket&) = delete;

  // Connects to host:port (a socket already held is closed first). TCP: the
  // codes of PerformConnect with timeout in milliseconds. UDP: the codes of
  // GetHostIP, -3 or -6; timeout is not used. On failure no socket is kept.
  int Connect(const char* host, int port, int timeout);
  // 1 when a socket is held and a wait on it works; a peer that has closed
  // is not detected.
  int Connected();
  void Disconnect();
  // Waits up to timeout milliseconds for data and receives once (at most 20480
  // bytes) into out, which is cleared first. Returns the byte count, 0 when
  // the peer has closed (empty error) or on time-out ("Timeout"), or -5 with
  // the system text (also when no usable socket is held).
  int ReadString(String& out, int timeout);
  // One send of len bytes (no retry of a partial send). Returns the count
  // sent, 0 when len < 1, or -4 with the system text. timeout is not used.
  int SendBuf(const char* buf, int len, int timeout);
  int SendString(const String& text, int timeout);

  int Socket() const { return socket_; }
  int Kind() const { return kind_; }
  const String& LastError() const { return lastError_; }

 private:
  int ConnectDatagram(const char* host, int port);

  int socket_ = -1;
  int kind_;
  String lastError_;
};
