// The agent's status record and the three management handlers that report and
// change the agent's state: "GetInfo" (GetAgentStatus), "GetSettings"
// (GetAgentSettings) and "SetSettings" (SetAgentSettings).
//
// The handlers keep no state of their own. They read the settings through one
// JEXSettings snapshot per call, and the counters of AgentStatus without a
// lock, so the counters in a reply may be off by a connection that is starting
// or ending at that moment.
#pragma once

#include <atomic>

#include "protocol/reply.h"
#include "protocol/request.h"

// Identity texts and connection counters, one global record for the process.
// The texts never change and Service/Active stay 0. The counters are kept by
// the event loop and the workers: ActiveConnections and OpenedConnections
// count every connection from its acceptance to its close,
// FailedConnections changes on the main thread only. They are atomic words,
// read and changed without a lock.
struct TAgentStatus {
  const char* Signature = "TqOxJXStRec";
  int Reserved = 1;  // not read by the agent
  const char* AgentName = "TQ Sentrel";
  const char* AgentPlatform = "OpenBSD";
  const char* AgentVersion = "1.29";
  const char* AgentDeveloper = "the jex project, https://jex.example.org";
  int Service = 0;
  int Active = 0;
  std::atomic<int> ActiveConnections{0};
  std::atomic<int> OpenedConnections{0};
  std::atomic<int> FailedConnections{0};
};

extern TAgentStatus AgentStatus;

// "0" and "1", indexed by a flag's value.
extern const char* const BoolConst[2];

// "GetInfo": code "200", then identity, counters, the offered tests and actions
// with their enable digits, port, time-out, comment and, when uname succeeds,
// the host lines. The parameters are ignored.
void GetAgentStatus(const OXRequest& params, JEXReply& reply);

// "GetSettings": the whole "GetInfo" reply followed by the logging, password,
// filter and permission settings.
void GetAgentSettings(const OXRequest& params, JEXReply& reply);

// "SetSettings": applies every name=value parameter whose trimmed name is one
// of the settings names (exactly, case-sensitively; unknown names and lines
// without '=' are ignored, the last occurrence wins), then saves the
// configuration file. Reply "200" when the save succeeds, else "300" and the
// save's message. The new values stay in force in either case.
void SetAgentSettings(const OXRequest& params, JEXReply& reply);
