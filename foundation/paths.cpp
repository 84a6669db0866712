// Path texts, file status, unique numbers and temporary file names (see paths.h).
#include "foundation/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// Longest file name and working directory text handed out (a 4096-byte
// buffer with its NUL).
constexpr int kMaxPathText = 4095;
// Room the directory prefix must leave in the caller's buffer.
constexpr int kTempNameRoom = 16;
// Longest candidate temporary path (a 1024-byte buffer with its NUL).
constexpr int kMaxTempPath = 1023;
// Candidates tried per call: numbers 0 to 1998.
constexpr int kTempCandidates = 1999;

std::mutex fidmutex;
unsigned int fidnum = 0;

// Closes a file descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  bool IsOpen() const { return fd_ >= 0; }

 private:
  int fd_;
};

bool StatPath(const char* path, struct stat* st) {
  return path && stat(path, st) == 0;
}

// Appends at most `room - s.Length()` bytes of text, so s never exceeds room.
void AppendBounded(String& s, const char* text, int room) {
  const int spare = room - s.Length();
  if (spare <= 0) return;
  const int len = static_cast<int>(strnlen(text, static_cast<size_t>(spare)));
  s.AddData(text, len);
}

// The directory part of a temporary name: $TMPDIR or $TMP with '/', else "./".
// An empty variable counts as unset, so files never land in "/" by accident.
String TempDirectory(int room) {
  const char* dir = std::getenv("TMPDIR");
  if (!dir || !*dir) dir = std::getenv("TMP");
  String prefix;
  if (dir && *dir) {
    AppendBounded(prefix, dir, room);
    AppendBounded(prefix, "/", room);
  } else {
    AppendBounded(prefix, "./", room);
  }
  return prefix;
}

enum class CreateResult { kCreated, kExists, kFailed };

// Creates path as a new empty regular file; an existing entry of any kind,
// a symbolic link included, is left alone and reported as kExists.
CreateResult CreateExclusively(const char* path) {
  int fd;
  do {
    fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  const FileDescriptor file(fd);
  if (file.IsOpen()) return CreateResult::kCreated;
  return errno == EEXIST ? CreateResult::kExists : CreateResult::kFailed;
}

// Copies text with its NUL into buf, which the caller has checked is large
// enough.
void CopyOut(const String& text, char* buf) {
  if (text.Length() > 0) std::memcpy(buf, text.Data(), static_cast<size_t>(text.Length()));
  buf[text.Length()] = '\0';
}

int FailEmptied(char* buf) {
  buf[0] = '\0';
  return 0;
}

}  // namespace

bool IsPathDelimiter(const String& s, int index) {
  return index >= 1 && index <= s.Length() && s[index] == '/';
}

String IncludeTrailingPathDelimiter(const String& s) {
  if (IsPathDelimiter(s, s.Length())) return s;
  return s + '/';
}

String ExcludeTrailingPathDelimiter(const String& s) {
  if (!IsPathDelimiter(s, s.Length())) return s;
  return s.Copy(1, s.Length() - 1);
}

int LastDelimiter(const char* delimiters, const String& s) {
  if (!delimiters) return 0;
  const size_t count = std::strlen(delimiters);
  // memchr rather than strchr: a NUL byte in s must not match the terminator.
  for (int i = s.Length(); i >= 1; --i) {
    if (std::memchr(delimiters, s[i], count)) return i;
  }
  return 0;
}

String ExtractFilePath(const String& s) {
  return s.Copy(1, LastDelimiter("/", s));
}

String ExtractFileName(const String& s) {
  return s.Copy(LastDelimiter("/", s) + 1, kMaxPathText);
}

bool FileExists(const char* path) {
  struct stat st;
  return StatPath(path, &st) && S_ISREG(st.st_mode);
}

bool DirectoryExists(const char* path) {
  struct stat st;
  return StatPath(path, &st) && S_ISDIR(st.st_mode);
}

int64_t FileSize(const char* path) {
  struct stat st;
  return StatPath(path, &st) ? static_cast<int64_t>(st.st_size) : -1;
}

int FileAge(const char* path) {
  struct stat st;
  return StatPath(path, &st) ? static_cast<int>(st.st_mtime) : -1;
}

bool DeleteFile(const char* path) {
  return path && unlink(path) == 0;
}

String GetCurrentDir() {
  char dir[kMaxPathText + 1];
  if (!getcwd(dir, sizeof dir)) return String();
  return String(dir);
}

int GetUniqueThreadID() {
  unsigned int counter;
  {
    const std::lock_guard<std::mutex> lock(fidmutex);
    counter = ++fidnum;
  }
  // Unsigned arithmetic: the shift may carry bits out of 32 on purpose.
  const unsigned int id = (static_cast<unsigned int>(getpid()) << 16) + counter;
  return static_cast<int>(id);
}

int gettempfilename(char* buf, int len, const char* name) {
  if (!buf || len < kTempNameRoom) return 0;
  const int room = len - 1;  // bytes available before the NUL
  String path = TempDirectory(room);
  if (path.Length() + kTempNameRoom > room) return FailEmptied(buf);

  if (name) {
    AppendBounded(path, name, room);
    CopyOut(path, buf);
    return 1;
  }

  char stem[32];
  std::snprintf(stem, sizeof stem, "tmp-%ld-", static_cast<long>(GetUniqueThreadID()));
  path += stem;
  const int stemEnd = path.Length();
  for (int number = 0; number < kTempCandidates; ++number) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%d", number);
    path.Delete(stemEnd + 1, path.Length() - stemEnd);
    path += digits;
    // A name cut to fit would not be the file created, so a long one fails.
    if (path.Length() > kMaxTempPath || path.Length() > room) break;
    switch (CreateExclusively(path.SetZero().Data())) {
      case CreateResult::kCreated:
        CopyOut(path, buf);
        return 1;
      case CreateResult::kExists:
        continue;
      case CreateResult::kFailed:
        return FailEmptied(buf);
    }
  }
  return FailEmptied(buf);
}
