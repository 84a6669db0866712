// Helpers for the config tests, on top of the shared test support.
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
#include "tests/support/test_support.h"

namespace jextest {

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

inline void SetCfgFile(TJEXSettings& s, const std::string& path) {
  std::memset(s.CfgFile, 0, sizeof(s.CfgFile));
  std::strncpy(s.CfgFile, path.c_str(), sizeof(s.CfgFile) - 1);
}

// Restores the temporary-directory variables that PutRight exports.
struct EnvGuard {
  EnvRestorer tmpdir{"TMPDIR"};
  EnvRestorer tmp{"TMP"};
};

}  // namespace jextest
