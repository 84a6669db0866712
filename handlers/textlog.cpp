// Text log tests: incremental scans of a log file for lines matching a search expression.
#include "handlers/textlog.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "handlers/answers.h"
#include "config/settings.h"
#include "foundation/dirsearch.h"
#include "foundation/paths.h"
#include "handlers/expr.h"
#include "handlers/files.h"
#include "protocol/escaping.h"
#include "protocol/values.h"

namespace {

// Bytes read per load. A line longer than a load is searched in pieces.
constexpr size_t kLoad = 1 << 20;
// A short log gets a smaller load, though never below this: room enough
// for the lines of a log that grows while it is read.
constexpr size_t kSmallestLoad = 64 * 1024;
// Bytes of a matched line that are kept and reported.
constexpr int kReportedLine = 1024;
constexpr int kOpenAttempts = 3;

bool IsTerminator(char c) {
  return c == '\n' || c == '\r';
}

// One filter, converted once per scan, matching a line given in one or more
// pieces.
class TLineMatcher {
 public:
  explicit TLineMatcher(const TTextLogFilter& filter)
      : expression_(filter.Expression == 1),
        caseSensitive_(filter.CaseSensitive != 0),
        wholeWord_(filter.WholeWord != 0),
        compiled_(expression_ ? filter.Text : String(), filter.CaseSensitive) {
    if (!expression_) {
      needle_ = filter.Text;
      if (!caseSensitive_) needle_.LowerCase();
    }
  }

  bool WantsLowered() const { return !caseSensitive_; }
  // A plain search can only match a line that holds its text as it stands.
  bool IsPlain() const { return !expression_; }
  const String& Needle() const { return needle_; }
  // Bytes a piece must repeat from the previous one: the longest searched
  // text plus the byte before it.
  size_t Overlap() const {
    return (expression_ ? compiled_.LongestOperand() : static_cast<size_t>(needle_.Length())) + 1;
  }

  void BeginLine() {
    result_ = 0;
    if (expression_) found_.assign(static_cast<size_t>(compiled_.OperandCount()), 0);
  }

  // text[0, length) is a piece of the line starting at offsetInLine; candidates
  // start at from or later (bytes before are context); final when the line
  // ends right after the piece.
  void Feed(const char* text, size_t length, size_t from, int64_t offsetInLine, bool final) {
    if (expression_) {
      if (!compiled_.Usable()) return;
      for (size_t i = 0; i < found_.size(); ++i) {
        if (found_[i]) continue;
        const String& operand = compiled_.Operand(static_cast<int>(i));
        found_[i] =
            FindOccurrence(text, length, from, operand.Data(),
                           static_cast<size_t>(operand.Length()), wholeWord_, final) != SIZE_MAX;
      }
    } else if (result_ == 0) {
      const size_t hit = FindOccurrence(text, length, from, needle_.Data(),
                                        static_cast<size_t>(needle_.Length()), wholeWord_, final);
      if (hit != SIZE_MAX) result_ = offsetInLine + static_cast<int64_t>(hit) + 1;
    }
  }

  // 0 for no match, else the search's value: 1-based position or 1.
  int64_t EndLine() const { return expression_ ? compiled_.Evaluate(found_) : result_; }

 private:
  bool expression_;
  bool caseSensitive_;
  bool wholeWord_;
  TCompiledExpression compiled_;
  String needle_;
  std::vector<char> found_;
  int64_t result_ = 0;
};

// The scan's outcome for the caller's state.
struct TScanOutcome {
  int64_t position = 0;
  int64_t result = 0;
  int whichFilter = 0;
  String matchedLine;
  bool matched = false;
};

// Reads complete lines from the open file, starting at the file offset
// position, and matches them. Stops after the first match unless scanAll.
class TLogScanner {
 public:
  TLogScanner(TReadFile& file, std::vector<TLineMatcher*> matchers, int scanAll)
      : file_(file), matchers_(std::move(matchers)), scanAll_(scanAll != 0) {
    skipAhead_ = true;
    for (const TLineMatcher* matcher : matchers_) {
      overlap_ = std::max(overlap_, matcher->Overlap());
      lowered_ = lowered_ || matcher->WantsLowered();
      skipAhead_ = skipAhead_ && matcher->IsPlain();
    }
  }

