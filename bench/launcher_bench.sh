#!/usr/bin/env bash
# The launcher window's own figures, on a private Xvfb against a loopback
# nginx:
#  1. Launcher.exe's start to its first painted frame, median of RUNS starts
#     (target 200 ms); measured by the launcher itself (KESTRAVA_FIRST_FRAME_FILE);
#  2. CPU of the launcher waiting on its page after a completed pass, over
#     10 s (target 0.5 % of a core); the web view's processes apart;
#  3. resident memory of the launcher after a first install of 1 GiB in 4
#     files (target 120 MB); the web view's processes apart.
# Usage: [RUNS=9] [KINDS="frame idle memory"] bench/launcher_bench.sh [build/bin]
set -euo pipefail
. "$(dirname "$0")/nginx_bench.sh" launcher-bench
bin=${1:-$here/../build/bin}
runs=${RUNS:-9}
kinds=${KINDS:-frame idle memory}

# -noreset: like a desktop, whose server does not reset between our starts.
exec 5< <(Xvfb -displayfd 6 -screen 0 1600x1200x24 -nolisten tcp -noreset 6>&1 >/dev/null 2>&1 & echo "$!")
read -r xvfb <&5
read -r number <&5
export DISPLAY=":$number"
trap 'kill "$xvfb" 2>/dev/null || true; cleanup' EXIT

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
wait_for() {  # seconds, shell condition
  for _ in $(seq $(($1 * 10))); do eval "$2" && return 0; sleep 0.1; done
  echo "timed out: $2" >&2
  return 1
}
log_has() { cat "$1"/launcherlog/*.log 2>/dev/null | grep -q "$2"; }
# Resident memory (MiB) and CPU ticks of a process, and of the web view
# processes it started (its descendants).
rss() { awk '/^VmRSS/ {printf "%.1f", $2 / 1024}' "/proc/$1/status"; }
descendants() { local c; for c in $(pgrep -P "$1"); do echo "$c"; descendants "$c"; done; }
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

publish() {  # game folder, release name
  cp "$bin/kestrava-launcher" "$1/Launcher.exe"
  cp "$bin/updatetool" "$1/Launcher.dat"
  mkdir -p "$1/scope"
  [ -f "$1/scope/login.scope" ] || ls "$1" | head -1 >"$1/scope/login.scope"
  "$bin/kestrava-patcher" publish "$1" "$www/$2" --version 1.0 --level 1 >/dev/null
  mkdir -p "$www/$2/web"
  cp "$here/../tools/sample_page/index.html" "$www/$2/web/index.html"
}
start_launcher() {  # folder, release name
  cp "$bin/kestrava-launcher" "$1/Launcher.exe"
  (cd "$1" && KESTRAVA_RELEASE_URL="$base/$2/" exec ./Launcher.exe >/dev/null 2>&1) &
  launcher=$!
}

if [[ " $kinds " == *" frame "* ]]; then
  frames=()
  for i in $(seq "$runs"); do
    dir=$work/frame$i
    mkdir -p "$dir"
    cp "$bin/kestrava-launcher" "$dir/Launcher.exe"
    (cd "$dir" && KESTRAVA_FIRST_FRAME_FILE="$dir/first-frame" \
       KESTRAVA_RELEASE_URL=http://127.0.0.1:1/none/ exec ./Launcher.exe >/dev/null 2>&1) &
    pid=$!
    wait_for 30 "[ -s '$dir/first-frame' ]"
    frames+=("$(cat "$dir/first-frame")")
    kill -9 "$pid"
    wait "$pid" 2>/dev/null || true
  done
  m=$(median "${frames[@]}")
  echo "first painted frame: median $m ms over $runs starts (target 200 ms, ratio $(awk -v m="$m" 'BEGIN{printf "%.2f", m/200}'))"
fi

if [[ " $kinds " == *" idle "* ]]; then
  mkdir -p "$work/small" "$work/idle"
  for i in $(seq 20); do head -c 100000 /dev/urandom >"$work/small/f$i.dat"; done
  publish "$work/small" small
  start_launcher "$work/idle" small
  wait_for 120 "log_has '$work/idle' 'Set Complete photo'"
  sleep 5  # the page settles; start-up is not idle time
  hz=$(getconf CLK_TCK)
  kids=$(descendants "$launcher" | tr '\n' ' ')
  t0=$(ticks "$launcher")
  k0=0; for k in $kids; do k0=$((k0 + $(ticks "$k"))); done
  sleep 10
  t1=$(ticks "$launcher")
  k1=0; for k in $kids; do k1=$((k1 + $(ticks "$k"))); done
  awk -v d=$((t1 - t0)) -v w=$((k1 - k0)) -v hz="$hz" 'BEGIN {
    p = 100 * d / hz / 10
    printf "launcher waiting on its page: %.3f %% of a core over 10 s (target 0.5 %%, ratio %.2f)\n", p, p / 0.5
    printf "  its web view processes: %.3f %% of a core\n", 100 * w / hz / 10 }'
  echo "launcher after a pass over 2 MB: $(rss "$launcher") MB resident (what the window and its web view cost)"
  kill -9 "$launcher"
fi

if [[ " $kinds " == *" memory "* ]]; then
  mkdir -p "$work/big" "$work/install"
  make_big_files "$work/big"
  mkdir -p "$work/big/scope"
  echo part1.bin >"$work/big/scope/login.scope"
  publish "$work/big" big
  start_launcher "$work/install" big
  wait_for 900 "log_has '$work/install' 'Set Complete photo'"
  kids=$(descendants "$launcher" | tr '\n' ' ')
  echo "launcher after a 1 GiB first install: $(rss "$launcher") MB resident (target 120 MB, ratio $(awk -v r="$(rss "$launcher")" 'BEGIN{printf "%.2f", r/120}'))"
  for k in $kids; do echo "  web view process $(tr '\0' ' ' <"/proc/$k/cmdline" | cut -c1-60): $(rss "$k") MB"; done
  kill -9 "$launcher"
fi
