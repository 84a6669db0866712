// Helpers for the config tests: a private temporary directory, whole-file
// reads and writes, and a guard that restores TMPDIR/TMP after a test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "config/settings.h"
#include "foundation/tqstring.h"

namespace jextest {

class TempDir {
 public:
  TempDir() {
    std::string pattern = testing::TempDir() + "jex-config-XXXXXX";
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool Ok() const { return !path_.empty(); }
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

// The file's bytes, or nothing when it cannot be read.
inline std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

inline bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// Replaces every "@DIR@" by dir.
inline std::string WithDir(std::string text, const std::string& dir) {
  for (size_t at = text.find("@DIR@"); at != std::string::npos; at = text.find("@DIR@", at)) {
    text.replace(at, 5, dir);
    at += dir.size();
  }
  return text;
}

// True when text matches pattern byte for byte, each '#' of the pattern
// standing for one decimal digit.
inline bool MatchesDigits(const std::string& text, const std::string& pattern) {
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool ok = pattern[i] == '#' ? (text[i] >= '0' && text[i] <= '9') : text[i] == pattern[i];
    if (!ok) return false;
  }
  return true;
}

inline std::string Str(const String& s) {
  return s.Length() ? std::string(s.Data(), static_cast<size_t>(s.Length())) : std::string();
}

inline void SetCfgFile(TJEXSettings& s, const std::string& path) {
  std::memset(s.CfgFile, 0, sizeof(s.CfgFile));
  std::strncpy(s.CfgFile, path.c_str(), sizeof(s.CfgFile) - 1);
}

// Restores the temporary-directory variables that PutRight exports.
class EnvGuard {
 public:
  EnvGuard() : tmpdir_(Get("TMPDIR")), tmp_(Get("TMP")) {}
  ~EnvGuard() {
    Restore("TMPDIR", tmpdir_);
    Restore("TMP", tmp_);
  }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  static std::optional<std::string> Get(const char* name) {
    const char* value = getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  }
  static void Restore(const char* name, const std::optional<std::string>& value) {
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  std::optional<std::string> tmpdir_;
  std::optional<std::string> tmp_;
};

}  // namespace jextest
