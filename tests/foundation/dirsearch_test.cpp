// Directory search: which entries a search returns with which attribute
// bits, the exclusion of links, the current directory, independent searches
// and the first-matched-file helper.
#include "foundation/dirsearch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using jextest::TempDir;
using jextest::WriteFile;

// name -> attribute bits of everything a search returns.
std::map<std::string, uint32_t> SearchAll(const std::string& dir, const char* mask, int attributes,
                                          unsigned detail = SearchEverything) {
  std::map<std::string, uint32_t> found;
  TSearchRec rec;
  if (FindFirst(dir.c_str(), mask, attributes, rec, detail) == 0) {
    do {
      found[rec.Name] = rec.Attributes;
    } while (FindNext(rec) == 0);
  }
  FindClose(rec);
  return found;
}

// The read-only bit as this process sees it (root may write anything).
uint32_t ReadOnlyBit(const std::string& path) {
  return access(path.c_str(), W_OK) == 0 ? 0 : AttrReadOnly;
}

class DirSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    WriteFile(dir_.File("file.txt"), "12345");
    WriteFile(dir_.File(".hidden"), "h");
    ASSERT_EQ(mkdir(dir_.File("sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("file.txt", dir_.File("link").c_str()), 0);
    ASSERT_EQ(symlink("sub", dir_.File("dirlink").c_str()), 0);
    ASSERT_EQ(mkfifo(dir_.File("fifo").c_str(), 0644), 0);
    WriteFile(dir_.File("readonly.txt"), "r");
    ASSERT_EQ(chmod(dir_.File("readonly.txt").c_str(), 0444), 0);
  }
  TempDir dir_;
};

TEST_F(DirSearchTest, EveryKindReturnedWithItsBitsButNeverLinks) {
  const auto found = SearchAll(dir_.Path(), "*", 63);
  const std::map<std::string, uint32_t> expected = {
      {".", AttrDirectory | ReadOnlyBit(dir_.Path())},
      {"..", AttrDirectory | ReadOnlyBit(dir_.Path() + "/..")},
      {"file.txt", 0},
      {".hidden", AttrHidden},
      {"sub", AttrDirectory},
      {"fifo", AttrSystem},
      {"readonly.txt", ReadOnlyBit(dir_.File("readonly.txt"))},
  };
  EXPECT_EQ(found, expected);
}

TEST_F(DirSearchTest, RecordCarriesSizeTimeAndMode) {
  struct stat st;
  ASSERT_EQ(lstat(dir_.File("file.txt").c_str(), &st), 0);
  TSearchRec rec;
  ASSERT_EQ(FindFirst(dir_.Path().c_str(), "file.*", 63, rec), 0);
  EXPECT_STREQ(rec.Name, "file.txt");
  EXPECT_EQ(rec.Size, 5);
  EXPECT_EQ(rec.ModTime, static_cast<int32_t>(st.st_mtime));
  EXPECT_EQ(rec.Mode, static_cast<uint32_t>(st.st_mode));
  EXPECT_EQ(jextest::Str(rec.Directory), dir_.Path() + "/");
  EXPECT_EQ(FindNext(rec), -1);
  FindClose(rec);
  EXPECT_EQ(FindNext(rec), -1) << "a closed search finds nothing";
}

TEST_F(DirSearchTest, AttributeSetsFilter) {
  // 16: directories and plain writable visible files; no hidden, system or
  // read-only entries.
  auto dirs = SearchAll(dir_.Path(), "*", 16);
  EXPECT_EQ(dirs.count("sub"), 1u);
  EXPECT_EQ(dirs.count("file.txt"), 1u);
  EXPECT_EQ(dirs.count(".hidden"), 0u);
  EXPECT_EQ(dirs.count("fifo"), 0u);
  EXPECT_EQ(dirs.count("readonly.txt"), ReadOnlyBit(dir_.File("readonly.txt")) ? 0u : 1u);
  // 47: everything but directories.
  auto files = SearchAll(dir_.Path(), "*", 47);
  EXPECT_EQ(files.count("sub"), 0u);
  EXPECT_EQ(files.count("."), 0u);
  EXPECT_EQ(files.count(".hidden"), 1u);
  EXPECT_EQ(files.count("fifo"), 1u);
  // Requesting bit 64 does not bring links back.
  EXPECT_EQ(SearchAll(dir_.Path(), "*", 127).count("link"), 0u);
}

TEST_F(DirSearchTest, NameOnlySearchGivesTheSameEntriesAndBits) {
  // Cheaper detail levels must not change what is returned or its bits.
  for (int attributes : {63, 47, 16, 61}) {
    SCOPED_TRACE(attributes);
    EXPECT_EQ(SearchAll(dir_.Path(), "*", attributes, SearchReadOnly),
              SearchAll(dir_.Path(), "*", attributes));
  }
}

TEST_F(DirSearchTest, FileStatusLeavesDirectoriesOut) {
  TSearchRec rec;
  ASSERT_EQ(FindFirst(dir_.Path().c_str(), "*", 63, rec, SearchFileStatus), 0);
  std::map<std::string, int64_t> sizes;
  do {
    sizes[rec.Name] = rec.Size;
  } while (FindNext(rec) == 0);
  EXPECT_EQ(sizes["file.txt"], 5);
  EXPECT_EQ(sizes["sub"], 0);
  EXPECT_EQ(sizes["."], 0);
}

TEST_F(DirSearchTest, MaskFollowsShellWildcards) {
  EXPECT_EQ(SearchAll(dir_.Path(), "*.txt", 63).size(), 2u);
  EXPECT_EQ(SearchAll(dir_.Path(), "f?le.[st]xt", 63).size(), 1u);
  EXPECT_EQ(SearchAll(dir_.Path(), "*idden", 63).count(".hidden"), 1u)
      << "'*' also matches a leading dot";
  TSearchRec rec;
  EXPECT_EQ(FindFirst(dir_.Path().c_str(), "nothing*", 63, rec), -1);
  EXPECT_FALSE(rec.DirStream);
  EXPECT_EQ(FindFirst((dir_.Path() + "/missing").c_str(), "*", 63, rec), ENOENT);
  FindClose(rec);
}

TEST_F(DirSearchTest, EmptyDirectorySearchesTheCurrentOne) {
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir_.Path().c_str()), 0);
  TSearchRec rec;
  const int result = FindFirst("", "file.txt", 63, rec);
  EXPECT_EQ(jextest::Str(GetFirstMatchedFile("*.txt")).find('/'), std::string::npos);
  ASSERT_EQ(chdir(saved), 0);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(jextest::Str(rec.Directory), dir_.Path() + "/");
}

