// Running external programs with their own argument splitting, redirections and a time-out.
#include "foundation/execute.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/paths.h"

extern char** environ;

namespace {

constexpr const char* kNullDevice = "/dev/null";
constexpr const char* kExecErrorPrefix = "exec error: ";
constexpr int kExecFailedStatus = 255;
// Longest first line of the exec-error file taken into the message.
constexpr int kExecErrorLineMax = 254;
// Attempts to start a program file that is busy being written (10 ms apart).
constexpr int kBusyRetries = 20;

// ---------------------------------------------------------------------------
// Command-line splitting

bool IsUnquotedEnd(char c) {
  return c == ' ' || c == '\t' || c == '\0';
}

std::vector<std::string> SplitArguments(const char* text) {
  std::vector<std::string> args;
  if (!text) return args;
  int room = kArgumentAreaSize;
  const char* p = text;
  while (static_cast<int>(args.size()) < kMaxProgramArgs) {
    while (*p == ' ') ++p;
    if (*p == '\0') break;
    std::string arg;
    if (*p == '\'' || *p == '"') {
      const char quote = *p++;
      const char* end = std::strchr(p, quote);
      if (!end) end = p + std::strlen(p);
      arg.assign(p, end);
      p = end;
      if (*p) ++p;  // the closing quote
      if (*p) ++p;  // one character after it
    } else {
      const char* end = p + 1;  // the first character belongs to it, even a tab
      while (!IsUnquotedEnd(*end)) ++end;
      arg.assign(p, end);
      p = end;
      if (*p) ++p;  // the one separator
    }
    const int needed = static_cast<int>(arg.size()) + 1;
    if (needed > room) break;
    room -= needed;
    args.push_back(std::move(arg));
  }
  return args;
}

// ---------------------------------------------------------------------------
// Async-signal-safe helpers for the child

// Writes the decimal digits of value at dst; returns the end.
char* AppendDecimal(char* dst, long value) {
  char digits[24];
  int count = 0;
  unsigned long rest =
      value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
  do {
    digits[count++] = static_cast<char>('0' + rest % 10);
    rest /= 10;
  } while (rest && count < 23);
  if (value < 0) *dst++ = '-';
  while (count) *dst++ = digits[--count];
  return dst;
}

char* AppendText(char* dst, const char* text) {
  while (*text) *dst++ = *text++;
  return dst;
}

void WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t written = write(fd, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    length -= static_cast<size_t>(written);
  }
}

// Everything the child needs, built before fork so that the child only reads it.
struct ChildPlan {
  std::vector<std::string> args;
  std::vector<char*> argv;
  // Paths tried in turn, as execvp would try them.
  std::vector<std::string> candidates;
  // "/bin/sh", <candidate>, args[1...]: for a program file that is not a binary.
  std::vector<char*> shellArgv;
  std::string input = kNullDevice;
  std::string output = kNullDevice;
  std::string error = kNullDevice;
  bool errorSharesOutput = false;
  bool descriptor3SharesOutput = false;
  int outputFlags = 0;  // added to the flags the output file is opened with
  std::string workDir;  // empty: stay
  // Absolute "<tmpdir>/tmpjex-" (empty when no name could be formed) and the
  // buffer in which the child completes it.
  std::string execErrorPrefix;
  std::vector<char> execErrorPath;
  int maxDescriptor = 1024;
};

std::string ExecErrorPrefix() {
  char buf[1024];
  if (!gettempfilename(buf, sizeof buf, "tmpjex-")) return std::string();
  std::string prefix = buf;
  if (prefix.empty() || prefix[0] == '/') return prefix;
  const String cwd = GetCurrentDir();
  if (cwd.Length() == 0) return prefix;
  String absolute = IncludeTrailingPathDelimiter(cwd);
  return std::string(absolute.Data(), static_cast<size_t>(absolute.Length())) + prefix;
}

// "tmpjex-<pid>.txt" in the prepared directory, into the prepared buffer.
// Async-signal-safe. Null when no name can be formed.
const char* FormExecErrorPath(ChildPlan& plan, pid_t pid) {
  if (plan.execErrorPrefix.empty()) return nullptr;
  char* end = AppendText(plan.execErrorPath.data(), plan.execErrorPrefix.c_str());
  end = AppendDecimal(end, static_cast<long>(pid));
  end = AppendText(end, ".txt");
  *end = '\0';
  return plan.execErrorPath.data();
}

