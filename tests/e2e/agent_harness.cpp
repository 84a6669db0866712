// Process and file helpers of the end-to-end tests (see agent_harness.h).
#include "agent_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace e2e {

std::string AgentBinary() {
  return std::string(JEX_BINARY_DIR) + "/jex";
}
std::string ClientBinary() {
  return std::string(JEX_BINARY_DIR) + "/jexget";
}

int FreePort() {
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  close(probe);
  return ntohs(address.sin_port);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

namespace {

// Child side of a spawn: output to a file, then exec.
[[noreturn]] void ExecWithOutput(const std::vector<std::string>& args, const std::string& output) {
  const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd >= 0) {
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  const int null = open("/dev/null", O_RDONLY);
  if (null >= 0) dup2(null, STDIN_FILENO);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

int WaitChild(pid_t pid, int timeoutMs, bool& reaped) {
  int status = 0;
  const bool ended = Eventually(
      [&] {
        if (reaped) return true;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) reaped = true;
        return reaped;
      },
      timeoutMs);
  if (!ended) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

RunResult RunProgram(const std::vector<std::string>& args, int timeoutMs) {
  char pattern[] = "/tmp/jex-e2e-out-XXXXXX";
  const int fd = mkstemp(pattern);
  if (fd >= 0) close(fd);
  const std::string output = pattern;
  const pid_t pid = fork();
  if (pid == 0) ExecWithOutput(args, output);
  RunResult result;
  bool reaped = false;
  result.ExitCode = WaitChild(pid, timeoutMs, reaped);
  if (!reaped) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  result.Output = ReadFile(output);
  unlink(output.c_str());
  return result;
}

AgentProcess::AgentProcess() : port_(FreePort()), outputPath_(dir_.File("console.txt")) {
  config_ = {
      {"jexpath", AgentBinary()},  {"host", "127.0.0.1"},       {"port", std::to_string(port_)},
      {"timeout", "4000"},         {"password", "e2e-secret"},  {"comment", "end-to-end"},
      {"allowmanage", "1"},        {"manageaddr", "127.0.0.1"}, {"allowupdates", "1"},
      {"updateaddr", "127.0.0.1"}, {"tmpdir", dir_.Path()},
  };
}

AgentProcess::~AgentProcess() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void AgentProcess::WriteConfig() const {
  std::string text = "# written by the end-to-end tests\n";
  for (const auto& [key, value] : config_) text += key + "=" + value + "\n";
  WriteFile(ConfigPath(), text);
}

void AgentProcess::Launch(const std::vector<std::string>& options) {
  WriteConfig();
  std::vector<std::string> args = {AgentBinary()};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back(ConfigPath());
  pid_ = fork();
  if (pid_ == 0) {
    if (descriptorLimit_ > 0) {
      const rlimit limit{static_cast<rlim_t>(descriptorLimit_), static_cast<rlim_t>(descriptorLimit_)};
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    ExecWithOutput(args, outputPath_);
  }
  reaped_ = false;
}

bool AgentProcess::Start(const std::vector<std::string>& options, int timeoutMs) {
  Launch(options);
  return WaitForOutput("Listening...", timeoutMs);
}

bool AgentProcess::WaitForOutput(const std::string& text, int timeoutMs) const {
  return Eventually([&] { return Output().find(text) != std::string::npos; }, timeoutMs);
}

int AgentProcess::WaitExit(int timeoutMs) {
  return WaitChild(pid_, timeoutMs, reaped_);
}

bool AgentProcess::Running() {
  if (reaped_) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) reaped_ = true;
  return !reaped_;
}

TAgentEndpoint AgentProcess::Endpoint() const {
  TAgentEndpoint agent;
  agent.Host = "127.0.0.1";
  agent.Port = port_;
  agent.Password = config_.at("password").c_str();
  agent.TimeoutMs = 5000;
  return agent;
}

String AgentProcess::Query(const String& command, const std::vector<String>& params,
                           const String& sourceAddress) const {
  TAgentEndpoint agent = Endpoint();
  agent.SourceAddress = sourceAddress;
  String reply;
  String error;
  if (!QueryAgent(agent, BuildRequestText(command, params), reply, error)) return String();
  return reply;
}

}  // namespace e2e