  // False when memory for the buffers cannot be had.
  bool Run(int64_t start, TScanOutcome& outcome);

 private:
  // Reads more after held_; false at the end or on an error.
  bool Refill();
  // Moves bytes [from, held_) to the buffer's front.
  void Compact(size_t from);
  // The first terminator in [from, held_), or held_.
  size_t NextTerminator(size_t from);
  const char* Searched(size_t at) const { return (lowered_ ? low_.get() : raw_.get()) + at; }
  const char* SearchedFor(const TLineMatcher* m, size_t at) const {
    return (m->WantsLowered() ? low_.get() : raw_.get()) + at;
  }
  // Passes over the complete lines from cur on that hold none of the
  // searched texts (they cannot match); returns the new cur.
  size_t SkipLinesWithoutCandidates(size_t cur, TScanOutcome& outcome);
  // Matches one whole line [from, to) of the buffer; true when the scan ends.
  bool CompleteLine(size_t from, size_t to, TScanOutcome& outcome);
  // Streams a line that does not fit in the buffer; false when the file ends
  // before its terminator (the line is then dropped).
  bool LongLine(TScanOutcome& outcome, bool& stop);
  void Record(int64_t value, int which, const char* line, size_t length, TScanOutcome& outcome);

  TReadFile& file_;
  std::vector<TLineMatcher*> matchers_;
  bool scanAll_;
  bool lowered_ = false;
  bool skipAhead_ = false;
  size_t overlap_ = 1;
  size_t capacity_ = 0;
  std::unique_ptr<char[]> raw_;
  std::unique_ptr<char[]> low_;
  size_t held_ = 0;
  int64_t base_ = 0;              // file offset of buffer byte 0
  int64_t lineConsumeStart_ = 0;  // position before the current line
  size_t nextLF_ = 0, nextCR_ = 0;
  bool cacheValid_ = false;
};

bool TLogScanner::Refill() {
  if (held_ >= capacity_) return false;
  const int64_t got = file_.ReadFull(raw_.get() + held_, static_cast<int64_t>(capacity_ - held_));
  if (got <= 0) return false;
  if (lowered_) LowerBytes(low_.get() + held_, raw_.get() + held_, static_cast<size_t>(got));
  held_ += static_cast<size_t>(got);
  cacheValid_ = false;
  return true;
}

void TLogScanner::Compact(size_t from) {
  const size_t keep = held_ - from;
  std::memmove(raw_.get(), raw_.get() + from, keep);
  if (lowered_) std::memmove(low_.get(), low_.get() + from, keep);
  base_ += static_cast<int64_t>(from);
  held_ = keep;
  cacheValid_ = false;
}

size_t TLogScanner::NextTerminator(size_t from) {
  // The next LF and the next CR are remembered, so that a buffer without any
  // CR is searched for one only once.
  auto find = [&](char c, size_t& cached) {
    if (cacheValid_ && cached >= from) return;
    const void* p = std::memchr(raw_.get() + from, c, held_ - from);
    cached = p ? static_cast<size_t>(static_cast<const char*>(p) - raw_.get()) : held_;
  };
  if (!cacheValid_) nextLF_ = nextCR_ = 0;
  find('\n', nextLF_);
  find('\r', nextCR_);
  cacheValid_ = true;
  return std::min(nextLF_, nextCR_);
}

void TLogScanner::Record(int64_t value, int which, const char* line, size_t length,
                         TScanOutcome& outcome) {
  outcome.result = lineConsumeStart_ + value;
  outcome.whichFilter = which;
  outcome.matched = true;
  outcome.matchedLine = String();
  outcome.matchedLine.AddData(line, static_cast<int>(std::min<size_t>(length, kReportedLine)));
}

size_t TLogScanner::SkipLinesWithoutCandidates(size_t cur, TScanOutcome& outcome) {
  // The earliest place where any searched text occurs: every complete line
  // before it is passed over without matching it line by line.
  size_t limit = held_;
  for (const TLineMatcher* matcher : matchers_) {
    const char* bytes = SearchedFor(matcher, 0);
    const String& needle = matcher->Needle();
    const char* hit =
        FindBytes(bytes + cur, limit - cur, needle.Data(), static_cast<size_t>(needle.Length()));
    if (hit) limit = static_cast<size_t>(hit - bytes);
  }
  if (limit <= cur) return cur;
  auto lastOf = [&](char c) -> size_t {
    const void* p = memrchr(raw_.get() + cur, c, limit - cur);
    return p ? static_cast<size_t>(static_cast<const char*>(p) - raw_.get()) + 1 : 0;
  };
  const size_t afterLast = std::max(lastOf('\n'), lastOf('\r'));
  if (afterLast == 0) return cur;  // the candidate's line starts at cur
  // The run of terminators ending there; a line ends where it begins.
  size_t runStart = afterLast - 1;
  while (runStart > cur && IsTerminator(raw_[runStart - 1])) --runStart;
  if (runStart > cur) {
    outcome.position = base_ + static_cast<int64_t>(runStart) + 1;
    lineConsumeStart_ = outcome.position;
  }
  return afterLast;
}

bool TLogScanner::CompleteLine(size_t from, size_t to, TScanOutcome& outcome) {
  outcome.position = base_ + static_cast<int64_t>(to) + 1;
  for (size_t i = 0; i < matchers_.size(); ++i) {
    TLineMatcher* matcher = matchers_[i];
    matcher->BeginLine();
    matcher->Feed(SearchedFor(matcher, from), to - from, 0, 0, true);
    const int64_t value = matcher->EndLine();
    if (value > 0) {
      Record(value, i == 0 ? 1 : 0, raw_.get() + from, to - from, outcome);
      lineConsumeStart_ = outcome.position;
      return !scanAll_;
    }
  }
  lineConsumeStart_ = outcome.position;
  return false;
}

bool TLogScanner::LongLine(TScanOutcome& outcome, bool& stop) {
  // The buffer is full with the line's first piece.
  String head;
  head.AddData(raw_.get(), kReportedLine);
  for (TLineMatcher* matcher : matchers_) matcher->BeginLine();
  int64_t offsetInLine = 0;
  size_t from = 0;
  for (;;) {
    const size_t end = NextTerminator(from);
    const bool final = end < held_;
    for (TLineMatcher* matcher : matchers_) {
      matcher->Feed(SearchedFor(matcher, 0), end, offsetInLine == 0 ? 0 : 1, offsetInLine, final);
    }
    if (final) {
      outcome.position = base_ + static_cast<int64_t>(end) + 1;
      for (size_t i = 0; i < matchers_.size(); ++i) {
        const int64_t value = matchers_[i]->EndLine();
        if (value > 0) {
          Record(value, i == 0 ? 1 : 0, head.Data(), static_cast<size_t>(head.Length()), outcome);
          stop = !scanAll_;
          break;
        }
      }
      lineConsumeStart_ = outcome.position;
      Compact(end);
      return true;
    }
    // Keep the overlap in front and read the next piece.
    const size_t keep = std::min(overlap_, held_);
    offsetInLine += static_cast<int64_t>(held_ - keep);
    Compact(held_ - keep);
    from = keep;
    if (!Refill()) return false;
  }
}

bool TLogScanner::Run(int64_t start, TScanOutcome& outcome) {
  // A load never needs to be larger than what is left to read.
  const int64_t left = file_.Size() - start + 1;
  capacity_ = std::clamp(static_cast<size_t>(std::max<int64_t>(left, 0)), kSmallestLoad, kLoad) +
              overlap_;
  raw_.reset(new (std::nothrow) char[capacity_]);
  if (lowered_) low_.reset(new (std::nothrow) char[capacity_]);
  if (!raw_ || (lowered_ && !low_)) return false;
  base_ = start;
  lineConsumeStart_ = start;
  outcome.position = start;
  size_t cur = 0;
  for (;;) {
    if (skipAhead_) cur = SkipLinesWithoutCandidates(cur, outcome);
    while (cur < held_ && IsTerminator(raw_[cur])) ++cur;
    if (cur == held_) {
      Compact(cur);
      cur = 0;
      if (!Refill()) return true;
      continue;
    }
    const size_t end = NextTerminator(cur);
    if (end < held_) {
      if (CompleteLine(cur, end, outcome)) return true;
      cur = end + 1;
      continue;
    }
    // The line goes on past the buffer.
    if (cur > 0 || held_ < capacity_) {
      Compact(cur);
      cur = 0;
      if (!Refill()) return true;  // a last line without terminator waits
      continue;
    }
    bool stop = false;
    if (!LongLine(outcome, stop)) return true;
    if (stop) return true;
    cur = 0;
  }
}

double Scan(const String& fileName, double& position, double& prevSize, double& prevTime,
            std::vector<TLineMatcher*> matchers, int scanAll, int& whichFilter, String& matchedLine,
            String& error, double& currentSize) {
  const String name = Terminated(fileName);
  currentSize = static_cast<double>(FileSize(name.Data()));
  matchedLine = String();
  if (!FileExists(name.Data())) {
    error = String("File \"") + ExtractFileName(fileName) + "\" not found";
    return -1;
  }
  if (prevSize != 0 && prevSize == static_cast<double>(FileSize(name.Data())) && prevTime != 0 &&
      prevTime == static_cast<double>(FileAge(name.Data()))) {
    return 0;
  }
  TReadFile file;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    if (file.Open(name.Data())) break;
    sleep(1);
  }
  if (!file.IsOpen()) {
    error = "Cannot open file";
    return -1;
  }

