// Bounded polling for the threaded server tests: a condition that other
// threads make true is looked at every millisecond for at most two seconds.
#pragma once

#include <chrono>
#include <thread>

namespace jextest {

template <typename Condition>
bool Within2s(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!condition() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return condition();
}

}  // namespace jextest
