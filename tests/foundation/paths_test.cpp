// Tests of foundation/paths: path texts, file status, unique numbers and
// temporary file names. File tests work only inside a directory they create.
#include "foundation/paths.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string Str(const String& s) {
  return s.Length() == 0 ? std::string() : std::string(s.Data(), static_cast<size_t>(s.Length()));
}

// ---------------------------------------------------------------------------
// Path texts

TEST(PathText, Delimiters) {
  const String s("/a/");
  EXPECT_TRUE(IsPathDelimiter(s, 1));
  EXPECT_FALSE(IsPathDelimiter(s, 2));
  EXPECT_TRUE(IsPathDelimiter(s, 3));
  EXPECT_FALSE(IsPathDelimiter(s, 0));
  EXPECT_FALSE(IsPathDelimiter(s, 4));
  EXPECT_FALSE(IsPathDelimiter(String(), 1));

  EXPECT_EQ(Str(IncludeTrailingPathDelimiter("/tmp/")), "/tmp/");
  EXPECT_EQ(Str(IncludeTrailingPathDelimiter("/tmp")), "/tmp/");
  EXPECT_EQ(Str(IncludeTrailingPathDelimiter("")), "/");
  EXPECT_EQ(Str(ExcludeTrailingPathDelimiter("/tmp/")), "/tmp");
  EXPECT_EQ(Str(ExcludeTrailingPathDelimiter("/tmp//")), "/tmp/") << "only one is removed";
  EXPECT_EQ(Str(ExcludeTrailingPathDelimiter("/tmp")), "/tmp");
  EXPECT_EQ(Str(ExcludeTrailingPathDelimiter("/")), "");
  EXPECT_EQ(Str(ExcludeTrailingPathDelimiter("")), "");
}

TEST(PathText, LastDelimiter) {
  EXPECT_EQ(LastDelimiter("/", "/var/log/x"), 9);
  EXPECT_EQ(LastDelimiter("/.", "/var/log.old/x"), 13);
  EXPECT_EQ(LastDelimiter(".", "/var/log.old/x"), 9);
  EXPECT_EQ(LastDelimiter("/", "name"), 0);
  EXPECT_EQ(LastDelimiter("/", ""), 0);
  EXPECT_EQ(LastDelimiter("", "/a"), 0);
  EXPECT_EQ(LastDelimiter(nullptr, "/a"), 0);
  String withNul("a/b");
  withNul += '\0';
  EXPECT_EQ(LastDelimiter("/", withNul), 2) << "a NUL byte is not a delimiter";
}

TEST(PathText, ExtractPathAndName) {
  struct Case {
    const char* path;
    const char* dir;
    const char* name;
  };
  for (const Case& c : std::vector<Case>{{"/var/log/messages", "/var/log/", "messages"},
                                         {"messages", "", "messages"},
                                         {"/var/log/", "/var/log/", ""},
                                         {"/", "/", ""},
                                         {"", "", ""},
                                         {"a//b", "a//", "b"}}) {
    EXPECT_EQ(Str(ExtractFilePath(c.path)), c.dir) << c.path;
    EXPECT_EQ(Str(ExtractFileName(c.path)), c.name) << c.path;
  }
  const std::string longName(5000, 'n');
  EXPECT_EQ(ExtractFileName(("/d/" + longName).c_str()).Length(), 4095);
}

// ---------------------------------------------------------------------------
// File status, inside a scratch directory

class ScratchDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "jex-paths-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    if (!dir_.empty()) fs::remove_all(dir_, ignored);
  }

  std::string PathOf(const std::string& name) const { return dir_ + "/" + name; }
  std::string WriteFile(const std::string& name, const std::string& content) const {
    const std::string path = PathOf(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string dir_;
};

using FileStatus = ScratchDirTest;

TEST_F(FileStatus, ExistenceSizeAgeAndDeletion) {
  const std::string file = WriteFile("data.txt", "12345");
  const std::string missing = PathOf("missing");
  const std::string fileLink = PathOf("file-link");
  const std::string dangling = PathOf("dangling");
  ASSERT_EQ(symlink(file.c_str(), fileLink.c_str()), 0);
  ASSERT_EQ(symlink(missing.c_str(), dangling.c_str()), 0);

  EXPECT_TRUE(FileExists(file.c_str()));
  EXPECT_TRUE(FileExists(fileLink.c_str())) << "links are followed";
  EXPECT_FALSE(FileExists(dangling.c_str()));
  EXPECT_FALSE(FileExists(dir_.c_str())) << "a directory is no file";
  EXPECT_FALSE(FileExists(missing.c_str()));
  EXPECT_FALSE(FileExists(nullptr));
  EXPECT_TRUE(DirectoryExists(dir_.c_str()));
  EXPECT_FALSE(DirectoryExists(file.c_str()));
  EXPECT_FALSE(DirectoryExists(missing.c_str()));
  EXPECT_FALSE(DirectoryExists(nullptr));

  EXPECT_EQ(FileSize(file.c_str()), 5);
  EXPECT_EQ(FileSize(fileLink.c_str()), 5);
  EXPECT_EQ(FileSize(missing.c_str()), -1);
  EXPECT_EQ(FileSize(nullptr), -1);

  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(FileAge(file.c_str()), static_cast<int>(st.st_mtime));
  EXPECT_EQ(FileAge(missing.c_str()), -1);

  EXPECT_TRUE(DeleteFile(fileLink.c_str()));
  EXPECT_TRUE(FileExists(file.c_str())) << "deleting a link keeps its target";
  EXPECT_TRUE(DeleteFile(file.c_str()));
  EXPECT_FALSE(FileExists(file.c_str()));
  EXPECT_FALSE(DeleteFile(file.c_str()));
  EXPECT_FALSE(DeleteFile(dir_.c_str()));
  EXPECT_FALSE(DeleteFile(nullptr));
}

TEST_F(FileStatus, LargeFileSizeNeedsMoreThan32Bits) {
  const std::string path = PathOf("sparse");
  std::ofstream(path, std::ios::binary) << "x";
  std::error_code error;
  fs::resize_file(path, 5'000'000'000ULL, error);  // sparse: no disk space used
  if (error) GTEST_SKIP() << "no sparse files here: " << error.message();
  EXPECT_EQ(FileSize(path.c_str()), 5'000'000'000LL);
}

TEST(CurrentDir, MatchesWorkingDirectory) {
  EXPECT_EQ(Str(GetCurrentDir()), fs::current_path().string());
}

// ---------------------------------------------------------------------------
// Unique numbers

TEST(UniqueThreadID, ProcessIdAboveSixteenBitsPlusCounter) {
  const unsigned first = static_cast<unsigned>(GetUniqueThreadID());
  const unsigned second = static_cast<unsigned>(GetUniqueThreadID());
  EXPECT_EQ(second, first + 1);
  // With fewer than 65536 calls so far the counter stays in the low 16 bits.
  EXPECT_EQ(first >> 16, static_cast<unsigned>(getpid()) & 0xFFFFu);
}

TEST(UniqueThreadID, DistinctAcrossThreads) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::vector<std::vector<int>> ids(kThreads);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&ids, t] {
        for (int i = 0; i < kPerThread; ++i) ids[t].push_back(GetUniqueThreadID());
      });
    }
  }
  std::set<int> all;
  for (const auto& perThread : ids) all.insert(perThread.begin(), perThread.end());
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kPerThread));
}

// ---------------------------------------------------------------------------
// Temporary file names

