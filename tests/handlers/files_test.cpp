// File and folder tests: requests and their exact replies over small
// fixtures, the file macros, and the mended faults (recursion into every
// sub-folder, regular files only, whole words across buffer loads).
#include "handlers/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "crypto/crc32.h"
#include "tests/handlers/files_test_support.h"

namespace jextest {
namespace {

using V = std::vector<std::string>;
constexpr time_t kOld = 1236262029;  // 5 March 2009
const V kNotAllowed = {"600", "test is not allowed"};

TEST_F(FilesTest, EveryHandlerRefusedWhenItsKeyIsOff) {
  JEXSettings.Publish(TJEXSettings());
  for (const HandlerRow& row : FileCommandRows()) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Ask(row.handler, {Path("")}), kNotAllowed);
  }
}

class CountFilesTest : public FilesTest {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    const time_t now = time(nullptr);
    Make("old.log", "1234567890", kOld);
    Make("new.log", "12", now);
    Make("note.txt", "12345", now);
    Make(".hidden.log", "", now);
    MakeDir("logs");
    Make("logs/deep.log", "x", now);
    MakeDir("logs/inner");
    Make("logs/inner/deeper.log", "x", now);
    MakeDir(".hiddendir");
    Make(".hiddendir/h.log", "x", now);
    MakeDir("readonly");
    Make("readonly/r.log", "x", now);
    chmod(Path("readonly").c_str(), 0555);
    ASSERT_EQ(symlink(Path("logs").c_str(), Path("dirlink").c_str()), 0);
    ASSERT_EQ(symlink(Path("old.log").c_str(), Path("filelink.log").c_str()), 0);
  }
  V Count(const std::string& mask, const std::string& recurse, const std::string& mode,
          const std::string& value) {
    return Ask(ProcessTest_CountFiles, {dir_.Path(), mask, recurse, mode, value});
  }
};

TEST_F(CountFilesTest, ModesAndParameters) {
  struct Case {
    const char* mask;
    const char* recurse;
    const char* mode;
    const char* value;
    V reply;
  };
  const Case cases[] = {
      {"*.log", "0", "0", "", {"200", "3"}},  // old, new, hidden; no link
      {"*", "0", "0", "0", {"200", "4"}},
      {"*.log", "0", "1", "60", {"200", "1"}},  // older than an hour
      {"*.log", "0", "2", "60", {"200", "2"}},  // newer than an hour
      {"*", "0", "3", "4", {"200", "2"}},       // bigger than 4 bytes
      {"*", "0", "4", "5", {"200", "2"}},       // smaller than 5 bytes
      {"*", "0", "5", "", {"200", "4"}},        // logs, .hiddendir, readonly... and no link
      {"l*", "0", "5", "", {"200", "1"}},
      {"*.none", "0", "0", "", {"200", "0"}},
      {"*.log", "0", "x", "", {"200", "3"}},  // a mode that is no number is 0
      {"*.log", "0", "6", "", {"501", "Wrong parameter"}},
      {"*.log", "0", "-1", "", {"501", "Wrong parameter"}},
      {"*.log", "0", "0", "1a", {"501", "Wrong parameter"}},
      {"*.log", "1", "0", "", {"200", "7"}},  // every sub-folder, hidden and read-only too
      {"*", "1", "5", "", {"200", "5"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mask) + " recurse " + c.recurse + " mode " + c.mode + " value " +
                 c.value);
    V expected = c.reply;
    // Mode 5 with "*": logs, inner (when recursing), .hiddendir, readonly.
    if (std::string(c.mode) == "5" && std::string(c.mask) == "*") {
      expected[1] = std::string(c.recurse) == "1" ? "4" : "3";
    }
    EXPECT_EQ(Count(c.mask, c.recurse, c.mode, c.value), expected);
  }
}

TEST_F(CountFilesTest, MissingFolderAndMacros) {
  EXPECT_EQ(Ask(ProcessTest_CountFiles, {Path("missing"), "*", "0", "0", ""}),
            (V{"301", "Folder doesn`t exist or access denied"}));
  EXPECT_EQ(Ask(ProcessTest_CountFiles, {Path("missing"), "*", "1", "0", ""}),
            (V{"301", "Folder doesn`t exist or access denied"}));
  SetModTime(Path("logs"), kOld);
  SetModTime(Path(".hiddendir"), kOld + 10);
  SetModTime(Path("readonly"), kOld + 5);
  const V params = {Path("%OldestFolder%"), "*.log", "0", "0", "", "", "", "", "", "", "1"};
  EXPECT_EQ(Ask(ProcessTest_CountFiles, params), (V{"200", "1"})) << "logs holds deep.log";
}

