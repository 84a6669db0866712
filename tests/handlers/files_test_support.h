// Scaffolding of the file, listing and text-log handler tests: settings with
// every file test enabled (put back after each test), a private folder with
// files of chosen content and times, and requests built from parameter lists.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "protocol/reply.h"
#include "protocol/request.h"
#include "tests/support/test_support.h"

namespace jextest {

// The reply's lines, split at LF (a final LF ends the last line).
inline std::vector<std::string> Lines(const String& text) {
  std::vector<std::string> lines;
  const std::string all = Str(text);
  size_t start = 0;
  while (start < all.size()) {
    const size_t end = all.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(all.substr(start));
      break;
    }
    lines.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

using Handler = void (*)(const OXRequest&, JEXReply&);

// Runs handler on the parameters (one per line) and returns the reply lines.
inline std::vector<std::string> Ask(Handler handler, const std::vector<std::string>& params) {
  std::string text;
  for (const std::string& param : params) text += param + "\n";
  JEXReply reply;
  handler(OXRequest(Bytes(text)), reply);
  return Lines(reply);
}

// The text AddTimeParam writes for calendar seconds.
inline std::string TimeText(time_t seconds) {
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d%02d%04d%02d%02d%02d", local.tm_mday, local.tm_mon + 1,
                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

inline void SetModTime(const std::string& path, time_t seconds) {
  timeval times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(lutimes(path.c_str(), times), 0) << path;
}

inline TJEXSettings FileTestsEnabled() {
  TJEXSettings settings;
  settings.EnableFolderSize = settings.EnableCountFiles = settings.EnableFileExists = 1;
  settings.EnableFileCRC = settings.EnableCompareFiles = settings.EnableTextLog = 1;
  settings.EnableUNC = 1;
  return settings;
}

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = *JEXSettings.Get();
    JEXSettings.Publish(FileTestsEnabled());
    ASSERT_TRUE(dir_.Ok());
  }
  void TearDown() override { JEXSettings.Publish(saved_); }

  std::string Path(const std::string& name) const { return dir_.File(name); }
  std::string Make(const std::string& name, const std::string& content, time_t modTime = 0) {
    const std::string path = dir_.File(name);
    WriteFile(path, content);
    if (modTime) SetModTime(path, modTime);
    return path;
  }
  std::string MakeDir(const std::string& name, mode_t mode = 0755) {
    const std::string path = dir_.File(name);
    EXPECT_EQ(mkdir(path.c_str(), mode), 0) << path;
    return path;
  }

  TempDir dir_;
  TJEXSettings saved_;
};

}  // namespace jextest
