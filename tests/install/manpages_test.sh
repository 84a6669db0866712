#!/bin/sh
# The manual pages render without a single warning. Skips (77) without groff.
# Usage: manpages_test.sh <man-dir>
set -eu
command -v groff >/dev/null 2>&1 || { echo "groff not found: skipped"; exit 77; }
status=0
for page in "$1/jex.8" "$1/jex.cfg.5" "$1/jexget.1"; do
  warnings=$(groff -man -ww -z "$page" 2>&1) || { echo "FAIL: groff failed on $page"; status=1; }
  if [ -n "$warnings" ]; then
    echo "FAIL: $page:"
    echo "$warnings"
    status=1
  fi
done
exit $status
