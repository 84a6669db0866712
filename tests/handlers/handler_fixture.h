// Scaffolding of the program and network handler tests: a fixture with a
// private temporary directory exported as TMPDIR, settings published for the
// test and put back afterwards, parameter blocks built from lines, and the
// handler run with its reply text returned.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/settings.h"
#include "handlers/handler_row.h"
#include "tests/support/test_support.h"

namespace jextest {

// The parameter block: each line followed by LF.
inline OXRequest Params(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return OXRequest(Bytes(text));
}

class HandlerTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    std::filesystem::create_directories(TmpDir());
    setenv("TMPDIR", TmpDir().c_str(), 1);
    saved_ = *JEXSettings.Get();
    settings_.DelayForScripts = 0;
    Publish();
  }
  void TearDown() override { JEXSettings.Publish(saved_); }

  void Publish() { JEXSettings.Publish(settings_); }
  std::string TmpDir() const { return dir_.File("tmp"); }
  bool TmpDirEmpty() const { return std::filesystem::is_empty(TmpDir()); }

  // The reply text of handler for the given parameter lines.
  static std::string Run(RequestHandler handler, const std::vector<std::string>& lines) {
    JEXReply reply;
    handler(Params(lines), reply);
    return Str(reply);
  }

  // An executable file in the test directory.
  std::string Script(const std::string& name, const std::string& text, mode_t mode = 0700) const {
    const std::string path = dir_.File(name);
    WriteFile(path, text);
    chmod(path.c_str(), mode);
    return path;
  }

  EnvRestorer tmpdirRestorer_{"TMPDIR"};
  TempDir dir_;
  TJEXSettings saved_;
  TJEXSettings settings_;
};

}  // namespace jextest
