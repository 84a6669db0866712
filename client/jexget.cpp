// jexget: sends one request to a jex agent and prints the reply.
//
//   jexget [-h host] [-p port] [-P password] [-t ms] command [parameter ...]
//   jexget [-h host] [-p port] [-P password] [-t ms] -u program-file
//
// The password may come from the JEX_PASSWORD environment variable instead of
// -P, so that it does not show in the process list. Parameters that hold line
// breaks are escaped. The reply's lines go to standard output, the code line
// first. Exit status: 0 for result code 200, 1 for any other code, 2 for a
// usage error, 3 when no reply arrived (connection refused, time-out,
// wrong password: the agent sends nothing back).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "client/agent_client.h"

namespace {

constexpr int kExitReplyOk = 0;
constexpr int kExitReplyOther = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoReply = 3;

int Usage(const char* problem) {
  if (problem) std::fprintf(stderr, "jexget: %s\n", problem);
  std::fprintf(stderr,
               "Usage: jexget [-h host] [-p port] [-P password] [-t ms] command [parameter ...]\n"
               "       jexget [-h host] [-p port] [-P password] [-t ms] -u program-file\n"
               "  -h host      agent address (default 127.0.0.1)\n"
               "  -p port      agent port (default 1055)\n"
               "  -P password  shared password (default: $JEX_PASSWORD)\n"
               "  -t ms        time-out for connecting and for the reply (default 10000)\n"
               "  -u file      upload file as the agent's new program (UpgradeCode)\n"
               "Example: JEX_PASSWORD=secret jexget -p 1055 GetInfo\n");
  return kExitUsage;
}

bool ReadWholeFile(const char* path, String& contents) {
  FILE* file = std::fopen(path, "rb");
  if (!file) return false;
  char chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    contents.AddData(chunk, static_cast<int>(got));
  }
  const bool ok = !std::ferror(file);
  std::fclose(file);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  TAgentEndpoint agent;
  agent.Port = 1055;
  if (const char* password = std::getenv("JEX_PASSWORD")) agent.Password = password;
  const char* uploadPath = nullptr;

  int option;
  while ((option = getopt(argc, argv, "+h:p:P:t:u:")) != -1) {
    switch (option) {
      case 'h':
        agent.Host = optarg;
        break;
      case 'p':
        agent.Port = std::atoi(optarg);
        break;
      case 'P':
        agent.Password = optarg;
        break;
      case 't':
        agent.TimeoutMs = std::atoi(optarg);
        break;
      case 'u':
        uploadPath = optarg;
        break;
      default:
        return Usage(nullptr);
    }
  }
  if (agent.Port < 1 || agent.Port > 65535) return Usage("invalid port");
  if (agent.TimeoutMs < 1) return Usage("invalid time-out");

  String reply;
  String error;
  int ok = 0;
  if (uploadPath) {
    if (optind != argc) return Usage("-u takes no command");
    String program;
    if (!ReadWholeFile(uploadPath, program)) return Usage("cannot read the program file");
    ok = UploadProgram(agent, program, reply, error);
  } else {
    if (optind >= argc) return Usage("no command given");
    std::vector<String> params(argv + optind + 1, argv + argc);
    ok = QueryAgent(agent, BuildRequestText(argv[optind], params), reply, error);
  }
  if (!ok) {
    error.SetZero();
    std::fprintf(stderr, "jexget: %s\n", error.Data());
    return kExitNoReply;
  }
  std::fwrite(reply.Data(), 1, static_cast<size_t>(reply.Length()), stdout);
  return ReplyCode(reply) == "200" ? kExitReplyOk : kExitReplyOther;
}
