// What the request path fuzz target and its seed generator share: the
// session key of requests given as text and the name of the configuration
// file in the target's working folder.
#pragma once

#include "foundation/tqstring.h"

inline constexpr char kRequestPathSessionKey[] = "path-fuzz-session";
inline constexpr char kRequestPathConfigName[] = "jex.cfg";
