// The command table and the dispatcher of decrypted requests (see dispatch.h).
#include "server/dispatch.h"

#include <cmath>
#include <cstdint>
#include <iterator>
#include <vector>

#include "config/log.h"
#include "config/settings.h"
#include "config/status.h"
#include "handlers/command_table.h"
#include "net/ipfilter.h"
#include "protocol/values.h"

namespace {

// What a command that acts on the server itself works with.
struct CommandContext {
  const OXRequest& request;  // the whole request; carries the session key
  const OXRequest& params;   // its parameter text
  JEXReply& reply;
  TJEXFlags& flags;
  UpgradeRec& upgrade;
};
using ServerCommand = void (*)(CommandContext& context);

// Who may run a command: anyone with a valid request, a peer admitted by the
// management settings, or one admitted by the upgrade settings.
enum class CommandGuard { kNone, kManage, kUpgrade };

// One command: a handler row names `handler`, a server row names `command`.
struct CommandRow {
  const char* name;
  CommandGuard guard;
  RequestHandler handler;
  ServerCommand command = nullptr;
};

constexpr const char* kNotAllowed = "Operation is not allowed";
constexpr double kMinUpgradeSize = 101;
constexpr double kMaxUpgradeSize = 0x9FFFFF;  // 10485759

void ReplyOk(JEXReply& reply) {
  reply.SetResult("200");
  reply += "Ok";
}

void ReloadConfiguration(CommandContext& context) {
  String message;
  if (JEXSettings.Reload(message)) {
    ReplyOk(context.reply);
    return;
  }
  context.reply.SetResult("300");
  context.reply += message;
}

// The main loop acts on these flags at its next poll, within about a second.
void RequestTermination(CommandContext& context) {
  ReplyOk(context.reply);
  context.flags.TerminateRequested = 1;
}

void RequestReExecution(CommandContext& context) {
  ReplyOk(context.reply);
  context.flags.ReloadRequested = 1;
}

// Takes the upgrade lock and prepares the temporary file; on "200" the record
// stays Active and the session goes on receiving the program.
void StartUpgrade(CommandContext& context) {
  UpgradeRec& upgrade = context.upgrade;
  JEXReply& reply = context.reply;
  if (!upgrade.RequestUpgrade(context.request.GetSessionKey())) {
    reply.SetResult("302");
    return;
  }
  // Cut toward zero; the range test also rejects values no int64 can hold.
  const double size = std::trunc(jexDecodeInt64(context.params.GetParam(1, 1)));
  if (!(size >= kMinUpgradeSize && size <= kMaxUpgradeSize)) {
    reply.SetResult("501");
    reply += "Wrong file parameter(s)";
    upgrade.ClearanceUpgrade();
    return;
  }
  upgrade.FileSize = static_cast<int64_t>(size);
  upgrade.Started = 1;
  String error;
  if (DoUpgrading(upgrade, nullptr, 0, error)) {
    reply.SetResult("200");
    return;
  }
  reply.SetResult("300");
  reply += error;
}

// The server's own rows, matched after the handler families' rows.
const CommandRow kServerCommands[] = {
    {"GetInfo", CommandGuard::kNone, GetAgentStatus},
    {"ReloadCfg", CommandGuard::kManage, nullptr, ReloadConfiguration},
    {"ReloadApp", CommandGuard::kManage, nullptr, RequestReExecution},
    {"QUIT", CommandGuard::kManage, nullptr, RequestTermination},
    {"GetSettings", CommandGuard::kManage, GetAgentSettings},
    {"SetSettings", CommandGuard::kManage, SetAgentSettings},
    {"UpgradeCode", CommandGuard::kUpgrade, nullptr, StartUpgrade},
};

// The one command table: the handler families' rows (unguarded), then the
// server's own rows. Built once; names are unique, so the first match is the
// only one.
const std::vector<CommandRow>& CommandTable() {
  static const std::vector<CommandRow> table = [] {
    std::vector<CommandRow> rows;
    for (const HandlerRow& row : HandlerCommandRows()) {
      rows.push_back(CommandRow{row.name, CommandGuard::kNone, row.handler});
    }
    rows.insert(rows.end(), std::begin(kServerCommands), std::end(kServerCommands));
    return rows;
  }();
  return table;
}

const CommandRow* FindCommand(const String& name) {
  for (const CommandRow& row : CommandTable()) {
    if (name == row.name) return &row;
  }
  return nullptr;
}

// The reason text of IPAllowed is not reported to the peer.
bool GuardAdmits(CommandGuard guard, const TJEXSettings& settings, in_addr peer) {
  String listProblem;
  switch (guard) {
    case CommandGuard::kNone:
      return true;
    case CommandGuard::kManage:
      return settings.AllowManage && IPAllowed(peer.s_addr, settings.ManageAddr, listProblem);
    case CommandGuard::kUpgrade:
      return settings.AllowUpdates && IPAllowed(peer.s_addr, settings.UpdateAddr, listProblem);
  }
  return false;
}

void RunCommand(const CommandRow& row, CommandContext& context, in_addr peer) {
  if (row.guard != CommandGuard::kNone) {
    const SettingsSnapshot settings = JEXSettings.Get();
    if (!GuardAdmits(row.guard, *settings, peer)) {
      context.reply.SetResult("600");
      context.reply += kNotAllowed;
      return;
    }
  }
  if (row.handler) {
    row.handler(context.params, context.reply);
  } else {
    row.command(context);
  }
}

// The protocol faults answer with a code and a reason and return 0; each is
// logged as a failure for the peer.
int RejectRequest(JEXReply& reply, const char* code, const char* text) {
  reply.SetResult(code);
  reply += text;
  return 0;
}

int RejectUnknownCommand(JEXReply& reply, in_addr peer, const String& name) {
  String printable(name);
  printable.SetZero();
  showmessage("Unknown command \"%s\"\n", peer, mtFailure, 1, printable.Data());
  RejectRequest(reply, "500", "Unknown command \"");
  reply += name;
  reply += "\"";
  return 0;
}

}  // namespace

int ProcessOXRequest(OXRequest& request, JEXReply& reply, TJEXFlags& flags, ThreadParams params,
                     UpgradeRec& upgrade) {
  if (request.Pos('\r') == 0) {
    showmessage("EndOfTransmission signal missed\n", params.Peer, mtFailure, 0);
    return RejectRequest(reply, "502", "EndOfTransmission signal missed");
  }
  const int lineEnd = request.Pos('\n');
  String name = lineEnd ? request.Copy(1, lineEnd - 1) : String(request);
  const OXRequest paramText(lineEnd ? request.Copy(lineEnd + 1, request.Length() - lineEnd)
                                    : String());
  name.Trim();
  if (name.Length() == 0) {
    showmessage("Void request received\n", params.Peer, mtFailure, 0);
    return RejectRequest(reply, "500", "Void request received");
  }

  const CommandRow* row = FindCommand(name);
  if (!row) return RejectUnknownCommand(reply, params.Peer, name);
  CommandContext context{request, paramText, reply, flags, upgrade};
  RunCommand(*row, context, params.Peer);
  return 1;
}
