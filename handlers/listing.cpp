// Folder listings and the fixed answers of the commands this platform does not support.
#include "handlers/listing.h"

#include <sys/stat.h>

#include "handlers/answers.h"
#include "config/settings.h"
#include "foundation/paths.h"
#include "protocol/values.h"

namespace {

constexpr const char* kNotApplicable = "Not applicable for UNIX/Linux";
constexpr const char* kNotImplemented = "not implemented yet";

void FixedAnswer(JEXReply& reply, const char* text) {
  reply.SetResult("500") += text;
}

bool AnyFileTestEnabled(const TJEXSettings& s) {
  return s.EnableFolderSize || s.EnableCountFiles || s.EnableFileExists || s.EnableFileCRC ||
         s.EnableCompareFiles || s.EnableTextLog;
}

// The folder a listing reads: "/" for none, a file's folder for a file path,
// always ending in "/".
String ListedFolder(String folder) {
  if (folder.Length() == 0) folder = "/";
  if (!IsPathDelimiter(folder, folder.Length()) && !DirectoryExists(Terminated(folder).Data())) {
    folder = ExtractFilePath(folder);
  }
  return IncludeTrailingPathDelimiter(folder);
}

// Adds every entry of folder matching mask within attributes for which
// wanted(rec) holds; returns how many were added.
template <typename Wanted>
int AddEntries(JEXReply& entries, const String& folder, const String& mask, int attributes,
               int withSize, int withChangeTime, int withModTime, Wanted wanted) {
  int count = 0;
  TSearchRec rec;
  const unsigned detail = (withSize || withModTime) ? SearchEverything : SearchReadOnly;
  if (FindFirst(folder, mask, attributes, rec, detail) == 0) {
    do {
      if (!wanted(rec)) continue;
      ++count;
      AddFileStr(entries, folder, rec, withSize, withChangeTime, withModTime);
    } while (FindNext(rec) == 0);
  }
  FindClose(rec);
  return count;
}

}  // namespace

int GetFileInfo(const char* path, int64_t& size, time_t& changeTime, time_t& modTime) {
  if (!path || !*path) return 0;
  struct stat st;
  if (lstat(path, &st) != 0) return 0;
  size = static_cast<int64_t>(st.st_size);
  changeTime = st.st_ctime;
  modTime = st.st_mtime;
  return 1;
}

void AddFileStr(JEXReply& reply, const String& folder, TSearchRec rec, int withSize,
                int withChangeTime, int withModTime) {
  reply.AddStringParam(String(rec.Name), 0);
  reply.AddIntParam(static_cast<int>(rec.Attributes));
  if (withSize) reply.AddIntParam(static_cast<double>(rec.Size));
  if (withChangeTime) {
    int64_t size = 0;
    time_t changeTime = 0;
    time_t modTime = 0;
    const String path = Terminated(folder + rec.Name);
    if (!GetFileInfo(path.Data(), size, changeTime, modTime)) changeTime = 0;
    const int seconds = static_cast<int>(changeTime);
    reply.AddTimeParam(seconds);
  }
  if (withModTime) {
    const int seconds = rec.ModTime;
    reply.AddTimeParam(seconds);
  }
}

void ProcessInfo_GetFileList(const OXRequest& request, JEXReply& reply) {
  if (!AnyFileTestEnabled(*JEXSettings.Get())) {
    RefuseTest(reply);
    return;
  }
  const String folder = ListedFolder(request.GetParam(1, 1));
  String mask = request.GetParam(2, 1);
  if (mask.Length() == 0) mask = "*";
  const int listFolders = jexDecodeBool(request.GetParam(3, 1));
  const int listFiles = jexDecodeBool(request.GetParam(4, 1));
  const int withHidden = jexDecodeBool(request.GetParam(5, 1));
  const int withSystem = jexDecodeBool(request.GetParam(6, 1));
  const int withSize = jexDecodeBool(request.GetParam(7, 1));
  const int withChangeTime = jexDecodeBool(request.GetParam(8, 1));
  const int withModTime = jexDecodeBool(request.GetParam(9, 1));

  int attributes = 63;
  if (!withHidden) attributes -= AttrHidden;
  if (!withSystem) attributes -= AttrSystem;

  JEXReply entries;
  int count = 0;
  if (listFolders) {
    count += AddEntries(entries, folder, "*", attributes, withSize, withChangeTime, withModTime,
                        [](const TSearchRec& rec) {
                          return (rec.Attributes & AttrDirectory) && String(rec.Name) != ".";
                        });
  }
  if (listFiles) {
    count += AddEntries(entries, folder, mask, attributes, withSize, withChangeTime, withModTime,
                        [](const TSearchRec& rec) { return !(rec.Attributes & AttrDirectory); });
  }

  reply.SetResult("200");
  reply.AddStringParam(folder, 0);
  reply.AddIntParam(count);
  reply.AddIntParam(2 + withSize + withChangeTime + withModTime);
  reply += entries;
}

void ProcessInfo_EventLogSources(const OXRequest&, JEXReply& reply) {
  FixedAnswer(reply, kNotApplicable);
}
void ProcessInfo_EventLogFiles(const OXRequest&, JEXReply& reply) {
  FixedAnswer(reply, kNotApplicable);
}
void ProcessInfo_ServicesList(const OXRequest&, JEXReply& reply) {
  FixedAnswer(reply, kNotApplicable);
}
void ProcessTest_Perf(const OXRequest&, JEXReply& reply) {
  FixedAnswer(reply, kNotApplicable);
}
void ProcessTest_NTLog(const OXRequest&, JEXReply& reply) {
  FixedAnswer(reply, kNotApplicable);
}
void ProcessTest_Service(const OXRequest&, JEXReply& reply) {
  FixedAnswer(reply, kNotApplicable);
}
void ProcessTest_DiskSpace(const OXRequest&, JEXReply& reply) {
  FixedAnswer(reply, kNotApplicable);
}
void ProcessInfo_GetDriveList(const OXRequest&, JEXReply& reply) {
  FixedAnswer(reply, kNotImplemented);
}
void ProcessTest_SNMP(const OXRequest&, JEXReply& reply) {
  FixedAnswer(reply, kNotImplemented);
}
void ProcessTest_Script(const OXRequest&, JEXReply& reply) {
  FixedAnswer(reply, kNotImplemented);
}
void ProcessTest_Ping(const OXRequest&, JEXReply& reply) {
  FixedAnswer(reply, kNotImplemented);
}

HandlerRows ListingCommandRows() {
  static const HandlerRow rows[] = {
      {"GetFilesList", ProcessInfo_GetFileList},
      {"GetEventLogSources", ProcessInfo_EventLogSources},
      {"GetEventLogFiles", ProcessInfo_EventLogFiles},
      {"GetServicesList", ProcessInfo_ServicesList},
      {"TEST-PerfCounter", ProcessTest_Perf},
      {"TEST-NTLog", ProcessTest_NTLog},
      {"TEST-Service", ProcessTest_Service},
      {"TEST-DiskSpace", ProcessTest_DiskSpace},
      {"GetDriveList", ProcessInfo_GetDriveList},
      {"TEST-SNMP", ProcessTest_SNMP},
      {"TEST-Script", ProcessTest_Script},
      {"TEST-Ping", ProcessTest_Ping},
  };
  return rows;
}
