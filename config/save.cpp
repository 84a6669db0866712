// Saving the settings: the configuration file is rewritten line by line into
// "<file>.New", keeping comments, unknown keys, spelling, spacing and order;
// the previous file becomes "<file>.Old" and the new one takes its name.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "config/cfgfile.h"
#include "config/settings.h"
#include "foundation/paths.h"

namespace {

using jexcfg::CfgLine;
using jexcfg::FilePtr;
using jexcfg::KeyInfo;
using jexcfg::KeyKind;
using jexcfg::SaveMode;

// A rewritten line holds at most this many bytes before its line end.
constexpr int kMaxSavedLine = 1020;

// A value must stay on its own line: a CR LF pair becomes one blank (the
// filter list's separator in the file) and any other line break a blank, so
// no value can end its line early and start another key.
String OneLine(const String& value) {
  String text = value.ReplaceAll("\r\n", " ", 1);
  char* bytes = text.Data();
  for (int i = 0; i < text.Length(); ++i) {
    if (bytes[i] == '\r' || bytes[i] == '\n') bytes[i] = ' ';
  }
  return text;
}

// The value cut so that a line with `used` bytes before it stays in bounds.
String CutForLine(const String& value, int used) {
  const int room = kMaxSavedLine - used;
  return room > 0 ? value.Copy(1, room) : String();
}

String NumberText(int value) {
  char text[16];
  snprintf(text, sizeof(text), "%d", value);
  return String(text);
}

char FlagDigit(int value) {
  return value ? '1' : '0';
}

// The line with the current value of `key` in place of its old value. Flag
// lines change only the value's character and keep the rest (`inPlace`);
// other lines lose everything after the old value's start.
String RewriteLine(const CfgLine& line, int valueStart, const KeyInfo& key, const TJEXSettings& s,
                   bool& inPlace) {
  String out;
  if (key.kind == KeyKind::kFlag) {
    inPlace = true;
    out.CopyData(line.text, line.length);
    const char digit = FlagDigit(s.*key.number);
    if (valueStart < line.length) {
      out.Data()[valueStart] = digit;
    } else {
      out.AddChar(digit);  // a last line that ends right after '='
    }
    return out;
  }
  inPlace = false;
  out.CopyData(line.text, valueStart);
  if (key.kind == KeyKind::kInteger) {
    out += NumberText(s.*key.number);
  } else {
    out += CutForLine(OneLine(s.*key.text), valueStart);
  }
  return out;
}

String AppendedLine(const KeyInfo& key, const TJEXSettings& s) {
  String line(key.name);
  line += '=';
  switch (key.kind) {
    case KeyKind::kInteger:
      line += NumberText(s.*key.number);
      break;
    case KeyKind::kFlag:
      line += FlagDigit(s.*key.number);
      break;
    case KeyKind::kText:
    case KeyKind::kList:
      line += CutForLine(OneLine(s.*key.text), line.Length());
      break;
  }
  line += "\r\n";
  return line;
}

// Writes one line, ending it with CR LF unless it already ends in LF. A piece
// of a longer physical line that was copied as read keeps running into the
// next piece, so saving never splits a long line.
bool WriteLine(FILE* out, String line, bool continues) {
  if (!continues && (line.Length() == 0 || line[line.Length()] != '\n')) line += "\r\n";
  const size_t length = static_cast<size_t>(line.Length());
  return fwrite(line.Data(), 1, length, out) == length;
}

// The ".New" file, with the permissions of the file it replaces: the file
// holds the password and must not become readable by more users on a save.
// Whatever already has the name (an old ".New", or a link or FIFO planted
// there) is removed, never opened: the file is created afresh and
// exclusively, so a save cannot write through a link nor hang on a FIFO.
FilePtr CreateNewFile(String path, FILE* source) {
  struct stat info;
  const mode_t mode = fstat(fileno(source), &info) == 0 ? (info.st_mode & 0777) : 0600;
  const char* name = path.SetZero().Data();
  if (unlink(name) != 0 && errno != ENOENT) return FilePtr();
  const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return FilePtr();
  (void)fchmod(fd, mode);
  FILE* file = fdopen(fd, "w");
  if (!file) close(fd);
  return FilePtr(file);
}

// Makes "<file>.Old" the file as it is now, in one step: a second name for
// the same file is made under a scratch name and renamed over ".Old", so at
// every moment ".Old" is either the complete earlier copy or the one before
// it, and the configuration file itself never goes missing. Best effort.
void KeepOldCopy(const char* cfgFile) {
  String scratch = String(cfgFile) + ".Old~";
  String oldPath = String(cfgFile) + ".Old";
  const char* scratchName = scratch.SetZero().Data();
  unlink(scratchName);
  if (link(cfgFile, scratchName) != 0) return;
  if (rename(scratchName, oldPath.SetZero().Data()) != 0) unlink(scratchName);
}

// Makes the renames durable: the directory entry is flushed too.
void SyncDirectoryOf(const char* path) {
  String directory = ExtractFilePath(String(path));
  if (directory.Length() == 0) directory = ".";
  const int fd = open(directory.SetZero().Data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)fsync(fd);
  close(fd);
}

// Copies the old file with the saved values replaced; marks the keys seen.
bool CopyWithValues(FILE* in, FILE* out, const TJEXSettings& s, std::vector<char>& seen) {
  CfgLine line;
  String key;
  int valueStart = 0;
  bool written = true;
  while (jexcfg::ReadCfgLine(in, line)) {
    bool inPlace = true;
    String text;
    const int index = jexcfg::SplitCfgLine(line, key, valueStart) ? jexcfg::FindKey(key) : -1;
    if (index >= 0 && jexcfg::kKeys[index].save != SaveMode::kNever) {
      seen[index] = 1;
      text = RewriteLine(line, valueStart, jexcfg::kKeys[index], s, inPlace);
    } else {
      text.CopyData(line.text, line.length);
    }
    written = WriteLine(out, std::move(text), line.continues && inPlace) && written;
  }
  return written;
}

bool AppendMissing(FILE* out, const TJEXSettings& s, const std::vector<char>& seen) {
  bool written = true;
  for (int i = 0; i < jexcfg::kKeyCount; ++i) {
    const KeyInfo& key = jexcfg::kKeys[i];
    if (key.save == SaveMode::kRewriteAppend && !seen[i]) {
      written = WriteLine(out, AppendedLine(key, s), false) && written;
    }
  }
  return written;
}

// Flushes the new content to the disk before it replaces the old file.
bool Finish(FilePtr file) {
  FILE* raw = file.release();
  bool ok = fflush(raw) == 0;
  if (ok && fsync(fileno(raw)) != 0 && errno != EINVAL) ok = false;
  return fclose(raw) == 0 && ok;
}

}  // namespace

