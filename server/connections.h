// The connections the event loop is reading requests from, indexed by
// socket and kept in order of their last activity, so that the connection
// idle the longest is always at hand: it is the first to be dropped when
// the table is full, and idle limits are checked from that end only.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <ctime>
#include <vector>

#include "protocol/request.h"

struct ReadingConnection {
  int Socket = -1;  // -1: the slot is free
  std::uint32_t Serial = 0;  // tells this connection from an earlier one on the same socket
  bool Watched = false;      // registered with the event loop's poller
  in_addr Peer{};
  std::time_t LastData = 0;  // whole seconds, as the idle limit counts them
  OXRequest Packet;          // the bytes received so far
  int Older = -1;            // neighbours in activity order (sockets)
  int Newer = -1;
};

class ConnectionTable {
 public:
  int Count() const { return count_; }
  // The connection on this socket; null when it is not in the table.
  ReadingConnection* Find(int socket);
  // Adds a connection as the most recently active; the socket must not be in
  // the table. The reference stays valid until the next Insert.
  ReadingConnection& Insert(int socket, in_addr peer, std::time_t now);
  // Marks the connection as active now.
  void Touch(ReadingConnection& connection, std::time_t now);
  // Takes the connection out (the socket is not closed).
  void Erase(ReadingConnection& connection);
  // The connection idle the longest; null when the table is empty.
  ReadingConnection* Oldest();

 private:
  void Unlink(ReadingConnection& connection);
  void LinkNewest(ReadingConnection& connection);

  std::vector<ReadingConnection> slots_;  // indexed by socket
  int oldest_ = -1;
  int newest_ = -1;
  int count_ = 0;
  std::uint32_t nextSerial_ = 1;
};
