// File and folder tests: counting, CRC, comparing and searching files, existence, folder size and
// file-system capacity.
#include "handlers/files.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "handlers/answers.h"
#include "config/settings.h"
#include "crypto/crc32.h"
#include "foundation/dirsearch.h"
#include "foundation/paths.h"
#include "handlers/expr.h"
#include "handlers/listing.h"
#include "protocol/values.h"

namespace {

// Block size of whole-file reads (CRC, compare, search).
constexpr int64_t kReadBlock = 1 << 20;
constexpr int64_t kSmallestBlock = 64 * 1024;
// Largest second file that mode 2 of the comparison loads.
constexpr int64_t kMaxSecondFile = 8388608;

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool IsMatchAll(const String& mask) {
  return mask.Length() == 1 && mask[1] == '*';
}

bool NameMatches(const String& terminatedMask, bool matchAll, const char* name) {
  return matchAll || fnmatch(terminatedMask.Data(), name, 0) == 0;
}

std::unique_ptr<char[]> Allocate(int64_t size) {
  return std::unique_ptr<char[]>(new (std::nothrow) char[static_cast<size_t>(size)]);
}

// The macros, the 12 characters that tell them apart, and their lengths.
struct MacroKind {
  const char* name;
  const char* prefix12;
  int length;
  bool folder;
  bool newest;
};
constexpr MacroKind kMacros[] = {
    {"%newestfile%", "%newestfile%", 12, false, true},
    {"%oldestfile%", "%oldestfile%", 12, false, false},
    {"%newestfolder%", "%newestfolde", 14, true, true},
    {"%oldestfolder%", "%oldestfolde", 14, true, false},
};

// The name of the newest or oldest file or folder in folder; empty when none.
String PickByTime(const String& folder, const MacroKind& kind) {
  TSearchRec rec;
  String kept;
  int32_t keptTime = 0;
  if (FindFirst(folder, "*", 63, rec, SearchStatus) == 0) {
    do {
      if (IsDotOrDotDot(rec.Name)) continue;
      if (((rec.Attributes & AttrDirectory) != 0) != kind.folder) continue;
      const bool better = kind.newest ? rec.ModTime > keptTime : rec.ModTime < keptTime;
      if (keptTime == 0 || better) {
        kept = rec.Name;
        keptTime = rec.ModTime;
      }
    } while (FindNext(rec) == 0);
  }
  FindClose(rec);
  return kept;
}

bool CountsInMode(TCountFilesMode mode, int value, const String& path, int64_t size,
                  int64_t nowMinutes) {
  switch (mode) {
    case AllFiles:
      return true;
    case OlderThan:
    case NewerThan: {
      const int64_t minutes = sec2min(FileAge(Terminated(path).Data()));
      const int64_t limit = nowMinutes - value;
      return mode == OlderThan ? minutes < limit : minutes > limit;
    }
    case BiggerThan:
      return size > static_cast<int64_t>(value);
    case SmallerThan:
      return size < static_cast<int64_t>(value);
    case SubFolders:
      return false;
  }
  return false;
}

// Shared by the comparison and search: the file's content as a String.
bool ReadWhole(const String& name, String& content) {
  TReadFile file;
  if (!file.Open(Terminated(name).Data())) return false;
  const int64_t size = std::min<int64_t>(file.Size(), kMaxSecondFile + 1);
  content.SetLength(static_cast<int>(size));
  const int64_t got = file.ReadFull(content.Data(), size);
  if (got < 0) return false;
  content.SetLength(static_cast<int>(got));
  return true;
}

// Files at least this large are read on a helper thread while the CRC is
// computed, so that copying from the page cache and summing overlap.
constexpr int64_t kOverlapFrom = 8 * kReadBlock;

// Feeds every block of the file to consume(data, size): reading on a helper
// thread into two alternating buffers. False on a read error.
template <typename Consume>
bool ReadOverlapped(TReadFile& file, Consume consume) {
  struct Slot {
    std::unique_ptr<char[]> data;
    int64_t size = 0;
    bool full = false;
    bool last = false;
    bool failed = false;
  };
  std::array<Slot, 2> slots;
  for (Slot& slot : slots) {
    slot.data = Allocate(kReadBlock);
    if (!slot.data) return false;
  }
  std::mutex mutex;
  std::condition_variable changed;
  bool stop = false;

  std::thread reader([&] {
    for (size_t index = 0;; index ^= 1) {
      Slot& slot = slots[index];
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return !slot.full || stop; });
        if (stop) return;
      }
      const int64_t got = file.ReadFull(slot.data.get(), kReadBlock);
      {
        const std::lock_guard<std::mutex> lock(mutex);
        slot.size = got < 0 ? 0 : got;
        slot.failed = got < 0;
        slot.last = got < kReadBlock;
        slot.full = true;
      }
      changed.notify_all();
      if (got < kReadBlock) return;
    }
  });

  bool ok = true;
  for (size_t index = 0;; index ^= 1) {
    Slot& slot = slots[index];
    {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [&] { return slot.full; });
    }
    // The reader does not touch a full slot, so it is read here unlocked.
    if (slot.failed) ok = false;
    if (ok) consume(slot.data.get(), slot.size);
    const bool last = slot.last || slot.failed;
    {
      const std::lock_guard<std::mutex> lock(mutex);
      slot.full = false;
      if (last) stop = true;
    }
    changed.notify_all();
    if (last) break;
  }
  reader.join();
  return ok;
}

