// The first half of the agent's start-up: banner, command line and settings.
//
// Command line: jex [-d|-i] [-v|-vd] [-p <port>] <cfg_file>. The options are
// examined in that fixed order; an option given out of order is taken as the
// configuration file path, and arguments after the path are ignored.
#pragma once

#include "config/settings.h"

// Texts of the two command-line errors.
extern const char* const
    kErrorMissedParameter;                   // "Error\nInvalid or missed command line parameter"
extern const char* const kErrorInvalidPort;  // "Error\nInvalid port number"

void PrintBanner();

// Fills Interactive, Verbose, Debug, Port and CfgFile of `settings` from the
// arguments. Returns null on success, else the error text for showhelp.
const char* ParseCommandLine(int argc, const char* const* argv, TJEXSettings& settings);

// Prints the error text, an empty line and the usage, then exits with 1.
[[noreturn]] void showhelp(const char* error);

// Steps 1-5 of start-up: banner, command line, settings, "CPU testing" and the
// debug lines. Publishes the loaded settings to JEXSettings; exits the process
// with its exit code on any failure.
void RunStartup(int argc, const char* const* argv);
