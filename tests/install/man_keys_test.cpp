// The documentation names exactly the keys the loader knows: every key of
// jex.cfg(5) with its type, default and "SetSettings" entry, and every key
// in the documented example configuration.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config/settings.h"

namespace {

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::set<std::string> LoaderKeys() {
  std::set<std::string> keys;
  for (int i = 0; i < SettingsKeyCount(); ++i) keys.insert(SettingsKeyName(i));
  return keys;
}

std::string Joined(const std::set<std::string>& keys) {
  std::string text;
  for (const std::string& key : keys) text += key + " ";
  return text;
}

TEST(ManualPage, DescribesEveryKeyTheLoaderKnowsAndNoOther) {
  const std::vector<std::string> lines = Lines(JEX_SOURCE_DIR "/packaging/man/jex.cfg.5");
  ASSERT_FALSE(lines.empty());
  // In the KEYS section each key is a ".TP" paragraph tagged ".B <key>",
  // whose text carries a "Type: ... Default: ... SetSettings: ..." line.
  std::set<std::string> documented;
  bool inKeys = false;
  std::string current;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.rfind(".SH ", 0) == 0) {
      inKeys = line == ".SH KEYS";
      continue;
    }
    if (!inKeys) continue;
    if (line == ".TP" && i + 1 < lines.size() && lines[i + 1].rfind(".B ", 0) == 0) {
      current = lines[i + 1].substr(3);
      EXPECT_TRUE(documented.insert(current).second) << "described twice: " << current;
    } else if (line.rfind("Type: ", 0) == 0) {
      EXPECT_NE(line.find("Default: "), std::string::npos) << current;
      EXPECT_NE(line.find("SetSettings: "), std::string::npos) << current;
      current.clear();
    } else if (line.rfind(".SS ", 0) == 0) {
      EXPECT_TRUE(current.empty()) << "no Type line for " << current;
    }
  }
  EXPECT_EQ(Joined(documented), Joined(LoaderKeys()));
}

TEST(ExampleConfiguration, SetsEveryKeyTheLoaderKnows) {
  std::set<std::string> present;
  for (const std::string& line : Lines(JEX_SOURCE_DIR "/example/jex.cfg.in")) {
    if (line.empty() || line[0] == '#' || line.find('=') == std::string::npos) continue;
    present.insert(line.substr(0, line.find('=')));
  }
  EXPECT_EQ(Joined(present), Joined(LoaderKeys()));
}

}  // namespace
