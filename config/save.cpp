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
FilePtr CreateNewFile(String path, FILE* source) {
  struct stat info;
  const mode_t mode = fstat(fileno(source), &info) == 0 ? (info.st_mode & 0777) : 0600;
  const int fd = open(path.SetZero().Data(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return FilePtr();
  (void)fchmod(fd, mode);  // best effort: an existing ".New" of another owner keeps its mode
  FILE* file = fdopen(fd, "w");
  if (!file) close(fd);
  return FilePtr(file);
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
  String oldPath = String(CfgFile) + ".Old";
  (void)rename(CfgFile, oldPath.SetZero().Data());  // keeping the old copy is best effort
  String source(newPath);
  if (rename(source.SetZero().Data(), CfgFile) != 0) {
    msg = String("Cannot overwrite configuration file '") + CfgFile + "'";
    return 0;
  }
  return 1;
}