int TJEXSettings::SaveOptions_(String& msg) {
  msg = "";
  std::vector<char> seen(static_cast<size_t>(jexcfg::kKeyCount), 0);
  PutRight(msg);
  if (CfgFile[0] == '\0') {
    msg = "Configuration file is not specified";
    return 0;
  }
  FilePtr in = jexcfg::OpenCfgForReading(CfgFile);
  if (!in) {
    msg = jexcfg::OpenFailureText(CfgFile);
    return 0;
  }
  const String newPath = String(CfgFile) + ".New";
  FilePtr out = CreateNewFile(newPath, in.get());
  if (!out) {
    msg = String("Cannot create new configuration file '") + newPath + "'";
    return 0;
  }
  bool written = CopyWithValues(in.get(), out.get(), *this, seen);
  const bool readOk = !ferror(in.get());
  in.reset();
  written = AppendMissing(out.get(), *this, seen) && written;
  written = Finish(std::move(out)) && written;
  // An incomplete copy must never replace the file.
  if (!readOk || !written) {
    String doomed(newPath);
    unlink(doomed.SetZero().Data());
    msg = readOk ? String("Cannot create new configuration file '") + newPath + "'"
                 : jexcfg::OpenFailureText(CfgFile);
    return 0;
  }
  // The new file replaces the old one in one rename: a crash at any point
  // leaves a configuration file that is either the old or the new one whole.
  KeepOldCopy(CfgFile);
  String source(newPath);
  if (rename(source.SetZero().Data(), CfgFile) != 0) {
    msg = String("Cannot overwrite configuration file '") + CfgFile + "'";
    return 0;
  }
  SyncDirectoryOf(CfgFile);
  return 1;
}
