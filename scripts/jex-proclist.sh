#!/bin/sh
# Process list for the agent's "GetProcessesList": one line per running
# process, "<pid> <name>", the name as the kernel keeps it (the one that
# "TEST-Process" counts). Reads /proc only; needs nothing but the shell.
for dir in /proc/[0-9]*; do
  pid=${dir#/proc/}
  # The process may end while the list is made; its line is then left out.
  name=
  { IFS= read -r name < "$dir/comm"; } 2>/dev/null || continue
  [ -n "$name" ] && printf '%s %s\n' "$pid" "$name"
done
exit 0
