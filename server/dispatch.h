// Request dispatch: turns one authenticated, decrypted request into a reply by
// finding its command in the command table and running the command, after the
// management and upgrade guards where they apply.
//
// Request text: the command name, LF, then the parameter lines; a CR (the
// end-of-transmission mark) somewhere in the text. The command name is the
// text before the first LF (all of it when there is none), trimmed, and is
// compared exactly and case-sensitively, in table order. The handler receives
// the text after that LF as its own OXRequest.
#pragma once

#include "protocol/reply.h"
#include "protocol/request.h"
#include "server/flags.h"
#include "server/session.h"
#include "server/upgrade.h"

// Carries out the request and fills the reply. Returns 1 when the command
// was recognised, whatever the outcome (refusals included), and 0 for a
// missing end-of-transmission mark ("502"), an empty command ("500") or an
// unknown command ("500"); those three are also logged as failures for the
// peer. `flags` receives QUIT and ReloadApp; `upgrade` is the session's record,
// which an accepted "UpgradeCode" leaves Active for the transfer that follows.
// The guards read the settings through one snapshot taken for the request.
int ProcessOXRequest(OXRequest& request, JEXReply& reply, TJEXFlags& flags, ThreadParams params,
                     UpgradeRec& upgrade);
