// Console and log-file messages: `showmessage` stamps a message with the
// local date and time and the peer's address, prints it in interactive mode
// and appends it to the logs its class and the settings choose; `writelog`
// appends one text to one file.
#include "config/log.h"

#include <arpa/inet.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "config/settings.h"
#include "foundation/paths.h"

std::mutex showmutex;

namespace {

constexpr int kLineSize = 512;

// A name without a directory goes next to the configuration file.
void AppendToLog(const TJEXSettings& settings, String fileName, const char* text) {
  if (fileName.Length() == 0 || !text) return;
  if (ExtractFilePath(fileName).Length() == 0) {
    const String cfgDir = ExtractFilePath(String(settings.CfgFile));
    if (cfgDir.Length() > 0) fileName = IncludeTrailingPathDelimiter(cfgDir) + fileName;
  }
  FILE* file = fopen(fileName.SetZero().Data(), "ae");
  if (!file) return;  // a log that cannot be opened loses the line
  fputs(text, file);
  fclose(file);
}

// "jex\t" for messages that concern no peer, else the dotted address.
void FormatSource(in_addr addr, char (&source)[24]) {
  if (addr.s_addr == 0 || !inet_ntop(AF_INET, &addr, source, sizeof(source))) {
    snprintf(source, sizeof(source), "jex\t");
  }
}

void FormatText(char (&text)[kLineSize], const char* fmt, int formatted, va_list args) {
  if (!fmt) {
    text[0] = '\0';
  } else if (formatted) {
    vsnprintf(text, sizeof(text), fmt, args);
  } else {
    snprintf(text, sizeof(text), "%s", fmt);
  }
  text[kLineSize - 1] = '\0';
}

}  // namespace

void showmessage(const char* fmt, in_addr addr, MsgType type, int formatted, ...) {
  const SettingsSnapshot settings = JEXSettings.Get();
  if (type == mtDebug && !settings->Debug) return;
  // Nothing is formatted, and no lock taken, for a message nobody receives.
  const bool toConsole = settings->Interactive != 0;
  const bool toOkLog = type == mtSuccess && settings->LogSuccess;
  const bool toBadLog = type == mtFailure && settings->LogFails;
  if (!toConsole && !toOkLog && !toBadLog && !settings->Verbose) return;

  std::lock_guard<std::mutex> lock(showmutex);
  const time_t now = time(nullptr);
  struct tm local = {};
  localtime_r(&now, &local);
  char date[32];
  char clock[32];
  snprintf(date, sizeof(date), "%2.2d/%2.2d/%2.2d", local.tm_mon + 1, local.tm_mday,
           local.tm_year + 1900);
  snprintf(clock, sizeof(clock), "%2.2d:%2.2d:%2.2d", local.tm_hour, local.tm_min, local.tm_sec);

  char source[24];
  FormatSource(addr, source);

  char text[kLineSize];
  va_list args;
  va_start(args, formatted);
  FormatText(text, fmt, formatted, args);
  va_end(args);

  char line[kLineSize];
  if (toConsole) {
    snprintf(line, sizeof(line), "[jex][%s]\t %s\t %s", clock, source, text);
    fputs(line, stdout);
    fflush(stdout);
  }
  snprintf(line, sizeof(line), "[%s %s]\t %s\t %s", date, clock, source, text);
  if (toOkLog) AppendToLog(*settings, settings->OkLogFile, line);
  if (toBadLog) AppendToLog(*settings, settings->BadLogFile, line);
  if (settings->Verbose) AppendToLog(*settings, settings->VerboseLogFile, line);
}

void writelog(String fileName, const char* text) {
  const SettingsSnapshot settings = JEXSettings.Get();
  AppendToLog(*settings, std::move(fileName), text);
}
