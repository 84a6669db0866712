// TCP and UDP service tests and the network, syslog and command actions.
#include "handlers/network.h"

#include <sys/time.h>
#include <unistd.h>

#include <algorithm>

#include "handlers/answers.h"
#include "config/settings.h"
#include "foundation/execute.h"
#include "net/exchange.h"
#include "net/sockets.h"
#include "net/syslog.h"
#include "protocol/escaping.h"
#include "protocol/values.h"

namespace {

constexpr int kReceiveBufferSize = 8192;
constexpr int kDefaultTcpTimeoutMs = 120000;
constexpr const char* kSyslogTag = "TQ JEX";

void WrongParameter(JEXReply& reply) {
  Answer(reply, "501", "Wrong parameter");
}

// Validating integer decoding of parameter index; false when it is rejected.
bool IntParam(const OXRequest& params, int index, int& value) {
  return jexDecodeInt(params.GetParam(index, 1), &value) == 1;
}

// A data parameter: untrimmed, with its escaped line breaks restored.
String DataParam(const OXRequest& params, int index) {
  return jexDecodeStrings(params.GetParam(index, 0));
}

// Wall-clock milliseconds between two instants, truncated toward zero.
int ElapsedMs(const timeval& start, const timeval& end) {
  const long long ms = static_cast<long long>(end.tv_sec - start.tv_sec) * 1000 +
                       static_cast<long long>(end.tv_usec - start.tv_usec) / 1000;
  return static_cast<int>(ms);
}

int CapReceiveLength(int length) {
  return std::min(length, kReceiveBufferSize);
}

// The reply of a service test from the result of its (last) exchange.
void AnswerExchange(JEXReply& reply, int result, int elapsedMs, const char* buffer,
                    int receiveLength, const String& error) {
  if (result > 0) {
    String answer;
    if (receiveLength >= 1) answer.AddData(buffer, result);
    reply.SetResult("200");
    reply.AddIntParam(elapsedMs);
    reply.AddStringParam(answer, 1);
    return;
  }
  reply.SetResult("301");
  reply.AddStringParam(error, 0);
  reply.AddIntParam(result);
}

}  // namespace

void ProcessTest_TCP(const OXRequest& params, JEXReply& reply) {
  const SettingsSnapshot settings = JEXSettings.Get();
  if (!settings->EnableTCP) return RefuseTest(reply);
  const String host = Terminated(params.GetParam(1, 1));
  String data = DataParam(params, 4);
  int port = 0;
  int timeout = 0;
  int receiveLength = 0;
  if (!IntParam(params, 2, port) || !IntParam(params, 3, timeout) ||
      !IntParam(params, 5, receiveLength)) {
    return WrongParameter(reply);
  }
  if (timeout == 0) timeout = kDefaultTcpTimeoutMs;
  receiveLength = CapReceiveLength(receiveLength);

  char buffer[kReceiveBufferSize];
  String error;
  timeval start{}, end{};
  gettimeofday(&start, nullptr);
  const int result = SendReceiveTCPPacket(host.Data(), port, timeout, data.Data(), buffer,
                                          data.Length(), receiveLength, error);
  gettimeofday(&end, nullptr);
  AnswerExchange(reply, result, ElapsedMs(start, end), buffer, receiveLength, error);
}

void ProcessTest_UDP(const OXRequest& params, JEXReply& reply) {
  const SettingsSnapshot settings = JEXSettings.Get();
  if (!settings->EnableUDP) return RefuseTest(reply);
  const String host = Terminated(params.GetParam(1, 1));
  String data = DataParam(params, 5);
  int port = 0;
  int timeout = 0;
  int attempts = 0;
  int receiveLength = 0;
  if (!IntParam(params, 2, port) || !IntParam(params, 3, timeout) ||
      !IntParam(params, 4, attempts) || !IntParam(params, 6, receiveLength)) {
    return WrongParameter(reply);
  }
  // A negative count would start no attempt at all: refused like 0.
  if (attempts <= 0 || data.Length() == 0) return WrongParameter(reply);
  const int timeoutSeconds = std::max(1, timeout / 1000);
  receiveLength = CapReceiveLength(receiveLength);

  char buffer[kReceiveBufferSize];
  String error;
  int result = 0;
  int elapsed = 0;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    timeval start{}, end{};
    gettimeofday(&start, nullptr);
    result = SendReceiveUDPPacket(host.Data(), port, timeoutSeconds, data.Data(), buffer,
                                  data.Length(), receiveLength, error);
    gettimeofday(&end, nullptr);
    elapsed = ElapsedMs(start, end);
    if (result > 0) break;
  }
  AnswerExchange(reply, result, elapsed, buffer, receiveLength, error);
}

