#!/usr/bin/env bash
# Process start to the first painted frame of the main skin, under Xvfb.
# Target: 200 ms. Prints the median of N runs as measured inside skinview
# (from its start to the first paint) and the whole command (exec to exit).
# Usage: ui_first_frame.sh PATH/TO/skinview [RUNS]
set -euo pipefail
skinview=$1
runs=${2:-10}
inner=()
cpu=()
outer=()
for _ in $(seq "$runs"); do
  start=$(date +%s%N)
  line=$(xvfb-run -a -s "-screen 0 1600x1200x24" "$skinview" - mainframe.xml --first-frame \
           --title "first frame bench" | tail -1)
  end=$(date +%s%N)
  inner+=("$(echo "$line" | awk '{print $4}')")
  cpu+=("$(echo "$line" | awk '{print substr($6, 2)}')")
  outer+=("$(( (end - start) / 1000000 ))")
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
mi=$(median "${inner[@]}")
echo "first painted frame: median ${mi} ms over ${runs} runs (target 200 ms, ratio $(awk -v m="$mi" 'BEGIN{printf "%.2f", m/200}'))"
echo "CPU used by then: median $(median "${cpu[@]}") ms (the machine's load does not inflate this one)"
echo "whole command incl. starting Xvfb: median $(median "${outer[@]}") ms"
