// Upgrade transfer: program bytes and trailer in one or several reads, the
// trailer check, the script text, the temporary directory, failed writes,
// abandoned transfers and links planted under the temporary file names.
#include "server/upgrade.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <sys/wait.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "crypto/md5.h"
#include "protocol/codec.h"
#include "server_test_support.h"

namespace jextest {
namespace {

constexpr const char* kKey = "upgrade-session-key";

// A program image with every kind of byte in it, NUL, CR and LF included.
std::string ProgramBytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 37 + 11) % 256);
  return bytes;
}

std::string Md5Of(const std::string& bytes) {
  MD5 context;
  MD5Open(&context);
  MD5Digest(&context, bytes.data(), static_cast<unsigned int>(bytes.size()));
  unsigned char digest[16];
  MD5Close(&context, digest);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

// The digest of the program encrypted under key, as the server sends it.
std::string TrailerFor(const std::string& program, const char* key) {
  return Str(EncodeData(Bytes(Md5Of(program)), key, 0));
}

// The script the agent must write, spelled out independently.
std::string ExpectedScript(const std::string& agent, const std::string& program,
                           const std::string& script) {
  std::string text = "#! /bin/sh\n";
  text += "oldJEX='" + agent + "'\n";
  text += "newJEX='" + program + "'\n";
  text +=
      "retries=10\n"
      "until cp -f \"$newJEX\" \"$oldJEX.New\" && chmod 755 \"$oldJEX.New\" &&"
      " mv -f \"$oldJEX.New\" \"$oldJEX\" || [ $retries -le 0 ]\n"
      "do\n"
      "  retries=`expr $retries - 1`\n"
      "  echo $retries\n"
      "  sleep 1\n"
      "done\n"
      "rm -f \"$oldJEX.New\" \"$newJEX\"\n"
      "\"$oldJEX\" $1 $2 $3 $4 $5 $6\n";
  text += "rm '" + script + "'\n";
  return text;
}

class UpgradeTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    setenv("TMPDIR", dir_.Path().c_str(), 1);
    unsetenv("TMP");
    JEXSettings.Publish(ManagedSettings());
    programPath_ = dir_.File("jex__.upd");
    scriptPath_ = dir_.File("jexupd__.sh");
  }

  // What "UpgradeCode" does before the transfer: lock, size, temporary file.
  void Start(UpgradeRec& rec, size_t size) {
    ASSERT_TRUE(rec.RequestUpgrade(kKey));
    rec.FileSize = static_cast<int64_t>(size);
    rec.Started = 1;
    String error;
    ASSERT_EQ(DoUpgrading(rec, nullptr, 0, error), 1);
    ASSERT_EQ(Str(error), "");
  }

  // Feeds data in reads of the given sizes (the rest in a last read); every
  // read but the last must leave the transfer going. Returns the last result.
  int Feed(UpgradeRec& rec, const std::string& data, const std::vector<size_t>& reads) {
    size_t at = 0;
    for (size_t size : reads) {
      const int result = DoUpgrading(rec, data.data() + at, static_cast<int>(size), error_);
      at += size;
      if (at == data.size()) return result;
      EXPECT_EQ(result, 1) << "after " << at << " bytes";
      EXPECT_EQ(rec.Active, 1) << "after " << at << " bytes";
      EXPECT_EQ(Str(error_), "");
    }
    return DoUpgrading(rec, data.data() + at, static_cast<int>(data.size() - at), error_);
  }

  void ExpectFailedWithoutFiles(const UpgradeRec& rec, const char* error) {
    EXPECT_EQ(Str(error_), error);
    EXPECT_EQ(rec.Active, 0);
    EXPECT_EQ(UpgradeLocked(), 0);
    EXPECT_FALSE(Exists(programPath_));
    EXPECT_FALSE(Exists(scriptPath_));
    EXPECT_EQ(Str(JEXFlags.UpgradeScript), "");
  }

  String error_;
  std::string programPath_;
  std::string scriptPath_;
};

TEST_F(UpgradeTest, CompletesInOneOrSeveralReads) {
  const std::string program = ProgramBytes(200);
  const std::string wire = program + TrailerFor(program, kKey);
  // Read plans over the 216 bytes: the trailer with the last program bytes,
  // alone in a later read, after many small reads, and cut between reads.
  const std::vector<std::vector<size_t>> plans = {
      {}, {200}, {1, 99, 100}, {150}, {1, 1, 1, 197}, {199}, {210}, {200, 1, 14},
  };
  for (const std::vector<size_t>& plan : plans) {
    SCOPED_TRACE(testing::PrintToString(plan));
    ClearRunFlags();
    {
      UpgradeRec rec;
      Start(rec, program.size());
      EXPECT_EQ(Feed(rec, wire, plan), 1);
      EXPECT_EQ(Str(error_), "");
      EXPECT_EQ(rec.Active, 0);
      EXPECT_EQ(rec.Received, 200);
    }
    EXPECT_EQ(UpgradeLocked(), 0);
    EXPECT_EQ(ReadFile(programPath_), program) << "the finished record keeps the new program";
    EXPECT_EQ(Str(JEXFlags.UpgradeScript), scriptPath_);
    EXPECT_EQ(ReadFile(scriptPath_), ExpectedScript("/opt/jex/bin/jex", programPath_, scriptPath_));
    EXPECT_EQ(Mode(programPath_), 0700u);
    EXPECT_EQ(Mode(scriptPath_), 0700u);
  }
}

