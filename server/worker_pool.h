// The workers that carry out complete requests. The event loop queues each
// whole request packet; at most `limit` of them are carried out at once
// (the maxsessions setting), counting those carried out by the threads that
// accepted them (TryServeHere), and the rest wait in arrival order. Threads are
// started as the load needs them, up to the limit, and then kept: no thread
// is created or torn down per request.
//
// Cheap requests are served best by as few threads as there are cores, so
// only a couple are started at once; a further thread is started whenever a
// request has waited in the queue longer than a millisecond or so with no
// worker free (Grow), which is how requests that block (programs, scripts,
// network tests, large files) get threads of their own and never hold up
// the cheap ones for long.
#pragma once

#include <atomic>
#include <chrono>
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
  std::chrono::steady_clock::time_point Queued{};  // set by Submit
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
  // is busy and fewer than the eager few exist. Returns false (the job is
  // left to the caller) only when no worker exists and none can be started.
  bool Submit(PendingRequest&& job, int limit);

  // For a request carried out on the caller's own thread (one that accepted
  // the connection): counts it in the limit the queued jobs share and
  // returns true when room was left; false leaves the job to Submit.
  bool TryServeHere(int limit);
  // The end of a request that TryServeHere admitted.
  void ServedHere();

  // Starts one more worker (up to the limit) when the oldest queued job has
  // waited too long with every worker busy. Returns whether jobs wait with
  // every worker busy and room for more, so that the caller looks again soon.
  bool Grow();

  // What happens to jobs still queued when the pool goes.
  void SetDiscard(Serve discard) { discard_ = std::move(discard); }

  int Threads() const;
  int Queued() const;

 private:
  void WorkerLoop();
  // Under mutex_. False only when the thread cannot be created.
  bool StartThread();
  // Counts one more job being carried out when fewer than `limit` are.
  bool Reserve(int limit);

  Serve serve_;
  Serve discard_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<PendingRequest> queue_;
  std::vector<std::thread> threads_;
  int idle_ = 0;   // workers waiting for a job
  // Jobs being carried out, in place or by the workers: changed without the
  // lock by TryServeHere and ServedHere, which take no lock on their way.
  std::atomic<int> busy_{0};
  std::atomic<int> queued_{0};  // queue_.size(), for reading without the lock
  int limit_ = 1;  // most jobs carried out at once
  bool stopping_ = false;
};