  double result = 0;
  if (prevSize == 0) {
    position = static_cast<double>(FileSize(name.Data()) - 1);
  } else {
    if (position > static_cast<double>(file.Size())) position = 0;
    const int64_t start = static_cast<int64_t>(position);
    if (start < 0 || lseek(file.Descriptor(), start, SEEK_SET) != start) {
      error = "fseek error";
      return -1;
    }
    TLogScanner scanner(file, std::move(matchers), scanAll);
    TScanOutcome outcome;
    if (!scanner.Run(start, outcome)) {
      error = "Cannot open file";
      return -1;
    }
    position = static_cast<double>(outcome.position);
    if (outcome.matched) {
      result = static_cast<double>(outcome.result);
      whichFilter = outcome.whichFilter;
      matchedLine = outcome.matchedLine;
      currentSize = static_cast<double>(FileSize(name.Data()));
    }
  }
  if (result == 0 || scanAll) {
    prevSize = static_cast<double>(FileSize(name.Data()));
    prevTime = static_cast<double>(FileAge(name.Data()));
  }
  return result;
}

bool DecodeState(const OXRequest& request, int first, double& position, double& size,
                 double& time) {
  return jexDecodeInt64(request.GetParam(first, 1), &position) &&
         jexDecodeInt64(request.GetParam(first + 1, 1), &size) &&
         jexDecodeInt64(request.GetParam(first + 2, 1), &time);
}

