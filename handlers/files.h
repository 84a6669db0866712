// File and folder tests: counting, CRC, comparing and searching files, existence, folder size and
// file-system capacity.
//
// Handlers for "TEST-CountFiles", "TEST-FileCRC", "TEST-FileCompare",
// "TEST-FileExists", "TEST-FolderSize" and "TEST-UNC", each refused with
// "600" unless its settings key is on, and the operations behind them.
//
// Files whose content is read (CRC, compare, search) must be regular files:
// a pipe, a device or a socket is treated as a file that cannot be opened, so
// that no request blocks on a FIFO or reads /dev/zero for ever.
#pragma once

#include <cstdint>

#include "foundation/tqstring.h"
#include "handlers/handler_row.h"

// The command-table rows of this family.
HandlerRows FileCommandRows();

enum TCountFilesMode {
  AllFiles = 0,
  OlderThan = 1,
  NewerThan = 2,
  BiggerThan = 3,
  SmallerThan = 4,
  SubFolders = 5,
};
extern const char* const CountFilesModeName[6];

// A regular file opened for reading, closed on destruction. Opening never
// blocks: a FIFO or device is refused after a non-blocking open.
class TReadFile {
 public:
  TReadFile() = default;
  ~TReadFile();
  TReadFile(const TReadFile&) = delete;
  TReadFile& operator=(const TReadFile&) = delete;

  // True when path names a regular file that could be opened.
  bool Open(const char* path);
  bool IsOpen() const { return fd_ >= 0; }
  int Descriptor() const { return fd_; }
  // The size at opening.
  int64_t Size() const { return size_; }
  // Reads until count bytes or the end: the number read, -1 on an error.
  int64_t ReadFull(char* buffer, int64_t count);

 private:
  int fd_ = -1;
  int64_t size_ = 0;
};

// Resolves "%newestfile%", "%oldestfile%", "%newestfolder%" and
// "%oldestfolder%" (any case, any number, left to right) by looking into the
// folder before each; the path as passed when one cannot be resolved.
String GetFileUsingSpecialMacros(const String& path);

// Files (or, in mode SubFolders, folders) of folder matching mask that pass
// the mode's test against value; recursing into every sub-folder (links are
// never followed). -1 when the folder cannot be searched.
int CountFiles(const String& folder, const String& mask, int recurse, TCountFilesMode mode,
               int value);

// 1 with the CRC-32 register of the whole file, or 0 with the reason
// ("File is not specified", "Cannot open file", "Read error").
int GetFileCRC(const String& fileName, unsigned int& crc, String& error);

// Sum of the sizes of the matching files (path a folder: all; else a folder
// and a pattern), recursing when asked; -1.0 when nothing can be searched.
double GetFolderSize(const String& path, int recurse);

// statfs capacity in bytes: 1 on success, 0 with errno set.
int GetUNCDriveInfo(const String& path, double& total, double& free, double& available);

// 1 when the bytes that both files hold are equal, 0 when they differ, -1 on
// an error.
int CompareFiles(const String& file1, const String& file2);

// A positive value (the 1-based offset of the first counting occurrence) when
// text occurs in the file, 0 when not, -1 on an error. Memory stays bounded
// whatever the file's size.
int64_t FindStrInFile(const String& file, const String& text, int caseSensitive, int wholeWord);
// As FindStrInFile for the whole content of file2 (case-sensitive, not whole
// words); an empty file2 is always found.
int64_t FindFileInFile(const String& file1, const String& file2);

int sec2min(int seconds);
int now_min();

void ProcessTest_CountFiles(const OXRequest& request, JEXReply& reply);
void ProcessTest_FileCRC(const OXRequest& request, JEXReply& reply);
void ProcessTest_FileCompare(const OXRequest& request, JEXReply& reply);
void ProcessTest_FileExists(const OXRequest& request, JEXReply& reply);
void ProcessTest_FolderSize(const OXRequest& request, JEXReply& reply);
void ProcessTest_UNC(const OXRequest& request, JEXReply& reply);
