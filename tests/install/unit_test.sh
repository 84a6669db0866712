#!/bin/sh
# The service unit passes "systemd-analyze verify" with its paths pointed at
# the build tree (verify wants the program to exist). Prints the unit's
# exposure score. Skips (77) without systemd-analyze.
# Usage: unit_test.sh <jex.service.in> <build-dir>
set -eu
command -v systemd-analyze >/dev/null 2>&1 || { echo "systemd-analyze not found: skipped"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT INT TERM
sed -e "s|@JEX_AGENT_PATH@|$2/jex|g" \
    -e "s|@JEX_CFG_FILE@|$2/example/jex.cfg|g" \
    -e "s|@JEX_CFG_DIR@|$2/example|g" \
    -e "s|@JEX_LOG_DIR@|/var/log/jex|g" "$1" >"$dir/jex.service"
if grep -q '@[A-Z_]*@' "$dir/jex.service"; then
  echo "FAIL: the unit has a placeholder the install step does not fill"
  exit 1
fi
systemd-analyze verify --man=no "$dir/jex.service" || { echo "FAIL: systemd-analyze verify"; exit 1; }
systemd-analyze security --offline=true "$dir/jex.service" 2>/dev/null | tail -n 1 || true
echo "unit: ok"
