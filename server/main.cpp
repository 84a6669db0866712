// Entry point of the jex agent: start-up, then the server loop, which ends
// the process itself.
#include <cstdio>

#include "server/daemon.h"
#include "server/startup.h"

int main(int argc, char** argv, char** envp) {
  // Line-buffered output keeps console messages in order when the agent's
  // output goes to a pipe or a file.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  RunStartup(argc, argv);
  ServeForever(argv, envp);
}
