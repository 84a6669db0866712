// Program, script, process and CPU tests: external programs and the configured scripts.
#include "handlers/programs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>

#include "handlers/answers.h"
#include "config/settings.h"
#include "foundation/execute.h"
#include "foundation/paths.h"
#include "protocol/escaping.h"
#include "protocol/values.h"

namespace {

constexpr int kTempNameSize = 512;  // temporary paths of at most 511 characters
constexpr int kLineBufferSize = 512;
constexpr const char* kResultMark = "scriptres:";


// Deletes the named file when it goes out of scope (an empty name: nothing).
class TempFile {
 public:
  TempFile() = default;
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  ~TempFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const char* Path() const { return path_.c_str(); }
  // Takes charge of path (a name held before is deleted first).
  void Adopt(std::string path) {
    if (!path_.empty()) unlink(path_.c_str());
    path_ = std::move(path);
  }

 private:
  std::string path_;
};

// Closes a FILE when it goes out of scope.
class OpenFile {
 public:
  explicit OpenFile(const char* path) : file_(std::fopen(path, "rt")) {}
  ~OpenFile() {
    if (file_) std::fclose(file_);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  FILE* Get() const { return file_; }

 private:
  FILE* file_;
};

bool StartsWithMark(const String& line) {
  const int length = static_cast<int>(std::char_traits<char>::length(kResultMark));
  return line.Length() >= length && memposi(line.Data(), length, kResultMark, length) == 1;
}

// ---------------------------------------------------------------------------
// "TEST-ShellScript"

// The script text goes into an owner-only file created exclusively, so that
// no link or file planted under the name is written through or executed.
enum class ScriptFileResult { kReady, kCreateFailed, kShortWrite, kModeFailed };

ScriptFileResult WriteScriptFile(const char* path, const String& text) {
  unlink(path);  // the empty placeholder the name was reserved with
  int fd;
  do {
    fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return ScriptFileResult::kCreateFailed;
  const char* data = text.Data();
  ssize_t left = text.Length();
  while (left > 0) {
    const ssize_t written = write(fd, data, static_cast<size_t>(left));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    data += written;
    left -= written;
  }
  // The mode is set exactly, whatever the umask took away.
  const bool modeSet = fchmod(fd, 0700) == 0;
  close(fd);
  if (left > 0) return ScriptFileResult::kShortWrite;
  return modeSet ? ScriptFileResult::kReady : ScriptFileResult::kModeFailed;
}

// The result line and up to `budget` output lines of the script output.
void ReadScriptOutput(FILE* file, int budget, String& resultLine, String& output) {
  char buffer[kLineBufferSize];
  while (std::fgets(buffer, sizeof buffer, file)) {
    String line(buffer);
    line.Trim();
    if (line.Length() == 0) continue;
    if (budget > 0) {
      output += line;
      output += "\r\n";
      --budget;
    }
    if (!StartsWithMark(resultLine)) resultLine = line;
    if (StartsWithMark(resultLine) && budget <= 0) break;
  }
}

int SecondsToMilliseconds(int seconds) {
  const long long ms = static_cast<long long>(seconds) * 1000;
  if (ms > INT_MAX) return INT_MAX;
  if (ms < INT_MIN) return INT_MIN;
  return static_cast<int>(ms);
}

// ---------------------------------------------------------------------------
// Configured scripts

struct ConfiguredScript {
  String TJEXSettings::*path;
  const char* notSpecified;
  const char* missing;
};

constexpr ConfiguredScript kProcListScript = {&TJEXSettings::ProcListScript,
                                              "ProcList script is not speified",
                                              "ProcList script doesn't exist"};
constexpr ConfiguredScript kProcCntScript = {
    &TJEXSettings::ProcCntScript, "ProcCnt script is not speified", "ProcCnt script doesn't exist"};
constexpr ConfiguredScript kCPUUsageScript = {&TJEXSettings::CPUUsageScript,
                                              "CPUUsage script is not speified",
                                              "CPUUsage script doesn't exist"};

// The configured script's path, or empty with the reply set.
String CheckScript(const TJEXSettings& settings, const ConfiguredScript& script, JEXReply& reply) {
  const String path = Terminated(settings.*script.path);
  if (path.Length() == 0) {
    Answer(reply, "301", script.notSpecified);
    return String();
  }
  if (!FileExists(path.Data())) {
    Answer(reply, "301", script.missing);
    return String();
  }
  return path;
}

// "tmpjex-<unique number>.txt" in the temporary directory, created here and
// now as a new empty file of this process; empty when that is not possible.
// A name another user has taken (the numbers can be guessed) is passed over
// for the next number rather than opened.
std::string CreateOutputFile() {
  constexpr int kAttempts = 100;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "tmpjex-%ld.txt", static_cast<long>(GetUniqueThreadID()));
    char path[kTempNameSize];
    if (!gettempfilename(path, sizeof path, name)) return std::string();
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      close(fd);
      return path;
    }
    if (errno != EEXIST) return std::string();
  }
  return std::string();
}

