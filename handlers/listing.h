// Folder listings and the fixed answers of the commands this platform does not support.
//
// "GetFilesList" lists the sub-folders and the files of one folder, with the
// lines the server asks for per entry; it is allowed when any test that works
// on file names is enabled. The commands of other platforms (event logs,
// services, performance counters, ...) answer "500" with a fixed text whatever
// their parameters and settings.
#pragma once

#include <cstdint>
#include <ctime>

#include "foundation/dirsearch.h"
#include "handlers/handler_row.h"

// The command-table rows of this family.
HandlerRows ListingCommandRows();

// lstat of path (a link is described itself): 1 with the size, status-change
// and modification times stored; 0 for a null or empty path or a failing
// lstat, the outputs untouched.
int GetFileInfo(const char* path, int64_t& size, time_t& changeTime, time_t& modTime);

// One entry's lines: name (unescaped), attribute bits, then as asked its size,
// its status-change time (0 when it cannot be read) and its modification time.
void AddFileStr(JEXReply& reply, const String& folder, TSearchRec rec, int withSize,
                int withChangeTime, int withModTime);

void ProcessInfo_GetFileList(const OXRequest& request, JEXReply& reply);

void ProcessInfo_EventLogSources(const OXRequest& request, JEXReply& reply);
void ProcessInfo_EventLogFiles(const OXRequest& request, JEXReply& reply);
void ProcessInfo_ServicesList(const OXRequest& request, JEXReply& reply);
void ProcessTest_Perf(const OXRequest& request, JEXReply& reply);
void ProcessTest_NTLog(const OXRequest& request, JEXReply& reply);
void ProcessTest_Service(const OXRequest& request, JEXReply& reply);
void ProcessTest_DiskSpace(const OXRequest& request, JEXReply& reply);
void ProcessInfo_GetDriveList(const OXRequest& request, JEXReply& reply);
void ProcessTest_SNMP(const OXRequest& request, JEXReply& reply);
void ProcessTest_Script(const OXRequest& request, JEXReply& reply);
void ProcessTest_Ping(const OXRequest& request, JEXReply& reply);
