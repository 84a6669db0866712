// The shipped process-list, process-count and CPU-usage scripts, run through
// their handlers against the running host.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "handlers/programs.h"
#include "protocol/escaping.h"
#include "tests/handlers/handler_fixture.h"

namespace jextest {
namespace {

std::string Shipped(const char* name) {
  return std::string(JEX_BINARY_DIR) + "/scripts/" + name;
}

// Copies of sleep under a chosen name, killed and collected at the end.
class NamedSleepers {
 public:
  NamedSleepers(const std::string& program, int count) {
    for (int i = 0; i < count; ++i) {
      const pid_t pid = fork();
      if (pid == 0) {
        execl(program.c_str(), program.c_str(), "20", static_cast<char*>(nullptr));
        _exit(127);
      }
      if (pid > 0) pids_.push_back(pid);
    }
  }
  ~NamedSleepers() {
    for (pid_t pid : pids_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  NamedSleepers(const NamedSleepers&) = delete;
  NamedSleepers& operator=(const NamedSleepers&) = delete;

 private:
  std::vector<pid_t> pids_;
};

class ShippedScriptsTest : public HandlerTest {
 protected:
  void SetUp() override {
    HandlerTest::SetUp();
    settings_.EnableProcess = 1;
    settings_.EnableCPUUsage = 1;
    settings_.ProcListScript = Shipped("jex-proclist.sh").c_str();
    settings_.ProcCntScript = Shipped("jex-proccnt.sh").c_str();
    settings_.CPUUsageScript = Shipped("jex-cpuusage.sh").c_str();
    Publish();
  }
  // A copy of sleep named name in the test directory.
  std::string SleepCopy(const std::string& name) const {
    const std::string path = dir_.File(name);
    std::filesystem::copy_file("/bin/sleep", path);
    chmod(path.c_str(), 0700);
    return path;
  }
  // Asks "TEST-Process" until it reports expected (bounded); the last reply.
  static std::string CountUntil(const std::string& name, const std::string& expected) {
    std::string reply;
    for (int round = 0; round < 100; ++round) {
      reply = Run(ProcessTest_Process, {"", name});
      if (reply == expected) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    return reply;
  }
};

TEST_F(ShippedScriptsTest, ProcessListNamesThisProcess) {
  const std::string self = ReadFile("/proc/self/comm").value_or("?\n");
  const std::string line = std::to_string(getpid()) + " " + self.substr(0, self.size() - 1);
  const std::string reply = Run(ProcessInfo_ProcessesList, {});
  ASSERT_EQ(reply.rfind("200\n", 0), 0u) << reply;
  ASSERT_EQ(reply.find('\n', 4), reply.size() - 1);  // one escaped value
  const std::string list = "\r\n" + Str(jexDecodeStrings(Bytes(reply.substr(4))));
  EXPECT_NE(list.find("\r\n" + line + "\r\n"), std::string::npos) << list.substr(0, 400);
  EXPECT_NE(list.find("\r\n1 "), std::string::npos);  // process 1 is listed too
  EXPECT_TRUE(TmpDirEmpty());
}

TEST_F(ShippedScriptsTest, ProcessCountByExactName) {
  const std::string name = "jexcnt" + std::to_string(getpid() % 100000);
  const NamedSleepers sleepers(SleepCopy(name), 2);
  EXPECT_EQ(CountUntil(name, "200\n2\n"), "200\n2\n");
  EXPECT_EQ(Run(ProcessTest_Process, {"", name.substr(0, name.size() - 1)}), "200\n0\n");
  EXPECT_EQ(Run(ProcessTest_Process, {"", name + "x"}), "200\n0\n");

  // The kernel keeps 15 bytes of a name; the full name still counts.
  const std::string longName = "jex-long-name-" + std::to_string(getpid());
  const NamedSleepers longSleeper(SleepCopy(longName), 1);
  EXPECT_EQ(CountUntil(longName, "200\n1\n"), "200\n1\n");
  EXPECT_TRUE(TmpDirEmpty());
}

TEST_F(ShippedScriptsTest, ProcessNameWithShellSyntaxIsOnlyCompared) {
  const std::string marker = dir_.File("ran");
  for (const std::string& name : {"; touch " + marker, "$(touch " + marker + ")",
                                  "`touch " + marker + "`", std::string("' \" * -n !")}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Run(ProcessTest_Process, {"", name}), "200\n0\n");
  }
  EXPECT_FALSE(Exists(marker));
}

TEST_F(ShippedScriptsTest, CpuUsageWithinASecond) {
  std::atomic<bool> stop{false};
  std::thread busy([&stop] {
    volatile unsigned long spin = 0;
    while (!stop.load(std::memory_order_relaxed)) spin = spin + 1;
  });
  const auto start = std::chrono::steady_clock::now();
  const std::string reply = Run(ProcessTest_CPU, {});
  const auto elapsed = std::chrono::steady_clock::now() - start;
  stop = true;
  busy.join();
  ASSERT_EQ(reply.rfind("200\n", 0), 0u) << reply;
  const double usage = std::atof(reply.c_str() + 4);
  EXPECT_GT(usage, 1.0) << reply;  // one core was kept busy
  EXPECT_LE(usage, 100.0) << reply;
  EXPECT_LT(elapsed, std::chrono::milliseconds(1800));
}

}  // namespace
}  // namespace jextest