void ReplyCompareResult(int64_t result, JEXReply& reply) {
  if (result < 0) {
    reply.SetResult("301") += "I/O Error";
    return;
  }
  reply.SetResult("200");
  reply.AddBoolParam(result != 0);
}

}  // namespace

const char* const CountFilesModeName[6] = {"AllFiles",   "OlderThan",   "NewerThan",
                                           "BiggerThan", "SmallerThan", "SubFolders"};

TReadFile::~TReadFile() {
  if (fd_ >= 0) close(fd_);
}

bool TReadFile::Open(const char* path) {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!path || !*path) return false;
  // Non-blocking, so that opening a FIFO does not wait for a writer; the
  // descriptor's own status then decides, with no window for a swap.
  int fd;
  do {
    fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return false;
  }
  fd_ = fd;
  size_ = static_cast<int64_t>(st.st_size);
  return true;
}

int64_t TReadFile::ReadFull(char* buffer, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    const ssize_t got = read(fd_, buffer + done, static_cast<size_t>(count - done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

int sec2min(int seconds) {
  return seconds / 60;
}

int now_min() {
  return static_cast<int>(std::time(nullptr) / 60);
}

String GetFileUsingSpecialMacros(const String& path) {
  String prefix;
  String rest(path);
  String lower(path);
  lower.LowerCase();
  for (;;) {
    int at = 0;
    for (const MacroKind& macro : kMacros) {
      const int found = lower.Pos(macro.name);
      if (found && (at == 0 || found < at)) at = found;
    }
    if (at == 0) return prefix + rest;

    const MacroKind* kind = nullptr;
    for (const MacroKind& macro : kMacros) {
      if (std::memcmp(lower.Data() + at - 1, macro.prefix12, 12) == 0) {
        kind = &macro;
        break;
      }
    }
    if (!kind) return path;  // cannot happen: a macro starts at `at`
    prefix += rest.Copy(1, at - 1);
    rest.Delete(1, at - 1 + kind->length);
    lower.Delete(1, at - 1 + kind->length);

    const String picked = PickByTime(prefix, *kind);
    if (picked.Length() == 0) return path;
    prefix += picked;
  }
}

int CountFiles(const String& folder, const String& mask, int recurse, TCountFilesMode mode,
               int value) {
  String dir(folder);
  if (dir.Length() && !IsPathDelimiter(dir, dir.Length())) dir += '/';
  const unsigned detail =
      (mode == BiggerThan || mode == SmallerThan) ? SearchFileStatus : SearchNameOnly;
  // One pass over every entry: files are matched against the mask here, and
  // every sub-folder (hidden or read-only ones too) is noted for recursion.
  TSearchRec rec;
  if (FindFirst(dir, "*", 63, rec, detail) != 0) return -1;
  const String terminatedMask = Terminated(mask);
  const bool matchAll = IsMatchAll(mask);
  const int64_t nowMinutes = now_min();
  std::vector<String> subFolders;
  int count = 0;
  do {
    const bool matches = NameMatches(terminatedMask, matchAll, rec.Name);
    if (rec.Attributes & AttrDirectory) {
      if (IsDotOrDotDot(rec.Name)) continue;
      if (recurse) subFolders.emplace_back(rec.Name);
      if (mode == SubFolders && matches) ++count;
      continue;
    }
    if (matches && CountsInMode(mode, value, dir + rec.Name, rec.Size, nowMinutes)) ++count;
  } while (FindNext(rec) == 0);
  FindClose(rec);

  for (const String& sub : subFolders) {
    const int below = CountFiles(dir + sub, mask, recurse, mode, value);
    if (below > 0) count += below;
  }
  return count;
}

int GetFileCRC(const String& fileName, unsigned int& crc, String& error) {
  if (fileName.Length() == 0) {
    error = "File is not specified";
    return 0;
  }
  TReadFile file;
  if (!file.Open(Terminated(fileName).Data())) {
    error = "Cannot open file";
    return 0;
  }
  posix_fadvise(file.Descriptor(), 0, 0, POSIX_FADV_SEQUENTIAL);
  TCRC32 sum;
  if (file.Size() >= kOverlapFrom) {
    if (!ReadOverlapped(file, [&](const char* data, int64_t size) {
          sum.UpdateBlock(data, static_cast<size_t>(size));
        })) {
      error = "Read error";
      return 0;
    }
    crc = sum.GetCRC();
    return 1;
  }
  // A small file needs no full block.
  const int64_t blockSize = std::clamp<int64_t>(file.Size() + 1, kSmallestBlock, kReadBlock);
  const std::unique_ptr<char[]> block = Allocate(blockSize);
  if (!block) {
    error = "Read error";
    return 0;
  }
  for (;;) {
    const int64_t got = file.ReadFull(block.get(), blockSize);
    if (got < 0) {
      error = "Read error";
      return 0;
    }
    sum.UpdateBlock(block.get(), static_cast<size_t>(got));
    if (got < blockSize) break;
  }
  crc = sum.GetCRC();
  return 1;
}

double GetFolderSize(const String& path, int recurse) {
  String folder(path);
  String pattern("*");
  if (!DirectoryExists(Terminated(path).Data())) {
    pattern = ExtractFileName(path);
    folder = ExtractFilePath(path);
  }
  TSearchRec rec;
  if (FindFirst(folder, "*", 63, rec, SearchFileStatus) != 0) return -1.0;
  const String terminatedPattern = Terminated(pattern);
  const bool matchAll = IsMatchAll(pattern);
  std::vector<String> subFolders;
  double total = 0;
  do {
    if (rec.Attributes & AttrDirectory) {
      if (recurse && !IsDotOrDotDot(rec.Name)) subFolders.emplace_back(rec.Name);
    } else if (NameMatches(terminatedPattern, matchAll, rec.Name)) {
      total += static_cast<double>(rec.Size);
    }
  } while (FindNext(rec) == 0);
  FindClose(rec);

  // An empty folder part means the current directory: keep the names relative.
  const String prefix = folder.Length() ? IncludeTrailingPathDelimiter(folder) : String();
  for (const String& sub : subFolders) {
    const double below = GetFolderSize(prefix + sub + "/" + pattern, recurse);
    if (below >= 0) total += below;
  }
  return total;
}

int GetUNCDriveInfo(const String& path, double& total, double& free, double& available) {
  struct statfs info;
  if (statfs(Terminated(path).Data(), &info) != 0) return 0;
  const uint64_t blockSize = static_cast<uint64_t>(info.f_bsize);
  total = static_cast<double>(static_cast<uint64_t>(info.f_blocks) * blockSize);
  free = static_cast<double>(static_cast<uint64_t>(info.f_bfree) * blockSize);
  available =
      static_cast<double>(static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(blockSize));
  return 1;
}

int CompareFiles(const String& file1, const String& file2) {
  if (file1.Length() == 0 || file2.Length() == 0) return -1;
  TReadFile first;
  TReadFile second;
  if (!first.Open(Terminated(file1).Data()) || !second.Open(Terminated(file2).Data())) return -1;
  constexpr int64_t kBlock = 65536;
  const std::unique_ptr<char[]> a = Allocate(kBlock);
  const std::unique_ptr<char[]> b = Allocate(kBlock);
  if (!a || !b) return -1;
  for (;;) {
    const int64_t gotA = first.ReadFull(a.get(), kBlock);
    const int64_t gotB = second.ReadFull(b.get(), kBlock);
    if (gotA < 0 || gotB < 0) return -1;
    const int64_t common = std::min(gotA, gotB);
    if (std::memcmp(a.get(), b.get(), static_cast<size_t>(common)) != 0) return 0;
    if (gotA < kBlock || gotB < kBlock) return 1;
  }
}

int64_t FindStrInFile(const String& file, const String& text, int caseSensitive, int wholeWord) {
  if (text.Length() == 0 || file.Length() == 0) return -1;
  TReadFile input;
  if (!input.Open(Terminated(file).Data())) return -1;
  const int64_t length = text.Length();
  if (length > input.Size()) return 0;

  String what(text);
  if (!caseSensitive) what.LowerCase();
  // Each load keeps the last length + 1 bytes of the previous one in front:
  // an occurrence spanning two loads is found whole, and the byte before the
  // carried text is still there for the whole-word check.
  const int64_t carryMax = length + 1;
  const int64_t capacity =
      std::min(std::max<int64_t>(3 * length, kReadBlock), input.Size() + 1) + carryMax;
  const std::unique_ptr<char[]> buffer = Allocate(capacity);
  if (!buffer) return -1;

  int64_t bufferOffset = 0;  // file offset of buffer[0]
  int64_t held = 0;          // bytes in the buffer
  for (;;) {
    const int64_t got = input.ReadFull(buffer.get() + held, capacity - held);
    if (got < 0) return -1;
    if (!caseSensitive)
      LowerBytes(buffer.get() + held, buffer.get() + held, static_cast<size_t>(got));
    const bool atEnd = got < capacity - held;
    held += got;
    // buffer[0] is context only when it is carried and not the file's start.
    const size_t from = bufferOffset > 0 ? 1 : 0;
    const size_t hit = FindOccurrence(buffer.get(), static_cast<size_t>(held), from, what.Data(),
                                      static_cast<size_t>(length), wholeWord != 0, atEnd);
    if (hit != SIZE_MAX) return bufferOffset + static_cast<int64_t>(hit) + 1;
    if (atEnd) return 0;
    const int64_t carry = std::min(carryMax, held);
    std::memmove(buffer.get(), buffer.get() + held - carry, static_cast<size_t>(carry));
    bufferOffset += held - carry;
    held = carry;
  }
}

int64_t FindFileInFile(const String& file1, const String& file2) {
  if (file2.Length() == 0) return -1;
  if (FileSize(Terminated(file2).Data()) == 0) return 1;
  String content;
  if (!ReadWhole(file2, content)) return -1;
  if (content.Length() == 0) return 1;
  return FindStrInFile(file1, content, 1, 0);
}

void ProcessTest_CountFiles(const OXRequest& request, JEXReply& reply) {
  if (RefusedTest(JEXSettings.Get()->EnableCountFiles, reply)) return;
  String folder = request.GetParam(1, 1);
  const String mask = request.GetParam(2, 1);
  const int recurse = jexDecodeBool(request.GetParam(3, 1));
  const int mode = jexDecodeInt(request.GetParam(4, 1));
  if (jexDecodeBool(request.GetParam(11, 1))) folder = GetFileUsingSpecialMacros(folder);
  int value = 0;
  if (mode < AllFiles || mode > SubFolders || !jexDecodeInt(request.GetParam(5, 1), &value)) {
    reply.SetResult("501") += "Wrong parameter";
    return;
  }
  const int count = CountFiles(folder, mask, recurse, static_cast<TCountFilesMode>(mode), value);
  if (count < 0) {
    reply.SetResult("301") += "Folder doesn`t exist or access denied";
    return;
  }
  reply.SetResult("200");
  reply.AddIntParam(count);
}

void ProcessTest_FileCRC(const OXRequest& request, JEXReply& reply) {
  if (RefusedTest(JEXSettings.Get()->EnableFileCRC, reply)) return;
  unsigned int crc = 0;
  String error;
  if (!GetFileCRC(request.GetParam(1, 1), crc, error)) {
    reply.SetResult("301") += error;
    return;
  }
  reply.SetResult("200");
  reply.AddIntParam(static_cast<double>(crc));
}

void ProcessTest_FileCompare(const OXRequest& request, JEXReply& reply) {
  if (RefusedTest(JEXSettings.Get()->EnableCompareFiles, reply)) return;
  reply.SetResult("301") += "File doesn`t exist";
  const String mode = request.GetParam(1, 1);
  int firstMacroAt = 0;
  if (mode == "1" || mode == "4") {
    firstMacroAt = 12;
  } else if (mode == "2") {
    firstMacroAt = 9;
  } else if (mode == "3") {
    firstMacroAt = 11;
  }
  const int firstMacro = firstMacroAt ? jexDecodeBool(request.GetParam(firstMacroAt, 1)) : 0;
  const int secondMacro = firstMacroAt ? jexDecodeBool(request.GetParam(firstMacroAt + 1, 1)) : 0;

  String first = request.GetParam(2, 1);
  if (firstMacro) first = GetFileUsingSpecialMacros(first);
  if (!FileExists(Terminated(first).Data())) return;

  if (mode == "1") {
    String second = request.GetParam(3, 1);
    if (secondMacro) second = GetFileUsingSpecialMacros(second);
    if (!FileExists(Terminated(second).Data())) return;
    const String a = Terminated(first);
    const String b = Terminated(second);
    int64_t result = 1;
    if (jexDecodeBool(request.GetParam(4, 1)) && FileAge(a.Data()) != FileAge(b.Data())) {
      result = 0;
    } else if (jexDecodeBool(request.GetParam(5, 1)) && FileSize(a.Data()) != FileSize(b.Data())) {
      result = 0;
    }
    if (result == 1 && jexDecodeBool(request.GetParam(6, 1))) result = CompareFiles(first, second);
    ReplyCompareResult(result, reply);
  } else if (mode == "2") {
    const String second = request.GetParam(3, 1);
    if (!FileExists(Terminated(second).Data())) return;
    if (FileSize(Terminated(second).Data()) > kMaxSecondFile) {
      reply.SetResult("301") += "The size of the second file cannot exceed 8Mb";
      return;
    }
    ReplyCompareResult(FindFileInFile(first, second), reply);
  } else if (mode == "3") {
    const String text = request.GetParam(3, 1);
    const int caseSensitive = jexDecodeBool(request.GetParam(4, 1));
    const int wholeWord = jexDecodeBool(request.GetParam(5, 1));
    ReplyCompareResult(FindStrInFile(first, text, caseSensitive, wholeWord), reply);
  } else {
    reply.SetResult("501") += "Wrong parameter";
  }
}

void ProcessTest_FileExists(const OXRequest& request, JEXReply& reply) {
  if (RefusedTest(JEXSettings.Get()->EnableFileExists, reply)) return;
  String name = request.GetParam(1, 1);
  if (jexDecodeBool(request.GetParam(7, 1))) name = GetFileUsingSpecialMacros(name);
  int64_t size = 0;
  time_t changeTime = 0;
  time_t modTime = 0;
  if (!GetFileInfo(Terminated(name).Data(), size, changeTime, modTime)) {
    name = GetFirstMatchedFile(name);
    if (name.Length() == 0 || !GetFileInfo(Terminated(name).Data(), size, changeTime, modTime)) {
      reply.SetResult("301") += "no such file or acess denied";
      return;
    }
  }
  reply.SetResult("200");
  reply.AddIntParam(static_cast<double>(size));
  const int changeSeconds = static_cast<int>(changeTime);
  const int modSeconds = static_cast<int>(modTime);
  reply.AddTimeParam(changeSeconds);
  reply.AddTimeParam(modSeconds);
  reply.AddStringParam(name, 0);
  reply.AddStringParam("min", 0);
  reply.AddIntParam(static_cast<int>((std::time(nullptr) - modTime) / 60));
}

void ProcessTest_FolderSize(const OXRequest& request, JEXReply& reply) {
  if (RefusedTest(JEXSettings.Get()->EnableFolderSize, reply)) return;
  String path = request.GetParam(1, 1);
  const int recurse = jexDecodeBool(request.GetParam(2, 1));
  if (jexDecodeBool(request.GetParam(8, 1))) path = GetFileUsingSpecialMacros(path);
  const double size = GetFolderSize(path, recurse);
  if (size < 0) {
    reply.SetResult("301") += "Folder/File doesn`t exist or access denied";
    return;
  }
  reply.SetResult("200");
  reply.AddIntParam(size);
}

void ProcessTest_UNC(const OXRequest& request, JEXReply& reply) {
  if (RefusedTest(JEXSettings.Get()->EnableUNC, reply)) return;
  String path = request.GetParam(1, 1);
  if (path.Length() && path[path.Length()] == '\\') path.Delete(path.Length(), 1);
  if (path.Length() == 0) {
    reply.SetResult("501") += "Path not specified";
    return;
  }
  double total = 0;
  double free = 0;
  double available = 0;
  if (!GetUNCDriveInfo(path, total, free, available)) {
    const int error = errno;
    reply.SetResult("301");
    char text[256];
    text[0] = '\0';
    const char* message = strerror_r(error, text, sizeof text);
    if (message && *message) reply.AddStringParam(message, 1);
    return;
  }
  reply.SetResult("200");
  reply.AddIntParam(total);
  reply.AddIntParam(free);
  reply.AddIntParam(available);
}

HandlerRows FileCommandRows() {
  static const HandlerRow rows[] = {
      {"TEST-CountFiles", ProcessTest_CountFiles},   {"TEST-FileCRC", ProcessTest_FileCRC},
      {"TEST-FileCompare", ProcessTest_FileCompare}, {"TEST-FileExists", ProcessTest_FileExists},
      {"TEST-FolderSize", ProcessTest_FolderSize},   {"TEST-UNC", ProcessTest_UNC},
  };
  return rows;
}
