// Running external programs: argument splitting, exit codes, start failures,
// redirections, the working directory, time-outs that kill a whole process
// group, programs left running, descriptor and signal hygiene of the child.
#include "foundation/execute.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "foundation/paths.h"
#include "tests/support/test_support.h"

namespace jextest {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<std::string> Split(const std::string& line) {
  const TStrList list = SplitCommandLine(line.c_str());
  std::vector<std::string> out;
  for (int i = 0; i < list.Count(); ++i) out.push_back(Str(list[i]));
  return out;
}

// Polls for the end of pid, at most timeoutMs: true when it was killed by
// SIGKILL (collected here, as an orphan that came back to this process) or
// is gone altogether. A process still alive is killed, so that no test
// leaves it behind.
bool EndedByKill(pid_t pid, int timeoutMs) {
  int status = 0;
  for (int waited = 0; waited <= timeoutMs; waited += 20) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFSIGNALED(status) && WTERMSIG(status) == 9;
    if (kill(pid, 0) != 0 && errno == ESRCH) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return false;
}

class ExecuteTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Orphans of the programs run here come back to this process, so the
    // tests can check and collect them.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
  }
  static void TearDownTestSuite() {
    // Collect the killed orphans nobody asked about.
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  }
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    setenv("TMPDIR", dir_.Path().c_str(), 1);
  }
  std::string Script(const std::string& name, const std::string& text) {
    const std::string path = dir_.File(name);
    WriteFile(path, text);
    chmod(path.c_str(), 0700);
    return path;
  }

  EnvRestorer tmpdir_{"TMPDIR"};
  TempDir dir_;
  int exitCode_ = -7;
  String message_;
};

TEST(SplitCommandLineTest, Cases) {
  const std::string longArg(1023, 'x');
  struct Case {
    std::string line;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"/bin/echo 'a b' \"x'y\"", {"/bin/echo", "a b", "x'y"}},
      {"   a  b ", {"a", "b"}},
      {"a\tb", {"a", "b"}},
      {"\ta b", {"\ta", "b"}},      // a leading tab starts an argument
      {"'a b'xcd", {"a b", "cd"}},  // one character after the closing quote is skipped
      {"'open to the end", {"open to the end"}},
      {"\"\" x", {"", "x"}},
      {"a $HOME *.txt >out `id`", {"a", "$HOME", "*.txt", ">out", "`id`"}},
      {"", {}},
      {"    ", {}},
      {longArg, {longArg}},     // 1023 bytes and the zero fill the area
      {"a " + longArg, {"a"}},  // the second no longer fits
      {longArg + "y", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 40));
    EXPECT_EQ(Split(c.line), c.args);
  }

  std::string many;
  for (int i = 1; i <= 30; ++i) many += std::to_string(i) + " ";
  const std::vector<std::string> taken = Split(many);
  ASSERT_EQ(taken.size(), 23u);
  EXPECT_EQ(taken.back(), "23");
}

TEST_F(ExecuteTest, ExitCodesAndStartFailures) {
  EXPECT_EQ(SystemEx("/bin/sh -c 'exit 3'", nullptr, 0, exitCode_, message_), 1);
  EXPECT_EQ(exitCode_, 3);
  EXPECT_EQ(Str(message_), "");

  // A real 255 without an exec-error file is an exit code.
  EXPECT_EQ(SystemEx("sh -c 'exit 255'", nullptr, 5000, exitCode_, message_), 1);
  EXPECT_EQ(exitCode_, 255);

  const std::string missing = "exec error: " + std::string(strerror(ENOENT));
  for (const char* line : {"/nonexistent/jex-prog", "jex-no-such-program-on-the-path arg", "''"}) {
    SCOPED_TRACE(line);
    message_ = "left over";
    EXPECT_EQ(SystemEx(line, nullptr, 0, exitCode_, message_), 0);
    EXPECT_EQ(Str(message_), missing);
  }
  // The exec-error files are gone.
  EXPECT_TRUE(std::filesystem::is_empty(dir_.Path()));

  const std::string notRunnable = dir_.File("plain.txt");
  WriteFile(notRunnable, "exit 0\n");
  chmod(notRunnable.c_str(), 0600);
  EXPECT_EQ(SystemEx(notRunnable.c_str(), nullptr, 0, exitCode_, message_), 0);
  EXPECT_EQ(Str(message_), "exec error: " + std::string(strerror(EACCES)));

  // A program file that is not a binary is run by the shell.
  const std::string script = Script("noshebang", "exit 7\n");
  EXPECT_EQ(SystemEx(script.c_str(), nullptr, 0, exitCode_, message_), 1);
  EXPECT_EQ(exitCode_, 7);
}

