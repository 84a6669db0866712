// What the fuzz targets share: the invariant check, a private working folder
// on a memory-backed file system where there is one, whole-file writes and
// the String conversions of the raw input.
#pragma once

#include <ftw.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "foundation/tqstring.h"

namespace jexfuzz {

// A broken invariant is a finding: the check is named on stderr and the trap
// stops libFuzzer, which keeps the input as a crash artifact.
inline void RequireAt(bool condition, const char* text, const char* file, int line) {
  if (condition) return;
  std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, text);
  __builtin_trap();
}
#define JEX_REQUIRE(condition) ::jexfuzz::RequireAt((condition), #condition, __FILE__, __LINE__)

inline String Bytes(const std::uint8_t* data, std::size_t size) {
  String text;
  text.CopyData(reinterpret_cast<const char*>(data), static_cast<int>(size));
  return text;
}

inline std::string Str(const String& s) {
  return s.Length() ? std::string(s.Data(), static_cast<size_t>(s.Length())) : std::string();
}

namespace detail {
inline std::string& FolderToRemove() {
  static std::string folder;
  return folder;
}
inline int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}
inline void RemoveFolder() {
  const std::string& folder = FolderToRemove();
  if (!folder.empty()) nftw(folder.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}
}  // namespace detail

// Creates a fresh folder "<base>/<name>-XXXXXX", base being /dev/shm when it
// is a writable directory (the targets write files on every run), else
// $TMPDIR, else /tmp. The folder and everything in it go at a normal exit;
// after a crash it stays for inspection. Empty on failure.
inline std::string MakeFuzzFolder(const char* name) {
  std::string base = "/dev/shm";
  struct stat info;
  if (stat(base.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || access(base.c_str(), W_OK) != 0) {
    const char* tmp = getenv("TMPDIR");
    base = tmp && *tmp ? tmp : "/tmp";
  }
  std::string pattern = base + "/" + name + "-XXXXXX";
  if (!mkdtemp(pattern.data())) return std::string();
  char resolved[PATH_MAX];
  if (realpath(pattern.c_str(), resolved)) pattern = resolved;
  detail::FolderToRemove() = pattern;
  atexit(detail::RemoveFolder);
  return pattern;
}

inline bool WriteWholeFile(const std::string& path, const char* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const size_t written = size ? std::fwrite(data, 1, size, file) : 0;
  return std::fclose(file) == 0 && written == size;
}

inline bool WriteWholeFile(const std::string& path, const std::string& content) {
  return WriteWholeFile(path, content.data(), content.size());
}

}  // namespace jexfuzz
