// Program, script, process and CPU handlers: refusals, parameter errors,
// exit codes and start failures, the shell-script test's files and result
// lines, and the configured scripts with every reply text of the family.
#include "handlers/programs.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>

#include "tests/handlers/handler_fixture.h"

namespace jextest {
namespace {

class ProgramsTest : public HandlerTest {
 protected:
  void SetUp() override {
    HandlerTest::SetUp();
    settings_.EnableExternal = 1;
    settings_.EnableShellScript = 1;
    settings_.EnableProcess = 1;
    settings_.EnableCPUUsage = 1;
    Publish();
  }
  void UseScripts(const std::string& list, const std::string& count, const std::string& cpu) {
    settings_.ProcListScript = list.c_str();
    settings_.ProcCntScript = count.c_str();
    settings_.CPUUsageScript = cpu.c_str();
    Publish();
  }
};

const std::string kNoSuchFile = strerror(ENOENT);

TEST_F(ProgramsTest, RefusedWhenDisabled) {
  settings_ = TJEXSettings();
  Publish();
  for (RequestHandler handler : {ProcessTest_External, ProcessTest_ShellScript,
                                 ProcessInfo_ProcessesList, ProcessTest_Process, ProcessTest_CPU}) {
    EXPECT_EQ(Run(handler, {"sh -c 'exit 0'", "x", "", "0", "1"}), "600\ntest is not allowed");
  }
}

TEST_F(ProgramsTest, CommandRows) {
  std::vector<std::string> names;
  for (const HandlerRow& row : ProgramCommandRows()) names.push_back(row.name);
  EXPECT_EQ(names, (std::vector<std::string>{"TEST-Process", "TEST-CPU", "TEST-ExternalPrg",
                                             "TEST-ShellScript", "GetProcessesList"}));
}

TEST_F(ProgramsTest, ExternalProgram) {
  struct Case {
    std::string command;
    std::string timeout;
    std::string reply;
  };
  const Case cases[] = {
      {"sh -c 'exit 3'", "0", "200\n3\n"},
      {"sh -c 'exit 0'", "", "200\n0\n"},
      {"  sh -c 'exit 9'  ", "5000", "200\n9\n"},
      {"sh -c 'exit 3'", "-1", "200\n3\n"},
      {"", "0", "501\nCommand line to execute is not specified"},
      {"   ", "0", "501\nCommand line to execute is not specified"},
      {"sh -c 'exit 3'", "abc", "501\nWrong parameter"},
      {"sh -c 'exit 3'", "1.5", "501\nWrong parameter"},
      {"", "x", "501\nWrong parameter"},
      {"/nonexistent/jex-prog", "0", "301\nexec error: " + kNoSuchFile},
      {"sh -c 'kill -9 $$'", "0", "301\nabnormal termination"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command + " / " + c.timeout);
    EXPECT_EQ(Run(ProcessTest_External, {c.command, "unused", "unused", c.timeout}), c.reply);
  }
}

TEST_F(ProgramsTest, ExternalProgramTimeOut) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run(ProcessTest_External, {"sleep 10", "", "", "1000"}), "301\nabnormal termination");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(ProgramsTest, ShellScriptResultLines) {
  struct Case {
    const char* name;
    std::string start;
    std::string script;  // as sent: escaped
    std::string params;
    std::string lines;
    std::string reply;
  };
  const Case cases[] = {
      {"mark wins, two lines returned", "/bin/sh %SCRIPT% %Params%",
       "echo first%0Aecho \"scriptres: ok $1\"%0Aecho third", "p1", "2",
       "200\nscriptres: ok p1\nfirst%0D%0Ascriptres: ok p1%0D%0A\n"},
      {"no mark: last non-empty line", "/bin/sh %script%",
       "echo one%0D%0A echo%0D%0Aecho '  two  '%0D%0Aecho%0D%0A", "", "10",
       "200\ntwo\none%0D%0Atwo%0D%0A\n"},
      {"mark found, budget spent", "/bin/sh %script%",
       "echo a%0Aecho SCRIPTRES:7%0Aecho b%0Aecho scriptres:8", "", "1",
       "200\nSCRIPTRES:7\na%0D%0A\n"},
      {"error output is part of the output", "/bin/sh %script%", "echo out%0Aecho err >&2", "", "5",
       "200\nerr\nout%0D%0Aerr%0D%0A\n"},
      {"parameters are split by the start command", "/bin/sh %script% %params%", "echo \"$#:$2\"",
       "a 'b c'", "0", "200\n2:b c\n\n"},
      {"no output", "/bin/sh %script%", "exit 4", "", "3", "200\n\n\n"},
      {"start program missing", "/nonexistent/sh %script%", "echo x", "", "1",
       "301\nScript execution error: exec error: " + kNoSuchFile},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Run(ProcessTest_ShellScript, {c.start, c.script, c.params, "", c.lines}), c.reply);
    EXPECT_TRUE(TmpDirEmpty());
  }
}