TEST_F(ExecuteTest, RedirectionsAndWorkingDirectory) {
  const std::string in = dir_.File("in.txt");
  const std::string out = dir_.File("out.txt");
  const std::string err = dir_.File("err.txt");
  WriteFile(in, "from input\n");
  WriteFile(out, "old contents that must go away\n");
  ASSERT_EQ(SystemEx2("sh -c 'cat; echo problem >&2; pwd'", "/", in.c_str(), out.c_str(),
                      err.c_str(), 0, exitCode_, message_),
            1);
  EXPECT_EQ(ReadFile(out), "from input\n/\n");
  EXPECT_EQ(ReadFile(err), "problem\n");

  // Output and error on one file share one stream: nothing is overwritten.
  ASSERT_EQ(SystemEx2("sh -c 'echo one; echo two >&2; echo three'", nullptr, nullptr, out.c_str(),
                      out.c_str(), 0, exitCode_, message_),
            1);
  EXPECT_EQ(ReadFile(out), "one\ntwo\nthree\n");

  // No input file: the program reads an empty input and ends.
  ASSERT_EQ(SystemEx2("cat", nullptr, nullptr, out.c_str(), nullptr, 5000, exitCode_, message_), 1);
  EXPECT_EQ(ReadFile(out), "");

  // A working directory that cannot be entered is ignored.
  EXPECT_EQ(SystemEx("/bin/sh -c 'exit 4'", "/nonexistent-dir", 0, exitCode_, message_), 1);
  EXPECT_EQ(exitCode_, 4);
}

// With a relative temporary directory the exec-error file must be found where
// the child wrote it, even when the program runs in another directory.
TEST_F(ExecuteTest, RelativeTemporaryDirectoryAndWorkingDirectory) {
  const String saved = GetCurrentDir();
  ASSERT_EQ(chdir(dir_.Path().c_str()), 0);
  std::filesystem::create_directories(dir_.File("tmp"));
  std::filesystem::create_directories(dir_.File("work/tmp"));
  setenv("TMPDIR", "tmp", 1);
  const int result =
      SystemEx("/nonexistent/jex-prog", dir_.File("work").c_str(), 0, exitCode_, message_);
  ASSERT_EQ(chdir(saved.Data()), 0);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Str(message_), "exec error: " + std::string(strerror(ENOENT)));
  EXPECT_TRUE(std::filesystem::is_empty(dir_.File("tmp")));
  EXPECT_TRUE(std::filesystem::is_empty(dir_.File("work/tmp")));
}

// A program past its time-out is killed together with the processes it
// started, and the call reports an abnormal end.
TEST_F(ExecuteTest, TimeOutKillsTheWholeProcessGroup) {
  const std::string pidFile = dir_.File("child.pid");
  const std::string script =
      Script("sleeper", "#!/bin/sh\nsleep 30 &\necho $! > '" + pidFile + "'\nsleep 30\n");
  const auto start = Clock::now();
  EXPECT_EQ(SystemEx(script.c_str(), nullptr, 1000, exitCode_, message_), 0);
  const double elapsed = SecondsSince(start);
  EXPECT_EQ(Str(message_), "abnormal termination");
  // Killed once two whole seconds have passed on the seconds clock.
  EXPECT_GE(elapsed, 1.0);
  EXPECT_LT(elapsed, 4.5);

  const std::string childPid = ReadFile(pidFile).value_or("");
  ASSERT_FALSE(childPid.empty());
  EXPECT_TRUE(EndedByKill(static_cast<pid_t>(std::stoi(childPid)), 3000));
}

TEST_F(ExecuteTest, WaitsWithoutLimitForTimeOutZero) {
  const auto start = Clock::now();
  EXPECT_EQ(SystemEx("sh -c 'sleep 2; exit 4'", nullptr, 0, exitCode_, message_), 1);
  EXPECT_EQ(exitCode_, 4);
  EXPECT_GE(SecondsSince(start), 2.0);
}

