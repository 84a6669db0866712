# Shared by the benchmark scripts (sourced, not run): a private work folder
# removed at exit together with the processes registered in `pids`, the
# independent load generator of ../shared/bench built into it, and free
# loopback ports.
#
#   source "$(dirname "$0")/bench_lib.sh"; bench_start NAME
# sets `root`, `work`, `loadgen` and an empty `pids` array.

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

bench_cleanup() {
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}

bench_start() {
  work="$(mktemp -d "${TMPDIR:-/tmp}/jex-$1.XXXXXX")"
  pids=()
  trap bench_cleanup EXIT
  gcc -O2 -pthread -o "$work/loadgen" "$root/../shared/bench/loadgen.c" -lnettle
  loadgen="$work/loadgen"
}

# A loopback TCP port that nothing listens on at the moment of the call.
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}
