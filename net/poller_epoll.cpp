// The Linux readiness notifier (see poller.h), over epoll.
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

#include "net/poller.h"
#include "net/sockets.h"

namespace {
constexpr int kMaxBatch = 256;
}  // namespace

Poller::Poller() : fd_(epoll_create1(EPOLL_CLOEXEC)) {
  if (fd_ < 0) createErrno_ = errno;
}

Poller::~Poller() {
  if (fd_ >= 0) close(fd_);
}

bool Poller::Ok(String& error) const {
  if (fd_ >= 0) return true;
  error = GetErrorStr(createErrno_);
  return false;
}

int Poller::Add(int fd, std::uint64_t token, String& error) {
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP;
  event.data.u64 = token;
  if (epoll_ctl(fd_, EPOLL_CTL_ADD, fd, &event) == 0) return 1;
  error = GetErrorStr(errno);
  return 0;
}

void Poller::Remove(int fd) {
  epoll_ctl(fd_, EPOLL_CTL_DEL, fd, nullptr);
}

int Poller::Wait(PollEvent* events, int capacity, int timeoutMs) {
  epoll_event ready[kMaxBatch];
  const int wanted = capacity < kMaxBatch ? capacity : kMaxBatch;
  const int count = epoll_wait(fd_, ready, wanted, timeoutMs);
  if (count < 0) return errno == EINTR ? 0 : -1;
  for (int i = 0; i < count; ++i) {
    events[i].token = ready[i].data.u64;
    events[i].readable = (ready[i].events & (EPOLLIN | EPOLLRDHUP)) != 0;
    events[i].failed = (ready[i].events & (EPOLLERR | EPOLLHUP)) != 0;
  }
  return count;
}
