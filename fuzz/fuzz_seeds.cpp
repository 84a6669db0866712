// Writes the seed corpus of one fuzz target: request texts and packets for
// the request path, expressions with lines, configuration files, escaped
// values and upgrade streams, in the input layout each target reads.
// Usage: fuzz_seeds <request_path_fuzz|expr_fuzz|config_fuzz|escaping_fuzz|upgrade_fuzz> <dir>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/twofish.h"
#include "fuzz/request_fuzz.h"
#include "fuzz/request_path_fuzz.h"
#include "protocol/client.h"

namespace {

using Seeds = std::vector<std::string>;

// Request texts over the files of the target's working folder.
const char* const kRequestTexts[] = {
    "GetAgentStatus\n\r",
    "GetInfo\n\r",
    "GetSettings\n\r",
    "SetSettings\nComment=changed\nTimeout=5000\nLogOkConn=0\nTCP=1\n\r",
    "ReloadCfg\n\r",
    "QUIT\n\r",
    "ReloadApp\n\r",
    "UpgradeCode\n2000\n\r",
    "TEST-FileExists\na.txt\n\r",
    "TEST-FileExists\nsub/%newestfile%\n0\n0\n0\n0\n1\n\r",
    "TEST-FileExists\nnothing-here\n\r",
    "TEST-CountFiles\nsub\n*.log\n1\n0\n0\n\r",
    "TEST-CountFiles\n.\n*\n1\n3\n100\n\r",
    "TEST-CountFiles\nsub\n*\n0\n5\n0\n0\n0\n0\n0\n0\n1\n\r",
    "TEST-FolderSize\nsub\n1\n\r",
    "TEST-FolderSize\nsub/%newestfolder%\n0\n0\n0\n0\n0\n0\n1\n\r",
    "TEST-FileCRC\na.txt\n\r",
    "TEST-FileCRC\nsub/deep/y.txt\n\r",
    "TEST-FileCompare\n0\na.txt\nb.txt\n1\n1\n1\n\r",
    "TEST-FileCompare\n1\na.txt\nc.log\n\r",
    "TEST-FileCompare\n2\nc.log\nerror\n0\n1\n\r",
    "TEST-UNC\nsub\n\r",
    "TEST-TextLog\na.txt\nerror\n0\n0\n0\n0\n1\n0\n0\n\r",
    "TEST-TextLog\na.txt\n\"error\" and not (\"tape\" or \"debug\")\n0\n0\n0\n1\n1\n0\n1\n\r",
    "TEST-TextLog\nc.log\nerror\n5\n22\n0\n0\n0\n1\n1\n\r",
    "TEST-TextLog2\na.txt\n0\n0\n0\n1\nerror\n0\n0\n0\n1\n'disk' or 'tape'\n1\n0\n0\n\r",
    "TEST-TextLog2\nsub/*.log\n0\n0\n0\n0\nx\n1\n1\n1\n0\n\r",
    "GetFilesList\nsub\n*\n1\n1\n1\n1\n1\n1\n1\n\r",
    "GetFilesList\n.\n*.txt\n0\n1\n0\n0\n1\n0\n1\n\r",
    "GetDriveList\n\r",
    "TEST-DiskSpace\n\r",
    "TEST-Process\njex\n\r",
    "TEST-ExternalPrg\nprog\n\r",
    "TEST-ShellScript\necho hi\n\r",
    "ACT-Syslog\nhost=127.0.0.1\nport=514\nmessage=m\n\r",
    "TEST-TCP\n127.0.0.1\n1\n\r",
    "Unknown\n\r",
    "\n\r",
    "GetInfo",
};

Seeds RequestPathSeeds() {
  Seeds seeds;
  for (const char* text : kRequestTexts) seeds.push_back(std::string("T") + text);
  for (const char* text : kRequestTexts) {
    const String packet = BuildRequestPacket(kFuzzPassword, "k3y-0f-session", text);
    seeds.push_back("P" + std::string(packet.Data(), static_cast<size_t>(packet.Length())));
  }
  return seeds;
}

Seeds ExprSeeds() {
  const char* const expressions[] = {
      "'error'",
      "'error' and not 'debug'",
      "\"disk\" or \"tape\"",
      "not ('a' or 'b') and 'c'",
      "('x' and ('y' or 'z')) or not 'w'",
      "order",
      "'unclosed",
      "and or not",
      "(('a'))",
      "'a' 'b'",
      "",
  };
  const char* const lines[] = {
      "Dec 11 host kernel: disk error on sda", "tape ERROR retry", "c only", "x y z w", "",
  };
  Seeds seeds;
  int option = 0;
  for (const char* expression : expressions) {
    for (const char* line : lines) {
      seeds.push_back(std::string(1, static_cast<char>(option++ % 4)) + expression + "\n" + line);
    }
  }
  return seeds;
}

Seeds ConfigSeeds() {
  return {
      "# agent configuration\nport=1055\ntimeout=4000\npassword=secret\njexpath=/bin/sh\n"
      "filteractive=1\nfiltermarks=101\nfilterlist=127.0.0.1 10.0.0.0/8 192.168.1.1\n"
      "logsuccess=1\noklogfile=ok.log\nbadlogfile=bad.log\nallowmanage=1\n"
      "manageaddr=127.0.0.1\nallowupdates=0\ntcp=1\nudp=0\ntextlog=1\nmaxsessions=8\n",
      "Port = 2000\r\nPassword=  spaced value  \r\nComment=a%0Ab\r\nUNC=\r\nfreespace=1\r\n",
      "; comment\nhost=127.0.0.1\nport=1\nport=2\ncomment=first\ncomment=second\n",
      "tmpdir=/nonexistent\ncpuusagescript=cpu.sh\nproclistscript=/bin/ps\njexpath=/bin/sh\n"
      "pidfile=/run/jex.pid\ndelayforscripts=1000\nmaxconnections=99\n",
      "comment=" + std::string(1100, 'c') + "\nport=3\n",
      "filterlist=" + std::string(1030, '1') + "\nfiltermarks=1\n",
      "#" + std::string(1030, '#') + "port=7\n",
      "shellscript=1\nexecuteaction=1\ntcpudpaction=1\nsyslogaction=1\nexternal=0",
      "",
  };
}

Seeds EscapingSeeds() {
  return {"plain",
          "line\r\nbreak",
          "%0A%0D%0a%",
          "100%",
          std::string("nul\0byte\n", 9),
          "\n\n\r\r",
          "%%0A0D",
          ""};
}

std::string UpgradeSeed(int options, int size, const std::string& readSizes,
                        const std::string& stream) {
  const unsigned raw = static_cast<unsigned>(size - 101);
  std::string seed;
  seed += static_cast<char>(options);
  seed += static_cast<char>(raw & 0xFF);
  seed += static_cast<char>((raw >> 8) & 0xFF);
  seed += static_cast<char>((raw >> 16) & 0xFF);
  seed += static_cast<char>(readSizes.size());
  return seed + readSizes + stream;
}

Seeds UpgradeSeeds() {
  const std::string program(300, 'p');
  return {
      UpgradeSeed(1, 200, "", program),
      UpgradeSeed(1, 200, std::string("\x0f\x3f\x01", 3), program),
      UpgradeSeed(5, 101, std::string("\xff", 1), program),
      UpgradeSeed(0, 150, std::string("\x07", 1), program + std::string(16, 't')),
      UpgradeSeed(0, 120, "", std::string(120, 'q') + "short"),
      UpgradeSeed(2, 101, std::string("\x00", 1), program),
      UpgradeSeed(0, 4000, std::string("\x80\x10", 2), program),
  };
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <target> <directory>\n", argv[0]);
    return 2;
  }
  Twofish_initialise();
  const std::string target = argv[1];
  Seeds seeds;
  if (target == "request_path_fuzz") {
    seeds = RequestPathSeeds();
  } else if (target == "expr_fuzz") {
    seeds = ExprSeeds();
  } else if (target == "config_fuzz") {
    seeds = ConfigSeeds();
  } else if (target == "escaping_fuzz") {
    seeds = EscapingSeeds();
  } else if (target == "upgrade_fuzz") {
    seeds = UpgradeSeeds();
  } else {
    std::fprintf(stderr, "no seeds for %s\n", argv[1]);
    return 2;
  }
  int number = 0;
  for (const std::string& seed : seeds) {
    const std::string path = std::string(argv[2]) + "/seed-" + std::to_string(number++);
    FILE* file = std::fopen(path.c_str(), "wb");
    const bool ok = file && std::fwrite(seed.data(), 1, seed.size(), file) == seed.size();
    if (!file || std::fclose(file) != 0 || !ok) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
  }
  std::printf("%d seeds for %s written to %s\n", number, argv[1], argv[2]);
  return 0;
}
