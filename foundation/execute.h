// Running external programs with their own argument splitting, redirections and a time-out.
//
// A command line is split here, never by a shell: arguments are separated by
// spaces (a tab also ends an unquoted argument), an argument that starts with
// a single or a double quote runs to the next quote of the same kind, and
// there is no escape character and no expansion of any kind. At most
// kMaxProgramArgs arguments are taken, and only as many as fit, each with a
// terminating zero byte, into kArgumentAreaSize bytes. The first argument
// names the program, which is looked up through PATH.
//
// The child leads a session of its own (setsid), starts with its standard
// streams on the given files ("/dev/null" when none is given), with every
// other descriptor of the agent closed and with the default disposition of
// every signal. Between fork and exec it makes only async-signal-safe calls.
//
// When the program cannot be started, the child writes the reason into the
// exec-error file "tmpjex-<child pid>.txt" of the temporary directory
// ($TMPDIR, else $TMP, else the working directory; always as an absolute
// path, so that a working directory given for the program does not move it)
// and exits with status 255; the parent turns that file into the message
// "exec error: <system text>".
//
// All functions may be called from several threads at once.
#pragma once

#include "foundation/tqstring.h"

constexpr int kMaxProgramArgs = 23;
constexpr int kArgumentAreaSize = 1024;

// Time-out values of SystemEx2 and SystemEx (milliseconds otherwise).
constexpr int kDoNotWait = -1;
constexpr int kWaitWithoutLimit = 0;

// The arguments a command line is split into (see above).
TStrList SplitCommandLine(const char* commandLine);

// Runs commandLine with the working directory workDir (null: the agent's; a
// directory that cannot be entered is ignored) and the standard streams on
// inputFile, outputFile and errorFile (null: "/dev/null"; an error file that
// names the output file shares its stream). message is emptied first.
//
// timeout -1: returns after one second; exitCode is 0 when the program still
// runs then (it is reaped later, by a following call), else its exit status.
// timeout 0: waits without limit. timeout > 0: looks at the program at
// growing intervals (at most a tenth of a second apart) and, once the elapsed
// whole seconds times 1000 exceed timeout, kills the program's whole process
// group. Negative values other than -1 kill at the first poll.
//
// Returns 1 with exitCode set when the program ran (or was left running);
// 0 with message "fork error", "cannot terminate process", "abnormal
// termination" (ended by a signal, a time-out kill included) or the
// exec-error text ("exec error: <system text>", or "exec error" when that
// file cannot be read). A program that really exits with 255 is reported as
// exit code 255.
int SystemEx2(const char* commandLine, const char* workDir, const char* inputFile,
              const char* outputFile, const char* errorFile, int timeout, int& exitCode,
              String& message);

// SystemEx2 with every standard stream on "/dev/null".
int SystemEx(const char* commandLine, const char* workDir, int timeout, int& exitCode,
             String& message);

// Runs the program args[0] with the arguments args[1...] exactly as given (no
// splitting, no shell, no size limit) and waits for its end without a limit.
// Standard input is "/dev/null"; standard output, standard error and
// descriptor 3 share one stream on outputFile, which is truncated (a symbolic
// link there is not followed: the program then writes to "/dev/null"). A program
// file that is not a binary is run by /bin/sh. The child is set up as for
// SystemEx2. Returns 1 with exitCode set; 0 with message "fork error",
// "abnormal termination" or the exec-error text.
int RunProgramToFile(const TStrList& args, const char* outputFile, int& exitCode, String& message);

// Collects every program left running by a time-out of -1 that has ended
// since, by its own process id (the waits of other calls are not disturbed).
// Called at the start of every SystemEx2 and RunProgramToFile; returns how
// many such programs still run.
int ReapDetachedPrograms();
