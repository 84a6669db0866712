// Self-tests, daemon mode, pid file, signal handlers and the listening socket
// (see daemon.h).
#include "server/daemon.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "config/log.h"
#include "config/settings.h"
#include "crypto/sha1.h"
#include "crypto/twofish.h"
#include "foundation/paths.h"
#include "net/sockets.h"
#include "protocol/codec.h"
#include "server/flags.h"
#include "server/listener.h"

namespace {

constexpr const char* kSelfTestKey = "test cipherkey";
constexpr const char* kSelfTestText = "123456789012345";
// A fault this soon after start ends the process instead of restarting it.
constexpr std::time_t kRestartGraceSeconds = 180;

void CheckBlockCipher() {
  Twofish_initialise();
  THash_SHA sha;
  const char* digest = sha.GetHash(kSelfTestKey, static_cast<long>(std::strlen(kSelfTestKey)));
  unsigned char keyBytes[20];
  std::memcpy(keyBytes, digest, sizeof keyBytes);
  Twofish_key key;
  Twofish_prepare_key(keyBytes, sha.GetHashSize(), &key);

  unsigned char plain[16];
  std::memcpy(plain, kSelfTestText, sizeof plain);  // the text and its NUL
  unsigned char cipher[16];
  unsigned char decoded[16];
  Twofish_encrypt(&key, plain, cipher);
  Twofish_decrypt(&key, cipher, decoded);

  std::printf("Basic encyption checking .. ");
  if (std::memcmp(plain, decoded, sizeof plain) != 0) {
    std::printf("Error\n");
    TerminateProcess(kExitCipher);
  }
  std::printf("Ok\n");
}

void CheckPacketCodec() {
  const String plain(kSelfTestText);
  const String key(kSelfTestKey);
  const String decoded = DecodeData(EncodeData(plain, key, 0), key);
  std::printf("JEX encyption checking .. ");
  if (decoded != plain) {
    std::printf("Error\n");
    TerminateProcess(kExitCipher);
  }
  std::printf("Ok\n");
}

void RedirectToDevNull(std::FILE* stream, const char* mode) {
  std::FILE* reopened = std::freopen("/dev/null", mode, stream);
  static_cast<void>(reopened);
}

void CloseSocket(int socket) {
  shutdown(socket, SHUT_RDWR);
  close(socket);
}

}  // namespace

void RunSelfTests() {
  CheckBlockCipher();
  CheckPacketCodec();
}

int Listen(unsigned int& addrlen, String& error) {
  const SettingsSnapshot settings = JEXSettings.Get();
  const String host = Terminated(settings->Host);
  const char* node = settings->Host.Length() > 0 ? host.Data() : nullptr;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int socket = TcpListen(node, settings->Port, &addrlen, error);
    if (socket > 0) {
      fcntl(socket, F_SETFD, FD_CLOEXEC);
      return socket;
    }
    sleep(1);
  }
  return 0;
}

int daemon_init() {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid > 0) {
    std::printf("Daemon started\n");
    std::fflush(stdout);
    _exit(kExitOk);
  }
  setsid();
  // Only the fork can fail the daemon start: the parent has already reported
  // "Daemon started", so a stream that cannot be redirected stays as it is.
  RedirectToDevNull(stdin, "r");
  RedirectToDevNull(stdout, "w");
  RedirectToDevNull(stderr, "w");
  std::signal(SIGHUP, reloadcfg);
  return 0;
}

PidFileStream createpidfile() {
  const String path = Terminated(JEXSettings.Get()->PidFile);
  // Opened without truncation: the file is emptied only once the lock is
  // ours, so a second agent cannot wipe the pid of the one holding it.
  const int fd = open(path.Data(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  PidFileStream file(fd >= 0 ? fdopen(fd, "w") : nullptr);
  if (!file) {
    if (fd >= 0) close(fd);
    showmessage("Failed to create pid file %s\n", LOCAL, mtFailure, 1, path.Data());
    return nullptr;
  }
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // the whole file
  if (fcntl(fileno(file.get()), F_SETLK, &lock) < 0) {
    showmessage("Failed to lock pid file %s\n", LOCAL, mtFailure, 1, path.Data());
    return nullptr;
  }
  if (ftruncate(fileno(file.get()), 0) != 0) {
    showmessage("Failed to create pid file %s\n", LOCAL, mtFailure, 1, path.Data());
    return nullptr;
  }
  std::fprintf(file.get(), "%d\n", static_cast<int>(getpid()));
  std::fflush(file.get());
  return file;
}

void closepidfile(PidFileStream& pidfile) {
  if (!pidfile) return;
  pidfile.reset();
  const String path = Terminated(JEXSettings.Get()->PidFile);
  DeleteFile(path.Data());
}

void reloadcfg(int) {
  JEXFlags.SettingsReloadRequested = 1;
}

void terminateagent(int) {
  JEXFlags.TerminateRequested = 1;
}

void reloadapp(int) {
  std::signal(SIGSEGV, SIG_DFL);
  showmessage("Segmentation fault!!\n", LOCAL, mtFailure, 0);
  if (std::time(nullptr) - JEXFlags.StartTime <= kRestartGraceSeconds) return;
  showmessage("Restarting..\n", LOCAL, mtFailure, 0);
  JEXFlags.ReloadRequested = 1;
  std::signal(SIGSEGV, SIG_IGN);
}

void ServeForever(char** argv, char** envp) {
  RunSelfTests();

  ListenerState state;
  String error;
  std::printf("Sock testing .. ");
  std::fflush(stdout);
  const int probe = Listen(state.AddrLen, error);
  if (!probe) {
    std::printf("TCP listen error:\n%s\n\n", Terminated(error).Data());
    TerminateProcess(kExitListen);
  }
  std::printf("Ok\n");
  CloseSocket(probe);

  const SettingsSnapshot settings = JEXSettings.Get();
  state.DaemonMode = settings->Interactive == 0;
  if (state.DaemonMode && daemon_init() < 0) {
    std::fprintf(stderr, "Error initializing daemon: %s\n", std::strerror(errno));
    TerminateProcess(kExitDaemon);
  }

  std::signal(SIGSEGV, reloadapp);
  std::signal(SIGPIPE, SIG_IGN);
  // A service manager runs the agent in the foreground and asks for a reload
  // with SIGHUP and for the end with SIGTERM, so both are handled in either
  // mode; the main loop carries them out, removing the pid file on the way.
  std::signal(SIGHUP, reloadcfg);
  std::signal(SIGTERM, terminateagent);

  state.ListenSocket = Listen(state.AddrLen, error);
  if (!state.ListenSocket) {
    std::printf("TCP listen error: %s\n\n", Terminated(error).Data());
    TerminateProcess(kExitListen);
  }
  if (state.DaemonMode && settings->PidFile.Length() > 0) state.PidFile = createpidfile();

  showmessage("Listening...\n", LOCAL, mtInfo, 0);
  state.PortInUse = settings->Port;
  state.Argv = argv;
  state.Envp = envp;
  RunMainLoop(state);
}