// Runs the script with its arguments into a fresh output file. On success the
// output file is returned for reading (deleted when the guard ends); on
// failure the reply is set and false returned.
bool RunConfiguredScript(const String& script, const String* argument, TempFile& output,
                         JEXReply& reply) {
  const std::string path = CreateOutputFile();
  if (path.empty()) {
    Answer(reply, "301", "cannot get temp file");
    return false;
  }
  output.Adopt(path);
  TStrList args;
  args.Add(script);
  if (argument) args.Add(*argument);
  int exitCode = 0;
  String message;
  if (!RunProgramToFile(args, output.Path(), exitCode, message)) {
    Answer(reply, "301", "Cannot execute script");
    return false;
  }
  return true;
}

}  // namespace

void ProcessTest_External(const OXRequest& params, JEXReply& reply) {
  const SettingsSnapshot settings = JEXSettings.Get();
  if (!settings->EnableExternal) return RefuseTest(reply);
  const String commandLine = Terminated(params.GetParam(1, 1));
  int timeout = 0;
  if (!jexDecodeInt(params.GetParam(4, 1), &timeout)) {
    return Answer(reply, "501", "Wrong parameter");
  }
  if (commandLine.Length() == 0) {
    return Answer(reply, "501", "Command line to execute is not specified");
  }
  int exitCode = 0;
  String message;
  if (SystemEx(commandLine.Data(), nullptr, timeout, exitCode, message)) {
    reply.SetResult("200");
    reply.AddIntParam(exitCode);
    return;
  }
  reply.SetResult("301");
  reply += message;
}

void ProcessTest_ShellScript(const OXRequest& params, JEXReply& reply) {
  const SettingsSnapshot settings = JEXSettings.Get();
  if (!settings->EnableShellScript) return RefuseTest(reply);
  const String startCommand = params.GetParam(1, 1);
  const String scriptText = jexDecodeStrings(params.GetParam(2, 1)).ReplaceAll("\r\n", "\n", 1);
  const String scriptParams = jexDecodeStrings(params.GetParam(3, 1));
  const int timeoutSeconds = jexDecodeInt(params.GetParam(4, 1));
  const int lineBudget = jexDecodeInt(params.GetParam(5, 1));

  char scriptPath[kTempNameSize];
  if (!gettempfilename(scriptPath, sizeof scriptPath, nullptr)) {
    return Answer(reply, "301", "Cannot get temp file");
  }
  switch (WriteScriptFile(scriptPath, scriptText)) {
    case ScriptFileResult::kReady:
      break;
    case ScriptFileResult::kCreateFailed:
      // The name is not ours any more: whatever holds it now is left alone.
      return Answer(reply, "301", "Cannot create temp file");
    case ScriptFileResult::kShortWrite:
      unlink(scriptPath);
      return Answer(reply, "301", "cannot create temp file");
    case ScriptFileResult::kModeFailed:
      unlink(scriptPath);
      return Answer(reply, "301", "Cannot set exec flag for script");
  }
  const TempFile script(scriptPath);

  char outputPath[kTempNameSize];
  if (!gettempfilename(outputPath, sizeof outputPath, nullptr)) {
    return Answer(reply, "301", "Cannot get temp file");
  }
  const TempFile output(outputPath);

  const String command =
      Terminated(startCommand.ReplaceAll("%script%", scriptPath, 0)
                     .ReplaceAll("%params%", Terminated(scriptParams).Data(), 0));
  if (settings->DelayForScripts > 0) usleep(static_cast<useconds_t>(settings->DelayForScripts));

  int exitCode = 0;
  String message;
  if (!SystemEx2(command.Data(), nullptr, outputPath, outputPath, outputPath,
                 SecondsToMilliseconds(timeoutSeconds), exitCode, message)) {
    reply.SetResult("301");
    reply += "Script execution error: ";
    reply += message;
    return;
  }
  const OpenFile results(outputPath);
  if (!results.Get()) return Answer(reply, "301", "Cannot get script results");
  String resultLine;
  String outputText;
  ReadScriptOutput(results.Get(), lineBudget, resultLine, outputText);
  reply.SetResult("200");
  reply.AddStringParam(resultLine, 1);
  reply.AddStringParam(outputText, 1);
}

