// Loopback TCP and UDP peers for the exchange and network handler tests: an
// echo service, a silent one and one that hangs up at once, each on its own
// 127.0.0.1 port served by a thread of its own, plus a port that refuses
// connections. Every wait is bounded; the destructor stops the thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace jextest {

enum class PeerMode { kEcho, kSilent, kHangUp };

inline int BoundLoopbackSocket(int type, int* port) {
  const int fd = socket(AF_INET, type, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

// True when fd has something to read within timeoutMs.
inline bool Readable(int fd, int timeoutMs) {
  pollfd item{fd, POLLIN, 0};
  return poll(&item, 1, timeoutMs) > 0;
}

class LoopbackPeer {
 public:
  // type SOCK_STREAM or SOCK_DGRAM.
  LoopbackPeer(int type, PeerMode mode) : type_(type), mode_(mode) {
    fd_ = BoundLoopbackSocket(type, &port_);
    if (type == SOCK_STREAM) listen(fd_, 16);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LoopbackPeer() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  int Port() const { return port_; }
  // Everything received, one entry per connection or datagram.
  std::vector<std::string> Received() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  // Waits up to timeoutMs for at least count entries.
  std::vector<std::string> WaitForReceived(size_t count, int timeoutMs) const {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
      if (Received().size() >= count) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Received();
  }

 private:
  void Serve() {
    while (!stop_) {
      if (!Readable(fd_, 20)) continue;
      if (type_ == SOCK_DGRAM) {
        ServeDatagram();
      } else {
        ServeConnection();
      }
    }
  }

  void ServeDatagram() {
    char buffer[65536];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t got =
        recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 0) return;
    Record(std::string(buffer, static_cast<size_t>(got)));
    if (mode_ == PeerMode::kEcho) {
      sendto(fd_, buffer, static_cast<size_t>(got), 0, reinterpret_cast<sockaddr*>(&from), length);
    }
  }

  // One connection: everything that arrives until the client hangs up,
  // echoed piece by piece in echo mode.
  void ServeConnection() {
    const int client = accept(fd_, nullptr, nullptr);
    if (client < 0) return;
    std::string all;
    if (mode_ != PeerMode::kHangUp) {
      char buffer[65536];
      while (!stop_) {
        if (!Readable(client, 20)) continue;
        const ssize_t got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        all.append(buffer, static_cast<size_t>(got));
        if (mode_ == PeerMode::kEcho) send(client, buffer, static_cast<size_t>(got), MSG_NOSIGNAL);
      }
    }
    close(client);
    Record(all);
  }

  void Record(std::string bytes) {
    const std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(std::move(bytes));
  }

  int type_;
  PeerMode mode_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> received_;
  std::thread thread_;
};

// A loopback TCP port that is bound but not listening: connections are
// refused for as long as the object lives.
class RefusingPort {
 public:
  RefusingPort() : fd_(BoundLoopbackSocket(SOCK_STREAM, &port_)) {}
  ~RefusingPort() { close(fd_); }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  int Port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

}  // namespace jextest
