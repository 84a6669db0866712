// Directory search: matching the entries of one folder against a name pattern and attribute bits.
//
// A search walks one directory and returns, one at a time, the entries whose
// names match a shell wildcard mask (fnmatch, no flags) and whose attribute
// bits pass a filter: an entry is skipped when it carries any bit outside the
// requested set. Symbolic links are never returned. "." and ".." are ordinary
// directory entries here; callers skip them.
//
// Each search owns its directory stream: FindClose or the record's
// destruction closes it. All state lives in the caller's record and entries
// are read with readdir on that record's own stream, so concurrent searches
// in different threads are independent.
#pragma once

#include <dirent.h>

#include <cstdint>
#include <memory>

#include "foundation/tqstring.h"

// Attribute bits of a found entry.
constexpr int AttrReadOnly = 1;    // the process may not write the entry
constexpr int AttrHidden = 2;      // the name starts with "." and is not "." or ".."
constexpr int AttrSystem = 4;      // neither a directory nor a regular file
constexpr int AttrDirectory = 16;  // a directory
constexpr int AttrSymLink = 64;    // a symbolic link (never returned)

// What a search fills in besides the name and the attribute bits the filter
// needs. Every bit costs system calls per entry, so a consumer asks only for
// what it reads. The plain FindFirst asks for everything.
enum TSearchDetail : unsigned {
  SearchNameOnly = 0,
  SearchStatus = 1,    // Size, ModTime and Mode from lstat
  SearchReadOnly = 2,  // the AttrReadOnly bit even when the filter does not need it
  SearchEverything = SearchStatus | SearchReadOnly,
  // Size, ModTime and Mode for entries that are not directories only;
  // directories then carry 0 for size and time.
  SearchFileStatus = 4,
};

class TSearchRec {
 public:
  TSearchRec() = default;
  // A copy holds the found entry's fields and the search parameters but not
  // the directory stream: only the original goes on searching.
  TSearchRec(const TSearchRec& other);
  TSearchRec& operator=(const TSearchRec& other);
  TSearchRec(TSearchRec&&) noexcept = default;
  TSearchRec& operator=(TSearchRec&&) noexcept = default;
  ~TSearchRec() = default;

  int32_t ModTime = 0;      // modification time, seconds since the epoch
  int64_t Size = 0;         // size in bytes
  uint32_t Attributes = 0;  // Attr... bits
  char Name[256] = {};      // at most 255 bytes and a NUL
  uint32_t Mode = 0;        // file type and permission bits as lstat reports them

  struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
  };
  std::unique_ptr<DIR, DirCloser> DirStream;  // open while a search runs
  uint32_t ExcludeMask = 0;                   // entries with any of these bits are skipped
  unsigned Detail = SearchEverything;         // TSearchDetail bits
  String Directory;                           // the folder searched, ending in "/"
  String Mask;                                // the wildcard mask for names
};

// Starts a search of directory (the current directory when empty) for names
// matching mask whose attribute bits lie within attributes (bits above 63 are
// ignored; links are always excluded). 0 when an entry was found, -1 when none
// matches (the stream is then closed), or the system error number when the
// directory cannot be opened (the record stays closed). A directory name with
// a NUL byte in it names no directory (ENOENT).
int FindFirst(const String& directory, const String& mask, int attributes, TSearchRec& rec);
int FindFirst(const String& directory, const String& mask, int attributes, TSearchRec& rec,
              unsigned detail);
// 0 when a further entry was found, -1 at the end, on a read error or when no
// search is open.
int FindNext(TSearchRec& rec);
// Closes the directory stream if open.
void FindClose(TSearchRec& rec);
// The scanning step shared by FindFirst and FindNext.
int FindMatchingFile(TSearchRec& rec);

// Path of the first non-directory entry matching the last component of
// pathmask in its folder (attribute set 47), with the folder prefixed; just
// the name when pathmask has no folder part. Empty when nothing matches.
String GetFirstMatchedFile(const String& pathmask);
