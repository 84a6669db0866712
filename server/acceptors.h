// The threads that accept connections. Each waits in a blocking accept()
// on the published listening socket and hands the new connection to the
// caller's function on its own thread, so a request that arrives with its
// connection (the usual case) is read and carried out by the thread that
// accepted it: one wake-up per request, no hand-off.
//
// Whenever a thread takes a connection and no other is left waiting in
// accept(), one more is started, up to the limit the caller gives; a thread
// busy with a long request therefore never keeps new connections waiting
// while the limit has room. Threads are kept once started.
//
// The listening socket is the caller's: Publish() lends it, Withdraw() takes
// it back, returning only when no thread can still be in accept() on it, so
// the caller may close it at once.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class Acceptors {
 public:
  struct Callbacks {
    // A new connection (non-blocking, close-on-exec); the function owns it.
    std::function<void(int socket, in_addr peer)> Accepted;
    // accept() failed for want of descriptors or memory; the thread pauses
    // briefly after the call so as not to spin on the pending connection.
    std::function<void(int error)> NoRoom;
    // accept() failed in a way that retrying cannot mend.
    std::function<void(int error)> Failed;
    // Most threads to run; read each time one more is considered.
    std::function<int()> MaxThreads;
  };

  explicit Acceptors(Callbacks callbacks);
  // Withdraws the socket, then waits for every thread; the threads must be
  // able to finish what they are carrying out.
  ~Acceptors();
  Acceptors(const Acceptors&) = delete;
  Acceptors& operator=(const Acceptors&) = delete;

  // Lends a listening socket (blocking) to the threads, starting the first
  // few when none runs yet. Returns false when no thread runs and none could
  // be started.
  bool Publish(int listenSocket);

  // Stops accepting on the published socket: it is shut down, which wakes
  // every blocked accept(), and the call returns once none of them uses it.
  // The socket is left open for the caller to close.
  void Withdraw();

  int Threads() const;

 private:
  void ThreadLoop();
  // Accepts on `socket` until it is withdrawn (its generation has passed).
  void AcceptOn(int socket, int generation);
  // Under mutex_.
  bool StartThread();
  void StartAnotherIfNoneWaits(int stillWaiting);

  Callbacks callbacks_;
  mutable std::mutex mutex_;
  std::condition_variable published_;
  std::vector<std::thread> threads_;
  int socket_ = -1;      // under mutex_; -1 while nothing is published
  int generation_ = 0;   // counts publications, under mutex_
  bool stopping_ = false;
  // generation_, for the threads to check without the lock before each
  // accept().
  std::atomic<int> publishedGeneration_{0};
  // Threads that may be in accept() on the published socket, and of those
  // the ones not yet holding a connection.
  std::atomic<int> users_{0};
  std::atomic<int> waiting_{0};
};
