// Self-upgrade: receiving a new agent executable over a session, checking its
// encrypted MD5 trailer and writing the shell script that replaces the running
// agent with it.
//
// After an accepted "UpgradeCode" the peer sends exactly FileSize bytes of the
// program and then a 16-byte trailer: the MD5 digest of those bytes encrypted
// with EncodeData under the request's session key (no length prefix). The
// trailer must arrive whole in one read. The program goes to "jex__.upd" and
// the script to "jexupd__.sh", both in $TMPDIR (else $TMP, else "/").
//
// Only one upgrade runs in the process at a time: a record that wins
// RequestUpgrade holds UpgradeLocked in JEXFlags (under upgrade_mutex) until
// the transfer ends, fails or is abandoned.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "crypto/md5.h"
#include "foundation/tqstring.h"

// Closes a stdio stream; the owner of an open temporary file.
struct UpgradeFileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using UpgradeFile = std::unique_ptr<FILE, UpgradeFileCloser>;

// One session's upgrade transfer. Owned by the session thread; only
// RequestUpgrade and ClearanceUpgrade touch the process-wide lock.
class UpgradeRec {
 public:
  UpgradeRec() = default;
  // Abandons a transfer that is still active (see AbandonUpgrade).
  ~UpgradeRec();
  UpgradeRec(const UpgradeRec&) = delete;
  UpgradeRec& operator=(const UpgradeRec&) = delete;

  // Takes the process-wide upgrade lock for this record: true (Active set,
  // key stored) when no other upgrade holds it, else false and nothing changes.
  bool RequestUpgrade(const String& sessionKey);
  // Ends this record's hold on the lock: clears Active and, when the record
  // held the lock, UpgradeLocked. Files are left alone.
  void ClearanceUpgrade();
  // For a session that ends, or gives up, in the middle of a transfer: when
  // the record is still Active, closes and deletes the temporary program file
  // and releases the lock. Does nothing for an inactive record.
  void AbandonUpgrade();

  int Active = 0;        // holds the upgrade lock and is receiving the program
  int64_t FileSize = 0;  // size announced by "UpgradeCode"
  int64_t Received = 0;  // program bytes written so far
  int Started = 0;       // set by "UpgradeCode" once the size is stored
  UpgradeFile File;      // the temporary program file; null before the first call
  String TempPath;       // its path; empty before the first call
  MD5 Digest{};          // running digest of the program bytes
  String SessionKey;     // decrypts the trailer
  String Trailer;        // trailer bytes gathered so far
};

// Feeds one read of the session to the transfer. The first call (made by
// "UpgradeCode" with no data) creates the temporary file. Returns 1 while the
// transfer goes on or when it has just completed, 0 when it failed; a failure
// releases the lock and sets error. Afterwards the caller looks at Active:
// still set means more data is expected; cleared means the transfer is over,
// successful when error is empty, in which case JEXFlags.UpgradeScript holds
// the script path. A call on an inactive record fails with "Write error".
// The 16-byte trailer may be split over reads: it is gathered until 16 bytes
// have arrived and then checked (more than 16 bytes after the program is a
// wrong digest).
//
// The temporary files are created afresh: an existing file or link of the
// same name is removed first and never followed, so a link planted in a
// shared temporary directory cannot redirect the writes.
int DoUpgrading(UpgradeRec& rec, const char* data, int length, String& error);
