// Text log tests: the check state carried between requests, appended and
// half-written lines, the more-flag, truncation, the unchanged check, the
// second filter, long lines in pieces, offsets beyond 2 GiB and the
// compiled expression giving the same matches as the one-shot search.
#include "handlers/textlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "handlers/expr.h"
#include "tests/handlers/files_test_support.h"

namespace jextest {
namespace {

using V = std::vector<std::string>;

void Append(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << text;
}

// The state lines a reply hands back, as the server stores them.
struct State {
  std::string position = "0", size = "0", time = "0";
};

// One "TEST-TextLog" reply: its lines, and the state for the next check.
struct Check {
  V lines;
  State next;
};

std::string Trimmed(const std::string& s) {
  const size_t first = s.find_first_not_of(' ');
  return first == std::string::npos ? "" : s.substr(first);
}

class TextLogTest : public FilesTest {
 protected:
  Check Log(const std::string& file, const std::string& text, const State& state,
            const std::string& expression = "0", const std::string& scanAll = "0",
            const std::string& caseSensitive = "0", const std::string& wholeWord = "0") {
    Check check;
    check.lines = Ask(ProcessTest_TextLog, {file, text, state.position, state.size, state.time,
                                            expression, scanAll, caseSensitive, wholeWord});
    if (check.lines.size() >= 8) {
      check.next = {Trimmed(check.lines[4]), Trimmed(check.lines[5]), Trimmed(check.lines[6])};
    }
    return check;
  }
  // A first check that records the end of the file.
  State Start(const std::string& file) { return Log(file, "x", State{}).next; }