// A sub-folder that is hidden or not writable is still counted, and a
// read-only folder with no match is an empty folder, not a missing one.
TEST_F(CountFilesTest, HiddenAndReadOnlySubFoldersAreCounted) {
  EXPECT_EQ(CountFiles(dir_.Path().c_str(), "h.log", 1, AllFiles, 0), 1);
  EXPECT_EQ(CountFiles(dir_.Path().c_str(), "r.log", 1, AllFiles, 0), 1);
  EXPECT_EQ(CountFiles(Path("readonly").c_str(), "*.none", 0, AllFiles, 0), 0);
  EXPECT_EQ(CountFiles(dir_.Path().c_str(), "deep.log", 1, AllFiles, 0), 1)
      << "the link to logs is not followed";
}

TEST_F(FilesTest, MacrosResolveNewestAndOldestInEachFolder) {
  MakeDir("a");
  MakeDir("b");
  Make("a/one", "", kOld + 100);
  Make("a/two", "", kOld + 200);
  Make("b/three", "", kOld + 300);
  Make("b/four", "", kOld + 50);
  MakeDir("b/sub");
  SetModTime(Path("b/sub"), kOld + 900);
  SetModTime(Path("a"), kOld + 1);
  SetModTime(Path("b"), kOld + 2);
  const std::string base = dir_.Path() + "/";
  struct Case {
    std::string path;
    std::string resolved;
  };
  for (const Case& c : {
           Case{base + "%newestfolder%/%newestfile%", base + "b/three"},
           Case{base + "%OLDESTFOLDER%/%OldestFile%.gz", base + "a/one.gz"},
           Case{base + "a/%newestfile%", base + "a/two"},
           Case{base + "b/%newestfolder%", base + "b/sub"},
           Case{base + "a/%newestfolder%", base + "a/%newestfolder%"},  // none: unchanged
           Case{base + "b/x%oldestfile%", base + "b/x%oldestfile%"},    // prefix is no folder
           Case{base + "plain", base + "plain"},
       }) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(Str(GetFileUsingSpecialMacros(c.path.c_str())), c.resolved);
  }
}

TEST_F(FilesTest, FileCrcReplies) {
  Make("digits", "123456789");
  Make("empty", "");
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
  struct Case {
    std::string name;
    V reply;
  };
  for (const Case& c :
       {Case{Path("digits"), {"200", "873187033"}}, Case{Path("empty"), {"200", "4294967295"}},
        Case{"", {"301", "File is not specified"}},
        Case{Path("missing"), {"301", "Cannot open file"}},
        Case{Path(""), {"301", "Cannot open file"}},
        Case{Path("fifo"), {"301", "Cannot open file"}},
        Case{"/dev/zero", {"301", "Cannot open file"}}}) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Ask(ProcessTest_FileCRC, {c.name}), c.reply);
  }
}

// Sizes below and above the one from which reading overlaps the summing,
// and one that ends exactly on a block boundary.
TEST_F(FilesTest, FileCrcOverManyBlocks) {
  for (size_t size : {size_t{3 << 20} + 12345, size_t{8} << 20, (size_t{9} << 20) + 1}) {
    SCOPED_TRACE(size);
    std::string content(size, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31 + (i >> 11));
    Make("big", content);
    TCRC32 expected;
    expected.UpdateCRC(content.data(), static_cast<int>(content.size()));
    unsigned int crc = 0;
    String error;
    ASSERT_EQ(GetFileCRC(Path("big").c_str(), crc, error), 1);
    EXPECT_EQ(crc, expected.GetCRC());
  }
}

