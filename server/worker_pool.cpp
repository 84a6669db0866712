// The request workers (see worker_pool.h).
#include "server/worker_pool.h"

#include <system_error>
#include <utility>

WorkerPool::WorkerPool(Serve serve) : serve_(std::move(serve)) {}

WorkerPool::~WorkerPool() {
  std::deque<PendingRequest> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    left.swap(queue_);
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  if (discard_) {
    for (PendingRequest& job : left) discard_(job);
  }
}

bool WorkerPool::Submit(PendingRequest&& job, int limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  limit_ = limit < 1 ? 1 : limit;
  const bool needThread = idle_ == 0 && static_cast<int>(threads_.size()) < limit_;
  if (needThread) {
    // Thread creation can fail (out of memory or a process limit): the
    // workers that exist then carry on with the queue.
    try {
      threads_.emplace_back(&WorkerPool::WorkerLoop, this);
    } catch (const std::system_error&) {
      if (threads_.empty()) return false;
    }
  }
  queue_.push_back(std::move(job));
  lock.unlock();
  wake_.notify_one();
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
    wake_.wait(lock, [this] { return stopping_ || (!queue_.empty() && busy_ < limit_); });
    --idle_;
    if (stopping_) return;
    PendingRequest job = std::move(queue_.front());
    queue_.pop_front();
    ++busy_;
    lock.unlock();
    serve_(job);
    lock.lock();
    --busy_;
    // A lowered limit may have kept a job waiting that this one's end frees.
    if (!queue_.empty()) wake_.notify_one();
  }
}
