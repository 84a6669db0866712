#!/bin/sh
# Process count for the agent's "TEST-Process": prints the number of running
# processes whose name is exactly the first argument, then the name.
#
# The kernel keeps at most 15 bytes of a name: a longer argument also counts
# the processes whose kept name is its first 15 bytes. Reads /proc only;
# needs nothing but the shell. The argument is only ever compared, never run.
want=$1
if [ -z "$want" ]; then
  echo "0 (no process name given)"
  exit 1
fi
short=
if [ "${#want}" -gt 15 ]; then
  # The first 15 characters, in one step whatever the argument's length.
  short=$(printf '%.15s' "$want")
fi
count=0
for dir in /proc/[0-9]*; do
  name=
  { IFS= read -r name < "$dir/comm"; } 2>/dev/null || continue
  if [ "$name" = "$want" ] || { [ -n "$short" ] && [ "$name" = "$short" ]; }; then
    count=$((count + 1))
  fi
done
printf '%d %s\n' "$count" "$want"
exit 0