void ProcessAct_TCPSend(const OXRequest& params, JEXReply& reply) {
  const SettingsSnapshot settings = JEXSettings.Get();
  if (!settings->EnableTCPUDPAction) return RefuseAction(reply);
  const String host = Terminated(params.GetParam(1, 1));
  const String data = DataParam(params, 4);
  const String secondData = DataParam(params, 6);
  const bool tcp = params.GetParam(3, 1) == "0";
  int port = 0;
  int delay = 0;
  if (host.Length() == 0 || data.Length() == 0 || !IntParam(params, 2, port) ||
      !IntParam(params, 5, delay)) {
    return WrongParameter(reply);
  }
  TSyncSocket sock(tcp ? 1 : 2);
  if (sock.Connect(host.Data(), port, 0) != 1 || sock.SendString(data, 0) <= 0) {
    reply.SetResult("301");
    reply += sock.LastError();
    return;
  }
  if (secondData.Length() > 0) {
    if (delay > 0) sleep(static_cast<unsigned int>(delay));
    sock.SendString(secondData, 0);
  }
  Answer(reply, "200", "Data has been sent");
}

void ProcessAct_Syslog(const OXRequest& params, JEXReply& reply) {
  const SettingsSnapshot settings = JEXSettings.Get();
  if (!settings->EnableSyslogAction) return RefuseAction(reply);
  const String host = Terminated(params.GetParam(1, 1));
  const String message = Terminated(DataParam(params, 5));
  int port = 0;
  int facility = 0;
  int severity = 0;
  if (host.Length() == 0 || !IntParam(params, 2, port) || !IntParam(params, 3, facility) ||
      !IntParam(params, 4, severity) || severity < 0 || severity > 7) {
    return WrongParameter(reply);
  }
  String error;
  if (SendToSysLog(host.Data(), port, facility, severity, kSyslogTag, message.Data(), error) > 0) {
    reply.SetResult("200");
    reply += "Syslog: Data to ";
    reply += host.Data();
    reply += " has been sent";
    return;
  }
  reply.SetResult("301");
  reply += error;
}

void ProcessAct_ExternalCmd(const OXRequest& params, JEXReply& reply) {
  const SettingsSnapshot settings = JEXSettings.Get();
  if (!settings->EnableExecuteAction) return RefuseAction(reply);
  const String commandLine = Terminated(params.GetParam(1, 1));
  const String workDir = Terminated(params.GetParam(2, 1));
  int unused = 0;
  int timeout = 0;
  if (!IntParam(params, 3, unused) || !IntParam(params, 4, timeout)) return WrongParameter(reply);
  if (commandLine.Length() == 0) {
    return Answer(reply, "501", "Command line to execute is not specified");
  }
  int exitCode = 0;
  String message;
  if (SystemEx(commandLine.Data(), workDir.Length() ? workDir.Data() : nullptr, timeout, exitCode,
               message)) {
    reply.SetResult("200");
    reply.AddIntParam(exitCode);
    return;
  }
  reply.SetResult("301");
  reply += message;
}

HandlerRows NetworkCommandRows() {
  static constexpr HandlerRow kRows[] = {
      {"TEST-TCP", ProcessTest_TCP},
      {"TEST-UDP", ProcessTest_UDP},
      {"ACT-ExternalCmd", ProcessAct_ExternalCmd},
      {"ACT-TCPUDPsend", ProcessAct_TCPSend},
      {"ACT-Syslog", ProcessAct_Syslog},
  };
  return kRows;
}
