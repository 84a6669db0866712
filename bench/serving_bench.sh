#!/usr/bin/env bash
# Serving-core figures: the agent beside a do-nothing loopback server, both
# driven by the independent load generator in ../shared/bench, measured in one
# run in interleaved rounds; every figure is a median over the rounds.
#
#   bench/serving_bench.sh [build-dir] [rounds] [seconds-per-run]
#
# Prints, for 1 and 16 closed-loop clients, the agent's and the do-nothing
# server's requests per second and their ratio, the CPU time per request of
# each (process CPU time over the run / requests answered; the do-nothing
# server's is the floor of what a request costs on the machine), then the probe
# latency while 1,000 idle connections are held and the agent's RSS while
# 10,000 are held. The cheap command is "TEST-FileExists" on an existing file.
set -euo pipefail

source "$(dirname "$0")/bench_lib.sh"
build="$(cd "${1:-$root/build}" && pwd)"
rounds="${2:-3}"
secs="${3:-5}"
bench_start serving-bench

agent_port="$(free_port)"
plain_port="$(free_port)"
password="bench-password"
echo "exists" > "$work/probe-file"
cat > "$work/jex.cfg" <<EOF
jexpath=$build/jex
host=127.0.0.1
port=$agent_port
timeout=30000
password=$password
pidfile=$work/jex.pid
tmpdir=$work
fileexists=1
EOF

# Daemon mode, as installed: no console, no per-line output.
"$build/jex" -d "$work/jex.cfg" > "$work/agent.out" 2>&1
for _ in $(seq 1 100); do [[ -s "$work/jex.pid" ]] && break; sleep 0.05; done
agent_pid="$(tr -dc '0-9' < "$work/jex.pid")"
pids+=("$agent_pid")
"$loadgen" serve -p "$plain_port" -c 4 -d 600 > /dev/null 2>&1 &
plain_pid="$!"
pids+=("$plain_pid")
sleep 0.3

# Process CPU time (user + system) in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
field() { tr ' ' '\n' | sed -n "s/^$1=//p"; }
median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }

fileexists=(-C TEST-FileExists -a "$work/probe-file" -a '' -a '' -a '' -a '' -a '' -a '')
ticks_per_s="$(getconf CLK_TCK)"

# CPU microseconds per request of a process over a run.
us_per_request() {
  awk -v t="$1" -v hz="$ticks_per_s" -v n="$2" 'BEGIN {print (n > 0) ? t / hz / n * 1e6 : 0}'
}

declare -A agent_rps plain_rps agent_us plain_us
for round in $(seq 1 "$rounds"); do
  for conc in 1 16; do
    before="$(cpu_ticks "$agent_pid")"
    line="$("$loadgen" jex -p "$agent_port" -w "$password" "${fileexists[@]}" -c "$conc" -d "$secs" -e 200)"
    after="$(cpu_ticks "$agent_pid")"
    requests="$(echo "$line" | field requests)"
    errors="$(echo "$line" | field errors)"
    [[ "$errors" == 0 ]] || echo "round $round, $conc clients: $errors errors: $line" >&2
    agent_rps[$conc]+="$(echo "$line" | field rps) "
    agent_us[$conc]+="$(us_per_request $((after - before)) "$requests") "
    before="$(cpu_ticks "$plain_pid")"
    line="$("$loadgen" plain -p "$plain_port" -k x -c "$conc" -d "$secs" -e 1)"
    after="$(cpu_ticks "$plain_pid")"
    plain_rps[$conc]+="$(echo "$line" | field rps) "
    plain_us[$conc]+="$(us_per_request $((after - before)) "$(echo "$line" | field requests)") "
  done
done

echo "closed loop, TEST-FileExists, $rounds interleaved rounds of ${secs}s, medians:"
for conc in 1 16; do
  a="$(echo ${agent_rps[$conc]} | tr ' ' '\n' | median)"
  p="$(echo ${plain_rps[$conc]} | tr ' ' '\n' | median)"
  u="$(echo ${agent_us[$conc]} | tr ' ' '\n' | median)"
  q="$(echo ${plain_us[$conc]} | tr ' ' '\n' | median)"
  printf '  %2d clients: agent %8.0f req/s, do-nothing %8.0f req/s, ratio %.2f; CPU per request: agent %.1f us, do-nothing %.1f us\n' \
    "$conc" "$a" "$p" "$(awk -v a="$a" -v p="$p" 'BEGIN {print a / p}')" "$u" "$q"
done

# 1,000 idle connections held for 10 s while a probe asks once a second.
line="$("$loadgen" jex -p "$agent_port" -w "$password" "${fileexists[@]}" -I 1000 -T 10 -c 1 -g 1000 -d 10 -t 3 -e 200)"
echo "1,000 idle connections, one probe a second for 10 s: probes answered $(echo "$line" | field requests)," \
  "errors $(echo "$line" | field errors), p99 $(echo "$line" | field p99_us) us," \
  "idle held $(echo "$line" | field idle_open)"

# 10,000 idle connections: the agent keeps answering and its RSS stays small.
rss_before="$(rss_kib "$agent_pid")"
"$loadgen" jex -p "$agent_port" -w "$password" "${fileexists[@]}" -I 10000 -T 12 -c 1 -g 1000 -d 12 -t 3 -e 200 \
  > "$work/idle10k.out" &
idle_pid=$!
sleep 8
rss_during="$(rss_kib "$agent_pid")"
wait "$idle_pid"
line="$(cat "$work/idle10k.out")"
echo "10,000 idle connections: probes answered $(echo "$line" | field requests), errors $(echo "$line" | field errors)," \
  "idle held $(echo "$line" | field idle_open); agent RSS ${rss_before} KiB before, ${rss_during} KiB while held"
