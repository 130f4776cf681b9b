#!/usr/bin/env bash
# CPU used by the main skin's window while nothing happens, under Xvfb.
# Target: at most 0.5 % of one core.
# Usage: ui_idle_cpu.sh PATH/TO/skinview [SECONDS] [WARM-UP SECONDS]
set -euo pipefail
skinview=$1
seconds=${2:-10}
export DISPLAY=:97
Xvfb :97 -screen 0 1600x1200x24 >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$viewer" "$xvfb" 2>/dev/null || true' EXIT
sleep 1
"$skinview" - mainframe.xml --title "idle bench" &
viewer=$!
sleep "${3:-5}"  # start-up, first paint and the page module are not idle time
ticks() { awk '{print $14 + $15}' "/proc/$viewer/stat"; }
hz=$(getconf CLK_TCK)
t0=$(ticks)
sleep "$seconds"
t1=$(ticks)
awk -v d=$((t1 - t0)) -v hz="$hz" -v s="$seconds" \
  'BEGIN {p = 100 * d / hz / s; printf "idle window CPU: %.3f %% of a core over %d s (target 0.5 %%, ratio %.2f)\n", p, s, p / 0.5}'
