#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in a build directory of their own,
# writes each target's seed corpus and fuzzes the targets one after the
# other, each for a bounded time with a single job.
#
# Usage: fuzz/run_fuzz.sh [target|all] [seconds]
#        fuzz/run_fuzz.sh [seconds]            (all targets)
#   target   request_fuzz, request_path_fuzz, expr_fuzz, config_fuzz,
#            escaping_fuzz, upgrade_fuzz, or all (the default)
#   seconds  fuzzing time of EACH target (default 60), so "all 20" takes
#            about two minutes of fuzzing for the six targets
#
# Each target starts from its generated seeds, the regression inputs under
# fuzz/seeds/<target>/ and its growing corpus in fuzz/corpus-run/<target>/
# (not under version control), with the dictionary fuzz/dict/<target>.dict.
# After each target the number of executions and executions per second are
# printed. Exits non-zero when any target reports a finding (a crash, a
# sanitizer report, a broken invariant, a time-out or running out of
# memory); the input that caused it is kept in <build>/fuzz-artifacts/<target>/
# and the fuzzer's output in <build>/fuzz-artifacts/<target>.log.
#
# Environment: JEX_FUZZ_BUILD_DIR  build directory (default <repo>/build-fuzz)
#              JEX_FUZZ_JOBS       parallel build jobs (default 2)
#              JEX_FUZZ_RUNS       stop each target after this many executions
#                                  (seconds then only bounds the time)
set -euo pipefail

all_targets=(request_fuzz request_path_fuzz expr_fuzz config_fuzz escaping_fuzz upgrade_fuzz)

usage() {
  echo "usage: $0 [target|all] [seconds]   targets: ${all_targets[*]}" >&2
  exit 2
}

target="all"
seconds=60
if (($# >= 1)); then
  if [[ "$1" =~ ^[0-9]+$ ]]; then
    (($# == 1)) || usage
    seconds="$1"
  else
    target="$1"
    seconds="${2:-60}"
    (($# <= 2)) || usage
  fi
fi
[[ "$seconds" =~ ^[0-9]+$ ]] && ((seconds >= 1)) || usage

if [[ "$target" == "all" ]]; then
  targets=("${all_targets[@]}")
else
  known=0
  for t in "${all_targets[@]}"; do [[ "$t" == "$target" ]] && known=1; done
  ((known)) || usage
  targets=("$target")
fi

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${JEX_FUZZ_BUILD_DIR:-$root/build-fuzz}"

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DJEX_BUILD_FUZZ=ON -DJEX_SANITIZE=address,undefined \
  -DJEX_BUILD_TESTS=OFF -DJEX_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target "${targets[@]}" request_fuzz_seeds fuzz_seeds \
  -- -j"${JEX_FUZZ_JOBS:-2}"

# Options of each target: the longest input worth trying.
max_len() {
  case "$1" in
    escaping_fuzz) echo 256 ;;
    expr_fuzz) echo 256 ;;
    *) echo 4096 ;;
  esac
}

failed=()
for t in "${targets[@]}"; do
  seeds="$build/fuzz-seeds/$t"
  corpus="$root/fuzz/corpus-run/$t"
  artifacts="$build/fuzz-artifacts/$t"
  log="$build/fuzz-artifacts/$t.log"
  rm -rf "$seeds"
  mkdir -p "$seeds" "$corpus" "$artifacts"
  if [[ "$t" == request_fuzz ]]; then
    "$build/fuzz/request_fuzz_seeds" "$seeds" >/dev/null
  else
    "$build/fuzz/fuzz_seeds" "$t" "$seeds" >/dev/null
  fi
  dirs=("$corpus" "$seeds")
  [[ -d "$root/fuzz/seeds/$t" ]] && dirs+=("$root/fuzz/seeds/$t")
  dict=()
  [[ -f "$root/fuzz/dict/$t.dict" ]] && dict=(-dict="$root/fuzz/dict/$t.dict")

  echo "=== $t: ${seconds} s ==="
  # libFuzzer stops itself after max_total_time; the outer limit only guards
  # against a hang of the fuzzer process itself.
  status=0
  runs_limit=()
  [[ -n "${JEX_FUZZ_RUNS:-}" ]] && runs_limit=(-runs="$JEX_FUZZ_RUNS")
  timeout --kill-after=30 "$((seconds + 120))" \
    "$build/fuzz/$t" \
    -max_total_time="$seconds" -timeout=10 -max_len="$(max_len "$t")" -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "${runs_limit[@]}" "${dict[@]}" \
    "${dirs[@]}" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  echo "$t: ${runs:-?} executions, ${rate:-?} per second"
  if ((status != 0)); then
    echo "$t: FINDING (exit $status); input kept in $artifacts/, output in $log" >&2
    grep -E 'ERROR|SUMMARY|deadly signal|Test unit written|runtime error' "$log" | head -20 >&2 || true
    failed+=("$t")
  fi
done

if ((${#failed[@]})); then
  echo "findings in: ${failed[*]}" >&2
  exit 1
fi
echo "no findings in: ${targets[*]}"