TEST_F(FilesTest, FileCompareReplies) {
  Make("a", "hello world, error: disk", kOld);
  Make("prefix", "hello", kOld);
  Make("other", "hellO world, error: disk", kOld);
  Make("later", "hello world, error: disk", kOld + 60);
  Make("err", "err: at start");
  Make("needle", "error: d");
  Make("empty", "");
  const std::string a = Path("a");
  struct Case {
    V params;
    V reply;
  };
  const Case cases[] = {
      {{"1", a, Path("later"), "0", "0", "0"}, {"200", "1"}},
      {{"1", a, Path("later"), "1", "0", "0"}, {"200", "0"}},
      {{"1", a, Path("prefix"), "0", "1", "0"}, {"200", "0"}},
      {{"1", a, Path("prefix"), "0", "0", "1"}, {"200", "1"}},  // a leading part compares equal
      {{"1", a, Path("other"), "1", "1", "1"}, {"200", "0"}},
      {{"1", a, Path("missing"), "0", "0", "0"}, {"301", "File doesn`t exist"}},
      {{"1", Path("missing"), a}, {"301", "File doesn`t exist"}},
      {{"2", a, Path("needle")}, {"200", "1"}},
      {{"2", a, Path("other")}, {"200", "0"}},
      {{"2", a, Path("empty")}, {"200", "1"}},
      {{"2", a, Path("missing")}, {"301", "File doesn`t exist"}},
      {{"3", a, "ERROR", "0", "1"}, {"200", "1"}},
      {{"3", a, "ERROR", "1", "0"}, {"200", "0"}},
      {{"3", a, "err", "0", "1"}, {"200", "0"}},  // not inside "error"
      {{"3", Path("err"), "err", "0", "1"}, {"200", "1"}},
      {{"3", a, "disk", "1", "1"}, {"200", "1"}},
      {{"3", a, "", "1", "1"}, {"301", "I/O Error"}},
      {{"3", a, "this text is longer than the file itself", "1", "0"}, {"200", "0"}},
      {{"4", a}, {"501", "Wrong parameter"}},
      {{"9", a}, {"501", "Wrong parameter"}},
      {{"4", Path("missing")}, {"301", "File doesn`t exist"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params[0] + " " + c.params[1] + " " + (c.params.size() > 2 ? c.params[2] : ""));
    EXPECT_EQ(Ask(ProcessTest_FileCompare, c.params), c.reply);
  }
}

TEST_F(FilesTest, FileCompareMacroFlagsByMode) {
  Make("x1", "same", kOld);
  Make("x2", "same", kOld + 5);
  const std::string newest = Path("%newestfile%");
  V params(13);
  params[0] = "1";
  params[1] = newest;
  params[2] = Path("x1");
  params[11] = "1";
  EXPECT_EQ(Ask(ProcessTest_FileCompare, params), (V{"200", "1"}));
  params[3] = "1";  // compare times: x2 against x1
  EXPECT_EQ(Ask(ProcessTest_FileCompare, params), (V{"200", "0"}));
  params[11] = "0";
  EXPECT_EQ(Ask(ProcessTest_FileCompare, params), (V{"301", "File doesn`t exist"}));
  V search(12);
  search[0] = "3";
  search[1] = newest;
  search[2] = "same";
  search[10] = "1";
  EXPECT_EQ(Ask(ProcessTest_FileCompare, search), (V{"200", "1"}));
}

TEST_F(FilesTest, SecondFileSizeLimit) {
  Make("hay", "abc");
  Make("limit", std::string(8388608, 'a'));
  Make("over", std::string(8388609, 'a'));
  EXPECT_EQ(Ask(ProcessTest_FileCompare, {"2", Path("hay"), Path("limit")}), (V{"200", "0"}));
  EXPECT_EQ(Ask(ProcessTest_FileCompare, {"2", Path("hay"), Path("over")}),
            (V{"301", "The size of the second file cannot exceed 8Mb"}));
}

// Pipes and devices are not read: the call returns at once with the failure
// of a file that cannot be opened.
TEST_F(FilesTest, ContentReadersRefuseNonRegularFiles) {
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
  Make("plain", "text");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(FindStrInFile(Path("fifo").c_str(), "x", 1, 0), -1);
  EXPECT_EQ(FindStrInFile("/dev/zero", "x", 1, 0), -1);
  EXPECT_EQ(CompareFiles(Path("fifo").c_str(), Path("plain").c_str()), -1);
  EXPECT_EQ(CompareFiles("/dev/zero", Path("plain").c_str()), -1);
  EXPECT_EQ(FindFileInFile(Path("fifo").c_str(), Path("plain").c_str()), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// Whole-word matches around a buffer load boundary (loads are about 1 MiB):
// "xerr" must never count as the word "err", wherever the load cuts it, and
// " err " must always count.
TEST_F(FilesTest, WholeWordAcrossBufferLoads) {
  const size_t kLoad = 1 << 20;
  for (size_t at = kLoad - 6; at <= kLoad + 8; ++at) {
    SCOPED_TRACE(at);
    std::string embedded(at, ' ');
    embedded += "xerr tail text";
    Make("embedded", embedded);
    EXPECT_EQ(FindStrInFile(Path("embedded").c_str(), "err", 1, 1), 0);
    EXPECT_EQ(FindStrInFile(Path("embedded").c_str(), "ERR", 0, 1), 0);
    EXPECT_GT(FindStrInFile(Path("embedded").c_str(), "err", 1, 0), 0);
    std::string word(at, 'y');
    word += " err, and more";
    Make("word", word);
    EXPECT_EQ(FindStrInFile(Path("word").c_str(), "err", 1, 1), static_cast<int64_t>(at) + 2);
  }
}

TEST_F(FilesTest, FileExistsReplies) {
  const std::string file = Make("app.pid", "12345", kOld);
  struct stat st;
  ASSERT_EQ(lstat(file.c_str(), &st), 0);
  const std::string age = std::to_string((time(nullptr) - kOld) / 60);
  const V expected = {"200", "     5", TimeText(st.st_ctime), TimeText(kOld), file, "min", age};
  EXPECT_EQ(Ask(ProcessTest_FileExists, {file}), expected);
  EXPECT_EQ(Ask(ProcessTest_FileExists, {Path("*.pid")}), expected);
  EXPECT_EQ(Ask(ProcessTest_FileExists, {Path("%NewestFile%"), "", "", "", "", "", "1"}), expected);
  EXPECT_EQ(Ask(ProcessTest_FileExists, {Path("*.none")}),
            (V{"301", "no such file or acess denied"}));
  EXPECT_EQ(Ask(ProcessTest_FileExists, {Path("%NewestFile%")}),
            (V{"301", "no such file or acess denied"}));
}

TEST_F(FilesTest, FolderSizeReplies) {
  Make("a.log", std::string(100, 'a'));
  Make("b.txt", std::string(20, 'b'));
  MakeDir("sub");
  Make("sub/c.log", std::string(3, 'c'));
  MakeDir(".hid");
  Make(".hid/d.log", std::string(4000, 'd'));
  ASSERT_EQ(symlink(Path("a.log").c_str(), Path("link.log").c_str()), 0);
  struct Case {
    std::string path;
    std::string recurse;
    V reply;
  };
  for (const Case& c :
       {Case{dir_.Path(), "0", {"200", "   120"}}, Case{dir_.Path(), "1", {"200", "  4123"}},
        Case{Path("*.log"), "0", {"200", "   100"}}, Case{Path("*.log"), "1", {"200", "  4103"}},
        Case{Path("sub/"), "0", {"200", "     3"}},
        Case{Path("missing/x"), "0", {"301", "Folder/File doesn`t exist or access denied"}}}) {
    SCOPED_TRACE(c.path + " " + c.recurse);
    EXPECT_EQ(Ask(ProcessTest_FolderSize, {c.path, c.recurse}), c.reply);
  }
}

// A NUL byte in a folder name once made the walk search the folder before
// the NUL, find its sub-folder, append it and search the same folder again,
// until the stack ran out. Such a name names no folder.
TEST_F(FilesTest, FolderNamesWithANulByteNameNoFolder) {
  MakeDir("sub");
  MakeDir("sub/deep");
  Make("sub/deep/a.log", "aaa");
  const std::string nul(1, '\0');
  const V missing{"301", "Folder/File doesn`t exist or access denied"};
  EXPECT_EQ(Ask(ProcessTest_FolderSize, {Path("sub/") + nul + "deep", "1"}), missing);
  EXPECT_EQ(Ask(ProcessTest_FolderSize,
                {Path("sub/") + nul + "%newestfolder%", "1", "0", "0", "0", "0", "0", "1"}),
            missing);
  EXPECT_EQ(Ask(ProcessTest_CountFiles, {Path("sub") + nul + "/deep", "*", "1", "0", "0"}),
            (V{"301", "Folder doesn`t exist or access denied"}));
}

TEST_F(FilesTest, UncReplies) {
  const V root = Ask(ProcessTest_UNC, {"/"});
  ASSERT_EQ(root.size(), 4u);
  EXPECT_EQ(root[0], "200");
  EXPECT_GT(std::stod(root[1]), 0);
  EXPECT_EQ(Ask(ProcessTest_UNC, {dir_.Path() + "\\"})[0], "200");
  EXPECT_EQ(Ask(ProcessTest_UNC, {Path("missing")}), (V{"301", "No such file or directory"}));
  EXPECT_EQ(Ask(ProcessTest_UNC, {""}), (V{"501", "Path not specified"}));
  EXPECT_EQ(Ask(ProcessTest_UNC, {"\\"}), (V{"501", "Path not specified"}));
}

}  // namespace
}  // namespace jextest