struct TCheckState {
  double position = 0;
  double size = 0;
  double time = 0;
  double currentSize = 0;
  int whichFilter = 0;
};

// The common reply of both commands; scan(state, matchedLine, error) runs one
// scan on the state.
template <typename ScanFn>
void ReplyCheck(TCheckState state, int scanAll, bool withWhich, ScanFn scan, JEXReply& reply) {
  String matched;
  String error;
  const double result = scan(state, matched, error);
  if (result == -1) {
    reply.SetResult("301") += error;
    return;
  }
  TCheckState reported = state;
  int more = 0;
  if (!scanAll) {
    TCheckState second = state;
    second.whichFilter = 0;
    String secondMatched;
    String secondError;
    const double next = scan(second, secondMatched, secondError);
    if (next != 0 && next != -1) {
      more = 1;
    } else {
      reported = second;
      reported.whichFilter = state.whichFilter;
    }
  }
  reply.SetResult("200");
  reply.AddIntParam(result);
  reply.AddStringParam(matched.Copy(1, kReportedLine), 1);
  reply.AddBoolParam(more);
  reply.AddIntParam(reported.position);
  reply.AddIntParam(reported.size);
  reply.AddIntParam(reported.time);
  reply.AddIntParam(reported.currentSize);
  if (withWhich) reply.AddBoolParam(reported.whichFilter);
}

bool Refused(JEXReply& reply) {
  return RefusedTest(JEXSettings.Get()->EnableTextLog, reply);
}

