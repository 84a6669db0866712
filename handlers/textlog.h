// Text log tests: incremental scans of a log file for lines matching a search expression.
//
// The server keeps the whole state of a watched log (the byte position where
// the previous check stopped, the file's size and time then) and sends it
// with every request; a check reads only the complete lines after that
// position and answers the first (or, with scan-all, the last) matching line
// with the new state. A line ends at LF or CR; empty lines are skipped; a
// last line without its terminator is left for a later check.
//
// Offsets are 64-bit, so logs beyond 2 GiB are followed; a position beyond
// the end (a truncated or replaced file) restarts at 0. Lines may be of any
// length: memory stays bounded and only the first 1024 bytes of a matched
// line are kept.
#pragma once

#include "foundation/tqstring.h"
#include "handlers/handler_row.h"

// The command-table rows of this family.
HandlerRows TextLogCommandRows();

struct TTextLogFilter {
  String Text;         // the search text or expression
  int Expression = 0;  // 1: a boolean search expression; else a plain substring
  int CaseSensitive = 0;
  int WholeWord = 0;
};

// Parameters n (text, unescaped), n+1 (expression flag), n+2 (case-sensitive)
// and n+3 (whole word) of the request, each trimmed.
void DecodeFilter(const OXRequest& request, TTextLogFilter& filter, int n);

// One scan of fileName from position. Result: -1 with error set, 0 when no
// line matched, else the position before the matched line plus the search's
// value (the 1-based offset in the line for a plain search, 1 for an
// expression). position, prevSize and prevTime are updated as the check
// state; matchedLine gets the first 1024 bytes of the reported line.
double CheckFileForExpression(const String& fileName, const String& searchText, double& position,
                              double& prevSize, double& prevTime, int expression, int scanAll,
                              int caseSensitive, int wholeWord, String& matchedLine, String& error,
                              double& currentSize);
// The same with one or two filters; whichFilter is 1 when filter 1 matched
// the reported line, 0 when filter 2 did (and 0 when nothing matched).
double CheckFileForExpression2(const String& fileName, double& position, double& prevSize,
                               double& prevTime, const TTextLogFilter& filter1,
                               const TTextLogFilter& filter2, int useFilter2, int scanAll,
                               int& whichFilter, String& matchedLine, String& error,
                               double& currentSize);

void ProcessTest_TextLog(const OXRequest& request, JEXReply& reply);
void ProcessTest_TextLog2(const OXRequest& request, JEXReply& reply);
