// Path texts and file status: "/"-delimited path operations, existence, size
// and age tests, deletion, the working directory, process-unique numbers and
// temporary file names. Every operation reports failure through its result
// only (false, -1, 0 or an empty text) and writes no message.
//
// Paths are byte strings; an "index" is a 1-based position as in `String`.
#pragma once

#include <cstdint>

#include "foundation/tqstring.h"

// True when 1 <= index <= s.Length() and the byte there is '/'.
bool IsPathDelimiter(const String& s, int index);
// s with '/' appended unless it already ends in one; "" gives "/".
String IncludeTrailingPathDelimiter(const String& s);
// s without one final '/'.
String ExcludeTrailingPathDelimiter(const String& s);
// 1-based index of the last byte of s that is one of the characters of
// `delimiters` (a NUL-terminated text); 0 when there is none.
int LastDelimiter(const char* delimiters, const String& s);
// Everything up to and including the last '/'; empty when there is none.
String ExtractFilePath(const String& s);
// Everything after the last '/', at most 4095 bytes; all of s (within the same
// bound) when there is no '/'.
String ExtractFileName(const String& s);

// The path exists (links followed) and is a regular file / a directory.
bool FileExists(const char* path);
bool DirectoryExists(const char* path);
// Size in bytes (links followed); -1 when the path cannot be examined.
int64_t FileSize(const char* path);
// Modification time in seconds since the epoch; -1 when it cannot be examined.
int FileAge(const char* path);
// Removes the file; true on success.
bool DeleteFile(const char* path);
// The working directory (at most 4095 bytes); empty when it cannot be read.
String GetCurrentDir();

// A number unique within this process run: the process id shifted left by 16
// bits plus a counter that starts at 1 (guarded by a process-wide mutex).
// Computed modulo 2^32, so large process ids lose their high bits.
int GetUniqueThreadID();

// Temporary file path into buf (len bytes); 1 on success, 0 on failure.
//
// The directory is $TMPDIR, else $TMP, followed by '/'; when neither is set (or
// set to an empty text) it is "./". The directory text is bounded by the
// buffer (len - 1 bytes) and must leave room for 16 more bytes before the NUL.
//
// - name given: the result is the directory followed by name (cut to fit the
//   buffer). Nothing is created or checked; the caller owns the name.
// - name null: the directory followed by "tmp-<GetUniqueThreadID()>-<n>" with
//   n from 0 to 1998. Each candidate is created exclusively (O_CREAT|O_EXCL|
//   O_NOFOLLOW, mode 0600, closed again), so the name returned always belongs
//   to an empty regular file created by this call that no other process or
//   link can take over; the caller opens it, uses it and deletes it. A
//   candidate that already exists as any kind of file or link is skipped.
//
// Failures: a null buf or len below 16 returns 0 leaving buf untouched. Every
// other failure (no room for 16 more bytes, a candidate longer than 1023 bytes
// or than the buffer, all 1999 candidates taken, the file cannot be created)
// returns 0 with buf emptied.
int gettempfilename(char* buf, int len, const char* name);
