// The workers that carry out complete requests. The event loop queues each
// whole request packet; at most `limit` of them are carried out at once
// (the maxsessions setting), the rest wait in arrival order. Threads are
// started as the load needs them, up to the limit, and then kept: no thread
// is created or torn down per request.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/request.h"
#include "server/session.h"

// A connection whose request packet has arrived whole.
struct PendingRequest {
  ThreadParams Connection;
  OXRequest Packet;
};

class WorkerPool {
 public:
  using Serve = std::function<void(PendingRequest&)>;

  explicit WorkerPool(Serve serve);
  // Stops taking jobs, lets running ones finish and joins every worker; jobs
  // still queued are handed to `discard` first (when given).
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues the job. `limit` (at least 1) is the number of jobs carried out
  // at once from now on; a worker thread is started when every existing one
  // is busy and fewer than `limit` exist. Returns false (the job is left to
  // the caller) only when no worker exists and none can be started.
  bool Submit(PendingRequest&& job, int limit);

  // What happens to jobs still queued when the pool goes.
  void SetDiscard(Serve discard) { discard_ = std::move(discard); }

  int Threads() const;
  int Queued() const;

 private:
  void WorkerLoop();

  Serve serve_;
  Serve discard_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<PendingRequest> queue_;
  std::vector<std::thread> threads_;
  int idle_ = 0;   // workers waiting for a job
  int busy_ = 0;   // jobs being carried out
  int limit_ = 1;  // most jobs carried out at once
  bool stopping_ = false;
};
