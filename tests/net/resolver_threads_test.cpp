// Concurrency test: many threads resolve and format addresses at once and each
// must get its own, correct answer.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "net/sockets.h"

namespace {

std::string Dotted(unsigned int hostOrder) {
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", hostOrder >> 24, (hostOrder >> 16) & 255,
                (hostOrder >> 8) & 255, hostOrder & 255);
  return text;
}

// Does one round of formatting and resolution; returns the number of wrong answers.
int OneRound(unsigned int hostOrder) {
  int wrong = 0;
  const std::string expected = Dotted(hostOrder);
  const String formatted = IP2String(htonl(hostOrder));
  if (std::string(formatted.Data(), formatted.Length()) != expected) ++wrong;

  unsigned int ip = 0;
  String error;
  if (GetHostIP(expected.c_str(), &ip, error) != 1 || ip != htonl(hostOrder)) ++wrong;
  if (GetHostIP("localhost", &ip, error) != 1 || ip != htonl(INADDR_LOOPBACK)) ++wrong;
  if (GetHostIP("nowhere.invalid", &ip, error) != -2) ++wrong;
  return wrong;
}

TEST(ResolverThreads, ConcurrentCallsGetTheirOwnAnswers) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < kRounds; ++i) {
        // Distinct addresses per thread: 10.<t>.<i / 256>.<i % 256>.
        wrong += OneRound(0x0A000000u | (static_cast<unsigned int>(t) << 16) |
                          static_cast<unsigned int>(i));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
