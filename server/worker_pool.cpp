// The request workers (see worker_pool.h).
#include "server/worker_pool.h"

#include <system_error>
#include <utility>

namespace {
// Threads started without waiting: about the number of cores.
constexpr int kEagerWorkers = 2;
// How long the oldest job may wait with every worker busy before another
// worker is started.
constexpr auto kGrowAfter = std::chrono::microseconds(1500);
}  // namespace

WorkerPool::WorkerPool(Serve serve) : serve_(std::move(serve)) {}

WorkerPool::~WorkerPool() {
  std::deque<PendingRequest> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    left.swap(queue_);
    queued_.store(0);
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  if (discard_) {
    for (PendingRequest& job : left) discard_(job);
  }
}

bool WorkerPool::StartThread() {
  // Thread creation can fail (out of memory or a process limit): the
  // workers that exist then carry on with the queue.
  try {
    threads_.emplace_back(&WorkerPool::WorkerLoop, this);
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

bool WorkerPool::Submit(PendingRequest&& job, int limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  limit_ = limit < 1 ? 1 : limit;
  const int threads = static_cast<int>(threads_.size());
  if (idle_ == 0 && threads < limit_ && threads < kEagerWorkers) {
    if (!StartThread() && threads_.empty()) return false;
  }
  job.Queued = std::chrono::steady_clock::now();
  queue_.push_back(std::move(job));
  queued_.store(static_cast<int>(queue_.size()));
  const bool wake = idle_ > 0;
  lock.unlock();
  if (wake) wake_.notify_one();
  return true;
}

bool WorkerPool::Reserve(int limit) {
  int busy = busy_.load();
  while (busy < limit) {
    if (busy_.compare_exchange_weak(busy, busy + 1)) return true;
  }
  return false;
}

bool WorkerPool::TryServeHere(int limit) {
  // Queued jobs came first.
  if (queued_.load() > 0) return false;
  return Reserve(limit < 1 ? 1 : limit);
}

void WorkerPool::ServedHere() {
  busy_.fetch_sub(1);
  if (queued_.load() == 0) return;
  // A worker that found no room decided so under the lock: taking it here
  // means that worker is already waiting and gets the notification.
  { std::lock_guard<std::mutex> lock(mutex_); }
  wake_.notify_one();
}

bool WorkerPool::Grow() {
  std::lock_guard<std::mutex> lock(mutex_);
  // Nothing to decide while a woken worker is about to take the job, or
  // when no more workers may be started.
  if (queue_.empty() || idle_ > 0 || static_cast<int>(threads_.size()) >= limit_) return false;
  const bool waitedLong = std::chrono::steady_clock::now() - queue_.front().Queued > kGrowAfter;
  if (waitedLong) {
    StartThread();
    // The new worker takes the front job; the next one gets its own time.
    queue_.front().Queued = std::chrono::steady_clock::now();
  }
  return true;
}

int WorkerPool::Threads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(threads_.size());
}

int WorkerPool::Queued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(queue_.size());
}

void WorkerPool::WorkerLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ++idle_;
    // Room is reserved as part of the check, so that requests served in
    // place (TryServeHere) and queued ones never exceed the limit together.
    bool reserved = false;
    wake_.wait(lock, [&] {
      reserved = !stopping_ && !queue_.empty() && Reserve(limit_);
      return stopping_ || reserved;
    });
    --idle_;
    if (!reserved) return;  // stopping
    PendingRequest job = std::move(queue_.front());
    queue_.pop_front();
    queued_.store(static_cast<int>(queue_.size()));
    lock.unlock();
    serve_(job);
    lock.lock();
    busy_.fetch_sub(1);
    // This worker takes the next job itself; another one is woken only for
    // a job beyond that, which the limit may have held back until now.
    if (queue_.size() > 1 && idle_ > 0) wake_.notify_one();
  }
}
