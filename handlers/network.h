// TCP and UDP service tests and the network, syslog and command actions.
//
// "TEST-TCP" and "TEST-UDP" send data to a service and time the answer;
// "ACT-TCPUDPsend" sends data (and optionally a second piece after a delay)
// to a TCP or UDP endpoint; "ACT-Syslog" sends one syslog datagram with the
// tag "TQ JEX" to the host and port of the request; "ACT-ExternalCmd" runs a
// command line. Data parameters are read untrimmed and unescaped ("%0D",
// "%0A" become CR and LF); integers go through the validating decoder, and
// any parameter error is "501" "Wrong parameter". Tests are refused with
// "600" "test is not allowed", actions with "600" "operation is not allowed".
#pragma once

#include "handlers/handler_row.h"

// "TEST-TCP": 1 host, 2 port, 3 time-out ms (0: 120000), 4 data, 5 bytes to
// receive (at most 8192). "200", elapsed ms and the answer (escaped), or
// "301", the error text and the network result code.
void ProcessTest_TCP(const OXRequest& params, JEXReply& reply);

// "TEST-UDP": 1 host, 2 port, 3 time-out ms (whole seconds, at least 1, per
// attempt), 4 attempts (at least 1), 5 data (not empty), 6 bytes to receive.
// Replies as "TEST-TCP", for the last attempt.
void ProcessTest_UDP(const OXRequest& params, JEXReply& reply);

// "ACT-TCPUDPsend": 1 host, 2 port, 3 protocol ("0" TCP, anything else UDP),
// 4 data, 5 delay in seconds, 6 second data. "200" "Data has been sent".
void ProcessAct_TCPSend(const OXRequest& params, JEXReply& reply);

// "ACT-Syslog": 1 host, 2 port, 3 facility, 4 severity (0-7), 5 message.
// "200" "Syslog: Data to <host> has been sent".
void ProcessAct_Syslog(const OXRequest& params, JEXReply& reply);

// "ACT-ExternalCmd": 1 command line, 2 working directory, 3 validated only,
// 4 time-out ms (-1 do not wait, 0 no limit). "200" and the exit code.
void ProcessAct_ExternalCmd(const OXRequest& params, JEXReply& reply);

// The command-table rows of this family.
HandlerRows NetworkCommandRows();