  std::string FileTime(const std::string& path) {
    struct stat st;
    stat(path.c_str(), &st);
    return std::to_string(st.st_mtime);
  }
};

TEST_F(TextLogTest, FirstCheckRecordsTheEnd) {
  const std::string log = Make("app.log", std::string(999, 'a') + "\n");
  const Check check = Log(log, "a", State{});
  EXPECT_EQ(check.lines,
            (V{"200", "     0", "", "0", "   999", "  1000", FileTime(log), "  1000"}));
}

TEST_F(TextLogTest, AppendedLinesHalfLinesAndTheMoreFlag) {
  const std::string log = Make("app.log", "old error line\n");
  State state = Start(log);
  Append(log, "fine\r\nerror one\n\nerror two\nerror thr");
  // Result: the position before the line plus the match's 1-based offset.
  Check check = Log(log, "ERROR", state);
  ASSERT_EQ(check.lines.size(), 8u);
  // The first check left the position on the old line's LF, which is then
  // skipped as an empty line: 20 bytes lie before "error one", matched at 1.
  EXPECT_EQ(check.lines[1], "    21");
  EXPECT_EQ(check.lines[2], "error one");
  EXPECT_EQ(check.lines[3], "1") << "another match follows";
  EXPECT_EQ(check.next.position, "31");
  EXPECT_EQ(check.next.size, state.size) << "size and time stay after a match";

  check = Log(log, "ERROR", check.next);
  EXPECT_EQ(check.lines[2], "error two");
  EXPECT_EQ(check.lines[1], "    32") << "the skipped empty line counts before the line";
  EXPECT_EQ(check.lines[3], "0");
  EXPECT_EQ(check.next.position, "42") << "the half-written line waits";

  Append(log, "ee\n");
  check = Log(log, "ERROR", check.next);
  EXPECT_EQ(check.lines[2], "error three");
  check = Log(log, "ERROR", check.next);
  EXPECT_EQ(check.lines[1], "     0");
  EXPECT_EQ(check.lines[2], "");
}

TEST_F(TextLogTest, ScanAllReportsTheLastMatch) {
  const std::string log = Make("app.log", "start\n");
  const State state = Start(log);
  Append(log, "disk a\nother\ndisk b\n");
  const Check check = Log(log, "disk", state, "0", "1");
  EXPECT_EQ(check.lines[2], "disk b");
  EXPECT_EQ(check.lines[3], "0");
  EXPECT_EQ(check.next.position, "26");
  EXPECT_EQ(check.next.size, "26");
}

TEST_F(TextLogTest, TruncatedFileIsReadFromItsStart) {
  const std::string log = Make("app.log", std::string(100, 'x') + "\n");
  State state = Start(log);
  Make("app.log", "new error\n");
  const Check check = Log(log, "error", state);
  EXPECT_EQ(check.lines[2], "new error");
  EXPECT_EQ(check.lines[1], "     5");
  const Check beyond = Log(log, "new", State{"99999999999", "1", "1"});
  EXPECT_EQ(beyond.lines[2], "new error") << "a position beyond the end restarts at 0";
}

TEST_F(TextLogTest, UnchangedFileIsNotRead) {
  const std::string log = Make("app.log", "error here\n");
  const State stale{"0", "11", FileTime(log)};
  const Check check = Log(log, "error", stale);
  EXPECT_EQ(check.lines,
            (V{"200", "     0", "", "0", "     0", "    11", FileTime(log), "    11"}));
}

TEST_F(TextLogTest, ExpressionsWholeWordsAndCase) {
  const std::string log = Make("app.log", "begin\n");
  const State state = Start(log);
  Append(log, "Disk error\nan errorless line\nthe err: code\n");
  EXPECT_EQ(Log(log, "'error' and not 'disk'", state, "1", "0", "1").lines[2], "Disk error");
  EXPECT_EQ(Log(log, "'error' and not 'disk'", state, "1", "0", "0").lines[2], "an errorless line");
  const Check word = Log(log, "err", state, "0", "0", "0", "1");
  EXPECT_EQ(word.lines[2], "the err: code");
  EXPECT_EQ(word.lines[1], "    40");  // 35 before the line, match at 5
  EXPECT_EQ(Log(log, "'ERR' and 'code'", state, "1", "0", "1").lines[1], "     0");
  EXPECT_EQ(Log(log, "line", state, "0", "0", "0").lines[2], "an errorless line");
  EXPECT_EQ(Log(log, "'line'", state, "1", "0", "0").lines[1], "    18") << "an expression adds 1";
}

TEST_F(TextLogTest, RefusalsAndWrongParameters) {
  const std::string log = Make("app.log", "x\n");
  EXPECT_EQ(Log(Path("*.none"), "x", State{}).lines, (V{"301", "File does not exist"}));
  EXPECT_EQ(Log(log, "x", State{"1a", "0", "0"}).lines, (V{"501", "Wrong parameter"}));
  EXPECT_EQ(Log(log, "x", State{"0", "0", "1.5"}).lines, (V{"501", "Wrong parameter"}));
  EXPECT_EQ(Log(Path("*.log"), "x", State{}).lines[0], "200") << "wildcards pick the first file";
  JEXSettings.Publish(TJEXSettings());
  EXPECT_EQ(Log(log, "x", State{}).lines, (V{"600", "test is not allowed"}));
  EXPECT_EQ(Ask(ProcessTest_TextLog2, {log}), (V{"600", "test is not allowed"}));
}

TEST_F(TextLogTest, NonRegularFilesAreNotRead) {
  ASSERT_EQ(mkfifo(Path("pipe.log").c_str(), 0644), 0);
  const Check check = Log(Path("pipe.log"), "x", State{"0", "5", "5"});
  EXPECT_EQ(check.lines, (V{"301", "File \"pipe.log\" not found"}));
}

TEST_F(TextLogTest, SecondFilterAndTheWhichFilterLine) {
  const std::string log = Make("app.log", "begin\n");
  const State state = Start(log);
  Append(log, "warning: low\nerror: high\n");
  auto check2 = [&](const std::string& useSecond) {
    return Ask(ProcessTest_TextLog2, {log, state.position, state.size, state.time, "0", "error",
                                      "0", "0", "0", useSecond, "'warn'", "1", "0", "0"});
  };
  V reply = check2("1");
  ASSERT_EQ(reply.size(), 9u);
  EXPECT_EQ(reply[2], "warning: low");
  EXPECT_EQ(reply[1], "     6");
  EXPECT_EQ(reply[8], "0") << "matched by the second filter";
  reply = check2("0");
  EXPECT_EQ(reply[2], "error: high");
  EXPECT_EQ(reply[8], "1");
  EXPECT_EQ(reply[3], "0");
  // No match at all: the which-filter line carries 0.
  reply = Ask(ProcessTest_TextLog2,
              {log, state.position, state.size, state.time, "0", "none", "0", "0", "0", "0"});
  EXPECT_EQ(reply, (V{"200", "     0", "", "0", "    31", "    31", FileTime(log), "    31", "0"}));
}

TEST_F(TextLogTest, LongMatchedLineIsCut) {
  const std::string log = Make("app.log", "begin\n");
  const State state = Start(log);
  const std::string line = "error " + std::string(3000, 'z');
  Append(log, line + "\n");
  const Check check = Log(log, "error", state);
  EXPECT_EQ(check.lines[2], line.substr(0, 1024));
}

// Lines far longer than a buffer load are searched in pieces: the match
// offset, whole-word boundaries at the piece edges and the reported first
// 1024 bytes agree with a search of the whole line.
TEST_F(TextLogTest, LinesLongerThanTheBuffer) {
  const size_t kLoad = 1 << 20;
  for (size_t at : {size_t{10}, kLoad - 3, kLoad - 1, kLoad, kLoad + 1, 2 * kLoad + 5, 3 * kLoad}) {
    SCOPED_TRACE(at);
    std::string line(4 * kLoad, 'q');
    for (size_t i = 0; i < line.size(); i += 97) line[i] = ' ';
    std::string noise = line;
    noise.replace(at, 4, "xerr");  // never a whole word
    line.replace(at, 5, " err ");
    Make("long.log", "h\n");
    Append(Path("long.log"), noise + "\n" + line + "\n");
    for (const char* wholeWord : {"0", "1"}) {
      SCOPED_TRACE(wholeWord);
      const Check check =
          Log(Path("long.log"), "err", State{"2", "1", "1"}, "0", "0", "1", wholeWord);
      ASSERT_EQ(check.lines.size(), 8u);
      const bool inNoise = std::string(wholeWord) == "0";
      const std::string& hit = inNoise ? noise : line;
      const int64_t before = inNoise ? 2 : 2 + static_cast<int64_t>(noise.size()) + 1;
      const int64_t pos = Bytes(hit).Search(String("err"), 1, std::string(wholeWord) == "1");
      EXPECT_EQ(Trimmed(check.lines[1]), std::to_string(before + pos));
      EXPECT_EQ(check.lines[2], hit.substr(0, 1024));
      EXPECT_EQ(check.next.position, std::to_string(before + hit.size() + 1));
    }
  }
}

// A file with no line end at all (binary data, a line being written) is
// never reported and never held whole; the position stays for later.
TEST_F(TextLogTest, FileWithoutLineEnds) {
  std::string data(6 << 20, 'b');
  Make("bin.log", "h\n" + data);
  const Check check = Log(Path("bin.log"), "b", State{"2", "1", "1"});
  EXPECT_EQ(check.lines[1], "     0");
  EXPECT_EQ(check.next.position, "2");
}

// Offsets beyond 2 GiB: a sparse log whose new lines lie past 3 GiB.
TEST_F(TextLogTest, OffsetsBeyondTwoGigabytes) {
  const std::string log = Path("big.log");
  const int64_t kHole = int64_t{3} << 30;
  {
    const int fd = open(log.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, kHole), 0);
    close(fd);
  }
  Append(log, "\nbefore\n");
  State state = Start(log);
  EXPECT_EQ(state.position, std::to_string(kHole + 7));
  Append(log, "late error\n");
  const Check check = Log(log, "error", state);
  EXPECT_EQ(check.lines[2], "late error");
  EXPECT_EQ(Trimmed(check.lines[1]), std::to_string(kHole + 7 + 6));
  EXPECT_EQ(check.next.position, std::to_string(kHole + 19));
}

// Draining a log check by check with the compiled expression reports exactly
// the lines that the one-shot search accepts.
TEST_F(TextLogTest, CompiledExpressionMatchesTheOneShotSearch) {
  std::mt19937 random(99);
  const char* words[] = {"disk", "error", "Disk", "tape", "ok", "err:", "DISKS"};
  std::string content;
  std::vector<std::string> lines;
  for (int i = 0; i < 300; ++i) {
    std::string line;
    for (int k = 0, n = 1 + random() % 5; k < n; ++k)
      line += std::string(words[random() % 7]) + " ";
    lines.push_back(line);
    content += line + (random() % 3 ? "\n" : "\r\n");
  }
  const std::string log = Make("mix.log", "head\n");
  const State start = Start(log);
  Append(log, content);
  for (const char* expression : {"'error' and not ('disk' or 'tape')",
                                 "not 'ok' and 'disk' or 'err'", "( 'disk' ) and 'tape'"}) {
    for (int caseSensitive = 0; caseSensitive < 2; ++caseSensitive) {
      for (int wholeWord = 0; wholeWord < 2; ++wholeWord) {
        SCOPED_TRACE(std::string(expression) + std::to_string(caseSensitive) +
                     std::to_string(wholeWord));
        std::vector<std::string> expected;
        for (const std::string& line : lines) {
          if (SearchForExpression(Bytes(line), String(expression), caseSensitive, wholeWord))
            expected.push_back(line);
        }
        std::vector<std::string> reported;
        State state = start;
        for (int round = 0; round < 400; ++round) {
          const Check check = Log(log, expression, state, "1", "0", std::to_string(caseSensitive),
                                  std::to_string(wholeWord));
          ASSERT_EQ(check.lines.size(), 8u);
          if (check.lines[1] == "     0") break;
          reported.push_back(check.lines[2]);
          state = check.next;
        }
        EXPECT_EQ(reported, expected);
      }
    }
  }
}

// The same for plain searches, which pass over lines without a candidate
// in whole stretches: every reported line, offset and position must be the
// one a line-by-line search gives. Lines end in LF, CR LF or runs of them.
TEST_F(TextLogTest, PlainSearchSkippingAgreesWithLineByLine) {
  std::mt19937 random(5);
  const char* words[] = {"disk", "error", "Disk", "err", "ok", "err:", "xerr", "ERR"};
  const char* ends[] = {"\n", "\r\n", "\n\n", "\r"};
  std::string content;
  std::vector<std::string> lines;
  for (int i = 0; i < 3000; ++i) {
    std::string line;
    for (int k = 0, n = 1 + random() % 6; k < n; ++k)
      line += std::string(words[random() % 8]) + " ";
    lines.push_back(line);
    content += line + ends[random() % 4];
  }
  const std::string log = Make("plain.log", "head\n");
  const State start = Start(log);
  Append(log, content);
  for (const char* needle : {"err", "disk", "Disk e"}) {
    for (int caseSensitive = 0; caseSensitive < 2; ++caseSensitive) {
      for (int wholeWord = 0; wholeWord < 2; ++wholeWord) {
        SCOPED_TRACE(std::string(needle) + std::to_string(caseSensitive) +
                     std::to_string(wholeWord));
        std::vector<std::string> expected;
        for (const std::string& line : lines) {
          if (Bytes(line).Search(String(needle), caseSensitive, wholeWord))
            expected.push_back(line);
        }
        std::vector<std::string> reported;
        State state = start;
        for (int round = 0; round < 4000; ++round) {
          const Check check = Log(log, needle, state, "0", "0", std::to_string(caseSensitive),
                                  std::to_string(wholeWord));
          ASSERT_EQ(check.lines.size(), 8u);
          if (check.lines[1] == "     0") break;
          reported.push_back(check.lines[2]);
          state = check.next;
        }
        EXPECT_EQ(reported, expected);
      }
    }
  }
}

}  // namespace
}  // namespace jextest
