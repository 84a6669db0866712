// Writes the seed corpus of request_fuzz: valid request packets under the
// fuzz password and under the empty password, with the commands and
// parameter shapes the agent sees, plus a few reply packets.
// Usage: request_fuzz_seeds <directory>
#include <cstdio>
#include <string>

#include "crypto/twofish.h"
#include "fuzz/request_fuzz.h"
#include "protocol/client.h"
#include "protocol/codec.h"

namespace {

bool WriteSeed(const std::string& directory, int number, const String& bytes) {
  const std::string path = directory + "/seed-" + std::to_string(number);
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const size_t written = std::fwrite(bytes.Data(), 1, static_cast<size_t>(bytes.Length()), file);
  return std::fclose(file) == 0 && written == static_cast<size_t>(bytes.Length());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
    return 2;
  }
  Twofish_initialise();
  const char* const texts[] = {
      "GetAgentStatus\n\r",
      "TEST-FileExists\n/var/log/messages\n\r",
      "TEST-CountFiles\n/tmp\n*.log\n1\n\r",
      "TEST-TextLog\nfile=/var/log/messages\nexpr=\"error\" and not \"debug\"\nmode=1\n\r",
      "SetSettings\nfilterlist=127.0.0.1%0D%0A10.0.0.0/8\nport=1055\n\r",
      "ACT-Syslog\nhost=127.0.0.1\nport=514\nmessage=a%0Ab%0Dc\n\r",
      "TEST-FileAge\n/etc/hosts\n05032009140709\n-\n12a\n\r",
      "UpgradeCode\n10485759\n\r",
      "\n\r",
      "",
  };
  const char* const keys[] = {"k3y-0f-session", "", "a-rather-longer-session-key-of-the-server"};
  int number = 0;
  bool ok = true;
  for (const char* password : {kFuzzPassword, ""}) {
    for (const char* key : keys) {
      for (const char* text : texts) {
        ok = WriteSeed(argv[1], number++, BuildRequestPacket(password, key, text)) && ok;
      }
    }
  }
  for (const char* text : texts) {
    const String reply = EncodeData(text, "fuzz-session", 4);
    ok = WriteSeed(argv[1], number++, reply) && ok;
  }
  if (!ok) {
    std::fprintf(stderr, "cannot write seeds to %s\n", argv[1]);
    return 1;
  }
  std::printf("%d seeds written to %s\n", number, argv[1]);
  return 0;
}
