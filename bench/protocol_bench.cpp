// Throughput of the packet cipher: EncodeData and DecodeData over 4 KiB and
// 64 KiB texts (one Twofish block encryption per byte, the key schedule once
// per call), and a whole request parse.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include "crypto/twofish.h"
#include "protocol/client.h"
#include "protocol/codec.h"
#include "protocol/request.h"

namespace {

String Text(int size) {
  String text;
  text.SetLength(size);
  for (int i = 0; i < size; ++i) text.Data()[i] = static_cast<char>('a' + i % 26);
  return text;
}

void BM_EncodeData(benchmark::State& state) {
  Twofish_initialise();
  const String text = Text(static_cast<int>(state.range(0)));
  const String key("k3y-0f-session");
  for (auto _ : state) benchmark::DoNotOptimize(EncodeData(text, key, 4));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EncodeData)->Arg(4 << 10)->Arg(64 << 10);

void BM_DecodeData(benchmark::State& state) {
  Twofish_initialise();
  const String key("k3y-0f-session");
  const String cipher = EncodeData(Text(static_cast<int>(state.range(0))), key, 0);
  for (auto _ : state) benchmark::DoNotOptimize(DecodeData(cipher, key));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_DecodeData)->Arg(4 << 10)->Arg(64 << 10);

// A typical request: two key schedules (session key, request text), an MD5
// and a few dozen bytes of stream.
void BM_ParseInitRequest(benchmark::State& state) {
  Twofish_initialise();
  const String packet =
      BuildRequestPacket("secret", "k3y-0f-session", "TEST-FileExists\n/var/log/messages\n\r");
  const in_addr peer = {htonl(0x7F000001)};
  for (auto _ : state) {
    OXRequest request;
    request = packet;
    benchmark::DoNotOptimize(request.ParseInitRequest("secret", peer));
  }
}
BENCHMARK(BM_ParseInitRequest);

}  // namespace

BENCHMARK_MAIN();
