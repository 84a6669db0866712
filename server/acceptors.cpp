// The accepting threads (see acceptors.h).
//
// Each accept() call is bracketed by users_: Withdraw() first makes the
// socket unpublished (a new generation), then shuts it down, then waits for
// users_ to reach zero. A thread either sees the new generation before it
// calls accept() and does not call it, or it is counted and its accept()
// returns once the socket is shut down (EINVAL). Either way no thread calls
// accept() on a descriptor that the caller may already have closed and the
// system handed out again.
#include "server/acceptors.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <utility>

namespace {

// Threads started with the first socket: about the number of cores.
constexpr int kEagerThreads = 2;
// Pause after accept() failed for want of descriptors or memory.
constexpr useconds_t kNoRoomPauseUs = 10 * 1000;
// Withdraw() waits at most this long for the threads to leave accept();
// they leave within microseconds of the shutdown.
constexpr auto kWithdrawLimit = std::chrono::seconds(2);

enum class AcceptOutcome { kRetry, kNoRoom, kWithdrawn, kFailed };

AcceptOutcome Classify(int error) {
  switch (error) {
    case EINVAL:
      return AcceptOutcome::kWithdrawn;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return AcceptOutcome::kNoRoom;
    case EBADF:
    case ENOTSOCK:
    case EFAULT:
    case EOPNOTSUPP:
      return AcceptOutcome::kFailed;
    default:
      // EINTR, ECONNABORTED, EPERM and the network errors of a connection
      // that failed before it was taken: the next one may be fine.
      return AcceptOutcome::kRetry;
  }
}

}  // namespace

Acceptors::Acceptors(Callbacks callbacks) : callbacks_(std::move(callbacks)) {}

Acceptors::~Acceptors() {
  Withdraw();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  published_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

bool Acceptors::Publish(int listenSocket) {
  std::lock_guard<std::mutex> lock(mutex_);
  socket_ = listenSocket;
  ++generation_;
  publishedGeneration_.store(generation_);
  while (static_cast<int>(threads_.size()) < kEagerThreads && StartThread()) {
  }
  published_.notify_all();
  return !threads_.empty();
}

void Acceptors::Withdraw() {
  int socket = -1;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (socket_ < 0) return;
    socket = socket_;
    socket_ = -1;
    ++generation_;
    publishedGeneration_.store(generation_);
  }
  shutdown(socket, SHUT_RDWR);
  const auto deadline = std::chrono::steady_clock::now() + kWithdrawLimit;
  while (users_.load() > 0 && std::chrono::steady_clock::now() < deadline) {
    usleep(100);
  }
}

int Acceptors::Threads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(threads_.size());
}

bool Acceptors::StartThread() {
  // Thread creation can fail (out of memory or a process limit): the
  // threads that exist carry on.
  try {
    threads_.emplace_back(&Acceptors::ThreadLoop, this);
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void Acceptors::StartAnotherIfNoneWaits(int stillWaiting) {
  if (stillWaiting > 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return;
  const int limit = callbacks_.MaxThreads ? callbacks_.MaxThreads() : kEagerThreads;
  if (static_cast<int>(threads_.size()) < limit) StartThread();
}

void Acceptors::ThreadLoop() {
  int seenGeneration = 0;
  for (;;) {
    int socket = -1;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      published_.wait(lock, [&] {
        return stopping_ || (socket_ >= 0 && generation_ != seenGeneration);
      });
      if (stopping_) return;
      socket = socket_;
      seenGeneration = generation_;
    }
    AcceptOn(socket, seenGeneration);
  }
}

void Acceptors::AcceptOn(int socket, int generation) {
  for (;;) {
    users_.fetch_add(1);
    if (publishedGeneration_.load() != generation) {
      users_.fetch_sub(1);
      return;
    }
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    waiting_.fetch_add(1);
    const int connection = accept4(socket, reinterpret_cast<sockaddr*>(&peer), &length,
                                   SOCK_NONBLOCK | SOCK_CLOEXEC);
    const int error = errno;
    const int stillWaiting = waiting_.fetch_sub(1) - 1;
    users_.fetch_sub(1);
    if (connection >= 0) {
      StartAnotherIfNoneWaits(stillWaiting);
      callbacks_.Accepted(connection, peer.sin_addr);
      continue;
    }
    switch (Classify(error)) {
      case AcceptOutcome::kRetry:
        continue;
      case AcceptOutcome::kNoRoom:
        if (callbacks_.NoRoom) callbacks_.NoRoom(error);
        usleep(kNoRoomPauseUs);
        continue;
      case AcceptOutcome::kWithdrawn:
        return;
      case AcceptOutcome::kFailed:
        if (callbacks_.Failed) callbacks_.Failed(error);
        return;
    }
  }
}
