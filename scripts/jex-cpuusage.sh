#!/bin/sh
# CPU usage for the agent's "TEST-CPU": prints the share of time all CPUs
# were busy over a short interval, in percent with one decimal, then "%".
# Reads the "cpu" line of /proc/stat twice; needs nothing but the shell and
# sleep.
sample() {
  # cpu user nice system idle iowait irq softirq steal (guest time is
  # already counted in user and nice).
  IFS=' ' read -r _cpu user nice system idle iowait irq softirq steal _rest < /proc/stat || return 1
  busy=$((user + nice + system + irq + softirq + ${steal:-0}))
  total=$((busy + idle + ${iowait:-0}))
}
sample || { echo "cannot read /proc/stat"; exit 1; }
busy1=$busy
total1=$total
# Half a second where sleep takes fractions, else a whole one.
sleep 0.5 2>/dev/null || sleep 1
sample || { echo "cannot read /proc/stat"; exit 1; }
dbusy=$((busy - busy1))
dtotal=$((total - total1))
if [ "$dtotal" -le 0 ]; then
  tenths=0
else
  # Rounded to tenths of a percent.
  tenths=$(((dbusy * 1000 + dtotal / 2) / dtotal))
fi
printf '%d.%d %%\n' $((tenths / 10)) $((tenths % 10))
exit 0
