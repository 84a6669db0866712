// The replies every handler family gives alike: a result code with its
// reason, and the refusals of a test or an action switched off by the
// configuration.
#pragma once

#include "protocol/reply.h"

// The reply becomes the code line followed by the reason text.
void Answer(JEXReply& reply, const char* code, const char* text);

// "600" with "test is not allowed" / "operation is not allowed".
void RefuseTest(JEXReply& reply);
void RefuseAction(JEXReply& reply);

// Refuses the test when `enabled` is 0; returns whether it did.
bool RefusedTest(int enabled, JEXReply& reply);
