// The request workers: every job served once, never more at once than the
// limit, more threads only when jobs wait, queued jobs discarded at the end.
#include "server/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/server/polling.h"

namespace {

using jextest::Within2s;

PendingRequest Job(int id) {
  PendingRequest job;
  job.Connection.Socket = id;
  return job;
}

TEST(WorkerPool, ServesEveryJobWithinTheLimit) {
  constexpr int kJobs = 40;
  constexpr int kLimit = 3;
  std::atomic<int> served{0}, running{0}, mostAtOnce{0}, idSum{0};
  WorkerPool pool([&](PendingRequest& job) {
    const int now = ++running;
    int seen = mostAtOnce.load();
    while (now > seen && !mostAtOnce.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    idSum += job.Connection.Socket;
    --running;
    ++served;
  });
  for (int i = 1; i <= kJobs; ++i) {
    ASSERT_TRUE(pool.Submit(Job(i), kLimit));
    pool.Grow();
  }
  ASSERT_TRUE(Within2s([&] {
    pool.Grow();
    return served == kJobs;
  }));
  EXPECT_EQ(idSum, kJobs * (kJobs + 1) / 2);
  EXPECT_LE(mostAtOnce, kLimit);
  EXPECT_LE(pool.Threads(), kLimit);
}

TEST(WorkerPool, BlockedWorkersGetCompanyOnlyWhenJobsWait) {
  std::atomic<bool> release{false};
  std::atomic<int> served{0};
  WorkerPool pool([&](PendingRequest& job) {
    if (job.Connection.Socket < 0) {  // a job that blocks until released
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ++served;
  });
  // Cheap jobs alone stay with the eager few.
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(pool.Submit(Job(i), 16));
    ASSERT_TRUE(Within2s([&] { return served == i + 1; }));
    pool.Grow();
  }
  EXPECT_LE(pool.Threads(), 2);

  // Four blocking jobs hold every worker; the cheap one behind them gets a
  // thread of its own once it has waited.
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(pool.Submit(Job(-1), 16));
  ASSERT_TRUE(pool.Submit(Job(1000), 16));
  EXPECT_TRUE(Within2s([&] {
    pool.Grow();
    return served == 51;
  }));
  release = true;
  EXPECT_TRUE(Within2s([&] { return served == 55; }));
}

TEST(WorkerPool, QueuedJobsAreDiscardedWhenThePoolGoes) {
  std::atomic<bool> release{false};
  std::atomic<int> discarded{0};
  std::thread releaser;
  {
    WorkerPool pool([&](PendingRequest&) {
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    pool.SetDiscard([&](PendingRequest&) { ++discarded; });
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(pool.Submit(Job(i), 1));
    ASSERT_TRUE(Within2s([&] { return pool.Queued() == 4; }));
    // The running job ends only after the pool has begun to go.
    releaser = std::thread([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      release = true;
    });
  }
  releaser.join();
  EXPECT_EQ(discarded, 4);
}

// Requests carried out by the threads that accepted them share the limit
// with the queued ones, and queued jobs keep their turn.
TEST(WorkerPool, RequestsServedElsewhereCountInTheLimit) {
  std::atomic<int> served{0};
  WorkerPool pool([&](PendingRequest&) { ++served; });
  ASSERT_TRUE(pool.TryServeHere(2));
  ASSERT_TRUE(pool.TryServeHere(2));
  EXPECT_FALSE(pool.TryServeHere(2));
  ASSERT_TRUE(pool.Submit(Job(1), 2));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(served, 0);
  pool.ServedHere();
  EXPECT_TRUE(Within2s([&] { return served == 1; }));
  pool.ServedHere();
  EXPECT_TRUE(pool.TryServeHere(2));
  pool.ServedHere();
}

}  // namespace