class TempFileName : public ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    savedTmpDir_ = Saved("TMPDIR");
    savedTmp_ = Saved("TMP");
    setenv("TMPDIR", dir_.c_str(), 1);
    unsetenv("TMP");
  }
  void TearDown() override {
    Restore("TMPDIR", savedTmpDir_);
    Restore("TMP", savedTmp_);
    ScratchDirTest::TearDown();
  }

  // The candidate stem the next gettempfilename call will use (the tests run
  // on one thread, so the next number is the current one plus one).
  static std::string NextStem(const std::string& dir) {
    const int next = static_cast<int>(static_cast<unsigned>(GetUniqueThreadID()) + 1u);
    return dir + "/tmp-" + std::to_string(next) + "-";
  }

  // Creates nested directories below dir_ (components made of `fill`) so
  // that "<dir>/tmp-<id>-0" is candidateLength bytes long. The id's digit
  // count is taken from a fresh number; the next ones have the same count.
  std::string NestedDirFor(size_t candidateLength, const char* fill) const {
    const size_t suffix = NextStem("").size() + 1;  // "/tmp-<id>-" and the digit
    const size_t length = candidateLength - suffix;
    std::string d = dir_ + "/" + fill;  // a fresh subtree per call
    EXPECT_LT(d.size() + 2, length);
    fs::create_directory(d);
    while (d.size() < length) {
      const size_t remaining = length - d.size();
      const size_t component = remaining <= 201 ? remaining - 1 : 150;
      d += "/" + std::string(component, fill[0]);
      fs::create_directory(d);
    }
    return d;
  }

  static std::optional<std::string> Saved(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  }
  static void Restore(const char* name, const std::optional<std::string>& value) {
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }

  std::optional<std::string> savedTmpDir_;
  std::optional<std::string> savedTmp_;
};

TEST_F(TempFileName, ShortOrNullBufferFailsUntouched) {
  char buf[15];
  std::memset(buf, 'Q', sizeof buf);
  EXPECT_EQ(gettempfilename(buf, 15, nullptr), 0);
  EXPECT_EQ(gettempfilename(buf, 15, "name"), 0);
  EXPECT_EQ(std::string(buf, sizeof buf), std::string(15, 'Q'));
  EXPECT_EQ(gettempfilename(nullptr, 64, nullptr), 0);
}

TEST_F(TempFileName, CreatesPrivateEmptyFileUnderTmpDir) {
  const std::string stem = NextStem(dir_);
  char buf[1024];
  ASSERT_EQ(gettempfilename(buf, sizeof buf, nullptr), 1);
  EXPECT_EQ(std::string(buf), stem + "0");
  struct stat st;
  ASSERT_EQ(lstat(buf, &st), 0) << "the file is created by the call";
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_mode & 077, 0u) << "no access for group or others";
  EXPECT_EQ(st.st_mode & 0600, 0600u);

  // The next call gets a new stem, so it does not collide with the first file.
  char second[1024];
  ASSERT_EQ(gettempfilename(second, sizeof second, nullptr), 1);
  EXPECT_STRNE(buf, second);
  EXPECT_TRUE(FileExists(second));
}

TEST_F(TempFileName, SkipsExistingEntriesWithoutFollowingLinks) {
  const std::string stem = NextStem(dir_);
  const std::string victim = WriteFile("victim", "keep me");
  const std::string target = PathOf("would-be-created");
  // Candidate 0: a dangling link; creating through it would make `target`.
  ASSERT_EQ(symlink(target.c_str(), (stem + "0").c_str()), 0);
  // Candidate 1: a link to an existing file, which must not be truncated.
  ASSERT_EQ(symlink(victim.c_str(), (stem + "1").c_str()), 0);
  // Candidates 2 and 3: a regular file and a directory.
  std::ofstream(stem + "2") << "old";
  ASSERT_EQ(mkdir((stem + "3").c_str(), 0700), 0);

  char buf[1024];
  ASSERT_EQ(gettempfilename(buf, sizeof buf, nullptr), 1);
  EXPECT_EQ(std::string(buf), stem + "4");
  EXPECT_FALSE(fs::exists(fs::symlink_status(target))) << "the dangling link was followed";
  EXPECT_EQ(ReadFile(victim), "keep me");
  EXPECT_EQ(ReadFile(stem + "2"), "old");
  EXPECT_TRUE(fs::is_symlink(stem + "0"));
}