TEST_F(UpgradeTest, BadTrailerIsWrongCRCAndRemovesTheProgram) {
  const std::string program = ProgramBytes(300);
  const std::string good = TrailerFor(program, kKey);
  const std::string cases[] = {
      TrailerFor(program, "another key"),         // the wrong key
      good + "x",                                 // one byte too many
      TrailerFor(ProgramBytes(299) + "!", kKey),  // digest of other bytes
  };
  for (const std::string& trailer : cases) {
    SCOPED_TRACE(trailer.size());
    ClearRunFlags();
    UpgradeRec rec;
    Start(rec, program.size());
    EXPECT_EQ(Feed(rec, program + trailer, {300}), 0);
    ExpectFailedWithoutFiles(rec, "Wrong CRC");
  }
}

TEST_F(UpgradeTest, ShortTrailerWaitsForTheRest) {
  const std::string program = ProgramBytes(300);
  const std::string partial = program + TrailerFor(program, kKey).substr(0, 15);
  UpgradeRec rec;
  Start(rec, program.size());
  EXPECT_EQ(DoUpgrading(rec, partial.data(), static_cast<int>(partial.size()), error_), 1);
  EXPECT_EQ(rec.Active, 1);
  EXPECT_EQ(Str(JEXFlags.UpgradeScript), "");
}

TEST_F(UpgradeTest, TemporaryDirectoryComesFromTMPDIRThenTMP) {
  const std::string program = ProgramBytes(101);
  const std::string wire = program + TrailerFor(program, kKey);

  unsetenv("TMPDIR");
  setenv("TMP", dir_.Path().c_str(), 1);
  {
    UpgradeRec rec;
    Start(rec, program.size());
    EXPECT_EQ(Feed(rec, wire, {}), 1);
  }
  EXPECT_EQ(ReadFile(programPath_), program);
  EXPECT_EQ(Str(JEXFlags.UpgradeScript), scriptPath_);

  // TMPDIR wins over TMP even when it names no directory.
  setenv("TMPDIR", dir_.File("missing").c_str(), 1);
  UpgradeRec rec;
  ASSERT_TRUE(rec.RequestUpgrade(kKey));
  rec.FileSize = 101;
  EXPECT_EQ(DoUpgrading(rec, nullptr, 0, error_), 0);
  EXPECT_EQ(Str(error_), "Cannot create temp file");
  EXPECT_EQ(rec.Active, 0);
  EXPECT_EQ(UpgradeLocked(), 0);
}

TEST_F(UpgradeTest, AbandonedTransferReleasesTheLockAndDeletesTheFile) {
  const std::string program = ProgramBytes(400);
  {
    UpgradeRec rec;
    Start(rec, program.size());
    EXPECT_EQ(Feed(rec, program.substr(0, 100), {}), 1);
    ASSERT_TRUE(IsRegularFile(programPath_));
    rec.AbandonUpgrade();
    EXPECT_EQ(rec.Active, 0);
    EXPECT_EQ(UpgradeLocked(), 0);
    EXPECT_FALSE(Exists(programPath_));
    rec.AbandonUpgrade();  // a second call finds nothing to do

    EXPECT_EQ(DoUpgrading(rec, program.data(), 10, error_), 0) << "no transfer to feed";
    EXPECT_EQ(Str(error_), "Write error");
  }
  {
    UpgradeRec rec;
    Start(rec, program.size());
    EXPECT_EQ(Feed(rec, program.substr(0, 50), {}), 1);
  }  // the session went away mid-transfer
  EXPECT_EQ(UpgradeLocked(), 0);
  EXPECT_FALSE(Exists(programPath_));

  UpgradeRec next;
  EXPECT_TRUE(next.RequestUpgrade(kKey));
}

// Sessions racing for the lock: exactly one wins, and after it lets go the
// next one can take it.
TEST_F(UpgradeTest, OnlyOneRecordHoldsTheLock) {
  constexpr int kSessions = 8;
  UpgradeRec records[kSessions];
  std::atomic<int> winners{0};
  {
    std::vector<std::thread> sessions;
    for (UpgradeRec& rec : records) {
      sessions.emplace_back([&rec, &winners] {
        if (rec.RequestUpgrade(kKey)) ++winners;
      });
    }
    for (std::thread& session : sessions) session.join();
  }
  EXPECT_EQ(winners, 1);
  EXPECT_EQ(UpgradeLocked(), 1);
  for (UpgradeRec& rec : records) rec.ClearanceUpgrade();
  EXPECT_EQ(UpgradeLocked(), 0);
  UpgradeRec next;
  EXPECT_TRUE(next.RequestUpgrade(kKey));
}

