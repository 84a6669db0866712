// One connection's session: read one request packet, have it authenticated
// and carried out, send the encrypted reply; after an accepted "UpgradeCode"
// stay to receive the new program first.
#pragma once

#include <netinet/in.h>

// What the main loop hands to a session thread.
struct ThreadParams {
  int Socket = -1;  // the accepted connection; the session owns and closes it
  in_addr Peer{};   // the peer's IPv4 address, network order
};

// Runs one session to its end on the calling thread.
void ClientExecute(ThreadParams params);
