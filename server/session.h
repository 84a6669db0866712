// One connection's session: have its request packet authenticated and
// carried out, send the encrypted reply; after an accepted "UpgradeCode"
// stay to receive the new program first. The event loop gathers the packet
// and hands the whole of it to a worker (ServeRequest); ClientExecute runs
// a session from the first byte on a blocking socket.
#pragma once

#include <netinet/in.h>

#include "protocol/request.h"

// A connection and its peer.
struct ThreadParams {
  int Socket = -1;  // the accepted connection; the session owns and closes it
  in_addr Peer{};   // the peer's IPv4 address, network order
};

// Largest request packet a session accepts; a peer that declares or sends
// more is dropped. Requests are one command with its parameters (a shell
// script text being the largest), so this is generous.
constexpr int kMaxRequestPacket = 1 << 20;

// Bytes of a request are read in chunks of at most this size; once the
// packet is whole nothing more is read for it.
constexpr int kRequestReadChunk = 1024;

// A packet that can no longer become a valid request: more bytes than the
// cap, or a declared length beyond it.
bool OversizedRequest(const OXRequest& packet);

// Counts a new connection in: ActiveConnections and OpenedConnections.
void CountConnectionIn();

// The end of every connection, served or not: "Session closed, wait for
// next ..", both directions shut down, the socket closed, the connection
// counted out and a pending upgrade script handed to the main loop.
void EndConnection(int socket);

// Carries out one whole request packet received on `params.Socket` and ends
// the connection (EndConnection), after the upgrade transfer when the
// request started one. Runs on a worker thread.
void ServeRequest(ThreadParams params, OXRequest& packet);

// Runs one session to its end on the calling thread, reading the request
// from the first byte. The caller has counted the connection in.
void ClientExecute(ThreadParams params);
