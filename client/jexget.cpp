// jexget: sends one request to one or several jex agents and prints the replies.
//
//   jexget [-h host[:port][,host...]] [-p port] [-P password | -W file] [-t ms] [--json]
//          command [parameter ...]
//   jexget [-h host...] [-p port] [-P password | -W file] [-t ms] -u program-file
//
// The password may come from the JEX_PASSWORD environment variable or from the
// first line of a file (-W) instead of -P, so that it does not show in the
// process list. Parameters that hold line breaks are escaped. With one host the
// reply's lines go to standard output, the code line first; with several hosts
// the hosts are asked in parallel and each host's result is printed in the
// order given, every line prefixed with the host. --json prints one object per
// host: {"code": "...", "lines": [...]} ("host" added when there are several,
// "error" when no reply came). Exit status, the worst over the hosts: 0 for
// result code 200, 1 for any other code, 3 when no reply arrived (connection
// refused, time-out, wrong password: the agent sends nothing back); 2 for a
// usage error.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "client/agent_client.h"

namespace {

constexpr int kExitReplyOk = 0;
constexpr int kExitReplyOther = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoReply = 3;
// Most agents asked at the same time; a longer list waits its turn.
constexpr int kMaxParallel = 32;

int Usage(const char* problem) {
  if (problem) std::fprintf(stderr, "jexget: %s\n", problem);
  std::fprintf(
      stderr,
      "Usage: jexget [-h host[:port][,...]] [-p port] [-P password | -W file] [-t ms] [--json]\n"
      "              command [parameter ...]\n"
      "       jexget [-h host[:port][,...]] [-p port] [-P password | -W file] [-t ms] -u "
      "program-file\n"
      "  -h hosts     agent addresses, comma separated, each with an optional :port\n"
      "               (default 127.0.0.1); several hosts are asked in parallel\n"
      "  -p port      agent port (default 1055)\n"
      "  -P password  shared password (default: $JEX_PASSWORD)\n"
      "  -W file      read the password from the first line of file\n"
      "  -t ms        time-out for connecting and for the reply (default 10000)\n"
      "  -u file      upload file as the agent's new program (UpgradeCode)\n"
      "  --json       print {\"code\": ..., \"lines\": [...]} per host\n"
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

// The first line of the file without its line end.
bool ReadPasswordFile(const char* path, String& password) {
  String contents;
  if (!ReadWholeFile(path, contents)) return false;
  const std::string text(contents.Data() ? contents.Data() : "", contents.Length());
  std::string line = text.substr(0, text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  password = String(line.c_str());
  return true;
}

struct Target {
  std::string label;  // as written on the command line
  TAgentEndpoint endpoint;
};

// "host" or "host:port"; the default port when none is given.
bool ParseTarget(const std::string& entry, int defaultPort, Target& target) {
  target.label = entry;
  std::string host = entry;
  int port = defaultPort;
  const size_t colon = entry.rfind(':');
  if (colon != std::string::npos) {
    const std::string digits = entry.substr(colon + 1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    port = std::atoi(digits.c_str());
    host = entry.substr(0, colon);
  }
  if (host.empty() || port < 1 || port > 65535) return false;
  target.endpoint.Host = String(host.c_str());
  target.endpoint.Port = port;
  return true;
}

struct Result {
  bool replied = false;
  String reply;
  String error;
};

int ExitStatusOf(const Result& result) {
  if (!result.replied) return kExitNoReply;
  return ReplyCode(result.reply) == "200" ? kExitReplyOk : kExitReplyOther;
}

std::string Text(const String& s) {
  return std::string(s.Data() ? s.Data() : "", s.Length());
}

// The reply's lines after the code line; the text's final LF ends the last.
std::vector<std::string> ReplyLines(const String& reply) {
  const std::string text = Text(reply);
  std::vector<std::string> lines;
  size_t start = text.find('\n');
  if (start == std::string::npos) return lines;
  ++start;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Length of the well-formed UTF-8 sequence at text[at], 0 when there is none.
size_t Utf8SequenceLength(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  size_t length = 0;
  unsigned int minimum = 0;
  unsigned int value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80, value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800, value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000, value = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(at + i) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  return length;
}

// A JSON string literal. Well-formed UTF-8 passes unchanged; any other byte
// of 128 and above stands for the character of the same number.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    char escaped[8];
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else if (c < 0x80) {
          out += static_cast<char>(c);
        } else if (const size_t length = Utf8SequenceLength(text, i)) {
          out.append(text, i, length);
          i += length;
          continue;
        } else {
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        }
    }
    ++i;
  }
  return out + "\"";
}

std::string JsonResult(const Result& result, const std::string* host) {
  std::string json = "{";
  if (host) json += "\"host\": " + JsonString(*host) + ", ";
  json += "\"code\": " + JsonString(result.replied ? Text(ReplyCode(result.reply)) : "");
  json += ", \"lines\": [";
  if (result.replied) {
    const std::vector<std::string> lines = ReplyLines(result.reply);
    for (size_t i = 0; i < lines.size(); ++i) {
      if (i > 0) json += ", ";
      json += JsonString(lines[i]);
    }
  }
  json += "]";
  if (!result.replied) json += ", \"error\": " + JsonString(Text(result.error));
  return json + "}\n";
}

// Text output: one host as before (reply on standard output, the reason for
// no reply on standard error); several hosts each line prefixed "host: ".
void PrintText(const Result& result, const std::string* host) {
  if (!host) {
    if (result.replied) {
      std::fwrite(result.reply.Data(), 1, static_cast<size_t>(result.reply.Length()), stdout);
    } else {
      std::fprintf(stderr, "jexget: %s\n", Text(result.error).c_str());
    }
    return;
  }
  if (!result.replied) {
    std::printf("%s: no reply: %s\n", host->c_str(), Text(result.error).c_str());
    return;
  }
  const std::string text = Text(result.reply);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::printf("%s: %.*s\n", host->c_str(), static_cast<int>(end - start), text.data() + start);
    start = end + 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  int port = 1055;
  int timeoutMs = 10000;
  String password;
  if (const char* fromEnvironment = std::getenv("JEX_PASSWORD")) password = fromEnvironment;
  std::string hosts = "127.0.0.1";
  const char* uploadPath = nullptr;
  bool json = false;

  static const option kLongOptions[] = {{"json", no_argument, nullptr, 'j'},
                                        {nullptr, 0, nullptr, 0}};
  int option;
  while ((option = getopt_long(argc, argv, "+h:p:P:t:u:W:", kLongOptions, nullptr)) != -1) {
    switch (option) {
      case 'h':
        hosts = optarg;
        break;
      case 'p':
        port = std::atoi(optarg);
        break;
      case 'P':
        password = optarg;
        break;
      case 'W':
        if (!ReadPasswordFile(optarg, password)) return Usage("cannot read the password file");
        break;
      case 't':
        timeoutMs = std::atoi(optarg);
        break;
      case 'u':
        uploadPath = optarg;
        break;
      case 'j':
        json = true;
        break;
      default:
        return Usage(nullptr);
    }
  }
  if (port < 1 || port > 65535) return Usage("invalid port");
  if (timeoutMs < 1) return Usage("invalid time-out");

  std::vector<Target> targets;
  for (size_t start = 0; start <= hosts.size();) {
    size_t end = hosts.find(',', start);
    if (end == std::string::npos) end = hosts.size();
    Target target;
    if (!ParseTarget(hosts.substr(start, end - start), port, target)) {
      return Usage("invalid host");
    }
    target.endpoint.Password = password;
    target.endpoint.TimeoutMs = timeoutMs;
    targets.push_back(target);
    start = end + 1;
  }

  String program;
  String request;
  if (uploadPath) {
    if (optind != argc) return Usage("-u takes no command");
    if (!ReadWholeFile(uploadPath, program)) return Usage("cannot read the program file");
  } else {
    if (optind >= argc) return Usage("no command given");
    std::vector<String> params(argv + optind + 1, argv + argc);
    request = BuildRequestText(argv[optind], params);
  }

  std::vector<Result> results(targets.size());
  auto ask = [&](size_t index) {
    Result& result = results[index];
    const TAgentEndpoint& agent = targets[index].endpoint;
    result.replied = (uploadPath ? UploadProgram(agent, program, result.reply, result.error)
                                 : QueryAgent(agent, request, result.reply, result.error)) != 0;
  };
  if (targets.size() == 1) {
    ask(0);
  } else {
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    const size_t count = std::min(targets.size(), static_cast<size_t>(kMaxParallel));
    for (size_t i = 0; i < count; ++i) {
      workers.emplace_back([&] {
        for (size_t index; (index = next++) < targets.size();) ask(index);
      });
    }
    for (std::thread& worker : workers) worker.join();
  }

  int status = kExitReplyOk;
  const bool several = targets.size() > 1;
  for (size_t i = 0; i < targets.size(); ++i) {
    const std::string* host = several ? &targets[i].label : nullptr;
    if (json) {
      std::fputs(JsonResult(results[i], host).c_str(), stdout);
    } else {
      PrintText(results[i], host);
    }
    status = std::max(status, ExitStatusOf(results[i]));
  }
  std::fflush(stdout);
  return status;
}