void ProcessInfo_ProcessesList(const OXRequest& /*params*/, JEXReply& reply) {
  const SettingsSnapshot settings = JEXSettings.Get();
  if (!settings->EnableProcess) return RefuseTest(reply);
  const String script = CheckScript(*settings, kProcListScript, reply);
  if (script.Length() == 0) return;
  TempFile output;
  if (!RunConfiguredScript(script, nullptr, output, reply)) return;
  const OpenFile results(output.Path());
  if (!results.Get()) return Answer(reply, "301", "Cannot get script results");

  String list;
  char buffer[kLineBufferSize];
  while (std::fgets(buffer, sizeof buffer, results.Get())) {
    String line(buffer);
    if (line.Length() > 0 && line[line.Length()] == '\n') line.SetLength(line.Length() - 1);
    if (line.Length() == 0) continue;
    list += line;
    list += "\r\n";
  }
  reply.SetResult("200");
  reply.AddStringParam(list, 1);
}

void ProcessTest_Process(const OXRequest& params, JEXReply& reply) {
  const SettingsSnapshot settings = JEXSettings.Get();
  if (!settings->EnableProcess) return RefuseTest(reply);
  const String script = CheckScript(*settings, kProcCntScript, reply);
  if (script.Length() == 0) return;
  const String name = params.GetParam(2, 1);
  if (name.Length() == 0) return Answer(reply, "501", "Name of the process is not specified");
  TempFile output;
  if (!RunConfiguredScript(script, &name, output, reply)) return;
  const OpenFile results(output.Path());
  if (!results.Get()) return Answer(reply, "301", "Cannot get script results");
  int count = 0;
  if (std::fscanf(results.Get(), "%d", &count) != 1) return Answer(reply, "301", "Script error");
  reply.SetResult("200");
  reply.AddIntParam(count);
}

void ProcessTest_CPU(const OXRequest& /*params*/, JEXReply& reply) {
  const SettingsSnapshot settings = JEXSettings.Get();
  if (!settings->EnableCPUUsage) return RefuseTest(reply);
  const String script = CheckScript(*settings, kCPUUsageScript, reply);
  if (script.Length() == 0) return;
  TempFile output;
  if (!RunConfiguredScript(script, nullptr, output, reply)) return;
  const OpenFile results(output.Path());
  if (!results.Get()) return Answer(reply, "301", "Cannot get script results");
  float usage = 0;
  if (std::fscanf(results.Get(), "%f", &usage) != 1) return Answer(reply, "301", "Script error");
  reply.SetResult("200");
  reply.AddRealParam(usage);
}

HandlerRows ProgramCommandRows() {
  static constexpr HandlerRow kRows[] = {
      {"TEST-Process", ProcessTest_Process},
      {"TEST-CPU", ProcessTest_CPU},
      {"TEST-ExternalPrg", ProcessTest_External},
      {"TEST-ShellScript", ProcessTest_ShellScript},
      {"GetProcessesList", ProcessInfo_ProcessesList},
  };
  return kRows;
}
