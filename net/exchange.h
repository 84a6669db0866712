// One-shot TCP and UDP exchanges with a host, and the syslog sender.
//
// Each exchange opens its own socket, sends one buffer, optionally waits for
// and receives one answer, and closes the socket before it returns; nothing
// survives between calls, so calls from several threads run independently.
// Results are the network result codes of net/sockets.h (positive success, 0
// time-out or nothing received, -2 resolution, -3 socket, -4 send, -5
// receive, -6 connect) with the reason in the caller's error text.
#pragma once

#include "foundation/tqstring.h"

// Connects to host:port over TCP (timeout milliseconds, also the limit of the
// wait for the answer; 0 connects without a limit), sends sendLength bytes of
// sendBuffer in one send when sendLength > 0 and, when receiveLength > 0,
// waits for the answer and receives it once, at most receiveLength bytes.
// Returns the number of bytes received (0 when the peer closed without
// answering, or 0 with "Timeout"), 1 when nothing was to be received, or a
// negative code.
int SendReceiveTCPPacket(const char* host, int port, int timeout, void* sendBuffer,
                         void* receiveBuffer, int sendLength, int receiveLength, String& error);

// The same over UDP: one datagram to host:port and, when receiveLength > 0,
// one datagram from any sender within timeout whole seconds. Returns the byte
// count of the last transfer (received bytes when a receive took place, else
// the bytes sent), 0 with "Timeout", or a negative code. error is empty on
// success.
int SendReceiveUDPPacket(const char* host, int port, int timeout, void* sendBuffer,
                         void* receiveBuffer, int sendLength, int receiveLength, String& error);