// The script file is owner-only while it runs, and the script can run as a
// program of its own.
TEST_F(ProgramsTest, ShellScriptFileIsOwnerOnly) {
  const std::string script = "#!/bin/sh%0Aecho \"scriptres: $(stat -c %a \"$0\")\"";
  EXPECT_EQ(Run(ProcessTest_ShellScript, {"%script%", script, "", "5", "0"}),
            "200\nscriptres: 700\n\n");
  EXPECT_TRUE(TmpDirEmpty());
}

// A disk that fills up while the script is written (a file-size limit stands
// in for it, in a child process): the error reply, and nothing left behind.
TEST_F(ProgramsTest, ShellScriptThatCannotBeWrittenFails) {
  const std::string script = "echo \"scriptres: ran\"%0A#" + std::string(8192, 'x');
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
    const rlimit limit{1024, 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::string reply = Run(ProcessTest_ShellScript, {"/bin/sh %script%", script, "", "5", "0"});
    _exit(reply == "301\ncannot create temp file" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(TmpDirEmpty());
}

TEST_F(ProgramsTest, ShellScriptTimeOut) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run(ProcessTest_ShellScript, {"/bin/sh %script%", "sleep 10", "", "1", "1"}),
            "301\nScript execution error: abnormal termination");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(TmpDirEmpty());
}

TEST_F(ProgramsTest, ShellScriptWithoutTemporaryDirectory) {
  setenv("TMPDIR", (TmpDir() + "/missing").c_str(), 1);
  EXPECT_EQ(Run(ProcessTest_ShellScript, {"/bin/sh %script%", "echo x", "", "1", "1"}),
            "301\nCannot get temp file");
}

TEST_F(ProgramsTest, ConfiguredScriptsMissing) {
  struct Case {
    RequestHandler handler;
    const char* notSpecified;
    const char* missing;
  };
  const Case cases[] = {
      {ProcessInfo_ProcessesList, "301\nProcList script is not speified",
       "301\nProcList script doesn't exist"},
      {ProcessTest_Process, "301\nProcCnt script is not speified",
       "301\nProcCnt script doesn't exist"},
      {ProcessTest_CPU, "301\nCPUUsage script is not speified",
       "301\nCPUUsage script doesn't exist"},
  };
  for (const Case& c : cases) {
    UseScripts("", "", "");
    EXPECT_EQ(Run(c.handler, {"", "init"}), c.notSpecified);
    const std::string absent = dir_.File("absent.sh");
    UseScripts(absent, absent, absent);
    EXPECT_EQ(Run(c.handler, {"", "init"}), c.missing);
    UseScripts(dir_.Path(), dir_.Path(), dir_.Path());  // a directory is no script
    EXPECT_EQ(Run(c.handler, {"", "init"}), c.missing);
  }
}

