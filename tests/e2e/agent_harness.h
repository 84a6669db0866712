// Runs the real jex binary for end-to-end tests: a temporary directory with a
// configuration file, a free loopback port, the process with its console
// output captured in a file, and bounded waits on both.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "client/agent_client.h"
#include "tests/support/test_support.h"

namespace e2e {

std::string AgentBinary();
std::string ClientBinary();

// A loopback TCP port that nothing listens on at the moment of the call.
int FreePort();

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);

using TempDir = jextest::TempDir;

// The result of running a program to its end.
struct RunResult {
  int ExitCode = -1;  // -1 when it did not end in time or was killed
  std::string Output;
};
// Runs a program with arguments and waits at most timeoutMs for it.
RunResult RunProgram(const std::vector<std::string>& args, int timeoutMs);

class AgentProcess {
 public:
  AgentProcess();
  ~AgentProcess();  // kills the agent if it still runs
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  // Configuration keys; the defaults give a working agent on Port().
  std::map<std::string, std::string>& Config() { return config_; }
  void WriteConfig() const;
  std::string ConfigPath() const { return dir_.File("jex.cfg"); }
  const TempDir& Dir() const { return dir_; }
  int Port() const { return port_; }

  // Starts `jex` with the given options before the configuration path
  // (default "-i") and waits until it prints "Listening...".
  bool Start(const std::vector<std::string>& options = {"-i"}, int timeoutMs = 15000);
  // Starts without waiting for anything.
  void Launch(const std::vector<std::string>& options);
  // Starts the agent with at most this many descriptors (soft and hard
  // limit); 0 leaves the limit as it is.
  void SetDescriptorLimit(int limit) { descriptorLimit_ = limit; }
  bool WaitForOutput(const std::string& text, int timeoutMs) const;
  std::string Output() const { return ReadFile(outputPath_); }
  // Waits for the process to end; its exit code, or -1 on time-out.
  int WaitExit(int timeoutMs);
  bool Running();
  pid_t Pid() const { return pid_; }

  TAgentEndpoint Endpoint() const;
  // One request; the reply text (code line first), empty when none came.
  String Query(const String& command, const std::vector<String>& params = {},
               const String& sourceAddress = String()) const;

 private:
  TempDir dir_;
  int port_;
  std::map<std::string, std::string> config_;
  std::string outputPath_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int descriptorLimit_ = 0;
};

// Bounded wait for a condition, polled every 20 ms.
template <typename Condition>
bool Eventually(Condition condition, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

}  // namespace e2e
