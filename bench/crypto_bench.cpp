// Throughput of CRC-32, SHA-1, MD5 and Twofish block encryption, next to the
// system's zlib crc32 and nettle twofish_encrypt as references. After the
// runs the program prints our speed divided by the reference speed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "crypto/crc32.h"
#include "crypto/md5.h"
#include "crypto/sha1.h"
#include "crypto/twofish.h"

#if defined(JEX_BENCH_HAVE_ZLIB)
#include <zlib.h>
#endif
#if defined(JEX_BENCH_HAVE_NETTLE)
#include <nettle/twofish.h>
#endif

namespace {

constexpr std::size_t kLargeInput = 1 << 20;
constexpr std::size_t kBulkBlocks = 4096 / 16;

// The 1 MiB i % 251 pattern of the test vectors.
const std::vector<unsigned char>& LargeInput() {
  static const std::vector<unsigned char> input = [] {
    std::vector<unsigned char> bytes(kLargeInput);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i % 251);
    return bytes;
  }();
  return input;
}

const char* LargeInputChars() {
  return reinterpret_cast<const char*>(LargeInput().data());
}

// A 20-byte key, as the packet cipher uses (SHA-1 of a pass phrase).
unsigned char* BenchKey() {
  static unsigned char key[20] = {0xA9, 0x1B, 0x9A, 0x3F, 0xAF, 0x98, 0xE5, 0x75, 0x6C, 0x9A,
                                  0x30, 0xEB, 0x9E, 0xB3, 0x75, 0x48, 0x87, 0xBF, 0x5C, 0xEF};
  return key;
}

void BM_Crc32(benchmark::State& state) {
  TCRC32 crc;
  for (auto _ : state) benchmark::DoNotOptimize(crc.GetBlockCRC(LargeInputChars(), kLargeInput));
  state.SetBytesProcessed(state.iterations() * kLargeInput);
}
BENCHMARK(BM_Crc32);

#if defined(JEX_BENCH_HAVE_ZLIB)
void BM_ZlibCrc32(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(crc32(0, LargeInput().data(), kLargeInput));
  state.SetBytesProcessed(state.iterations() * kLargeInput);
}
BENCHMARK(BM_ZlibCrc32);
#endif

void BM_Sha1(benchmark::State& state) {
  THash_SHA sha;
  for (auto _ : state) benchmark::DoNotOptimize(sha.GetHash(LargeInputChars(), kLargeInput));
  state.SetBytesProcessed(state.iterations() * kLargeInput);
}
BENCHMARK(BM_Sha1);

void BM_Md5(benchmark::State& state) {
  unsigned char digest[16];
  for (auto _ : state) {
    MD5 context;
    MD5Open(&context);
    MD5Digest(&context, LargeInput().data(), kLargeInput);
    MD5Close(&context, digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * kLargeInput);
}
BENCHMARK(BM_Md5);

// One block at a time, each depending on the previous one, as in the cipher
// feedback mode of the packet codec.
void BM_TwofishEncryptBlock(benchmark::State& state) {
  Twofish_initialise();
  Twofish_key xkey;
  Twofish_prepare_key(BenchKey(), 20, &xkey);
  unsigned char block[16] = {};
  for (auto _ : state) {
    Twofish_encrypt(&xkey, block, block);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * 16);
}
BENCHMARK(BM_TwofishEncryptBlock);

// The key schedule runs once per packet.
void BM_TwofishPrepareKey(benchmark::State& state) {
  Twofish_initialise();
  Twofish_key xkey;
  for (auto _ : state) {
    Twofish_prepare_key(BenchKey(), 20, &xkey);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_TwofishPrepareKey);

// 4 KiB of independent blocks (ECB).
void BM_TwofishEncrypt4KiB(benchmark::State& state) {
  Twofish_initialise();
  Twofish_key xkey;
  Twofish_prepare_key(BenchKey(), 20, &xkey);
  std::vector<unsigned char> buffer(kBulkBlocks * 16);
  for (auto _ : state) {
    for (std::size_t i = 0; i < kBulkBlocks; ++i)
      Twofish_encrypt(&xkey, &buffer[16 * i], &buffer[16 * i]);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * buffer.size());
}
BENCHMARK(BM_TwofishEncrypt4KiB);

#if defined(JEX_BENCH_HAVE_NETTLE)
void BM_NettleTwofishEncryptBlock(benchmark::State& state) {
  twofish_ctx context;
  twofish_set_key(&context, 20, BenchKey());
  unsigned char block[16] = {};
  for (auto _ : state) {
    twofish_encrypt(&context, 16, block, block);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * 16);
}
BENCHMARK(BM_NettleTwofishEncryptBlock);

void BM_NettleTwofishSetKey(benchmark::State& state) {
  twofish_ctx context;
  for (auto _ : state) {
    twofish_set_key(&context, 20, BenchKey());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_NettleTwofishSetKey);

void BM_NettleTwofishEncrypt4KiB(benchmark::State& state) {
  twofish_ctx context;
  twofish_set_key(&context, 20, BenchKey());
  std::vector<unsigned char> buffer(kBulkBlocks * 16);
  for (auto _ : state) {
    twofish_encrypt(&context, buffer.size(), buffer.data(), buffer.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * buffer.size());
}
BENCHMARK(BM_NettleTwofishEncrypt4KiB);
#endif

// Console output as usual, plus the mean bytes_per_second of every benchmark
// for the ratios printed at the end. The per-repetition runs are used; with
// --benchmark_report_aggregates_only only the "mean" aggregate is reported.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const auto rate = run.counters.find("bytes_per_second");
      if (run.error_occurred || rate == run.counters.end()) continue;
      const std::string& name = run.run_name.function_name;
      if (run.run_type == Run::RT_Iteration)
        runRates_[name].Add(rate->second.value);
      else if (run.aggregate_name == "mean")
        aggregateRates_[name].Add(rate->second.value);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatio(const char* label, const char* ours, const char* reference) const {
    const double a = Rate(ours);
    const double b = Rate(reference);
    if (a > 0 && b > 0) std::printf("%s ratio: %.2f\n", label, a / b);
  }

 private:
  struct Mean {
    double sum = 0;
    int count = 0;
    void Add(double value) {
      sum += value;
      ++count;
    }
  };

  // Mean rate of the named benchmark, 0 when it did not run.
  double Rate(const std::string& name) const {
    for (const auto* rates : {&runRates_, &aggregateRates_}) {
      const auto found = rates->find(name);
      if (found != rates->end()) return found->second.sum / found->second.count;
    }
    return 0;
  }

  std::map<std::string, Mean> runRates_;
  std::map<std::string, Mean> aggregateRates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  // Ours divided by the reference; 1.00 or more meets the speed target.
  reporter.PrintRatio("crc32", "BM_Crc32", "BM_ZlibCrc32");
  reporter.PrintRatio("twofish", "BM_TwofishEncryptBlock", "BM_NettleTwofishEncryptBlock");
  reporter.PrintRatio("twofish 4KiB", "BM_TwofishEncrypt4KiB", "BM_NettleTwofishEncrypt4KiB");
  return 0;
}
