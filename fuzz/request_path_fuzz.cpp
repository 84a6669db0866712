// libFuzzer target for the whole request path: a request packet (or, for
// depth, its decrypted text) goes through the real dispatcher and the real
// handlers, and the reply is finalised and read back as a client would.
//
// The agent works inside a private folder (the current directory and
// TMPDIR) holding a few files and folders for the file, listing and text log
// commands. The published settings switch off everything that runs a
// program, a script or touches the network, and refuse upgrades; management
// is admitted from the fuzzer's peer so that GetSettings, SetSettings and
// ReloadCfg run too, against a configuration file in the private folder.
// Settings, flags and that file are put back after any run that changed
// them. A request that names a path outside the folder (an absolute path or
// "..") is not carried out: the handlers would search the host's disks.
//
// Input: a first byte 'P' means the rest is a request packet under the fuzz
// password; any other first byte means the rest is the decrypted request
// text. Invariants: every reply starts with a three-digit code and LF; an
// unrecognised request answers "500" or "502"; the finalised reply packet
// decrypts under the session key to exactly the reply text; no upgrade lock
// or flag is left behind.
//
// The target changes into its folder when it starts: give it corpus, seed and
// artifact paths that are absolute (fuzz/run_fuzz.sh does).
#include <arpa/inet.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/settings.h"
#include "crypto/twofish.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/request_fuzz.h"
#include "fuzz/request_path_fuzz.h"
#include "protocol/client.h"
#include "protocol/codec.h"
#include "protocol/reply.h"
#include "protocol/request.h"
#include "server/dispatch.h"
#include "server/flags.h"
#include "server/upgrade.h"

