// One row of the command table as a handler family contributes it: the
// command name the server sends and the handler that answers it.
//
// Every handler has the same form: it reads its parameter text and fills the
// reply, refusals and failures included; it never fails to answer.
#pragma once

#include <span>

#include "protocol/reply.h"
#include "protocol/request.h"

using RequestHandler = void (*)(const OXRequest& params, JEXReply& reply);

struct HandlerRow {
  const char* name;
  RequestHandler handler;
};

using HandlerRows = std::span<const HandlerRow>;