// Time-out -1: a quick program reports its code; a longer one is left running
// and collected by a later call.
TEST_F(ExecuteTest, DoNotWaitLeavesNoZombie) {
  EXPECT_EQ(SystemEx("sh -c 'exit 3'", nullptr, -1, exitCode_, message_), 1);
  EXPECT_EQ(exitCode_, 3);

  const std::string pidFile = dir_.File("self.pid");
  const std::string script = Script("runner", "#!/bin/sh\necho $$ > '" + pidFile + "'\nsleep 2\n");
  const auto start = Clock::now();
  exitCode_ = -7;
  EXPECT_EQ(SystemEx(script.c_str(), nullptr, -1, exitCode_, message_), 1);
  EXPECT_EQ(exitCode_, 0);
  EXPECT_LT(SecondsSince(start), 1.9);
  const pid_t pid = static_cast<pid_t>(std::stoi(ReadFile(pidFile).value_or("0")));
  ASSERT_GT(pid, 0);
  EXPECT_GE(ReapDetachedPrograms(), 1);

  int pending = 1;
  for (int round = 0; round < 250 && pending > 0; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pending = ReapDetachedPrograms();
  }
  EXPECT_EQ(pending, 0);
  // Collected: it is no longer a child of this process, not even a zombie.
  errno = 0;
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

// The child keeps only its three standard streams and starts with the
// default disposition of every signal.
TEST_F(ExecuteTest, ChildGetsNoInheritedDescriptorsOrIgnoredSignals) {
  const std::string held = dir_.File("held.txt");
  const int fd = open(held.c_str(), O_WRONLY | O_CREAT, 0600);  // deliberately no O_CLOEXEC
  ASSERT_GE(fd, 0);
  const int high = dup2(fd, 57);
  ASSERT_EQ(high, 57);
  const std::string out = dir_.File("fds.txt");
  const char* probe =
      "sh -c 'for n in 3 4 "
      "57; do [ -e /proc/self/fd/$n ] && echo open $n; done; echo end'";
  ASSERT_EQ(SystemEx2(probe, nullptr, nullptr, out.c_str(), nullptr, 0, exitCode_, message_), 1);
  EXPECT_EQ(ReadFile(out), "end\n");

  // The configured-script runner gives descriptor 3 the output stream too.
  TStrList args;
  args.Add("/bin/sh");
  args.Add("-c");
  args.Add("for n in 3 4 57; do [ -e /proc/self/fd/$n ] && echo open $n; done; echo end >&3");
  ASSERT_EQ(RunProgramToFile(args, out.c_str(), exitCode_, message_), 1);
  EXPECT_EQ(ReadFile(out), "open 3\nend\n");
  close(high);
  close(fd);

  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  const int result = SystemEx("sh -c 'kill -PIPE $$; exit 0'", nullptr, 0, exitCode_, message_);
  sigaction(SIGPIPE, &previous, nullptr);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Str(message_), "abnormal termination");
}

// Arguments reach the program exactly, whatever shell syntax they hold.
TEST_F(ExecuteTest, RunProgramToFilePassesArgumentsUntouched) {
  const std::string marker = dir_.File("ran");
  const std::string nasty =
      "a b; touch " + marker + " $(touch " + marker + ") `touch " + marker + "` 'q' \"d\" |&>";
  const std::string script = Script("show", "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\"\n");
  TStrList args;
  args.Add(script.c_str());
  args.Add(nasty.c_str());
  args.Add("");
  const std::string out = dir_.File("out.txt");
  ASSERT_EQ(RunProgramToFile(args, out.c_str(), exitCode_, message_), 1);
  EXPECT_EQ(exitCode_, 0);
  EXPECT_EQ(ReadFile(out), "2|" + nasty + "||");
  EXPECT_FALSE(Exists(marker));

  TStrList missing;
  missing.Add("/nonexistent/jex-script");
  EXPECT_EQ(RunProgramToFile(missing, out.c_str(), exitCode_, message_), 0);
  EXPECT_EQ(Str(message_), "exec error: " + std::string(strerror(ENOENT)));
}

// Concurrent calls each see their own program's result.
TEST_F(ExecuteTest, ConcurrentCalls) {
  constexpr int kThreads = 4;
  int codes[kThreads] = {};
  int results[kThreads] = {};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([i, &codes, &results] {
      String message;
      const std::string line = i % 2 ? "sh -c 'exit " + std::to_string(10 + i) + "'"
                                     : "/nonexistent/prog-" + std::to_string(i);
      results[i] = SystemEx(line.c_str(), nullptr, 0, codes[i], message);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(results[i], i % 2 ? 1 : 0) << i;
    if (i % 2) {
      EXPECT_EQ(codes[i], 10 + i);
    }
  }
}

}  // namespace
}  // namespace jextest