namespace {

std::string folder;
std::string configText;
SettingsSnapshot baseline;
TJEXFlags runFlags;
const PacketPassword* password = nullptr;
// The session key of request texts, prepared once.
StreamKey textCipher;
// JEX_FUZZ_SHOW set: each reply text is printed, for looking at an input.
bool showReplies = false;

// The files the commands find; text logs hold words the seeds search for.
void MakeFolderContents() {
  const char* const log =
      "Dec 11 10:00:01 host kernel: disk error on sda\n"
      "Dec 11 10:00:02 host app: all fine\n"
      "Dec 11 10:00:03 host app: tape ERROR, retry\n"
      "Dec 11 10:00:04 host app: debug order done\n";
  bool ok = true;
  ok = jexfuzz::WriteWholeFile(folder + "/a.txt", log) && ok;
  ok = jexfuzz::WriteWholeFile(folder + "/b.txt", log) && ok;
  ok = jexfuzz::WriteWholeFile(folder + "/c.log", "one\r\ntwo\r\nthree error\r\n") && ok;
  ok = jexfuzz::WriteWholeFile(folder + "/empty", "") && ok;
  ok = jexfuzz::WriteWholeFile(folder + "/jex", "#!/bin/sh\nexit 0\n") && ok;
  ok = mkdir((folder + "/sub").c_str(), 0700) == 0 && ok;
  ok = mkdir((folder + "/sub/deep").c_str(), 0700) == 0 && ok;
  ok = mkdir((folder + "/emptydir").c_str(), 0700) == 0 && ok;
  ok = jexfuzz::WriteWholeFile(folder + "/sub/x.log", "x error\n") && ok;
  ok = jexfuzz::WriteWholeFile(folder + "/sub/.hidden", "h\n") && ok;
  ok = jexfuzz::WriteWholeFile(folder + "/sub/deep/y.txt", std::string(3000, 'y') + "\n") && ok;
  ok = jexfuzz::WriteWholeFile(folder + "/" + kRequestPathConfigName, configText) && ok;
  if (!ok) {
    std::fprintf(stderr, "request_path_fuzz: cannot fill %s\n", folder.c_str());
    std::abort();
  }
}

// The configuration file agrees with the published settings, so a ReloadCfg
// keeps everything that matters switched off.
std::string ConfigText() {
  std::string text =
      "# request path fuzzing\n"
      "port=1055\n"
      "timeout=4000\n"
      "password=" +
      std::string(kFuzzPassword) +
      "\n"
      "comment=fuzz\n"
      "jexpath=" +
      folder +
      "/jex\n"
      "tmpdir=" +
      folder +
      "\n"
      "logsuccess=0\nlogfails=0\nfilteractive=0\n"
      "allowupdates=0\nallowmanage=1\nmanageaddr=127.0.0.1\n"
      "unc=1\nfreespace=1\nfoldersize=1\ncountfiles=1\nfileexists=1\nfilecrc=1\n"
      "comparefiles=1\ntextlog=1\n"
      "process=0\ncpuusage=0\nscript=0\nexternal=0\nping=0\ntcp=0\nudp=0\n"
      "shellscript=0\nexecuteaction=0\ntcpudpaction=0\nsyslogaction=0\n";
  return text;
}

TJEXSettings FuzzSettings() {
  TJEXSettings s;
  const std::string cfg = folder + "/" + kRequestPathConfigName;
  std::snprintf(s.CfgFile, sizeof s.CfgFile, "%s", cfg.c_str());
  String message;
  if (!s.LoadOptions_(message)) {
    std::fprintf(stderr, "request_path_fuzz: settings do not load: %s\n",
                 jexfuzz::Str(message).c_str());
    std::abort();
  }
  return s;
}

// Everything a handler may be switched by, checked after each reset.
void CheckBaselineSafe(const TJEXSettings& s) {
  JEX_REQUIRE(!s.EnableExternal && !s.EnableShellScript && !s.EnableExecuteAction &&
              !s.EnableTCPUDPAction && !s.EnableSyslogAction && !s.EnableTCP && !s.EnableUDP &&
              !s.EnableProcess && !s.EnableCPUUsage && !s.EnableScript && !s.EnablePing &&
              !s.AllowUpdates && !s.LogSuccess && !s.LogFails && s.VerboseLogFile.Length() == 0);
}

bool IsPathByte(unsigned char c) {
  return std::isalnum(c) || c == '_' || c == '.' || c == '-' || c == '*' || c == '?' || c == '/' ||
         c == '%';
}

// A '/' that cannot start a path (it follows a byte of a relative name) and
// no ".." anywhere: whatever the handlers make of the text, they stay inside
// the current folder.
bool StaysInsideFolder(const String& text) {
  const char* bytes = text.Data();
  const int length = text.Length();
  for (int i = 0; i < length; ++i) {
    if (bytes[i] == '.' && i + 1 < length && bytes[i + 1] == '.') return false;
    if (bytes[i] != '/') continue;
    if (i == 0 || !IsPathByte(static_cast<unsigned char>(bytes[i - 1]))) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Twofish_initialise();
  showReplies = getenv("JEX_FUZZ_SHOW") != nullptr;
  folder = jexfuzz::MakeFuzzFolder("jex-request-path-fuzz");
  if (folder.empty() || chdir(folder.c_str()) != 0) {
    std::fprintf(stderr, "request_path_fuzz: no working folder\n");
    std::abort();
  }
  setenv("TMPDIR", folder.c_str(), 1);
  configText = ConfigText();
  MakeFolderContents();
  JEXSettings.Publish(FuzzSettings());
  baseline = JEXSettings.Get();
  CheckBaselineSafe(*baseline);
  password = baseline->PasswordKeys.get();
  textCipher.Prepare(kRequestPathSessionKey);
  JEX_REQUIRE(password != nullptr);
  return 0;
}

namespace {

// Puts back what the previous run may have changed.
void ResetAgentState() {
  if (JEXSettings.Get().get() != baseline.get()) {
    JEXSettings.Publish(*baseline);
    baseline = JEXSettings.Get();
  }
  runFlags.TerminateRequested = 0;
  runFlags.ReloadRequested = 0;
  runFlags.UpgradeRequested = 0;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The reply packet as a client reads it: with the client's own decoder in
// packet mode; with the prepared session key (as the server encrypts) for
// request texts, which keeps the cipher's key set-up out of every run.
void CheckReply(JEXReply& reply, int recognised, const String& sessionKey,
                const StreamKey* prepared) {
  JEX_REQUIRE(reply.Length() >= 4);
  JEX_REQUIRE(IsDigit(reply[1]) && IsDigit(reply[2]) && IsDigit(reply[3]) && reply[4] == '\n');
  if (!recognised) {
    const String code = reply.Copy(1, 3);
    JEX_REQUIRE(code == "500" || code == "502");
  }
  if (showReplies) std::fprintf(stderr, "reply:\n%s\n", jexfuzz::Str(reply).c_str());
  String expected(reply);
  if (expected[expected.Length()] != '\n') expected += "\n";
  expected += "\r";
  String text;
  if (prepared) {
    reply.FinalizePacket(*prepared);
    JEX_REQUIRE(ReplyPacketComplete(reply) && reply.Length() >= 4);
    const unsigned char* length = reinterpret_cast<const unsigned char*>(reply.Data());
    const std::int64_t announced = static_cast<std::int64_t>(length[0]) | (length[1] << 8) |
                                   (length[2] << 16) | (static_cast<std::int64_t>(length[3]) << 24);
    JEX_REQUIRE(announced == reply.Length() - 4);
    text = prepared->Decode(reply.Copy(5, reply.Length() - 4));
  } else {
    reply.FinalizePacket();
    JEX_REQUIRE(ReplyPacketComplete(reply));
    String error;
    JEX_REQUIRE(ParseReplyPacket(reply, sessionKey, text, error) == 1);
  }
  JEX_REQUIRE(text == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > (1u << 16)) return 0;
  const bool packetMode = data[0] == 'P';
  OXRequest request;
  request = jexfuzz::Bytes(data + 1, size - 1);
  String sessionKey = kRequestPathSessionKey;
  const in_addr peer = {htonl(0x7F000001)};
  if (packetMode) {
    if (!request.WholePacket() || !request.ParseInitRequest(*password, peer)) return 0;
    sessionKey = request.GetSessionKey();
  }
  if (!StaysInsideFolder(request)) return 0;

  ResetAgentState();
  const bool touchesConfig = request.Pos("SetSettings") > 0;
  JEXReply reply;
  reply.InitPacket(nullptr, sessionKey);
  UpgradeRec upgrade;
  ThreadParams params;
  params.Peer = peer;
  const int recognised = ProcessOXRequest(request, reply, runFlags, params, upgrade);
  CheckReply(reply, recognised, sessionKey, packetMode ? nullptr : &textCipher);
  // Upgrades are refused by the settings: nothing may hold the lock.
  JEX_REQUIRE(!upgrade.Active && !JEXFlags.UpgradeLocked && !JEXFlags.UpgradeScriptSet);
  if (touchesConfig) {
    jexfuzz::WriteWholeFile(folder + "/" + kRequestPathConfigName, configText);
  }
  return 0;
}
