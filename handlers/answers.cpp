// The replies shared by the handler families (see answers.h).
#include "handlers/answers.h"

void Answer(JEXReply& reply, const char* code, const char* text) {
  reply.SetResult(code);
  reply += text;
}

void RefuseTest(JEXReply& reply) {
  Answer(reply, "600", "test is not allowed");
}

void RefuseAction(JEXReply& reply) {
  Answer(reply, "600", "operation is not allowed");
}

bool RefusedTest(int enabled, JEXReply& reply) {
  if (enabled) return false;
  RefuseTest(reply);
  return true;
}
