// Banner, command-line parsing and the first settings load (see startup.h).
#include "server/startup.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/log.h"
#include "protocol/request.h"
#include "server/flags.h"

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

}  // namespace

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
  PrintBanner();

  std::printf("Command line checking .. ");
  TJEXSettings settings;
  if (const char* error = ParseCommandLine(argc, argv, settings)) showhelp(error);

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
