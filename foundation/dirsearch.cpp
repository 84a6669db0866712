// Directory search: matching the entries of one folder against a name pattern and attribute bits.
#include "foundation/dirsearch.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "foundation/paths.h"

namespace {

constexpr int kRequestableBits = 63;
constexpr int kMaxName = 255;

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool IsHiddenName(const char* name) {
  return name[0] == '.' && !IsDotOrDotDot(name);
}

// The entry's type as the directory reports it, or as lstat does when the
// file system does not say (or when the status is wanted anyway). False when
// the entry cannot be examined.
bool EntryStatus(DIR* dir, const dirent* entry, bool wantStatus, struct stat& st, mode_t& type) {
  if (!wantStatus && entry->d_type != DT_UNKNOWN) {
    type = DTTOIF(entry->d_type);
    return true;
  }
  if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  type = st.st_mode & S_IFMT;
  return true;
}

void FillEntry(TSearchRec& rec, const dirent* entry, uint32_t attributes, const struct stat* st,
               mode_t type) {
  rec.Attributes = attributes;
  const size_t length = strnlen(entry->d_name, kMaxName);
  std::memcpy(rec.Name, entry->d_name, length);
  rec.Name[length] = '\0';
  if (st) {
    rec.Size = static_cast<int64_t>(st->st_size);
    rec.ModTime = static_cast<int32_t>(st->st_mtime);
    rec.Mode = static_cast<uint32_t>(st->st_mode);
  } else {
    rec.Size = 0;
    rec.ModTime = 0;
    rec.Mode = static_cast<uint32_t>(type);
  }
}

}  // namespace

TSearchRec::TSearchRec(const TSearchRec& other)
    : ModTime(other.ModTime),
      Size(other.Size),
      Attributes(other.Attributes),
      Mode(other.Mode),
      ExcludeMask(other.ExcludeMask),
      Detail(other.Detail),
      Directory(other.Directory),
      Mask(other.Mask) {
  std::memcpy(Name, other.Name, sizeof Name);
}

TSearchRec& TSearchRec::operator=(const TSearchRec& other) {
  if (this == &other) return *this;
  ModTime = other.ModTime;
  Size = other.Size;
  Attributes = other.Attributes;
  std::memcpy(Name, other.Name, sizeof Name);
  Mode = other.Mode;
  DirStream.reset();
  ExcludeMask = other.ExcludeMask;
  Detail = other.Detail;
  Directory = other.Directory;
  Mask = other.Mask;
  return *this;
}

int FindFirst(const String& directory, const String& mask, int attributes, TSearchRec& rec) {
  return FindFirst(directory, mask, attributes, rec, SearchEverything);
}

int FindFirst(const String& directory, const String& mask, int attributes, TSearchRec& rec,
              unsigned detail) {
  FindClose(rec);
  rec.ExcludeMask = ~static_cast<uint32_t>(attributes & kRequestableBits);
  rec.Detail = detail;
  // A NUL byte ends the name for the system, so such a name would search a
  // different directory than the one named (and a walk that appends to it
  // would meet the same directory again and again): it names none.
  if (directory.Pos('\0') > 0) return ENOENT;
  rec.Directory = IncludeTrailingPathDelimiter(directory.Length() ? directory : GetCurrentDir());
  rec.Mask = Terminated(mask);
  DIR* dir = opendir(Terminated(rec.Directory).Data());
  if (!dir) return errno;
  rec.DirStream.reset(dir);
  const int result = FindMatchingFile(rec);
  if (result != 0) FindClose(rec);
  return result;
}

int FindNext(TSearchRec& rec) {
  if (!rec.DirStream) return -1;
  return FindMatchingFile(rec);
}

void FindClose(TSearchRec& rec) {
  rec.DirStream.reset();
}

int FindMatchingFile(TSearchRec& rec) {
  DIR* dir = rec.DirStream.get();
  if (!dir) return -1;
  const char* mask = rec.Mask.Data() ? rec.Mask.Data() : "";
  // "*" matches every name (leading dots and all), so it needs no matching.
  const bool matchAll = mask[0] == '*' && mask[1] == '\0';
  const bool statusOfAll = (rec.Detail & SearchStatus) != 0;
  const bool statusOfFiles = (rec.Detail & SearchFileStatus) != 0;
  const bool wantReadOnly =
      (rec.Detail & SearchReadOnly) != 0 || (rec.ExcludeMask & AttrReadOnly) != 0;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (!entry) return -1;  // the end, or a read error
    if (!matchAll && fnmatch(mask, entry->d_name, 0) != 0) continue;

    const bool wantStatus = statusOfAll || (statusOfFiles && entry->d_type != DT_DIR);
    struct stat st;
    mode_t type = 0;
    if (!EntryStatus(dir, entry, wantStatus, st, type)) continue;
    // A link carries AttrSymLink, which every search excludes: skip it before
    // spending anything on it.
    if (type == S_IFLNK) continue;

    uint32_t attributes = 0;
    if (type == S_IFDIR) {
      attributes |= AttrDirectory;
    } else if (type != S_IFREG) {
      attributes |= AttrSystem;
    }
    if (IsHiddenName(entry->d_name)) attributes |= AttrHidden;
    if (wantReadOnly && faccessat(dirfd(dir), entry->d_name, W_OK, 0) != 0) {
      attributes |= AttrReadOnly;
    }
    if (attributes & rec.ExcludeMask) continue;

    const bool statusRead = wantStatus || entry->d_type == DT_UNKNOWN;
    FillEntry(rec, entry, attributes, statusRead ? &st : nullptr, type);
    return 0;
  }
}

String GetFirstMatchedFile(const String& pathmask) {
  const String path = ExtractFilePath(pathmask);
  const String name = ExtractFileName(pathmask);
  TSearchRec rec;
  if (FindFirst(path, name, 47, rec, SearchNameOnly) != 0) return String();
  FindClose(rec);
  if (rec.Attributes & AttrDirectory) return String();
  return path + rec.Name;
}
