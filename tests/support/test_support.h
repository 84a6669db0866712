// Helpers shared by the test suites: conversions between String and
// std::string, a private temporary directory, whole-file reads and writes,
// and a guard that puts one environment variable back after a test.
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

#include "foundation/tqstring.h"

namespace jextest {

inline std::string Str(const String& s) {
  return s.Length() ? std::string(s.Data(), static_cast<size_t>(s.Length())) : std::string();
}

inline String Bytes(const std::string& s) {
  String result;
  result.AddData(s.data(), static_cast<int>(s.size()));
  return result;
}

// A directory of its own under the test temporary directory, removed with
// everything in it (read-only parts included) at the end.
class TempDir {
 public:
  TempDir() {
    std::string pattern = testing::TempDir() + "jex-test-XXXXXX";
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

// lstat: a link counts as existing whatever it points at.
inline bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

// Puts one environment variable back as it was.
class EnvRestorer {
 public:
  explicit EnvRestorer(const char* name) : name_(name) {
    if (const char* value = getenv(name)) saved_ = value;
  }
  ~EnvRestorer() {
    if (saved_) {
      setenv(name_, saved_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  EnvRestorer(const EnvRestorer&) = delete;
  EnvRestorer& operator=(const EnvRestorer&) = delete;

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

}  // namespace jextest