// What both handlers read first: the enable flag, the log file (parameter
// 1) and the state of the previous check starting at parameter `stateAt`.
// False when the reply has already been given.
bool StartCheck(const OXRequest& request, int stateAt, String& file, TCheckState& state,
                JEXReply& reply) {
  if (Refused(reply)) return false;
  file = GetFirstMatchedFile(request.GetParam(1, 1));
  if (file.Length() == 0) {
    reply.SetResult("301") += "File does not exist";
    return false;
  }
  if (!DecodeState(request, stateAt, state.position, state.size, state.time)) {
    reply.SetResult("501") += "Wrong parameter";
    return false;
  }
  return true;
}

}  // namespace

void DecodeFilter(const OXRequest& request, TTextLogFilter& filter, int n) {
  filter.Text = jexDecodeStrings(request.GetParam(n, 1));
  filter.Expression = jexDecodeBool(request.GetParam(n + 1, 1));
  filter.CaseSensitive = jexDecodeBool(request.GetParam(n + 2, 1));
  filter.WholeWord = jexDecodeBool(request.GetParam(n + 3, 1));
}

double CheckFileForExpression(const String& fileName, const String& searchText, double& position,
                              double& prevSize, double& prevTime, int expression, int scanAll,
                              int caseSensitive, int wholeWord, String& matchedLine, String& error,
                              double& currentSize) {
  TTextLogFilter filter;
  filter.Text = searchText;
  filter.Expression = expression;
  filter.CaseSensitive = caseSensitive;
  filter.WholeWord = wholeWord;
  TLineMatcher matcher(filter);
  int which = 0;
  return Scan(fileName, position, prevSize, prevTime, {&matcher}, scanAll, which, matchedLine,
              error, currentSize);
}

double CheckFileForExpression2(const String& fileName, double& position, double& prevSize,
                               double& prevTime, const TTextLogFilter& filter1,
                               const TTextLogFilter& filter2, int useFilter2, int scanAll,
                               int& whichFilter, String& matchedLine, String& error,
                               double& currentSize) {
  TLineMatcher first(filter1);
  TLineMatcher second(filter2);
  std::vector<TLineMatcher*> matchers = {&first};
  if (useFilter2) matchers.push_back(&second);
  return Scan(fileName, position, prevSize, prevTime, std::move(matchers), scanAll, whichFilter,
              matchedLine, error, currentSize);
}

void ProcessTest_TextLog(const OXRequest& request, JEXReply& reply) {
  String file;
  TCheckState state;
  if (!StartCheck(request, 3, file, state, reply)) return;
  const String text = jexDecodeStrings(request.GetParam(2, 1));
  const int expression = jexDecodeBool(request.GetParam(6, 1));
  const int scanAll = jexDecodeBool(request.GetParam(7, 1));
  const int caseSensitive = jexDecodeBool(request.GetParam(8, 1));
  const int wholeWord = jexDecodeBool(request.GetParam(9, 1));
  ReplyCheck(
      state, scanAll, false,
      [&](TCheckState& s, String& matched, String& error) {
        return CheckFileForExpression(file, text, s.position, s.size, s.time, expression, scanAll,
                                      caseSensitive, wholeWord, matched, error, s.currentSize);
      },
      reply);
}

void ProcessTest_TextLog2(const OXRequest& request, JEXReply& reply) {
  String file;
  TCheckState state;
  if (!StartCheck(request, 2, file, state, reply)) return;
  const int scanAll = jexDecodeBool(request.GetParam(5, 1));
  TTextLogFilter filter1;
  TTextLogFilter filter2;
  DecodeFilter(request, filter1, 6);
  const int useFilter2 = jexDecodeBool(request.GetParam(10, 1));
  if (useFilter2) DecodeFilter(request, filter2, 11);
  ReplyCheck(
      state, scanAll, true,
      [&](TCheckState& s, String& matched, String& error) {
        return CheckFileForExpression2(file, s.position, s.size, s.time, filter1, filter2,
                                       useFilter2, scanAll, s.whichFilter, matched, error,
                                       s.currentSize);
      },
      reply);
}

HandlerRows TextLogCommandRows() {
  static const HandlerRow rows[] = {
      {"TEST-TextLog", ProcessTest_TextLog},
      {"TEST-TextLog2", ProcessTest_TextLog2},
  };
  return rows;
}
