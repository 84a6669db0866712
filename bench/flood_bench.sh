#!/usr/bin/env bash
# Flood figures: the agent under 1,000 idle connections, thousands of bad
# packets (random bytes, truncated packets, wrong passwords, every boundary
# length, one-byte-a-second senders) and valid requests, all at once.
#
#   bench/flood_bench.sh [build-dir] [seconds] [bad-packets]
#
# Prints the valid requests answered / sent, the bad packets sent, whether
# the agent survived, its open descriptors and RSS before and after. Uses the
# independent load generator in ../shared/bench for the valid requests and
# the idle connections. Exits non-zero when a valid request went unanswered,
# the agent died, a descriptor leaked or memory did not come back within 10 %.
set -euo pipefail

source "$(dirname "$0")/bench_lib.sh"
build="$(cd "${1:-$root/build}" && pwd)"
secs="${2:-30}"
bad="${3:-5000}"
bench_start flood-bench
port="$(free_port)"
password="flood-password"
echo "exists" > "$work/probe-file"
cat > "$work/jex.cfg" <<EOF
jexpath=$build/jex
host=127.0.0.1
port=$port
timeout=4000
password=$password
pidfile=$work/jex.pid
tmpdir=$work
fileexists=1
EOF

"$build/jex" -d "$work/jex.cfg" > "$work/agent.out" 2>&1
for _ in $(seq 1 100); do [[ -s "$work/jex.pid" ]] && break; sleep 0.05; done
agent="$(tr -dc '0-9' < "$work/jex.pid")"
pids+=("$agent")

fds() { ls "/proc/$agent/fd" | wc -l; }
rss() { awk '/^VmRSS/ {print $2}' "/proc/$agent/status"; }
field() { tr ' ' '\n' | sed -n "s/^$1=//p"; }
probe=(-C TEST-FileExists -a "$work/probe-file" -a '' -a '' -a '' -a '' -a '' -a '')

# Warm up, so that "before" is the agent at work, not the agent just started.
"$loadgen" jex -p "$port" -w "$password" "${probe[@]}" -c 16 -d 3 -e 200 > /dev/null
fds_before="$(fds)"
rss_before="$(rss)"

# Bad packets of every kind from several threads, and slow senders.
cat > "$work/bad.py" <<'EOF'
import os, random, socket, struct, sys, threading, time
port, total, secs = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
random.seed(1211)
def packet(n=None, pswd=None, key=b"k" * 16, req=b"x" * 40, marker=b"\x03\x12"):
    pswd = os.urandom(16) if pswd is None else pswd
    body = marker + struct.pack("<H", len(pswd)) + pswd + struct.pack("<H", len(key)) + key
    body += struct.pack("<I", len(req)) + req
    return struct.pack("<I", len(body) if n is None else n) + body
def kinds():
    yield os.urandom(random.randint(1, 3000))                      # random bytes
    p = packet(); yield p[: random.randint(1, len(p) - 1)]          # truncated
    yield packet()                                                  # wrong password
    yield packet(marker=b"\x12\x03")                                # wrong marker
    for n in (0, 1, 9, 10, 13, 14, 0x7FFFFFFF, 0xFFFFFFFF, 1 << 20, (1 << 20) - 4, (1 << 20) + 1):
        yield struct.pack("<I", n) + os.urandom(random.randint(0, 64))  # boundary lengths
    yield struct.pack("<I", 10) + b"\x03\x12" + b"\xff\xff" + b"\xff\xff\xff\xff\xff\xff"
sent = [0]
lock = threading.Lock()
deadline = time.time() + secs
def send(data):
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=5)
        s.sendall(data)
        s.close()
    except OSError:
        pass
def sender():
    while time.time() < deadline:
        with lock:
            if sent[0] >= total: return
            sent[0] += 1
        send(random.choice(list(kinds())))
        time.sleep(secs / total * 3)
def slow():
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=5)
        for b in packet(pswd=b"w" * 16):
            if time.time() > deadline: break
            s.send(bytes([b]))
            time.sleep(1)
        s.close()
    except OSError:
        pass
threads = [threading.Thread(target=sender) for _ in range(4)] + [threading.Thread(target=slow) for _ in range(20)]
for t in threads: t.start()
for t in threads: t.join()
print(f"bad_sent={sent[0] + 20}")
EOF
python3 "$work/bad.py" "$port" "$bad" "$secs" > "$work/bad.out" &
bad_pid=$!
line="$("$loadgen" jex -p "$port" -w "$password" "${probe[@]}" -I 1000 -T "$secs" -c 4 -g 5 -d "$secs" -t 5 -e 200)"
wait "$bad_pid" || true
sleep 6  # idle limits run out for whatever is left
alive=yes; kill -0 "$agent" 2>/dev/null || alive=no
fds_after="$(fds 2>/dev/null || echo '?')"
rss_after="$(rss 2>/dev/null || echo '?')"

requests="$(echo "$line" | field requests)"
errors="$(echo "$line" | field errors)"
echo "flood for ${secs}s: valid requests answered $((requests - errors)) / $requests," \
  "idle connections held $(echo "$line" | field idle_open), bad packets sent $(sed -n 's/^bad_sent=//p' "$work/bad.out")"
echo "agent alive: $alive; open descriptors $fds_before before, $fds_after after;" \
  "RSS ${rss_before} KiB before, ${rss_after} KiB after" \
  "($(awk -v a="$rss_after" -v b="$rss_before" 'BEGIN {printf "%+.1f%%", (a - b) / b * 100}'))"

# The verdict: every valid request answered, the agent alive, no descriptor
# leaked, memory back within 10 % of where it started.
verdict=0
[[ "$errors" == 0 && "$requests" -gt 0 ]] || { echo "FAIL: valid requests went unanswered"; verdict=1; }
[[ "$alive" == yes ]] || { echo "FAIL: the agent died"; verdict=1; }
[[ "$fds_after" == "$fds_before" ]] || { echo "FAIL: descriptors $fds_before before, $fds_after after"; verdict=1; }
awk -v a="$rss_after" -v b="$rss_before" 'BEGIN {exit !(a <= b * 1.10)}' ||
  { echo "FAIL: memory not back within 10 %"; verdict=1; }
((verdict == 0)) && echo "flood: ok"
exit "$verdict"
