// Readiness notification for many sockets at once: the event loop registers
// each descriptor it reads with a caller-chosen token and waits for those
// that became readable or were hung up. The interface is the whole of what
// the agent needs, so another platform's notifier is one more source file
// (poller_epoll.cpp is the Linux one).
#pragma once

#include <cstdint>

#include "foundation/tqstring.h"

struct PollEvent {
  std::uint64_t token = 0;
  bool readable = false;  // data, a new connection, or end of stream
  bool failed = false;    // error or hang-up: reading will tell which
};

class Poller {
 public:
  Poller();
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  // False when the notifier could not be created; `error` tells why.
  bool Ok(String& error) const;

  // Watches fd for readability (level-triggered) under `token`. Returns 1,
  // or 0 with the reason in `error`.
  int Add(int fd, std::uint64_t token, String& error);
  // Stops watching fd. Closing a descriptor also stops it.
  void Remove(int fd);

  // Waits up to timeoutMs (-1: without limit) and fills at most `capacity`
  // events. Returns the number filled, 0 on time-out or interruption, -1 on
  // failure.
  int Wait(PollEvent* events, int capacity, int timeoutMs);

 private:
  int fd_ = -1;
  int createErrno_ = 0;
};
