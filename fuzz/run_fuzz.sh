#!/usr/bin/env bash
# Builds the request parser's libFuzzer target with clang in a build directory
# of its own, writes a seed corpus of valid packets and fuzzes for a bounded
# time. Exits non-zero when the fuzzer reports a finding; the input that
# caused it is kept in <build>/fuzz-artifacts/.
#
# Usage: fuzz/run_fuzz.sh [seconds]        (default 60)
# Environment: JEX_FUZZ_BUILD_DIR  build directory (default <repo>/build-fuzz)
#              JEX_FUZZ_JOBS       parallel build jobs (default 2)
set -euo pipefail

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || ((seconds < 1)); then
  echo "usage: $0 [seconds]" >&2
  exit 2
fi

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${JEX_FUZZ_BUILD_DIR:-$root/build-fuzz}"
corpus="$root/fuzz/corpus-run"      # grows across runs; not under version control
seeds="$build/fuzz-seeds"
artifacts="$build/fuzz-artifacts"

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DJEX_BUILD_FUZZ=ON -DJEX_SANITIZE=address,undefined \
  -DJEX_BUILD_TESTS=OFF -DJEX_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target request_fuzz request_fuzz_seeds -- -j"${JEX_FUZZ_JOBS:-2}"

rm -rf "$seeds"
mkdir -p "$seeds" "$corpus" "$artifacts"
"$build/fuzz/request_fuzz_seeds" "$seeds"

# libFuzzer stops itself after max_total_time; the outer limit only guards
# against a hang of the fuzzer process itself.
timeout --kill-after=30 "$((seconds + 120))" \
  "$build/fuzz/request_fuzz" \
  -max_total_time="$seconds" -timeout=10 -max_len=4096 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" \
  "$corpus" "$seeds"
