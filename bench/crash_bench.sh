#!/usr/bin/env bash
# Crash figures: the running agent killed with SIGKILL at random moments
# while the monitoring server's "SetSettings" requests save its
# configuration, again and again.
#
#   bench/crash_bench.sh [build-dir] [kills]        (default 200 kills)
#
# After every kill the configuration file must load (checked with `jex -t`)
# and be, byte for byte, the file as it was before that round's requests or
# as that round's requests make it; the ".Old" file must be a complete
# earlier version. Prints the kills and the failures; exits non-zero on any.
set -euo pipefail

source "$(dirname "$0")/bench_lib.sh"
build="$(cd "${1:-$root/build}" && pwd)"
kills="${2:-200}"
bench_start crash-bench
port="$(free_port)"
cfg="$work/jex.cfg"
{
  echo "jexpath=$build/jex"
  echo "host=127.0.0.1"
  echo "port=$port"
  echo "password=crash-password"
  echo "tmpdir=$work"
  echo "allowmanage=1"
  echo "manageaddr=127.0.0.1"
  echo "comment=round 0"
  # Some size, so that a save takes a while.
  for i in $(seq 1 300); do echo "; padding line $i of the crash test configuration"; done
} > "$cfg"

declare -A seen   # digests of every whole version the file has had
digest() { md5sum < "$1" | cut -d' ' -f1; }
seen[$(digest "$cfg")]=1
failures=0
for round in $(seq 1 "$kills"); do
  before="$(digest "$cfg")"
  "$build/jex" -i "$cfg" > "$work/agent.out" 2>&1 &
  agent=$!
  pids=("$agent")
  for _ in $(seq 1 200); do grep -q "Listening" "$work/agent.out" 2>/dev/null && break; sleep 0.01; done
  "$loadgen" jex -p "$port" -w crash-password -C SetSettings -a "Comment=round $round" \
    -c 2 -d 5 -t 2 > /dev/null 2>&1 &
  load=$!
  pids+=("$load")
  sleep "0.0$((RANDOM % 10))$((RANDOM % 10))"
  kill -9 "$agent"
  wait "$agent" 2>/dev/null || true
  kill "$load" 2>/dev/null || true
  wait "$load" 2>/dev/null || true
  pids=()

  now="$(digest "$cfg")"
  if [[ "$now" != "$before" ]]; then
    # The new version: this round's comment, everything else as before.
    grep -q "^comment=round $round" "$cfg" || { echo "round $round: torn or foreign file"; failures=$((failures + 1)); }
    seen[$now]=1
  fi
  "$build/jex" -t "$cfg" GetInfo > /dev/null 2>&1 || { echo "round $round: the file does not load"; failures=$((failures + 1)); }
  if [[ -e "$cfg.Old" && -z "${seen[$(digest "$cfg.Old")]:-}" ]]; then
    echo "round $round: .Old is not a whole earlier version"; failures=$((failures + 1))
  fi
done
echo "crashes: $kills kills during saves, $((${#seen[@]} - 1)) new versions saved, $failures failures"
((failures == 0))