// A link planted under either name is replaced, never followed: neither its
// target nor a file at a dangling target is written.
TEST_F(UpgradeTest, PlantedLinksAreNotFollowed) {
  const std::string victim = dir_.File("victim");
  WriteFile(victim, "precious");
  const std::string danglingTarget = dir_.File("made-through-link");
  ASSERT_EQ(symlink(victim.c_str(), programPath_.c_str()), 0);
  ASSERT_EQ(symlink(danglingTarget.c_str(), scriptPath_.c_str()), 0);

  const std::string program = ProgramBytes(256);
  UpgradeRec rec;
  Start(rec, program.size());
  EXPECT_TRUE(IsRegularFile(programPath_));
  EXPECT_EQ(Feed(rec, program + TrailerFor(program, kKey), {100}), 1);
  EXPECT_EQ(Str(error_), "");

  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_FALSE(Exists(danglingTarget));
  EXPECT_TRUE(IsRegularFile(programPath_));
  EXPECT_TRUE(IsRegularFile(scriptPath_));
  EXPECT_EQ(ReadFile(programPath_), program);
}

// Lowers the file-size limit so that writes to the temporary file fail, with
// SIGXFSZ ignored so that they fail with an error instead of a signal.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lowered);
    savedHandler_ = signal(SIGXFSZ, SIG_IGN);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, savedHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  sighandler_t savedHandler_;
};

TEST_F(UpgradeTest, FailedWritesAreWriteErrors) {
  // A large read fails inside the write itself.
  {
    const std::string program = ProgramBytes(20000);
    UpgradeRec rec;
    Start(rec, program.size());
    int result;
    {
      FileSizeLimit limit(1000);
      result = Feed(rec, program, {});
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Str(error_), "Write error");
    EXPECT_EQ(rec.Active, 0);
    EXPECT_EQ(UpgradeLocked(), 0);
  }
  // A small program sits in the stream buffer until the file is closed: the
  // failure shows only then and must not pass as a complete program.
  {
    const std::string program = ProgramBytes(200);
    UpgradeRec rec;
    Start(rec, program.size());
    int result;
    {
      FileSizeLimit limit(100);
      result = Feed(rec, program + TrailerFor(program, kKey), {});
    }
    EXPECT_EQ(result, 0);
    ExpectFailedWithoutFiles(rec, "Write error");
  }
}

}  // namespace
}  // namespace jextest

namespace jextest {
namespace {

// The replacement script stopped at random moments (a kill, as a crash or a
// shutdown would): the agent's program file is always the old or the new
// program whole, never missing or cut short.
TEST_F(UpgradeTest, KilledReplacementNeverLeavesAHalfProgram) {
  const std::string agent = dir_.File("agent");
  TJEXSettings settings = ManagedSettings();
  settings.JexPath = agent.c_str();
  JEXSettings.Publish(settings);

  // Large enough that copying takes a while; each ends at once when started.
  const std::string oldProgram = "#!/bin/sh\nexit 0\n#" + std::string(4 << 20, 'o') + "\n";
  const std::string newProgram = "#!/bin/sh\nexit 0\n#" + std::string(4 << 20, 'n') + "\n";
  {
    UpgradeRec rec;
    Start(rec, newProgram.size());
    ASSERT_EQ(Feed(rec, newProgram + TrailerFor(newProgram, kKey), {}), 1) << Str(error_);
  }
  const std::string script = *ReadFile(scriptPath_);

  std::mt19937 random(1211);
  std::uniform_int_distribution<int> delayUs(0, 60000);
  // The last run is not killed: the script then always gets as far as the
  // replacement.
  constexpr int kRuns = 41;
  for (int kill = 0; kill < kRuns; ++kill) {
    WriteFile(agent, oldProgram);
    WriteFile(programPath_, newProgram);
    WriteFile(scriptPath_, script);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      setpgid(0, 0);  // the script and the programs it runs, killed together
      execl("/bin/sh", "sh", scriptPath_.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    setpgid(child, child);
    const bool last = kill == kRuns - 1;
    if (!last) {
      usleep(static_cast<useconds_t>(delayUs(random)));
      ::kill(-child, SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    const auto now = ReadFile(agent);
    ASSERT_TRUE(now.has_value()) << "kill " << kill << ": the program file is missing";
    ASSERT_TRUE(*now == oldProgram || *now == newProgram)
        << "kill " << kill << ": a program of " << now->size() << " bytes";
    if (last) {
      EXPECT_EQ(*now, newProgram);
    }
  }
}

}  // namespace
}  // namespace jextest
