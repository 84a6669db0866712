// What the request fuzz target and its seed generator share: the agent
// password the target checks packets against (besides the empty one).
#pragma once

inline constexpr char kFuzzPassword[] = "fuzz-password";