TEST_F(TempFileName, FailsWhenAllCandidatesExist) {
  const std::string stem = NextStem(dir_);
  for (int n = 0; n <= 1998; ++n) {
    const int fd = open((stem + std::to_string(n)).c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0) << n;
    close(fd);
  }
  char buf[1024] = "previous";
  EXPECT_EQ(gettempfilename(buf, sizeof buf, nullptr), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_FALSE(fs::exists(stem + "1999")) << "only 0 to 1998 are tried";
}

TEST_F(TempFileName, FailsWhenTheFileCannotBeCreated) {
  setenv("TMPDIR", PathOf("no-such-dir").c_str(), 1);
  char buf[1024] = "previous";
  EXPECT_EQ(gettempfilename(buf, sizeof buf, nullptr), 0);
  EXPECT_STREQ(buf, "");
}

TEST_F(TempFileName, CandidateMustFitIn1024Bytes) {
  // Nested directories bring the candidate "<dir>/tmp-<id>-0" to exactly 1023
  // bytes (fits a 1024-byte buffer with its NUL), then to 1024 (does not).
  for (const size_t candidateLength : {size_t{1023}, size_t{1024}}) {
    SCOPED_TRACE(candidateLength);
    const std::string dir = NestedDirFor(candidateLength, candidateLength == 1023 ? "d" : "e");
    const std::string stem = NextStem(dir);
    ASSERT_EQ(stem.size() + 1, candidateLength);
    setenv("TMPDIR", dir.c_str(), 1);
    std::vector<char> buf(4096, 'Q');
    const int ok = gettempfilename(buf.data(), static_cast<int>(buf.size()), nullptr);
    if (candidateLength == 1023) {
      ASSERT_EQ(ok, 1);
      EXPECT_EQ(std::string(buf.data()), stem + "0");
      EXPECT_TRUE(FileExists(buf.data()));
    } else {
      EXPECT_EQ(ok, 0);
      EXPECT_EQ(buf[0], '\0');
      EXPECT_TRUE(fs::is_empty(dir)) << "no candidate is created";
    }
  }
}

TEST_F(TempFileName, GivenNameIsAppendedWithoutCreation) {
  char buf[256];
  ASSERT_EQ(gettempfilename(buf, sizeof buf, "jex__.upd"), 1);
  EXPECT_EQ(std::string(buf), dir_ + "/jex__.upd");
  EXPECT_FALSE(fs::exists(buf));

  // The name is cut to the buffer.
  const int len = static_cast<int>(dir_.size()) + 1 + 16 + 1;
  std::vector<char> small(static_cast<size_t>(len));
  ASSERT_EQ(gettempfilename(small.data(), len, "0123456789abcdefXYZ"), 1);
  EXPECT_EQ(std::string(small.data()), dir_ + "/0123456789abcdef");
}

TEST_F(TempFileName, DirectoryFromTmpDirThenTmpThenCurrent) {
  char buf[256];
  setenv("TMPDIR", "/tdir", 1);
  setenv("TMP", "/tmpvar", 1);
  ASSERT_EQ(gettempfilename(buf, sizeof buf, "n"), 1);
  EXPECT_STREQ(buf, "/tdir/n");

  unsetenv("TMPDIR");
  ASSERT_EQ(gettempfilename(buf, sizeof buf, "n"), 1);
  EXPECT_STREQ(buf, "/tmpvar/n");

  unsetenv("TMP");
  ASSERT_EQ(gettempfilename(buf, sizeof buf, "n"), 1);
  EXPECT_STREQ(buf, "./n");

  setenv("TMPDIR", "", 1);  // empty counts as unset, never the root directory
  ASSERT_EQ(gettempfilename(buf, sizeof buf, "n"), 1);
  EXPECT_STREQ(buf, "./n");
}

TEST_F(TempFileName, DirectoryMustLeaveRoomFor16Bytes) {
  setenv("TMPDIR", "/abcdefg", 1);  // prefix "/abcdefg/": 9 bytes
  char buf[32];
  std::memset(buf, 'Q', sizeof buf);
  EXPECT_EQ(gettempfilename(buf, 9 + 16, "n"), 0) << "25 bytes hold only 24 before the NUL";
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(gettempfilename(buf, 9 + 16 + 1, "n"), 1);
  EXPECT_STREQ(buf, "/abcdefg/n");

  // A directory longer than the buffer is cut, then fails the room check.
  setenv("TMPDIR", std::string(100, 'x').c_str(), 1);
  EXPECT_EQ(gettempfilename(buf, sizeof buf, "n"), 0);
  EXPECT_EQ(buf[0], '\0');
}

}  // namespace
