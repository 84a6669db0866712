// The first half of the agent's start-up: banner, command line and settings.
//
// Command line: jex [-d|-i] [-q] [-v|-vd] [-p <port>] <cfg_file>. The options
// are examined in that fixed order; an option given out of order is taken as
// the configuration file path, and arguments after the path are ignored.
//
// Two forms replace a run of the server, recognised as the first argument:
//   jex -V                                prints the version, exit 0
//   jex -t <cfg_file> COMMAND [PARAM...]  carries out one command in-process
#pragma once

#include <vector>

#include "config/settings.h"
#include "foundation/tqstring.h"

// Texts of the two command-line errors.
extern const char* const
    kErrorMissedParameter;                   // "Error\nInvalid or missed command line parameter"
extern const char* const kErrorInvalidPort;  // "Error\nInvalid port number"

void PrintBanner();

// What the command line chooses beyond the settings record.
struct StartupOptions {
  // "-q": in the foreground, the console leaves out the lines of accepted
  // connections and served requests; start-up lines, failures, refused and
  // invalid requests are still printed.
  bool Quiet = false;
};

// Fills Interactive, Verbose, Debug, Port and CfgFile of `settings` from the
// arguments. Returns null on success, else the error text for showhelp.
const char* ParseCommandLine(int argc, const char* const* argv, TJEXSettings& settings);
const char* ParseCommandLine(int argc, const char* const* argv, TJEXSettings& settings,
                             StartupOptions& options);

// "jex <version>" and a line end.
String VersionText();

// Loads the configuration file and carries out one command as a request from
// 127.0.0.1 would be carried out: the same dispatcher, handlers, enable flags
// and management guards, without network and without touching the run flags
// of a server. `output` receives the reply text (code line first, every line
// ended by LF), or the load error. Returns the exit status: 0 for "200",
// 1 for any other code or when the configuration cannot be loaded.
int RunOneCommand(const char* cfgFile, const String& command, const std::vector<String>& params,
                  String& output);

// Replaces the standard output by a filter that drops the console lines of
// accepted connections and served requests (the "-q" option).
void InstallQuietConsole();
// Whether a console line is one that "-q" leaves out.
bool IsRoutineConsoleLine(const char* line, int length);

// Prints the error text, an empty line and the usage, then exits with 1.
[[noreturn]] void showhelp(const char* error);

// Handles "-V" and "-t" (the process ends there), else steps 1-5 of start-up: banner, command line,
// settings, "CPU testing" and the debug lines. Publishes the loaded settings to JEXSettings; exits
// the process with its exit code on any failure.
void RunStartup(int argc, const char* const* argv);
