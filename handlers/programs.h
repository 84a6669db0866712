// Program, script, process and CPU tests: external programs and the configured scripts.
//
// "TEST-ExternalPrg" runs a program named by the request and reports its exit
// code; "TEST-ShellScript" writes the script text of the request to an
// owner-only temporary file and runs it through the start command of the
// request; "GetProcessesList", "TEST-Process" and "TEST-CPU" run the scripts
// named by the settings (ProcListScript, ProcCntScript, CPUUsageScript) and
// read their output files.
//
// The configured scripts are started directly, without a command line and
// without a shell in between: "TEST-Process" hands the process name to its
// script as one argument, exactly as received. Their standard output,
// standard error and descriptor 3 go to one output file "tmpjex-<n>.txt" of
// the temporary directory, created exclusively for the call.
//
// Every handler checks its enable flag first and always answers; failures are
// replies ("301", "501", "600") with the texts of this family.
#pragma once

#include "handlers/handler_row.h"

// "TEST-ExternalPrg": 1 command line, 4 time-out in milliseconds (-1 do not
// wait, 0 no limit). "200" and the exit code, or "301" and the reason.
void ProcessTest_External(const OXRequest& params, JEXReply& reply);

// "TEST-ShellScript": 1 start command with the macros "%script%" and
// "%params%", 2 script text (escaped), 3 script parameters (escaped), 4
// time-out in seconds (0 no limit), 5 number of output lines to return.
// "200", the result line (the first line beginning with "scriptres:", else
// the last non-empty one) and the output lines, both escaped.
void ProcessTest_ShellScript(const OXRequest& params, JEXReply& reply);

// "GetProcessesList": "200" and the process-list script's non-empty output
// lines, each ended by CR LF, as one escaped value.
void ProcessInfo_ProcessesList(const OXRequest& params, JEXReply& reply);

// "TEST-Process": 2 process name. "200" and the number the process-count
// script prints first.
void ProcessTest_Process(const OXRequest& params, JEXReply& reply);

// "TEST-CPU": "200" and the number the CPU-usage script prints first, as a
// real value.
void ProcessTest_CPU(const OXRequest& params, JEXReply& reply);

// The command-table rows of this family.
HandlerRows ProgramCommandRows();
