// The accepting threads: every connection handed over once, company for a
// thread held by a long request up to the limit, and a listening socket that
// can be withdrawn and replaced while clients keep connecting.
#include "server/acceptors.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "net/sockets.h"

#include "tests/server/polling.h"

namespace {

using jextest::Within2s;

// A blocking listening socket on a free loopback port.
int ListenOnLoopback(int& port) {
  String error;
  const int socket = TcpListen("127.0.0.1", 0, nullptr, error);
  if (socket <= 0) return -1;
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length);
  port = ntohs(bound.sin_port);
  return socket;
}

// Connects and waits until the peer closes (or two seconds pass); returns
// whether the connection was made at all.
bool ConnectAndWaitForClose(int port) {
  const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  if (socket < 0) return false;
  TSocketHandle guard(socket);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
  timeval limit{2, 0};
  setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char byte;
  return recv(socket, &byte, 1, 0) == 0;
}

Acceptors::Callbacks Closing(std::atomic<int>& accepted, int maxThreads) {
  Acceptors::Callbacks callbacks;
  callbacks.Accepted = [&accepted](int socket, in_addr) {
    ++accepted;
    close(socket);
  };
  callbacks.MaxThreads = [maxThreads] { return maxThreads; };
  return callbacks;
}

TEST(Acceptors, HandsEveryConnectionOverOnce) {
  int port = 0;
  TSocketHandle listener(ListenOnLoopback(port));
  ASSERT_TRUE(listener.Valid());
  std::atomic<int> accepted{0};
  Acceptors acceptors(Closing(accepted, 4));
  ASSERT_TRUE(acceptors.Publish(listener.Get()));
  constexpr int kClients = 8, kEach = 25;
  std::atomic<int> closedByPeer{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) closedByPeer += ConnectAndWaitForClose(port) ? 1 : 0;
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(closedByPeer, kClients * kEach);
  EXPECT_EQ(accepted, kClients * kEach);
  EXPECT_LE(acceptors.Threads(), 4);
}

TEST(Acceptors, ALongRequestGetsCompanyUpToTheLimit) {
  int port = 0;
  TSocketHandle listener(ListenOnLoopback(port));
  ASSERT_TRUE(listener.Valid());
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  std::atomic<int> holding{0}, accepted{0};
  Acceptors::Callbacks callbacks;
  callbacks.Accepted = [&](int socket, in_addr) {
    ++accepted;
    ++holding;
    std::unique_lock<std::mutex> lock(mutex);
    released.wait_for(lock, std::chrono::seconds(5), [&] { return release; });
    close(socket);
  };
  callbacks.MaxThreads = [] { return 3; };
  Acceptors acceptors(callbacks);
  ASSERT_TRUE(acceptors.Publish(listener.Get()));
  // Four held connections: three threads take one each, the fourth waits in
  // the backlog until a thread is free.
  std::vector<std::thread> clients;
  for (int i = 0; i < 4; ++i) clients.emplace_back([&] { ConnectAndWaitForClose(port); });
  EXPECT_TRUE(Within2s([&] { return holding == 3; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(accepted, 3);
  EXPECT_EQ(acceptors.Threads(), 3);
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  released.notify_all();
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(accepted, 4);
}

// What a port switch does: withdraw the socket, close it, publish another;
// clients keep connecting all the while.
TEST(Acceptors, SocketsCanBeReplacedWhileClientsConnect) {
  std::atomic<int> accepted{0};
  Acceptors acceptors(Closing(accepted, 3));
  std::atomic<int> currentPort{0};
  std::atomic<bool> stop{false};
  int port = 0;
  int listener = ListenOnLoopback(port);
  ASSERT_GT(listener, 0);
  currentPort = port;
  ASSERT_TRUE(acceptors.Publish(listener));
  std::atomic<int> served{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 3; ++c) {
    clients.emplace_back([&] {
      for (int i = 0; i < 2000 && !stop; ++i) served += ConnectAndWaitForClose(currentPort) ? 1 : 0;
    });
  }
  for (int round = 0; round < 10; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto before = std::chrono::steady_clock::now();
    acceptors.Withdraw();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    close(listener);
    listener = ListenOnLoopback(port);
    ASSERT_GT(listener, 0);
    currentPort = port;
    ASSERT_TRUE(acceptors.Publish(listener));
  }
  // The last socket still serves.
  EXPECT_TRUE(ConnectAndWaitForClose(currentPort));
  stop = true;
  for (std::thread& client : clients) client.join();
  acceptors.Withdraw();
  close(listener);
  EXPECT_GT(served, 0);
  // Every connection made to a published socket was handed over; those made
  // to a withdrawn one were refused or reset, never left hanging.
  EXPECT_GE(accepted, served);
}

}  // namespace
