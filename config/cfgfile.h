// Private to config/: the table of configuration keys and the reading of the
// configuration file line by line, shared by the load (settings.cpp) and the
// save (save.cpp) so that both see the same lines and the same keys.
#pragma once

#include <cstdio>
#include <memory>

#include "config/settings.h"
#include "foundation/tqstring.h"

namespace jexcfg {

enum class KeyKind { kText, kInteger, kFlag, kList };

// How a save treats a key: never written, rewritten where the file has it,
// or rewritten and appended when the file lacks it.
enum class SaveMode { kNever, kRewrite, kRewriteAppend };

struct KeyInfo {
  const char* name;  // lower case, as appended by a save
  KeyKind kind;
  SaveMode save;
  String TJEXSettings::*text;  // kText and kList keys
  int TJEXSettings::*number;   // kInteger and kFlag keys
};

// Every key, in the order in which a save appends the missing ones.
extern const KeyInfo kKeys[];
extern const int kKeyCount;

// Index into kKeys of the lower-case key, -1 when the key is unknown.
int FindKey(const String& lowerKey);

// A line as the file is read: at most 1023 bytes, so a longer physical line
// comes in several pieces. `continues` is set on a piece that was cut by the
// buffer size while more of the same physical line follows.
struct CfgLine {
  char text[1024];
  int length = 0;
  bool continues = false;
};

// Reads the next piece; false at end of file or on a read error (see ferror).
bool ReadCfgLine(FILE* file, CfgLine& line);

// For a line of the form key=value (not a comment, '=' present): the key,
// trimmed of blanks and in lower case, and the 0-based offset of the first
// non-blank byte after the first '='. False for any other line.
bool SplitCfgLine(const CfgLine& line, String& lowerKey, int& valueStart);

struct FileCloser {
  void operator()(FILE* file) const {
    if (file) fclose(file);
  }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Opens the configuration file for reading; null when it cannot be opened
// or is a directory (which fopen accepts but which cannot be read).
FilePtr OpenCfgForReading(const char* path);

// "Cannot open configuration file '<path>'".
String OpenFailureText(const char* path);

}  // namespace jexcfg