// The system would read such a name only up to the NUL, i.e. search another
// directory than the one named.
TEST_F(DirSearchTest, NameWithANulByteNamesNoDirectory) {
  TSearchRec rec;
  String cut = jextest::Bytes(dir_.Path() + std::string("\0", 1) + "/sub");
  EXPECT_EQ(FindFirst(cut, "*", 63, rec), ENOENT);
  EXPECT_FALSE(rec.DirStream);
  EXPECT_EQ(FindFirst(jextest::Bytes(dir_.Path() + "/sub"), "*", 63, rec), 0);
}

TEST_F(DirSearchTest, FirstMatchedFileSkipsDirectories) {
  EXPECT_EQ(jextest::Str(GetFirstMatchedFile((dir_.Path() + "/file*").c_str())),
            dir_.File("file.txt"));
  EXPECT_EQ(jextest::Str(GetFirstMatchedFile((dir_.Path() + "/su*").c_str())), "");
  EXPECT_EQ(jextest::Str(GetFirstMatchedFile((dir_.Path() + "/none*").c_str())), "");
}

TEST_F(DirSearchTest, CopyKeepsTheEntryAndLeavesTheSearchToTheOriginal) {
  TSearchRec rec;
  ASSERT_EQ(FindFirst(dir_.Path().c_str(), "*", 63, rec), 0);
  const TSearchRec copy(rec);
  EXPECT_STREQ(copy.Name, rec.Name);
  EXPECT_FALSE(copy.DirStream);
  EXPECT_TRUE(rec.DirStream);
}

// Several threads searching the same folder each see every entry once.
TEST_F(DirSearchTest, ConcurrentSearchesAreIndependent) {
  for (int i = 0; i < 50; ++i) WriteFile(dir_.File("n" + std::to_string(i)), "");
  std::vector<std::thread> threads;
  std::vector<size_t> counts(4);
  for (size_t t = 0; t < counts.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) counts[t] = SearchAll(dir_.Path(), "n*", 63).size();
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t count : counts) EXPECT_EQ(count, 50u);
}

}  // namespace
