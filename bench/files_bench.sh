#!/usr/bin/env bash
# Speed of the file and text-log tests through the running agent, each as a
# ratio to a reference tool on the same data in the same run (medians of
# interleaved rounds; below 1.0 means faster than the reference):
#
#   TEST-FileCRC     1 GiB file in the page cache  vs zlib crc32 in 1 MiB blocks
#   TEST-FolderSize  200,000 files in 2,000 folders vs du -sb
#   TEST-CountFiles  the same tree, recursive       vs find DIR -type f | wc -l
#   TEST-FileCompare mode 3, text 64 KiB before the end of a 1 GiB text file
#                                                    vs grep -F -m1
#   TEST-TextLog     256 MiB of appended lines, scan-all
#                                                    vs grep -c
#
# Usage: bench/files_bench.sh [build-dir] [rounds]   (defaults: build, 5)
# Needs the built jex and jexget, a C compiler, zlib1g-dev and python3. The
# data (about 1.5 GiB) lives in a temporary folder that is removed at exit.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
rounds=${2:-5}
((rounds >= 3)) || rounds=3
jex="$build/jex"
jexget="$build/jexget"
[[ -x $jex && -x $jexget ]] || { echo "build $build first (jex, jexget)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/jex-files-bench-XXXXXX")
agent_pid=
cleanup() {
  if [[ -n $agent_pid ]]; then kill "$agent_pid" 2>/dev/null || true; wait "$agent_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# --- reference CRC program -------------------------------------------------
cat > "$work/crc_ref.c" <<'C'
#include <stdio.h>
#include <stdlib.h>
#include <zlib.h>
int main(int argc, char** argv) {
  if (argc < 2) return 2;
  FILE* f = fopen(argv[1], "rb");
  if (!f) return 1;
  static unsigned char block[1 << 20];
  uLong crc = crc32(0L, Z_NULL, 0);
  size_t got;
  while ((got = fread(block, 1, sizeof block, f)) > 0) crc = crc32(crc, block, (uInt)got);
  fclose(f);
  printf("%lu\n", crc);
  return 0;
}
C
cc -O2 -o "$work/crc_ref" "$work/crc_ref.c" -lz

# --- data --------------------------------------------------------------------
echo "building data in $work ..." >&2
# `yes | head` ends yes with SIGPIPE: not a failure here.
set +o pipefail
line="2026-12-11 10:41:04 host app[1234]: request served in 12 ms from 127.0.0.1 path /index"
needle="UNIQUE-NEEDLE-7f3a9c"
gib=$((1 << 30))
tail_bytes=$((64 << 10))
{ yes "$line" | head -c $((gib - tail_bytes - ${#needle} - 1)); printf '%s\n' "$needle"; yes "$line" | head -c $tail_bytes; } > "$work/big.txt"

python3 - "$work/tree" <<'PY'
import os, sys
root = sys.argv[1]
os.mkdir(root)
payload = b"x" * 100
for d in range(2000):
    folder = os.path.join(root, "d%04d" % d)
    os.mkdir(folder)
    for f in range(100):
        with open(os.path.join(folder, "f%03d.dat" % f), "wb") as out:
            out.write(payload[: (d + f) % 100 + 1])
PY

printf 'start\n' > "$work/app.log"
set -o pipefail

# --- the agent ---------------------------------------------------------------
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
export JEX_PASSWORD=bench-secret
cat > "$work/jex.cfg" <<CFG
jexpath=$jex
host=127.0.0.1
port=$port
password=$JEX_PASSWORD
timeout=120000
tmpdir=$work
countfiles=1
filecrc=1
comparefiles=1
fileexists=1
foldersize=1
textlog=1
CFG
"$jex" -i "$work/jex.cfg" > "$work/agent.txt" 2>&1 &
agent_pid=$!
for _ in $(seq 100); do grep -q "Listening..." "$work/agent.txt" 2>/dev/null && break; sleep 0.1; done
grep -q "Listening..." "$work/agent.txt" || { cat "$work/agent.txt" >&2; exit 1; }

ask() { "$jexget" -p "$port" -t 120000 "$@"; }

# The text log: record the end, then append 256 MiB of lines.
state=$(ask TEST-TextLog "$work/app.log" "served in 99" 0 0 0 0 1 1 0 | sed -n '5,7p' | tr -d ' ' | tr '\n' ' ')
read -r log_pos log_size log_time <<< "$state"
{ set +o pipefail; yes "$line" | head -c $((256 << 20)); } >> "$work/app.log"
for i in 1 2 3; do printf 'late line: request served in 99 ms\n' >> "$work/app.log"; done

# --- sanity: same answers ------------------------------------------------------
ours_crc=$(ask TEST-FileCRC "$work/big.txt" | sed -n 2p | tr -d ' ')
ref_crc=$("$work/crc_ref" "$work/big.txt")
# The agent reports the register without the final XOR.
[[ $ours_crc == $((ref_crc ^ 0xFFFFFFFF)) ]] || { echo "CRC mismatch: $ours_crc vs $ref_crc" >&2; exit 1; }
[[ $(ask TEST-FolderSize "$work/tree" 1 | sed -n 2p | tr -d ' ') == $(find "$work/tree" -type f -printf '%s\n' | awk '{s+=$1} END {print s}') ]] \
  || { echo "folder size mismatch" >&2; exit 1; }
[[ $(ask TEST-CountFiles "$work/tree" "*" 1 0 "" | sed -n 2p) == $(find "$work/tree" -type f | wc -l) ]] \
  || { echo "file count mismatch" >&2; exit 1; }
[[ $(ask TEST-FileCompare 3 "$work/big.txt" "$needle" 1 0 | sed -n 2p) == 1 ]] || { echo "needle not found" >&2; exit 1; }
[[ $(ask TEST-TextLog "$work/app.log" "served in 99" "$log_pos" "$log_size" "$log_time" 0 1 1 0 | sed -n 3p) == *"late line"* ]] \
  || { echo "text log found nothing" >&2; exit 1; }

# --- timing ---------------------------------------------------------------------
now() { date +%s%N; }
# Runs "$@" silently and prints its wall time in nanoseconds.
timed() { local t0; t0=$(now); "$@" > /dev/null; echo $(($(now) - t0)); }
median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }

declare -A ours refs
run_pair() {  # name, then our command and the reference command as strings
  local name=$1 ours_cmd=$2 ref_cmd=$3 o=() r=()
  eval "$ours_cmd" > /dev/null; eval "$ref_cmd" > /dev/null  # warm up
  for _ in $(seq "$rounds"); do
    o+=("$(timed bash -c "$ours_cmd")")
    r+=("$(timed bash -c "$ref_cmd")")
  done
  ours[$name]=$(printf '%s\n' "${o[@]}" | median)
  refs[$name]=$(printf '%s\n' "${r[@]}" | median)
}
export -f ask
export port jexget work

run_pair FileCRC "ask TEST-FileCRC '$work/big.txt'" "'$work/crc_ref' '$work/big.txt'"
run_pair FolderSize "ask TEST-FolderSize '$work/tree' 1" "du -sb '$work/tree'"
run_pair CountFiles "ask TEST-CountFiles '$work/tree' '*' 1 0 ''" "find '$work/tree' -type f | wc -l"
run_pair FileCompare "ask TEST-FileCompare 3 '$work/big.txt' '$needle' 1 0" "grep -F -m1 '$needle' '$work/big.txt'"
run_pair TextLog "ask TEST-TextLog '$work/app.log' 'served in 99' $log_pos $log_size $log_time 0 1 1 0" \
  "grep -c 'served in 99' '$work/app.log'"

printf '%-12s %10s %10s %7s  %s\n' command ours_ms ref_ms ratio target
for spec in "FileCRC 0.6 zlib-crc32" "FolderSize 1.1 du-sb" "CountFiles 1.5 find|wc" \
            "FileCompare 2 grep-F-m1" "TextLog 3 grep-c"; do
  read -r name target ref <<< "$spec"
  awk -v n="$name" -v o="${ours[$name]}" -v r="${refs[$name]}" -v t="$target" -v ref="$ref" \
    'BEGIN {printf "%-12s %10.1f %10.1f %7.2f  <= %s x %s\n", n, o/1e6, r/1e6, o/r, t, ref}'
done
