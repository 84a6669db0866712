// libFuzzer target for the upgrade receiver: the byte stream a peer sends
// after an accepted "UpgradeCode", cut into reads of any sizes.
//
// Input layout:
//   byte 0        options: bit 0 the stream ends with the right trailer (the
//                 program part padded or cut to the size, then the digest
//                 encrypted under the session key), bit 1 the size is taken
//                 from the whole range instead of the small sizes, bit 2 one
//                 more byte follows a right trailer
//   bytes 1-3     the announced size, brought into 101..10485759
//   byte 4        k, the number of read sizes that follow (k % 16)
//   k bytes       read sizes 1..256, used in turn
//   the rest      the stream
// The working folder (TMPDIR) is private and on a memory-backed file system
// where there is one. Invariants: the lock is held exactly while the record
// is Active and is free after every run (an unfinished transfer is abandoned
// as a session end does); a second record cannot take it meanwhile; a right
// trailer completes the transfer and hands over the script; no file other
// than the program and script names ever appears in the folder.
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "config/settings.h"
#include "crypto/md5.h"
#include "crypto/twofish.h"
#include "foundation/tqstring.h"
#include "fuzz/fuzz_support.h"
#include "protocol/codec.h"
#include "server/flags.h"
#include "server/upgrade.h"

namespace {

constexpr int kMinSize = 101;
constexpr int kMaxSize = 10485759;
constexpr int kSmallSizes = 4000;
constexpr char kSessionKey[] = "upgrade-fuzz-session";
constexpr const char* kOwnNames[] = {"jex__.upd", "jexupd__.sh"};

std::string folder;
// The session key, prepared once for the right trailers.
StreamKey trailerCipher;

bool IsOwnName(const char* name) {
  for (const char* own : kOwnNames) {
    if (std::strcmp(name, own) == 0) return true;
  }
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
         std::strcmp(name, "jex") == 0;
}

// Checks the folder holds nothing but the receiver's own files, then removes
// them for the next run.
void CheckAndClearFolder() {
  DIR* dir = opendir(folder.c_str());
  JEX_REQUIRE(dir != nullptr);
  while (const dirent* entry = readdir(dir)) JEX_REQUIRE(IsOwnName(entry->d_name));
  closedir(dir);
  for (const char* own : kOwnNames) unlink((folder + "/" + own).c_str());
}

bool LockHeld() {
  std::lock_guard<std::mutex> lock(upgrade_mutex);
  return JEXFlags.UpgradeLocked != 0;
}

String RightTrailer(const String& program) {
  MD5 digest;
  MD5Open(&digest);
  MD5Digest(&digest, program.Data(), static_cast<unsigned int>(program.Length()));
  unsigned char sum[16];
  MD5Close(&digest, sum);
  String plain;
  plain.CopyData(reinterpret_cast<const char*>(sum), 16);
  return trailerCipher.Encode(plain, 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Twofish_initialise();
  folder = jexfuzz::MakeFuzzFolder("jex-upgrade-fuzz");
  if (folder.empty() || !jexfuzz::WriteWholeFile(folder + "/jex", "#!/bin/sh\n")) {
    std::fprintf(stderr, "upgrade_fuzz: no working folder\n");
    std::abort();
  }
  setenv("TMPDIR", folder.c_str(), 1);
  trailerCipher.Prepare(kSessionKey);
  TJEXSettings settings;
  settings.JexPath = (folder + "/jex").c_str();
  settings.TmpDir = folder.c_str();
  JEXSettings.Publish(settings);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5 || size > (1u << 16)) return 0;
  const int options = data[0];
  const unsigned raw = data[1] | (data[2] << 8) | (data[3] << 16);
  const int range = (options & 2) ? kMaxSize - kMinSize + 1 : kSmallSizes;
  const int announced = kMinSize + static_cast<int>(raw % static_cast<unsigned>(range));
  size_t at = 5;
  const size_t readSizeCount = data[4] % 16;
  if (size < at + readSizeCount) return 0;
  const std::uint8_t* readSizes = data + at;
  at += readSizeCount;

  String stream = jexfuzz::Bytes(data + at, size - at);
  const bool rightTrailer = (options & 1) && announced <= kSmallSizes + kMinSize;
  if (rightTrailer) {
    String program = stream.Copy(1, announced);
    while (program.Length() < announced) program.AddChar(static_cast<char>(program.Length()));
    stream = program + RightTrailer(program);
    if (options & 4) stream.AddChar('x');
  }

  UpgradeRec rec;
  JEX_REQUIRE(!LockHeld());
  JEX_REQUIRE(rec.RequestUpgrade(kSessionKey));
  rec.FileSize = announced;
  rec.Started = 1;
  String error;
  JEX_REQUIRE(DoUpgrading(rec, nullptr, 0, error) == 1 && rec.Active && error.Length() == 0);
  {
    UpgradeRec other;
    JEX_REQUIRE(!other.RequestUpgrade(kSessionKey) && !other.Active);
  }
  JEX_REQUIRE(LockHeld());

  int result = 1;
  int offset = 0;
  size_t turn = 0;
  while (rec.Active && offset < stream.Length()) {
    int piece = stream.Length() - offset;
    if (readSizeCount) {
      const int chosen = readSizes[turn++ % readSizeCount] + 1;
      if (chosen < piece) piece = chosen;
    }
    result = DoUpgrading(rec, stream.Data() + offset, piece, error);
    offset += piece;
    JEX_REQUIRE(LockHeld() == (rec.Active != 0));
    if (!result) JEX_REQUIRE(!rec.Active && error.Length() > 0);
  }

  const bool completed = !rec.Active && result == 1 && offset > 0;
  if (completed) {
    JEX_REQUIRE(error.Length() == 0 && JEXFlags.UpgradeScriptSet);
    JEX_REQUIRE(access((folder + "/jexupd__.sh").c_str(), X_OK) == 0);
  }
  if (rightTrailer && !(options & 4)) JEX_REQUIRE(completed);
  if (rec.Active) rec.AbandonUpgrade();  // the session ends mid-transfer
  JEX_REQUIRE(!rec.Active && !LockHeld());
  // A call on a finished record fails and changes nothing.
  JEX_REQUIRE(DoUpgrading(rec, "x", 1, error) == 0 && !LockHeld());

  CheckAndClearFolder();
  {
    std::lock_guard<std::mutex> lock(thread_mutex);
    JEXFlags.UpgradeScript = "";
    JEXFlags.UpgradeScriptSet = 0;
  }
  return 0;
}