std::vector<std::string> ExecCandidates(const std::string& program) {
  if (program.find('/') != std::string::npos || program.empty()) return {program};
  const char* envPath = std::getenv("PATH");
  const std::string path = envPath ? envPath : "/bin:/usr/bin";
  std::vector<std::string> candidates;
  size_t start = 0;
  for (;;) {
    const size_t colon = path.find(':', start);
    std::string dir = path.substr(start, colon == std::string::npos ? colon : colon - start);
    if (dir.empty()) dir = ".";  // an empty entry is the working directory
    candidates.push_back(dir + "/" + program);
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return candidates;
}

int DescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      limit.rlim_cur > 0) {
    return static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 20));
  }
  const long max = sysconf(_SC_OPEN_MAX);
  return max > 0 ? static_cast<int>(std::min(max, 1L << 20)) : 1024;
}

void PreparePlan(ChildPlan& plan) {
  for (std::string& arg : plan.args) plan.argv.push_back(arg.data());
  plan.argv.push_back(nullptr);
  plan.candidates = ExecCandidates(plan.args[0]);
  static char shell[] = "/bin/sh";
  plan.shellArgv.push_back(shell);
  plan.shellArgv.push_back(nullptr);  // the candidate, set by the child
  for (size_t i = 1; i < plan.args.size(); ++i) plan.shellArgv.push_back(plan.args[i].data());
  plan.shellArgv.push_back(nullptr);
  plan.execErrorPrefix = ExecErrorPrefix();
  plan.execErrorPath.assign(plan.execErrorPrefix.size() + 32, '\0');
  plan.maxDescriptor = DescriptorLimit();
}

