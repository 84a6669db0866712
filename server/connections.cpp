// The table of connections being read (see connections.h).
#include "server/connections.h"

#include <utility>

namespace {
constexpr size_t kSlotsKeptWhenEmpty = 256;
}  // namespace

ReadingConnection* ConnectionTable::Find(int socket) {
  if (socket < 0 || socket >= static_cast<int>(slots_.size())) return nullptr;
  ReadingConnection& slot = slots_[static_cast<size_t>(socket)];
  return slot.Socket == socket ? &slot : nullptr;
}

ReadingConnection& ConnectionTable::Insert(int socket, in_addr peer, std::time_t now) {
  if (socket >= static_cast<int>(slots_.size())) slots_.resize(static_cast<size_t>(socket) + 1);
  ReadingConnection& slot = slots_[static_cast<size_t>(socket)];
  slot.Socket = socket;
  slot.Serial = nextSerial_++;
  slot.Watched = false;
  slot.Peer = peer;
  slot.LastData = now;
  slot.Packet = OXRequest();
  LinkNewest(slot);
  ++count_;
  return slot;
}

void ConnectionTable::Touch(ReadingConnection& connection, std::time_t now) {
  connection.LastData = now;
  if (newest_ == connection.Socket) return;
  Unlink(connection);
  LinkNewest(connection);
}

void ConnectionTable::Erase(ReadingConnection& connection) {
  Unlink(connection);
  connection.Socket = -1;
  // Give the buffer back: an idle table of thousands must stay small.
  connection.Packet = OXRequest();
  --count_;
  // After a flood the slots would stay at the flood's size: give them back
  // once the table is empty again. Everyday sockets have small numbers, so
  // this does not happen under normal traffic.
  if (count_ == 0 && slots_.size() > kSlotsKeptWhenEmpty) {
    std::vector<ReadingConnection>().swap(slots_);
    oldest_ = newest_ = -1;
  }
}

ReadingConnection* ConnectionTable::Oldest() {
  return oldest_ < 0 ? nullptr : &slots_[static_cast<size_t>(oldest_)];
}

void ConnectionTable::Unlink(ReadingConnection& connection) {
  if (connection.Older >= 0) {
    slots_[static_cast<size_t>(connection.Older)].Newer = connection.Newer;
  } else {
    oldest_ = connection.Newer;
  }
  if (connection.Newer >= 0) {
    slots_[static_cast<size_t>(connection.Newer)].Older = connection.Older;
  } else {
    newest_ = connection.Older;
  }
  connection.Older = connection.Newer = -1;
}

void ConnectionTable::LinkNewest(ReadingConnection& connection) {
  connection.Older = newest_;
  connection.Newer = -1;
  if (newest_ >= 0) {
    slots_[static_cast<size_t>(newest_)].Newer = connection.Socket;
  } else {
    oldest_ = connection.Socket;
  }
  newest_ = connection.Socket;
}
