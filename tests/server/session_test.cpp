// Sessions run in-process over socket pairs: several at once (for the thread
// sanitizer), the connection counters, and the hand-over of a finished
// upgrade to the main loop.
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "config/status.h"
#include "crypto/md5.h"
#include "protocol/codec.h"
#include "server_test_support.h"

namespace jextest {
namespace {

// The peer's end of a session's connection.
class PeerEnd {
 public:
  PeerEnd() {
    int ends[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    sessionEnd_ = ends[0];
    peerEnd_ = ends[1];
    timeval timeout{8, 0};
    setsockopt(peerEnd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~PeerEnd() { Close(); }
  void Close() {
    if (peerEnd_ >= 0) close(peerEnd_);
    peerEnd_ = -1;
  }
  int SessionEnd() const { return sessionEnd_; }

  void Send(const String& bytes) {
    EXPECT_EQ(send(peerEnd_, bytes.Data(), static_cast<size_t>(bytes.Length()), 0), bytes.Length());
  }
  // One whole reply packet.
  String ReceivePacket() {
    String received;
    char byte;
    while (!ReplyPacketComplete(received) && recv(peerEnd_, &byte, 1, 0) == 1) {
      received.AddChar(byte);
    }
    return received;
  }
  String ReceiveUntilClosed() {
    String received;
    char chunk[2048];
    ssize_t got;
    while ((got = recv(peerEnd_, chunk, sizeof chunk, 0)) > 0) {
      received.AddData(chunk, static_cast<int>(got));
    }
    return received;
  }

 private:
  int sessionEnd_ = -1;
  int peerEnd_ = -1;
};

// Starts a session the way the main loop does: counted in, then run.
std::thread StartSession(int socket) {
  {
    std::lock_guard<std::mutex> lock(thread_mutex);
    ++AgentStatus.ActiveConnections;
    ++AgentStatus.OpenedConnections;
  }
  ThreadParams params = PeerParams("127.0.0.1");
  params.Socket = socket;
  return std::thread(ClientExecute, params);
}

String DecryptReply(const String& packet, const String& key) {
  String text;
  String error;
  EXPECT_EQ(ParseReplyPacket(packet, key, text, error), 1) << Str(error);
  return text;
}

class SessionTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    TJEXSettings settings = ManagedSettings();
    settings.Timeout = 4000;
    settings.TmpDir = dir_.Path().c_str();
    JEXSettings.Publish(settings);
  }
};

TEST_F(SessionTest, ConcurrentSessionsEachAnswerTheirRequest) {
  constexpr int kSessions = 6;
  const int activeBefore = AgentStatus.ActiveConnections;
  std::vector<std::unique_ptr<PeerEnd>> peers;
  std::vector<std::thread> sessions;
  for (int i = 0; i < kSessions; ++i) {
    peers.push_back(std::make_unique<PeerEnd>());
    sessions.push_back(StartSession(peers.back()->SessionEnd()));
  }
  for (int i = 0; i < kSessions; ++i) {
    const String key = (std::string("key-") + std::to_string(i)).c_str();
    peers[i]->Send(BuildRequestPacket(kPassword, key, "GetInfo\n\r"));
  }
  for (int i = 0; i < kSessions; ++i) {
    const String key = (std::string("key-") + std::to_string(i)).c_str();
    const std::vector<std::string> lines = Lines(DecryptReply(peers[i]->ReceiveUntilClosed(), key));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "200");
    EXPECT_EQ(lines[1], "AgentName=TQ Sentrel");
  }
  for (std::thread& session : sessions) session.join();
  EXPECT_EQ(AgentStatus.ActiveConnections, activeBefore);
}

TEST_F(SessionTest, InvalidPacketGetsNoReply) {
  PeerEnd peer;
  std::thread session = StartSession(peer.SessionEnd());
  peer.Send(BuildRequestPacket("not the password", "k", "GetInfo\n\r"));
  EXPECT_EQ(peer.ReceiveUntilClosed().Length(), 0);
  session.join();
}

TEST_F(SessionTest, FinishedUpgradeIsHandedToTheMainLoop) {
  EnvRestorer tmpdir("TMPDIR");
  setenv("TMPDIR", dir_.Path().c_str(), 1);
  const std::string program(150, 'p');
  PeerEnd peer;
  std::thread session = StartSession(peer.SessionEnd());
  peer.Send(BuildRequestPacket(kPassword, "upkey", "UpgradeCode\n150\n\r"));
  // The reply to "UpgradeCode" comes first, and the connection stays open.
  EXPECT_EQ(Str(DecryptReply(peer.ReceivePacket(), "upkey")), "200\n\r");

  unsigned char digest[16];
  MD5 context;
  MD5Open(&context);
  MD5Digest(&context, program.data(), static_cast<unsigned int>(program.size()));
  MD5Close(&context, digest);
  String digestText;
  digestText.AddData(reinterpret_cast<const char*>(digest), sizeof digest);
  String upload = Bytes(program);
  upload += EncodeData(digestText, "upkey", 0);
  peer.Send(upload);
  EXPECT_EQ(Str(DecryptReply(peer.ReceiveUntilClosed(), "upkey")), "200\n\r");
  session.join();

  EXPECT_EQ(JEXFlags.UpgradeRequested, 1);
  EXPECT_EQ(Str(JEXFlags.UpgradeScript), dir_.File("jexupd__.sh"));
  EXPECT_EQ(ReadFile(dir_.File("jex__.upd")), program);
}

TEST_F(SessionTest, SessionEndingMidTransferReleasesTheUpgrade) {
  EnvRestorer tmpdir("TMPDIR");
  setenv("TMPDIR", dir_.Path().c_str(), 1);
  {
    PeerEnd peer;
    std::thread session = StartSession(peer.SessionEnd());
    peer.Send(BuildRequestPacket(kPassword, "upkey", "UpgradeCode\n150\n\r"));
    EXPECT_EQ(Str(DecryptReply(peer.ReceivePacket(), "upkey")), "200\n\r");
    peer.Send(Bytes("only part of the program"));
    peer.Close();
    session.join();
  }
  EXPECT_EQ(UpgradeLocked(), 0);
  EXPECT_FALSE(Exists(dir_.File("jex__.upd")));
  EXPECT_EQ(JEXFlags.UpgradeRequested, 0);
}

TEST_F(SessionTest, SilentUpgradeTransferTimesOut) {
  EnvRestorer tmpdir("TMPDIR");
  setenv("TMPDIR", dir_.Path().c_str(), 1);
  TJEXSettings settings = *JEXSettings.Get();
  settings.Timeout = 1000;
  JEXSettings.Publish(settings);
  PeerEnd peer;
  std::thread session = StartSession(peer.SessionEnd());
  peer.Send(BuildRequestPacket(kPassword, "upkey", "UpgradeCode\n150\n\r"));
  EXPECT_EQ(Str(DecryptReply(peer.ReceivePacket(), "upkey")), "200\n\r");
  peer.Send(Bytes("a first part, then silence"));
  // The peer keeps the connection open; the session gives up on its own.
  EXPECT_EQ(peer.ReceiveUntilClosed().Length(), 0);
  session.join();
  EXPECT_EQ(UpgradeLocked(), 0);
  EXPECT_FALSE(Exists(dir_.File("jex__.upd")));
}

}  // namespace
}  // namespace jextest