// Puts path on descriptor target (open, dup2, close).
void Redirect(const char* path, int flags, int target) {
  int fd;
  do {
    fd = open(path, flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) fd = open(kNullDevice, (flags & O_ACCMODE) | O_CLOEXEC);
  if (fd < 0) return;
  if (fd != target) {
    dup2(fd, target);
    close(fd);
  } else {
    fcntl(fd, F_SETFD, 0);
  }
}

void CloseDescriptorsFrom(int first, int limit) {
#if defined(__linux__) && defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34)
  if (close_range(static_cast<unsigned int>(first), ~0U, 0) == 0) return;
#endif
  for (int fd = first; fd < limit; ++fd) close(fd);
}

void ResetSignals() {
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    sigaction(sig, &standard, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Tries the candidates as execvp does; returns only on failure, with errno.
void ExecCandidatesInChild(ChildPlan& plan) {
  bool denied = false;
  int lastError = ENOENT;
  for (std::string& candidate : plan.candidates) {
    // A file just written is busy while a child forked meanwhile by another
    // thread still holds its descriptor; that lasts only until its own exec.
    for (int busy = 0; busy < kBusyRetries; ++busy) {
      execve(candidate.c_str(), plan.argv.data(), environ);
      lastError = errno;
      if (lastError != ETXTBSY) break;
      const timespec pause{0, 10 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
    if (lastError == ENOEXEC) {
      plan.shellArgv[1] = candidate.data();
      execve(plan.shellArgv[0], plan.shellArgv.data(), environ);
      lastError = errno;
      break;
    }
    if (lastError == EACCES) {
      denied = true;
    } else if (lastError != ENOENT && lastError != ENOTDIR && lastError != ESTALE &&
               lastError != ENODEV && lastError != ETIMEDOUT) {
      break;
    }
  }
  errno = denied && (lastError == ENOENT || lastError == ENOTDIR) ? EACCES : lastError;
}

// The child between fork and exec: async-signal-safe calls only.
[[noreturn]] void RunChild(ChildPlan& plan) {
  setsid();
  ResetSignals();
  Redirect(plan.input.c_str(), O_RDONLY, STDIN_FILENO);
  Redirect(plan.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | plan.outputFlags, STDOUT_FILENO);
  if (plan.errorSharesOutput) {
    dup2(STDOUT_FILENO, STDERR_FILENO);
  } else {
    Redirect(plan.error.c_str(), O_WRONLY | O_CREAT | O_TRUNC, STDERR_FILENO);
  }
  int firstToClose = 3;
  if (plan.descriptor3SharesOutput) {
    dup2(STDOUT_FILENO, 3);
    firstToClose = 4;
  }
  CloseDescriptorsFrom(firstToClose, plan.maxDescriptor);
  if (!plan.workDir.empty() && chdir(plan.workDir.c_str()) != 0) {
    // A working directory that cannot be entered is ignored.
  }
  const char* execErrorPath = FormExecErrorPath(plan, getpid());
  if (execErrorPath) unlink(execErrorPath);

  ExecCandidatesInChild(plan);

  // The system text cannot be looked up safely here: the error number goes
  // into the file and the parent turns it into text.
  const int failure = errno;
  if (execErrorPath) {
    // Exclusive: a file or link planted under the name since is never written through.
    const int fd = open(execErrorPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (fd >= 0) {
      char line[64];
      char* end = AppendText(line, kExecErrorPrefix);
      end = AppendDecimal(end, failure);
      WriteAll(fd, line, static_cast<size_t>(end - line));
      close(fd);
    }
  }
  _exit(kExecFailedStatus);
}

// ---------------------------------------------------------------------------
// Programs left running by a time-out of -1

std::mutex detachedMutex;
std::vector<pid_t> detachedPids;

void RememberDetached(pid_t pid) {
  const std::lock_guard<std::mutex> lock(detachedMutex);
  detachedPids.push_back(pid);
}

// ---------------------------------------------------------------------------
// Parent side

// waitpid with WNOHANG (or blocking), resumed after a signal. 1: ended with
// *status; 0: still running; -1: it cannot be waited for.
int PollChild(pid_t pid, int* status, bool block) {
  for (;;) {
    const pid_t done = waitpid(pid, status, block ? 0 : WNOHANG);
    if (done == pid) return 1;
    if (done == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

// Reads the first line the child left in the exec-error file, turning its
// error number into the system's text, and deletes the file.
// The exec-error file is read only when it is what the child made: a regular
// file of this process's user, opened without following a link and without
// waiting (a FIFO planted under the name would otherwise hang the call).
FILE* OpenExecErrorFile(const char* path) {
  const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
    close(fd);
    return nullptr;
  }
  FILE* file = fdopen(fd, "r");
  if (!file) close(fd);
  return file;
}

String TakeExecError(const char* path) {
  String message;
  FILE* file = OpenExecErrorFile(path);
  if (!file) {
    message = "exec error";
  } else {
    char line[kExecErrorLineMax + 1] = {};
    if (!std::fgets(line, sizeof line, file)) line[0] = '\0';
    std::fclose(file);
    line[std::strcspn(line, "\r\n")] = '\0';
    const size_t prefixLength = std::strlen(kExecErrorPrefix);
    const char* number = line + prefixLength;
    if (std::strncmp(line, kExecErrorPrefix, prefixLength) == 0 && *number &&
        std::strspn(number, "0123456789") == std::strlen(number)) {
      char text[256];
      message = kExecErrorPrefix;
      message += strerror_r(std::atoi(number), text, sizeof text);  // the GNU form
    } else {
      message = line;
    }
  }
  unlink(path);
  return message;
}

// Step common to every ended program: exit status, or the exec failure.
int Conclude(ChildPlan& plan, pid_t pid, int status, int& exitCode, String& message) {
  exitCode = (status >> 8) & 0xff;
  if (exitCode == kExecFailedStatus) {
    const char* path = FormExecErrorPath(plan, pid);
    struct stat info;
    if (path && lstat(path, &info) == 0) {
      message = TakeExecError(path);
      return 0;
    }
  }
  return 1;
}

int AbnormalEnd(String& message) {
  message = "abnormal termination";
  return 0;
}

// Kills the program's whole process group (it leads one after setsid).
bool KillProgram(pid_t pid) {
  if (kill(-pid, SIGKILL) == 0) return true;
  return kill(pid, SIGKILL) == 0;
}

int WaitDetached(ChildPlan& plan, pid_t pid, int& exitCode, String& message) {
  exitCode = 0;
  sleep(1);
  int status = 0;
  const int polled = PollChild(pid, &status, false);
  if (polled == 0) {
    RememberDetached(pid);
    return 1;
  }
  if (polled < 0) return 1;
  return Conclude(plan, pid, status, exitCode, message);
}

// The pause between two looks at a running program: short at first, so a
// program that ends at once is answered at once, then growing to a tenth of
// a second. The time-out itself is counted in whole seconds whatever this is.
void PauseBeforeNextPoll(long& pauseUs) {
  constexpr long kLongestPauseUs = 100 * 1000;
  const timespec pause{0, pauseUs * 1000};
  nanosleep(&pause, nullptr);
  pauseUs = pauseUs * 2 > kLongestPauseUs ? kLongestPauseUs : pauseUs * 2;
}

int WaitWithTimeout(ChildPlan& plan, pid_t pid, int timeout, int& exitCode, String& message) {
  const time_t start = time(nullptr);
  int status = 0;
  long pauseUs = 500;
  for (;;) {
    const int polled = PollChild(pid, &status, false);
    if (polled < 0) return AbnormalEnd(message);
    if (polled == 1) break;
    const long long elapsedMs = static_cast<long long>(time(nullptr) - start) * 1000;
    if (timeout != kWaitWithoutLimit && elapsedMs > timeout) {
      if (!KillProgram(pid)) {
        RememberDetached(pid);
        message = "cannot terminate process";
        return 0;
      }
      // SIGKILL cannot be caught: the end comes, so wait for it.
      if (PollChild(pid, &status, true) < 0) return AbnormalEnd(message);
      break;
    }
    PauseBeforeNextPoll(pauseUs);
  }
  if (WIFSIGNALED(status)) return AbnormalEnd(message);
  return Conclude(plan, pid, status, exitCode, message);
}

pid_t Launch(ChildPlan& plan, String& message) {
  const pid_t pid = fork();
  if (pid == 0) RunChild(plan);
  if (pid < 0) message = "fork error";
  return pid;
}

std::string Text(const char* path) {
  return path ? std::string(path) : std::string(kNullDevice);
}

}  // namespace

TStrList SplitCommandLine(const char* commandLine) {
  TStrList list;
  for (const std::string& arg : SplitArguments(commandLine)) {
    String item;
    item.AddData(arg.data(), static_cast<int>(arg.size()));
    list.Add(item);
  }
  return list;
}

int SystemEx2(const char* commandLine, const char* workDir, const char* inputFile,
              const char* outputFile, const char* errorFile, int timeout, int& exitCode,
              String& message) {
  message = "";
  ReapDetachedPrograms();
  ChildPlan plan;
  plan.args = SplitArguments(commandLine);
  if (plan.args.empty()) plan.args.emplace_back();  // fails to start like a missing program
  plan.input = Text(inputFile);
  plan.output = Text(outputFile);
  plan.error = Text(errorFile);
  plan.errorSharesOutput = outputFile && errorFile && plan.output == plan.error;
  if (workDir) plan.workDir = workDir;
  PreparePlan(plan);

  const pid_t pid = Launch(plan, message);
  if (pid < 0) return 0;
  if (timeout == kDoNotWait) return WaitDetached(plan, pid, exitCode, message);
  return WaitWithTimeout(plan, pid, timeout, exitCode, message);
}

int SystemEx(const char* commandLine, const char* workDir, int timeout, int& exitCode,
             String& message) {
  return SystemEx2(commandLine, workDir, nullptr, nullptr, nullptr, timeout, exitCode, message);
}

int RunProgramToFile(const TStrList& args, const char* outputFile, int& exitCode, String& message) {
  message = "";
  ReapDetachedPrograms();
  ChildPlan plan;
  for (int i = 0; i < args.Count(); ++i) {
    const String arg = args[i];
    plan.args.emplace_back(arg.Data() ? arg.Data() : "", static_cast<size_t>(arg.Length()));
  }
  if (plan.args.empty()) plan.args.emplace_back();
  plan.output = Text(outputFile);
  plan.errorSharesOutput = true;
  plan.descriptor3SharesOutput = true;
  plan.outputFlags = O_NOFOLLOW;
  PreparePlan(plan);

  const pid_t pid = Launch(plan, message);
  if (pid < 0) return 0;
  int status = 0;
  if (PollChild(pid, &status, true) < 0 || WIFSIGNALED(status)) return AbnormalEnd(message);
  return Conclude(plan, pid, status, exitCode, message);
}

int ReapDetachedPrograms() {
  const std::lock_guard<std::mutex> lock(detachedMutex);
  std::erase_if(detachedPids, [](pid_t pid) {
    int status = 0;
    return PollChild(pid, &status, false) != 0;
  });
  return static_cast<int>(detachedPids.size());
}
