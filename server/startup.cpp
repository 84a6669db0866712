// Banner, command-line parsing and the first settings load; the version and
// one-command forms of the command line; the quiet console (see startup.h).
#include "server/startup.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "config/log.h"
#include "config/status.h"
#include "protocol/escaping.h"
#include "protocol/reply.h"
#include "protocol/request.h"
#include "server/dispatch.h"
#include "server/flags.h"
#include "server/session.h"
#include "server/upgrade.h"

const char* const kErrorMissedParameter = "Error\nInvalid or missed command line parameter";
const char* const kErrorInvalidPort = "Error\nInvalid port number";

namespace {

constexpr const char* kRule = "-------------------------------------------------------------";

// The leading decimal number of the text as atoi reads it, 0 when there is
// none; values beyond the int range saturate instead of overflowing.
int ParseDecimal(const char* text) {
  errno = 0;
  const long value = std::strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// ---------------------------------------------------------------------------
// Quiet console: the lines that every connection and request produce are left
// out; everything else passes unchanged.

// Texts of the routine per-connection messages, as the session and the
// listener print them after the console prefix "[jex][time]\t source\t ".
constexpr const char* kRoutineTexts[] = {
    "TCP connection accepted",
    "<-- Correct OX request received",
    "--> request processed (",
    "Session closed, wait for next ..",
};
constexpr const char kConsolePrefix[] = "[jex][";
constexpr int kConsolePrefixLength = sizeof kConsolePrefix - 1;

// A plain static buffer (no destructor), since the stream may still be
// flushed while the process exits.
struct QuietLineBuffer {
  char text[2048];
  size_t length;
};
QuietLineBuffer quietPending;

void WriteToStandardOutput(const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(STDOUT_FILENO, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // a closed console loses the text
    data += written;
    size -= static_cast<size_t>(written);
  }
}

// Text that may still become a message line: the start of the prefix.
bool MayBeMessageStart(const char* text, size_t length) {
  const size_t compared = std::min(length, static_cast<size_t>(kConsolePrefixLength));
  return std::memcmp(text, kConsolePrefix, compared) == 0;
}

// Whole lines are filtered; a piece without its line end goes out at once
// unless it may be a message line, which waits for its end (or for the
// buffer to fill, a message cut at its length limit having none).
ssize_t QuietWrite(void*, const char* data, size_t size) {
  QuietLineBuffer& pending = quietPending;
  size_t taken = 0;
  while (taken < size) {
    const size_t room = sizeof pending.text - pending.length;
    const size_t piece = std::min(room, size - taken);
    std::memcpy(pending.text + pending.length, data + taken, piece);
    pending.length += piece;
    taken += piece;

    size_t start = 0;
    for (size_t i = 0; i < pending.length; ++i) {
      if (pending.text[i] != '\n') continue;
      const int lineLength = static_cast<int>(i + 1 - start);
      if (!IsRoutineConsoleLine(pending.text + start, lineLength)) {
        WriteToStandardOutput(pending.text + start, static_cast<size_t>(lineLength));
      }
      start = i + 1;
    }
    const size_t rest = pending.length - start;
    if (rest > 0 &&
        (rest == sizeof pending.text || !MayBeMessageStart(pending.text + start, rest))) {
      WriteToStandardOutput(pending.text + start, rest);
      start = pending.length;
    }
    std::memmove(pending.text, pending.text + start, pending.length - start);
    pending.length -= start;
  }
  return static_cast<ssize_t>(size);
}

// ---------------------------------------------------------------------------
// One command in-process

constexpr const char* kOneCommandUsage = "Usage: jex -t <cfg_file> COMMAND [PARAM...]\n";

// The request text as the monitoring server sends it: the command line, one
// line per parameter with its line breaks escaped, the end-of-transmission CR.
String OneCommandRequest(const String& command, const std::vector<String>& params) {
  String text(command);
  text += '\n';
  for (const String& param : params) {
    text += jexEncodeStrings(param);
    text += '\n';
  }
  text += '\r';
  return text;
}

[[noreturn]] void RunOneCommandFromArguments(int argc, const char* const* argv) {
  if (argc < 4) {
    std::fprintf(stderr, "%s\n\n%s", kErrorMissedParameter, kOneCommandUsage);
    std::exit(kExitUsage);
  }
  // Programs run by the command may close their end of a pipe early.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<String> params(argv + 4, argv + argc);
  String output;
  const int status = RunOneCommand(argv[2], String(argv[3]), params, output);
  std::fwrite(output.Data(), 1, static_cast<size_t>(output.Length()), stdout);
  std::fflush(stdout);
  std::exit(status);
}

}  // namespace

bool IsRoutineConsoleLine(const char* line, int length) {
  const std::string_view text(line, static_cast<size_t>(std::max(length, 0)));
  if (text.substr(0, kConsolePrefixLength) != kConsolePrefix) return false;
  // The message text follows the second "\t " (the source of a message
  // about the agent itself, "jex\t", carries a tab of its own).
  const size_t first = text.find("\t ");
  if (first == std::string_view::npos) return false;
  const size_t second = text.find("\t ", first + 2);
  if (second == std::string_view::npos) return false;
  const std::string_view message = text.substr(second + 2);
  for (const char* routine : kRoutineTexts) {
    if (message.substr(0, std::strlen(routine)) == routine) return true;
  }
  return false;
}

void InstallQuietConsole() {
  std::fflush(stdout);
  const cookie_io_functions_t functions = {nullptr, QuietWrite, nullptr, nullptr};
  std::FILE* filtered = fopencookie(nullptr, "w", functions);
  if (!filtered) return;  // the console stays unfiltered
  std::setvbuf(filtered, nullptr, _IOLBF, 0);
  stdout = filtered;
}

String VersionText() {
  String text("jex ");
  text += AgentStatus.AgentVersion;
  text += '\n';
  return text;
}

int RunOneCommand(const char* cfgFile, const String& command, const std::vector<String>& params,
                  String& output) {
  TJEXSettings settings;
  std::snprintf(settings.CfgFile, sizeof settings.CfgFile, "%s", cfgFile);
  String message;
  if (!settings.LoadOptions(message)) {
    output = "Error\n";
    output += message;
    output += "Please check '";
    output += settings.CfgFile;
    output += "' file\n";
    return kExitUsage;
  }
  if (message.Length() > 0) {
    message.SetZero();
    std::fprintf(stderr, "Warning: %s\n", message.Data());
  }
  JEXSettings.Publish(std::move(settings));

  OXRequest request(OneCommandRequest(command, params));
  JEXReply reply;
  // QUIT and ReloadApp raise flags that no main loop reads here; an accepted
  // "UpgradeCode" is abandoned with the record.
  TJEXFlags flags;
  UpgradeRec upgrade;
  ThreadParams peer;
  peer.Peer.s_addr = htonl(INADDR_LOOPBACK);
  ProcessOXRequest(request, reply, flags, peer, upgrade);
  reply.CommandSeparatorCheck();
  output = reply;
  return reply.Length() >= 3 && reply.Copy(1, 3) == "200" ? kExitOk : kExitUsage;
}

void PrintBanner() {
  std::printf("%s\n", kRule);
  std::printf(" Application:  JEX (Sentrel for Orvex)\n");
  std::printf(" Version:      %s for %s\n", "1.29", "OpenBSD");
  std::printf(" Developer:    the jex project\n");
  std::printf(" Web:          https://jex.example.org\n");
  std::printf(" Support:      support@jex.example.org\n");
  std::printf("%s\n", kRule);
}

const char* ParseCommandLine(int argc, const char* const* argv, TJEXSettings& settings) {
  StartupOptions ignored;
  return ParseCommandLine(argc, argv, settings, ignored);
}

const char* ParseCommandLine(int argc, const char* const* argv, TJEXSettings& settings,
                             StartupOptions& options) {
  int index = 1;
  auto current = [&](const char* option) { return std::strcmp(argv[index], option) == 0; };

  if (index >= argc) return kErrorMissedParameter;
  if (current("-i")) {
    settings.Interactive = 1;
    ++index;
  } else if (current("-d")) {
    settings.Interactive = 0;
    ++index;
  }

  if (index >= argc) return kErrorMissedParameter;
  if (current("-q")) {
    options.Quiet = true;
    ++index;
  }

  if (index >= argc) return kErrorMissedParameter;
  if (current("-v")) {
    settings.Verbose = 1;
    ++index;
  }

  if (index >= argc) return kErrorMissedParameter;
  if (current("-vd")) {
    settings.Verbose = 1;
    settings.Debug = 1;
    ++index;
  }

  if (index >= argc) return kErrorMissedParameter;
  if (current("-p")) {
    ++index;
    if (index >= argc) return kErrorMissedParameter;
    const int port = ParseDecimal(argv[index]);
    if (port < 1 || port > 65535) return kErrorInvalidPort;
    settings.Port = port;
    ++index;
  }

  if (index >= argc) return kErrorMissedParameter;
  std::snprintf(settings.CfgFile, sizeof settings.CfgFile, "%s", argv[index]);
  return nullptr;
}

void showhelp(const char* error) {
  std::printf("%s\n\n", error);
  std::printf(
      " Usage: jex [-d|-i] [-v|-vd] [-p <port>] <cfg_file>\n"
      "  -d        - daemon mode (default)\n"
      "  -i        - interactive mode\n"
      "  -v        - verbose mode\n"
      "  -vd       - verbose debugging mode\n"
      "  -p <port> - overrides TCP port number specified in cfg_file\n"
      "  cfg_file  - obligatory parameter, path to configuration file\n\n"
      " Examples:\n"
      "  jex -i -v -p 1055 /etc/jex/jex.cfg\n"
      "  jex -d ~/jex/jex.cfg\n\n");
  std::fflush(stdout);
  std::exit(kExitUsage);
}

void RunStartup(int argc, const char* const* argv) {
  if (argc >= 2 && std::strcmp(argv[1], "-V") == 0) {
    const String version = VersionText();
    std::fwrite(version.Data(), 1, static_cast<size_t>(version.Length()), stdout);
    std::fflush(stdout);
    std::exit(kExitOk);
  }
  if (argc >= 2 && std::strcmp(argv[1], "-t") == 0) RunOneCommandFromArguments(argc, argv);

  PrintBanner();

  std::printf("Command line checking .. ");
  TJEXSettings settings;
  StartupOptions options;
  if (const char* error = ParseCommandLine(argc, argv, settings, options)) showhelp(error);
  if (options.Quiet && settings.Interactive) InstallQuietConsole();

  std::printf("Ok\nSettings checking .. ");
  String message;
  const int loaded = settings.LoadOptions(message);
  message.SetZero();
  if (!loaded) {
    std::printf("Error\n%s\nPlease check '%s' file\n\n", message.Data(), settings.CfgFile);
    std::fflush(stdout);
    std::exit(kExitUsage);
  }
  if (message.Length() == 0) {
    std::printf("Ok\n");
  } else {
    std::printf("Warning: %s\n", message.Data());
  }
  const bool debug = settings.Debug != 0;
  JEXSettings.Publish(std::move(settings));
  // Packet-level debug lines of the request parser go to the message log.
  if (debug) {
    SetRequestDebugSink(
        [](in_addr peer, const char* line) { showmessage("%s", peer, mtDebug, 1, line); });
  }

  std::printf("CPU testing .. Ok\n");
  if (debug) {
    struct stat fileStatus;
    std::printf("stat.size: %d\n", static_cast<int>(sizeof fileStatus.st_size));
    // Width of the size field of a directory-search record (64-bit signed).
    std::printf("srec.size: %d\n", static_cast<int>(sizeof(std::int64_t)));
    std::printf("int64 = double\n");
  }
  std::fflush(stdout);
}
