// The upgrade transfer: the process-wide upgrade lock, the temporary program
// file, the trailer check and the replacement script (see upgrade.h).
#include "server/upgrade.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "config/settings.h"
#include "foundation/paths.h"
#include "protocol/codec.h"
#include "server/flags.h"

namespace {

constexpr const char* kProgramFileName = "jex__.upd";
constexpr const char* kScriptFileName = "jexupd__.sh";
constexpr mode_t kCreationMode = 0600;    // owner only until the file is complete
// Set once the file is written. The files lie in the temporary directory,
// which other users may share: owner only, never group- or world-writable.
constexpr mode_t kExecutableMode = 0700;
constexpr int kMaxScriptDirLength = 1023;
constexpr int kDigestLength = 16;

constexpr const char* kErrorCreateTemp = "Cannot create temp file";
constexpr const char* kErrorWrite = "Write error";
constexpr const char* kErrorExecProgram = "Cannot set exec flag new module";
constexpr const char* kErrorWrongCRC = "Wrong CRC";
constexpr const char* kErrorExecScript = "Cannot set exec flag for script";
constexpr const char* kErrorScript = "Binary code transferred. Cannot create script file";

// Arguments: the running agent's path, the new program's path, the script's
// own path. The script puts the new program in the old one's place, starts
// it with the old arguments and removes itself. The new program is copied
// beside the old one and renamed over it in one step, so that whenever the
// script is stopped (a full disk, a kill) the program file is either the old
// or the new program whole, never missing or cut short; a copy that keeps
// failing leaves the old program to start again.
constexpr const char* kScriptFormat =
    "#! /bin/sh\n"
    "oldJEX='%s'\n"
    "newJEX='%s'\n"
    "retries=10\n"
    "until cp -f \"$newJEX\" \"$oldJEX.New\" && chmod 755 \"$oldJEX.New\" &&"
    " mv -f \"$oldJEX.New\" \"$oldJEX\" || [ $retries -le 0 ]\n"
    "do\n"
    "  retries=`expr $retries - 1`\n"
    "  echo $retries\n"
    "  sleep 1\n"
    "done\n"
    "rm -f \"$oldJEX.New\" \"$newJEX\"\n"
    "\"$oldJEX\" $1 $2 $3 $4 $5 $6\n"
    "rm '%s'\n";

// $TMPDIR, else $TMP, else empty.
String TempDirectory() {
  const char* dir = std::getenv("TMPDIR");
  if (!dir) dir = std::getenv("TMP");
  return String(dir ? dir : "");
}

bool RemoveFile(const String& path) {
  const String name = Terminated(path);
  return DeleteFile(name.Data());
}

// Creates path as a new, empty, owner-only file and opens it as a stream.
// Whatever already has the name (a stale file, a planted link) is removed
// first, and the exclusive, no-follow creation fails rather than reuse or
// follow anything that takes the name again in between.
UpgradeFile CreateFreshFile(const String& path, const char* mode) {
  const String name = Terminated(path);
  unlink(name.Data());  // usually nothing is there
  const int fd =
      open(name.Data(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kCreationMode);
  if (fd < 0) return nullptr;
  FILE* stream = fdopen(fd, mode);
  if (!stream) {
    close(fd);
    return nullptr;
  }
  return UpgradeFile(stream);
}

// Makes the open file executable, then closes it; the close is checked
// because it flushes the last buffered bytes.
bool FinishFile(UpgradeFile& file, String& error, const char* chmodError) {
  if (fchmod(fileno(file.get()), kExecutableMode) != 0) {
    error = chmodError;
    file.reset();
    return false;
  }
  return std::fclose(file.release()) == 0;
}

// First call: the temporary program file and a fresh digest.
bool OpenProgramFile(UpgradeRec& rec, String& error) {
  rec.TempPath = IncludeTrailingPathDelimiter(TempDirectory()) + kProgramFileName;
  rec.File = CreateFreshFile(rec.TempPath, "w+b");
  if (!rec.File) {
    error = kErrorCreateTemp;
    rec.ClearanceUpgrade();
    return false;
  }
  MD5Open(&rec.Digest);
  return true;
}

// Writes the program bytes of this read (at most up to the announced size).
// Returns how many bytes of data were program bytes, -1 on a failed write.
int WriteProgramPart(UpgradeRec& rec, const char* data, int length, String& error) {
  const int64_t room = rec.FileSize - rec.Received;
  const int part = length > room ? static_cast<int>(room) : length;
  if (std::fwrite(data, 1, static_cast<size_t>(part), rec.File.get()) !=
      static_cast<size_t>(part)) {
    error = kErrorWrite;
    rec.ClearanceUpgrade();
    rec.File.reset();  // the partial file stays; a new transfer replaces it
    return -1;
  }
  MD5Digest(&rec.Digest, data, static_cast<unsigned int>(part));
  rec.Received += part;
  return part;
}

// The decrypted trailer must be exactly the digest of the program bytes.
bool TrailerMatches(UpgradeRec& rec, const char* trailer, int length) {
  String encrypted;
  encrypted.AddData(trailer, length);
  const String decrypted = DecodeData(encrypted, rec.SessionKey);
  unsigned char digest[kDigestLength];
  MD5Close(&rec.Digest, digest);
  return decrypted.Length() == kDigestLength &&
         std::memcmp(decrypted.Data(), digest, kDigestLength) == 0;
}

// Writes the replacement script; false on any failure, with error set only
// when the script could not be made executable.
bool WriteScript(const String& scriptPath, const String& programPath, String& error) {
  UpgradeFile script = CreateFreshFile(scriptPath, "w+");
  if (!script) return false;
  const String agentPath = Terminated(JEXSettings.Get()->JexPath);
  const String newPath = Terminated(programPath);
  const String ownPath = Terminated(scriptPath);
  const int written =
      std::fprintf(script.get(), kScriptFormat, agentPath.Data(), newPath.Data(), ownPath.Data());
  if (written < 0) return false;
  return FinishFile(script, error, kErrorExecScript);
}

// Fails the transfer after the program file is complete: both files go.
int FailVerifiedUpgrade(UpgradeRec& rec, const char* text, String& error) {
  if (text) error = text;
  RemoveFile(rec.TempPath);
  rec.ClearanceUpgrade();
  return 0;
}

// The trailer has arrived: check the program and hand over the script.
int CompleteUpgrade(UpgradeRec& rec, const char* trailer, int length, String& error) {
  if (!FinishFile(rec.File, error, kErrorExecProgram)) {
    return FailVerifiedUpgrade(rec, error.Length() == 0 ? kErrorWrite : nullptr, error);
  }
  if (!TrailerMatches(rec, trailer, length)) return FailVerifiedUpgrade(rec, kErrorWrongCRC, error);

  const String scriptPath = TempDirectory().Copy(1, kMaxScriptDirLength) + "/" + kScriptFileName;
  if (!WriteScript(scriptPath, rec.TempPath, error)) {
    RemoveFile(scriptPath);
    return FailVerifiedUpgrade(rec, error.Length() == 0 ? kErrorScript : nullptr, error);
  }
  {
    // The session end hands the path to the main loop under the same mutex.
    std::lock_guard<std::mutex> lock(thread_mutex);
    JEXFlags.UpgradeScript = scriptPath;
    JEXFlags.UpgradeScriptSet = 1;
  }
  rec.ClearanceUpgrade();
  return 1;
}

}  // namespace

UpgradeRec::~UpgradeRec() {
  AbandonUpgrade();
}

bool UpgradeRec::RequestUpgrade(const String& sessionKey) {
  std::lock_guard<std::mutex> lock(upgrade_mutex);
  if (JEXFlags.UpgradeLocked) return false;
  JEXFlags.UpgradeLocked = 1;
  Active = 1;
  SessionKey = sessionKey;
  return true;
}

void UpgradeRec::ClearanceUpgrade() {
  std::lock_guard<std::mutex> lock(upgrade_mutex);
  // Only the holder releases the lock, so a stray call cannot free another
  // session's transfer.
  if (Active) JEXFlags.UpgradeLocked = 0;
  Active = 0;
}

void UpgradeRec::AbandonUpgrade() {
  if (!Active) return;
  File.reset();
  if (TempPath.Length() > 0) RemoveFile(TempPath);
  ClearanceUpgrade();
}

int DoUpgrading(UpgradeRec& rec, const char* data, int length, String& error) {
  error = "";
  if (!rec.Active) {
    error = kErrorWrite;
    return 0;
  }
  if (rec.TempPath.Length() == 0 && !OpenProgramFile(rec, error)) return 0;
  if (!data || length <= 0) return 1;

  int used = 0;
  if (rec.Received < rec.FileSize) {
    used = WriteProgramPart(rec, data, length, error);
    if (used < 0) return 0;
  }
  if (used == length) return 1;
  // TCP may cut the trailer anywhere between reads: wait until it is whole.
  rec.Trailer.AddData(data + used, length - used);
  if (rec.Trailer.Length() < kDigestLength) return 1;
  return CompleteUpgrade(rec, rec.Trailer.Data(), rec.Trailer.Length(), error);
}