TEST_F(ProgramsTest, ConfiguredScriptsResults) {
  const std::string list = Script("list.sh", "#!/bin/sh\nprintf '1 init\\n\\n22 sh\\nlast'\n");
  const std::string count = Script("count.sh", "#!/bin/sh\necho \" 42 processes\"\n");
  const std::string cpu = Script("cpu.sh", "#!/bin/sh\necho '12.5 %'\n");
  UseScripts(list, count, cpu);
  EXPECT_EQ(Run(ProcessInfo_ProcessesList, {}), "200\n1 init%0D%0A22 sh%0D%0Alast%0D%0A\n");
  EXPECT_EQ(Run(ProcessTest_Process, {"", "init"}), "200\n42\n");
  EXPECT_EQ(Run(ProcessTest_Process, {"init", ""}), "501\nName of the process is not specified");
  EXPECT_EQ(Run(ProcessTest_CPU, {}), "200\n12.5000\n");
  EXPECT_TRUE(TmpDirEmpty());

  const std::string words = Script("words.sh", "#!/bin/sh\necho 'no number'\n");
  UseScripts(words, words, words);
  EXPECT_EQ(Run(ProcessTest_Process, {"", "init"}), "301\nScript error");
  EXPECT_EQ(Run(ProcessTest_CPU, {}), "301\nScript error");
  EXPECT_EQ(Run(ProcessInfo_ProcessesList, {}), "200\nno number%0D%0A\n");

  // Output on standard error and on descriptor 3 lands in the same file.
  const std::string streams = Script("streams.sh", "#!/bin/sh\necho 5 >&3\necho 6 >&2\n");
  UseScripts(streams, streams, streams);
  EXPECT_EQ(Run(ProcessInfo_ProcessesList, {}), "200\n5%0D%0A6%0D%0A\n");

  const std::string silent = Script("silent.sh", "#!/bin/sh\n");
  UseScripts(silent, silent, silent);
  EXPECT_EQ(Run(ProcessInfo_ProcessesList, {}), "200\n\n");
  EXPECT_EQ(Run(ProcessTest_CPU, {}), "301\nScript error");

  const std::string notRunnable = Script("plain.sh", "echo 1\n", 0600);
  UseScripts(notRunnable, notRunnable, notRunnable);
  EXPECT_EQ(Run(ProcessTest_Process, {"", "init"}), "301\nCannot execute script");

  setenv("TMPDIR", (TmpDir() + "/missing").c_str(), 1);
  UseScripts(list, count, cpu);
  EXPECT_EQ(Run(ProcessInfo_ProcessesList, {}), "301\ncannot get temp file");
  EXPECT_EQ(Run(ProcessTest_Process, {"", "x"}), "301\ncannot get temp file");
  EXPECT_EQ(Run(ProcessTest_CPU, {}), "301\ncannot get temp file");
}

// The process name reaches the count script as one argument, exactly as
// sent; nothing in it is run, even with program execution switched off.
TEST_F(ProgramsTest, ProcessNameIsNeverInterpreted) {
  settings_.EnableExternal = 0;
  settings_.EnableShellScript = 0;
  const std::string seen = dir_.File("seen.txt");
  const std::string marker = dir_.File("ran");
  const std::string count =
      Script("count.sh", "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" > '" + seen + "'\necho 1\n");
  UseScripts(count, count, count);
  const std::string names[] = {
      "a b",
      "x; touch " + marker,
      "$(touch " + marker + ")",
      "`touch " + marker + "`",
      "'quoted' \"double\" && touch " + marker + " | cat > " + marker,
      "*",
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Run(ProcessTest_Process, {"", name}), "200\n1\n");
    EXPECT_EQ(ReadFile(seen), "1|" + name + "|");
    EXPECT_FALSE(Exists(marker));
  }
  EXPECT_TRUE(TmpDirEmpty());
}

}  // namespace
}  // namespace jextest
